#!/usr/bin/env bash
# Start-up and shutdown with real processes of the program: the single-instance refusal, the
# port-69 failure, an unreadable settings store, end signals, the command line and their exit
# statuses. Each case that could serve runs in a network namespace of its own, so it binds the
# real port 69.
set -u
drovemoor=$1
qreg=$2
tftp_raw=$(cd "$(dirname "$0")/../e2e" && pwd)/tftp_raw.py
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
# As a desktop session has it, and with the program's own logging defaults, not the tests'.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_LOGGING_RULES
key='HKLM\Software\Quorvane.Net\TFTP Server\Config'
mkdir -p "$work/root"
"$qreg" add "$key" /v RootDir /d "$work/root" >/dev/null
"$qreg" add "$key" /v ReceiveOnly /d False >/dev/null
"$qreg" add "$key" /v TransmitOnly /d False >/dev/null
"$qreg" add "$key" /v Logging /d True >/dev/null
"$qreg" add "$key" /v LogFile /d "$work/log.txt" >/dev/null
echo served >"$work/root/hello.txt"

# Shared by the scripts that run inside a namespace.
cat >"$work/lib.sh" <<'INNER'
set -u
ip link set lo up
listening() {
    for _ in $(seq 100); do ss -ulnH 'sport = :69' | grep -q . && return 0; sleep 0.05; done
    return 1
}
ended() { # pid: waits up to 10 s for it to end; its exit status in $ended, or "hung"
    for _ in $(seq 200); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
    kill -0 "$1" 2>/dev/null && { kill -9 "$1"; ended=hung; return; }
    wait "$1"
    ended=$?
}
INNER

# First instance, refused second instance, crashed instance.
cat >"$work/instances.sh" <<'INNER'
. "$2/lib.sh"
"$1" 2>"$2/first.err" &
first=$!
listening
timeout 10 "$1" >"$2/second.out" 2>"$2/second.err"
echo "second=$?" >"$2/result"
kill -0 "$first" 2>/dev/null && echo "first_alive=1" >>"$2/result"
(cd "$2" && timeout 10 tftp 127.0.0.1 -m binary -c get hello.txt fetched.txt)
kill -9 "$first"; wait "$first" 2>/dev/null
# A crashed instance leaves no lock behind.
"$1" 2>"$2/third.err" &
third=$!
listening
kill -0 "$third" 2>/dev/null && echo "third_alive=1" >>"$2/result"
kill "$third"; wait "$third" 2>/dev/null
INNER
unshare -n bash "$work/instances.sh" "$drovemoor" "$work"
check "second instance ends at once, as a failure" 'grep -q "^second=1$" "$work/result"'
check "second instance tells why" \
    'grep -q "The TFTP server is already running !" "$work/second.err" &&
     grep -q "Look in Windows SystemTray." "$work/second.err"'
check "first instance undisturbed" 'grep -q "^first_alive=1$" "$work/result" &&
     cmp -s "$work/root/hello.txt" "$work/fetched.txt"'
check "a killed instance does not block the next" 'grep -q "^third_alive=1$" "$work/result"'
check "nothing on stderr at a normal start" '[ ! -s "$work/first.err" ] && [ ! -s "$work/third.err" ]'

# Started without a session's runtime folder (su -, a system service, cron), it prints nothing
# either. The folder Qt then makes for itself goes where temporary files go: the test's own.
cat >"$work/noruntime.sh" <<'INNER'
. "$2/lib.sh"
env -u XDG_RUNTIME_DIR TMPDIR="$2/tmp" "$1" 2>"$2/noruntime.err" &
pid=$!
listening && echo "listening=1" >"$2/noruntimeresult"
kill "$pid"
ended "$pid"
echo "status=$ended" >>"$2/noruntimeresult"
INNER
mkdir -m 700 "$work/tmp"
unshare -n bash "$work/noruntime.sh" "$drovemoor" "$work"
check "a start without XDG_RUNTIME_DIR serves and ends normally" \
    'grep -q "^listening=1$" "$work/noruntimeresult" && grep -q "^status=0$" "$work/noruntimeresult"'
