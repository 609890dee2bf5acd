#!/usr/bin/env bash
# What real clients do on a link that loses or repeats packets: a relay in the test's namespace
# (relay.py) drops one chosen DATA block of an upload, or repeats a request after the transfer
# has answered it, and the raw client sends copies of its request itself. An upload is stored
# whole or fails where the client and the log file show it, never logged as received with a
# gap; a copy of a request starts no second transfer and cancels nothing.
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server

relay_pid=
relay_port=6969
relay() { # relay.py options: starts the relay and waits until it listens
    python3 "$e2e_dir/relay.py" "$relay_port" --lifetime 90 "$@" >"$work/relay.out" 2>&1 &
    relay_pid=$!
    for _ in $(seq 100); do
        grep -qx ready "$work/relay.out" && return
        sleep 0.05
    done
    echo "FAIL: the relay did not start"
    cat "$work/relay.out"
    exit 1
}
stop_relay() {
    kill "$relay_pid" 2>/dev/null
    wait "$relay_pid" 2>/dev/null
}

# atftp goes on after a lost block with the next one. 99 full blocks and a short one: the first,
# the second, one in the middle, the last full one and the short last one go missing in turn.
head -c 51000 /dev/urandom >"$client/lossy"
size=$(stat -c %s "$client/lossy")
for drop in 1 2 50 99 100; do
    name=lossy-$drop
    relay --drop-data "$drop"
    timeout 60 atftp --tftp-timeout 1 -p -l "$client/lossy" -r "$name" 127.0.0.1 "$relay_port" \
        >"$work/out" 2>&1
    rc=$?
    stop_relay
    check "DATA $drop was dropped on the way" grep -qx "dropped DATA $drop" "$work/relay.out"
    if logged 1 "Received $name from [^(]*\(127\.0\.0\.1\), [0-9]+ bytes"; then
        check "DATA $drop lost: the upload logged as received is stored whole" \
            same "$client/lossy" "$root/$name"
        check "DATA $drop lost: logged with the size sent" \
            logged 1 "Received $name from [^(]*\(127\.0\.0\.1\), $size bytes"
        check "DATA $drop lost: atftp exits 0 (exit $rc)" [ $rc -eq 0 ]
    else
        check "DATA $drop lost: an upload not stored whole fails at atftp (exit $rc)" [ $rc -ne 0 ]
        check "DATA $drop lost: and in the log" \
            logged 1 "(Timeout error|Error) receiving $name from .*"
    fi
done

# tftp-hpa through a relay that repeats its request after the first DATA (or ACK 0) has been
# passed to it, and again after its answer: one transfer each, byte for byte.
head -c 200000 /dev/urandom >"$root/repeated"
relay --repeat-request 3
timeout 60 tftp 127.0.0.1 "$relay_port" -m binary -c get repeated "$client/repeated" \
    >"$work/out" 2>&1
check "tftp-hpa reads a file whose request came again: $(tr '\n' ';' <"$work/out")" \
    same "$root/repeated" "$client/repeated"
timeout 60 tftp 127.0.0.1 "$relay_port" -m binary -c put "$client/repeated" repeated-put \
    >"$work/out" 2>&1
check "tftp-hpa writes a file whose request came again: $(tr '\n' ';' <"$work/out")" \
    same "$client/repeated" "$root/repeated-put"
stop_relay
check "the relay repeated both requests" \
    [ "$(grep -c "^repeated the request" "$work/relay.out")" -eq 4 ]
check "the read is one transfer" logged 1 "Sending repeated to .*"
check "logged as sent" logged 1 "Sent repeated to [^(]*\(127\.0\.0\.1\), 200000 bytes"
check "the write is one transfer" logged 1 "Receiving repeated-put from .*"
check "logged as received" \
    logged 1 "Received repeated-put from [^(]*\(127\.0\.0\.1\), 200000 bytes"

# The raw client's copies: before it answers the first packet (which comes again at once, from
# the transfer's port), and after; no packet from any other port.
out=$(raw get repeated "$client/raw-repeated" --again 3 2>&1)
check "raw read with copies of its request: $out" [ "$out" = "ok 200000" ]
check "raw read with copies: content" same "$root/repeated" "$client/raw-repeated"
out=$(raw put "$client/repeated" raw-repeated --again 3 2>&1)
check "raw write with copies of its request: $out" [ "$out" = "ok 200000" ]
check "raw write with copies: content" same "$client/repeated" "$root/raw-repeated"
check "the raw read is one transfer" logged 2 "Sending repeated to .*"
check "logged as sent" logged 2 "Sent repeated to .*"
check "the raw write is one transfer" logged 1 "Receiving raw-repeated from .*"
check "logged as received" logged 1 "Received raw-repeated from .*"
check "no transfer was cut short by a copy" logged 0 "Timeout error [a-z]+ (raw-)?repeated.*"

finish
