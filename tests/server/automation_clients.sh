#!/usr/bin/env bash
# Outside automation clients against the real program, which a private session bus starts by
# activation: dbus-python and GIO clients, tftp-hpa transfers, and the README's client as printed
# (automation_clients.py). Arguments: the drovemoor and qreg binaries, README.md, the build folder.
# shellcheck source=../e2e/lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../e2e/lib.sh" "$@"
readme=$3
build=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

for needed in dbus-run-session tftp; do
    command -v "$needed" >/dev/null || {
        echo "SKIP: $needed is not installed"
        exit 77
    }
done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || {
    echo "SKIP: python3-dbus or python3-gi is not installed"
    exit 77
}

serve_both_ways
setting TaskBar False
# A server that outlives its clients by mistake ends itself.
setting InactivityTimer 2

# The program registers itself where the bus below looks for services.
export XDG_DATA_HOME=$work/data
check "the program registers itself" "$drovemoor" --regserver
export QT_QPA_PLATFORM=offscreen

# The interface files are installed as they are in the sources.
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for xml in "$here"/../../server/dbus/*.xml; do
    check "$(basename "$xml") is installed" same "$xml" "$prefix/share/dbus-1/interfaces/$(basename "$xml")"
done

pidfile=$work/server.pid
timeout 600 dbus-run-session -- /usr/bin/python3 "$here/automation_clients.py" "$root" "$client" \
    "$readme" "$prefix/share/dbus-1/interfaces" "$pidfile" 2>"$work/clients.err"
if [ $? -eq 0 ]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "--- clients' and bus's stderr"
    tail -n 60 "$work/clients.err"
fi
# The programs the bus started wrote there too: a sanitizer's report fails the test, though the
# process it stopped may have been one that was about to end anyway.
if grep -qE "ERROR: AddressSanitizer|runtime error:" "$work/clients.err"; then
    failed=$((failed + 1))
    echo "FAIL: a program the bus started was stopped by a sanitizer"
    grep -A30 -E "ERROR: AddressSanitizer|runtime error:" "$work/clients.err" | head -n 60
fi

# The bus is gone: so is the program it started, soon.
if [ -s "$pidfile" ]; then
    server_pid=$(cat "$pidfile")
    for _ in $(seq 150); do
        gone "$server_pid" && break
        sleep 0.1
    done
    check "the program ends with the bus" gone "$server_pid"
    kill "$server_pid" 2>/dev/null
    server_pid=
fi
finish
