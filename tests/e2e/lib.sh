# Shared set-up of the end-to-end tests, sourced by each test script; the script's arguments are
# the paths of the drovemoor and qreg binaries. Every test runs in a network namespace of its own
# (so its server binds the real UDP port 69), with its own registry file, root directory and log
# file, and leaves no process behind.
set -u
drovemoor=$1
binary=$1
qreg=$2
e2e_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${DROVEMOOR_E2E_NETNS:-}" != 1 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "SKIP: needs root for a network namespace of its own"
        exit 77
    fi
    exec unshare -n env DROVEMOOR_E2E_NETNS=1 bash "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d -t drovemoor-e2e.XXXXXX)
root=$work/root       # the server's root directory
outside=$work/outside # a sentinel beside the root that no transfer may touch
client=$work/client   # where the clients keep their files
log=$work/log.txt
mkdir -p "$root" "$outside" "$client"
echo "not for clients" >"$outside/secret.txt"
export QUORVANE_REGISTRY=$work/registry.sqlite3

server_pid=
passed=0
failed=0

cleanup() {
    stop_server
    local job
    for job in $(jobs -p); do
        kill "$job" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

config_key='HKLM\Software\Quorvane.Net\TFTP Server\Config'
ranges_key='HKLM\Software\Quorvane.Net\TFTP Server\IP Ranges'

setting() { # name, value
    "$qreg" add "$config_key" /v "$1" /d "$2" >/dev/null || {
        echo "qreg could not set $1"
        exit 1
    }
}

ip_range() { # slot, first address, last address
    "$qreg" add "$ranges_key" /v "Start IP Range $1" /d "$2" >/dev/null &&
        "$qreg" add "$ranges_key" /v "End IP Range $1" /d "$3" >/dev/null || exit 1
}

# Reads and writes both served, every transfer logged.
serve_both_ways() {
    setting RootDir "$root"
    setting LogFile "$log"
    setting Logging True
    setting ReceiveOnly False
    setting TransmitOnly False
}

# The next start_server runs the server under the resource limits given (prlimit's options),
# as the same process; with no options, without.
limited() { # prlimit options...
    if [ $# -eq 0 ]; then
        drovemoor=$binary
        return
    fi
    printf '#!/bin/sh\nexec prlimit %s -- %q "$@"\n' "$*" "$binary" >"$work/limited"
    chmod +x "$work/limited"
    drovemoor=$work/limited
}

start_server() {
    QT_QPA_PLATFORM=offscreen "$drovemoor" >>"$work/server.out" 2>>"$work/server.err" &
    server_pid=$!
    local _
    for _ in $(seq 200); do
        if ss -ulnH 'sport = :69' | grep -q .; then
            return 0
        fi
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "FAIL: the server did not come up on port 69"
    cat "$work/server.err"
    exit 1
}

gone() { # pid: true once the process has ended (a zombie counts as ended)
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 0
    [ -z "$state" ] || [ "$state" = Z ]
}

alive() { ! gone "$server_pid"; }

stop_server() {
    [ -n "$server_pid" ] || return 0
    kill "$server_pid" 2>/dev/null
    local _
    for _ in $(seq 50); do
        gone "$server_pid" && break
        sleep 0.1
    done
    if ! gone "$server_pid"; then
        echo "FAIL: the server ignored SIGTERM"
        failed=$((failed + 1))
        kill -9 "$server_pid" 2>/dev/null
    fi
    wait "$server_pid" 2>/dev/null
    server_pid=
}

# The server's open sockets and files. Event descriptors are left out: each belongs to a worker
# thread of the host-name lookups, and an idle worker ends only after 30 s.
open_descriptors() {
    find "/proc/$server_pid/fd" -mindepth 1 ! -lname 'anon_inode:\[eventfd\]' | wc -l
}

# Waits up to 10 s for the server to hold no more descriptors than the count given: the last ACK
# may still be on its way when a client exits, and an upload keeps its port for 6.5 s after its
# final ACK to answer a repeat of its last block.
descriptors_settle() { # count
    for _ in $(seq 100); do
        [ "$(open_descriptors)" -le "$1" ] && return
        sleep 0.1
    done
}

check() { # what is checked, then the command that must succeed
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
    fi
}

same() { cmp -s "$1" "$2"; }
differ() { ! cmp -s "$1" "$2"; }
# shellcheck disable=SC2053 # the right-hand side is meant as a pattern
matches() { [[ $1 == $2 ]]; } # text, pattern
unchanged() { diff <(snapshot "$1") "$2" >/dev/null; } # directory, its earlier snapshot

# The server's log file holds exactly `count` lines that match the extended regular expression
# (the text after the date and time; lines end with CR LF).
logged() { # count, pattern
    [ "$(grep -cE "^.* :$2"$'\r'"\$" "$log" 2>/dev/null)" = "$1" ]
}

# Raw client: prints "ok SIZE" or "error CODE TEXT".
raw() { timeout 60 python3 "$e2e_dir/tftp_raw.py" "$@"; }

# The real clients, each in its plain mode; every call is bounded in time. busybox is the
# machine's, else the one that scripts/fetch-busybox.sh unpacked.
busybox=$(command -v busybox || echo "$e2e_dir/../../.deps/busybox-static/bin/busybox")
hpa_get() { timeout 60 tftp 127.0.0.1 -m binary -c get "$1" "$2"; }
hpa_put() { timeout 60 tftp 127.0.0.1 -m binary -c put "$1" "$2"; }
atftp_get() { timeout 60 atftp -g -r "$1" -l "$2" 127.0.0.1; }
atftp_put() { timeout 60 atftp -p -l "$1" -r "$2" 127.0.0.1; }
curl_get() { timeout 60 curl -sS --max-time 60 -o "$2" "tftp://127.0.0.1/$1"; }
curl_put() { timeout 60 curl -sS --max-time 60 -T "$1" "tftp://127.0.0.1/$2"; }
busybox_get() { timeout 60 "$busybox" tftp -g -r "$1" -l "$2" 127.0.0.1; }
busybox_put() { timeout 60 "$busybox" tftp -p -l "$1" -r "$2" 127.0.0.1; }

snapshot() { # directory: every entry with its type, size, time and link target, and every hash
    (
        cd "$1" && find . -printf '%p|%y|%s|%T@|%l\n' | sort
        find . -type f -exec sha256sum {} + | sort
    )
}

finish() {
    stop_server
    echo "$passed passed, $failed failed"
    if [ "$failed" -ne 0 ]; then
        echo "--- server stderr"
        tail -n 20 "$work/server.err"
        echo "--- log file"
        tail -n 40 "$log" 2>/dev/null
    fi
    [ "$failed" -eq 0 ]
}
