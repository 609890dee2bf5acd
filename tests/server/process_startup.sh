#!/usr/bin/env bash
# The single-instance refusal and the port-69 failure, with real processes of the program. Each
# case runs in a network namespace of its own, so it binds the real port 69.
set -u
drovemoor=$1
qreg=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passed=0

check() { # name, condition
    if eval "$2"; then
        passed=$((passed + 1))
    else
        echo "FAIL: $1"
        failures=$((failures + 1))
    fi
}

export QUORVANE_REGISTRY=$work/registry.sqlite3
key='HKLM\Software\Quorvane.Net\TFTP Server\Config'
mkdir -p "$work/root"
"$qreg" add "$key" /v RootDir /d "$work/root" >/dev/null
"$qreg" add "$key" /v ReceiveOnly /d False >/dev/null
"$qreg" add "$key" /v LogFile /d "$work/log.txt" >/dev/null
echo served >"$work/root/hello.txt"

# Runs in a fresh namespace: first instance, refused second instance, crashed instance.
cat >"$work/instances.sh" <<'INNER'
set -u
ip link set lo up
"$1" 2>"$2/first.err" &
first=$!
for _ in $(seq 50); do ss -ulnH 'sport = :69' | grep -q . && break; sleep 0.1; done
timeout 10 "$1" >"$2/second.out" 2>"$2/second.err"
echo "second=$?" >"$2/result"
kill -0 "$first" 2>/dev/null && echo "first_alive=1" >>"$2/result"
(cd "$2" && timeout 10 tftp 127.0.0.1 -m binary -c get hello.txt fetched.txt)
kill -9 "$first"; wait "$first" 2>/dev/null
# A crashed instance leaves no lock behind.
"$1" 2>"$2/third.err" &
third=$!
for _ in $(seq 50); do ss -ulnH 'sport = :69' | grep -q . && break; sleep 0.1; done
kill -0 "$third" 2>/dev/null && echo "third_alive=1" >>"$2/result"
kill "$third"; wait "$third" 2>/dev/null
INNER
unshare -n bash "$work/instances.sh" "$drovemoor" "$work"
check "second instance ends at once" 'grep -q "^second=0$" "$work/result"'
check "second instance tells why" \
    'grep -q "The TFTP server is already running !" "$work/second.err" &&
     grep -q "Look in Windows SystemTray." "$work/second.err"'
check "first instance undisturbed" 'grep -q "^first_alive=1$" "$work/result" &&
     cmp -s "$work/root/hello.txt" "$work/fetched.txt"'
check "a killed instance does not block the next" 'grep -q "^third_alive=1$" "$work/result"'

# Port 69 held by another program: the message, and the process ends on its own.
cat >"$work/port.sh" <<'INNER'
set -u
ip link set lo up
python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",69)); time.sleep(30)' &
holder=$!
for _ in $(seq 50); do ss -ulnH 'sport = :69' | grep -q . && break; sleep 0.1; done
timeout 10 "$1" 2>"$2/bind.err"
echo "bind=$?" >"$2/bindresult"
kill "$holder"
INNER
unshare -n bash "$work/port.sh" "$drovemoor" "$work"
check "bind failure ends the process" 'grep -q "^bind=0$" "$work/bindresult"'
check "bind failure tells why, once" '[ "$(grep -c "Cannot start TFTP server." "$work/bind.err")" = 1 ] &&
     grep -q "A TFTP Server is already running on port 69" "$work/bind.err"'

# A process started for an automation client is a running instance too.
cat >"$work/automation.sh" <<'INNER'
set -u
ip link set lo up
"$1" --automation 2>"$2/automation.err" &
served=$!
# It holds the lock before it takes its bus name; probing the lock itself could take it first.
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:net.quorvane.TFTP 2>/dev/null |
        grep -q "boolean true" && break
    sleep 0.1
done
timeout 10 "$1" 2>"$2/standalone.err"
echo "standalone=$?" >"$2/automationresult"
kill "$served"; wait "$served" 2>/dev/null
INNER
unshare -n dbus-run-session -- bash "$work/automation.sh" "$drovemoor" "$work"
check "standalone start refused while an automation process runs" \
    'grep -q "^standalone=0$" "$work/automationresult" &&
     grep -q "The TFTP server is already running !" "$work/standalone.err"'

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