check "nothing on stderr at a start without XDG_RUNTIME_DIR: $(tr '\n' ';' <"$work/noruntime.err")" \
    '[ ! -s "$work/noruntime.err" ]'

# Port 69 held by another program: the message, and the process ends on its own as a failure.
cat >"$work/port.sh" <<'INNER'
. "$2/lib.sh"
python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",69)); time.sleep(30)' &
holder=$!
listening
timeout 10 "$1" 2>"$2/bind.err"
echo "bind=$?" >"$2/bindresult"
kill "$holder"
INNER
unshare -n bash "$work/port.sh" "$drovemoor" "$work"
check "bind failure ends the process with a failure status" 'grep -q "^bind=1$" "$work/bindresult"'
check "bind failure tells why, once" '[ "$(grep -c "Cannot start TFTP server." "$work/bind.err")" = 1 ] &&
     grep -q "A TFTP Server is already running on port 69" "$work/bind.err"'

# The same on a display: once the message is closed the tip of the day is there to be read, and
# the process ends, as a failure, when the tip is closed.
cat >"$work/tip.sh" <<'INNER'
. "$2/lib.sh"
Xvfb -displayfd 3 -nolisten tcp 3>"$2/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$2/display" ] && break; sleep 0.05; done
export DISPLAY=:$(cat "$2/display")
unset QT_QPA_PLATFORM
python3 -c 'import socket,time; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("0.0.0.0",69)); time.sleep(30)' &
holder=$!
listening
"$1" 2>"$2/tip.err" &
pid=$!
"$3" close Drovemoor && echo "box=1" >>"$2/tipresult"
"$3" wait "Tip of the Day" && kill -0 "$pid" && echo "tip=1" >>"$2/tipresult"
"$3" close "Tip of the Day"
ended "$pid"
echo "status=$ended" >>"$2/tipresult"
kill "$holder" "$xvfb"
INNER
if command -v Xvfb >/dev/null && /usr/bin/python3 -c 'import Xlib' 2>/dev/null; then
    unshare -n bash "$work/tip.sh" "$drovemoor" "$work" "$(dirname "$0")/x_windows.py"
    check "port taken, on a display: the message, then the tip, which the process waits for: $(
        tr '\n' ';' <"$work/tipresult") $(tr '\n' ';' <"$work/tip.err")" \
        'grep -q "^box=1$" "$work/tipresult" && grep -q "^tip=1$" "$work/tipresult"'
    check "port taken, on a display: the process ends with a failure once the tip is closed: $(
        tr '\n' ';' <"$work/tipresult")" \
        'grep -q "^status=1$" "$work/tipresult"'
else
    echo "SKIP: no Xvfb or python3-xlib for the tip on a display"
fi

# A process started for an automation client is a running instance too.
cat >"$work/automation.sh" <<'INNER'
. "$2/lib.sh"
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
kill -TERM "$served"
ended "$served"
echo "automation=$ended" >>"$2/automationresult"
INNER
unshare -n dbus-run-session -- bash "$work/automation.sh" "$drovemoor" "$work"
check "standalone start refused while an automation process runs" \
    'grep -q "^standalone=1$" "$work/automationresult" &&
     grep -q "The TFTP server is already running !" "$work/standalone.err"'
check "SIGTERM ends an automation process normally" \
    'grep -q "^automation=0$" "$work/automationresult"'

# End signals: each ends the program through its unload path with status 0. SIGTERM comes in the
# middle of an upload, which stops cleanly where the acknowledged blocks end. A shell starts
# background jobs with SIGINT ignored, which the program would rightly keep: env restores it.
cat >"$work/signals.sh" <<'INNER'
. "$2/lib.sh"
for sig in TERM INT HUP; do
    env --default-signal=INT,HUP "$1" 2>"$2/$sig.err" &
    pid=$!
    listening
    if [ "$sig" = TERM ]; then
        python3 "$3" stall-put upload.bin --blocks 3 --listen 5 >"$2/upload.out" 2>&1 &
        client=$!
        for _ in $(seq 100); do
            [ "$(stat -c %s "$2/root/upload.bin" 2>/dev/null)" = 1536 ] && break
            sleep 0.05
        done
    fi
    kill -"$sig" "$pid"
    ended "$pid"
    echo "$sig=$ended" >>"$2/signalresult"
    [ "$sig" = TERM ] && wait "$client"
done
INNER
unshare -n bash "$work/signals.sh" "$drovemoor" "$work" "$tftp_raw"
for sig in TERM INT HUP; do
    check "SIG$sig ends the program normally" \
        "grep -q '^$sig=0$' '$work/signalresult' && [ ! -s '$work/$sig.err' ]"
done
check "an upload cut off by SIGTERM keeps what was acknowledged and is not logged as received" \
    '[ "$(stat -c %s "$work/root/upload.bin")" = 1536 ] && ! grep -q "Received upload.bin" "$work/log.txt"'

# A settings store that is there but cannot be read: the program names it and the reason and
# ends without serving, and leaves the file as it is; so does qreg.
# The store's folder to the nanosecond, without its parent (where the test's own files go).
store_state() {
    ls -lA --time-style=full-iso "$(dirname "$1")"
    stat -c %y "$(dirname "$1")"
    md5sum "$1" 2>/dev/null
}
store_case() { # kind, path of the store, reason expected
    local kind=$1 store=$2 reason=$3 as=()
    [ "$kind" = unreadable ] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    local before
    before=$(store_state "$store")
    QUORVANE_REGISTRY=$store unshare -n timeout 10 "${as[@]}" "$drovemoor" 2>"$work/$kind.err"
    local status=$?
    QUORVANE_REGISTRY=$store timeout 10 "${as[@]}" "$qreg" query "$key" >/dev/null 2>"$work/$kind.qreg"
    local qstatus=$?
    check "$kind store: the program ends as a failure" "[ $status = 1 ]"
    check "$kind store: the program names the file and the reason" \
        'grep -qF -- "Cannot read the settings store $store: $reason" "$work/$kind.err"'
    check "$kind store: qreg fails and names the file and the reason" \
        '[ $qstatus = 1 ] && grep -qF -- "$store: $reason" "$work/$kind.qreg"'
    check "$kind store: left as it was" \
        '[ "$before" = "$(store_state "$store")" ]'
}
mkdir -p "$work/garbage" "$work/foreign" "$work/folder/registry.sqlite3" "$work/unreadable"
head -c 4096 /dev/urandom >"$work/garbage/registry.sqlite3"
python3 -c 'import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute("create table t(x)"); c.commit()' \
    "$work/foreign/registry.sqlite3"
cp "$QUORVANE_REGISTRY" "$work/unreadable/registry.sqlite3"
chmod 000 "$work/unreadable/registry.sqlite3"
chmod 711 "$work"
store_case garbage "$work/garbage/registry.sqlite3" "it is not a database"
store_case foreign "$work/foreign/registry.sqlite3" "another program's database"
store_case folder "$work/folder/registry.sqlite3" "it is a folder"
store_case unreadable "$work/unreadable/registry.sqlite3" "Permission denied"
chmod 700 "$work"

# The command line: usage on stderr; an unknown option starts nothing, not even the store.
QUORVANE_REGISTRY=$work/none/registry.sqlite3 unshare -n timeout 10 "$drovemoor" --bogus \
    >"$work/bogus.out" 2>"$work/bogus.err"
status=$?
check "an unknown option ends with status 2 and starts nothing" \
    "[ $status = 2 ] && [ ! -e '$work/none' ] && [ ! -s '$work/bogus.out' ]"
timeout 10 "$drovemoor" --help >"$work/help.out" 2>"$work/help.err"
status=$?
check "--help ends with status 0" "[ $status = 0 ] && [ ! -s '$work/help.out' ]"
for out in bogus help; do
    check "$out: the usage names every option" \
        "grep -q -- --automation '$work/$out.err' && grep -q -- --regserver '$work/$out.err' &&
         grep -q -- --unregserver '$work/$out.err'"
done

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
