#!/usr/bin/env bash
# Clients that stop in the middle of a transfer. The server repeats its last packet after 6.5 s,
# 13 s and 19.5 s, ends the transfer on its time-out at 26 s (real time) with an ERROR, serves
# other clients all the while, and afterwards holds no socket or file it did not hold before.
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server

head -c 1000000 /dev/urandom >"$root/silent"
head -c 1000000 /dev/urandom >"$root/gone"
head -c 100000 /dev/urandom >"$root/small"
hpa_get small "$client/warm-up" >/dev/null 2>&1
before=$(open_descriptors)

# A reader that takes two blocks, acknowledges the first and falls silent while still listening;
# a writer that sends two blocks and falls silent; a reader that takes two blocks and is gone.
raw stall-get silent --blocks 2 --listen 30 >"$work/silent-reader" 2>&1 &
silent_reader=$!
raw stall-put stalled --blocks 2 --listen 30 >"$work/silent-writer" 2>&1 &
silent_writer=$!
raw stall-get gone --blocks 2 >"$work/gone-reader" 2>&1
sleep 1
check "the stalled transfers hold their sockets and files" [ "$(open_descriptors)" -gt "$before" ]

# Others are served meanwhile, all through the time-out.
for round in 1 2 3 4 5; do
    hpa_get small "$client/hpa-$round" >/dev/null 2>&1
    check "round $round: tftp-hpa read while others stall" same "$root/small" "$client/hpa-$round"
    atftp_put "$root/small" "atftp-$round" >/dev/null 2>&1
    check "round $round: atftp write while others stall" same "$root/small" "$root/atftp-$round"
    curl_get small "$client/curl-$round" >/dev/null 2>&1
    check "round $round: curl read while others stall" same "$root/small" "$client/curl-$round"
    sleep 4.5
done

wait "$silent_reader" "$silent_writer"

# "SECONDS OPCODE BLOCK" per datagram after the silence: three repeats, then the time-out ERROR.
timeline() { # file, "OPCODE BLOCK" of the repeats, ERROR text
    awk -v repeat="$2" -v error="error 0 $3" '
        function near(t, want) { return t > want - 1.5 && t < want + 1.5 }
        { rest = $0; sub(/^[^ ]+ /, "", rest) }
        NR <= 3 && !(rest == repeat && near($1, 6.5 * NR)) { bad = 1 }
        NR == 4 && !(rest == error && near($1, 26)) { bad = 1 }
        END { exit bad || NR != 4 }' "$1"
}
check "silent reader: block 2 again at 6.5, 13, 19.5 s, the time-out ERROR at 26 s: $(
    tr '\n' ';' <"$work/silent-reader")" \
    timeline "$work/silent-reader" "3 2" \
    "Quorvane TFTP Server is running, but times out waiting for YOU to ACK data."
check "silent writer: ACK 2 again at 6.5, 13, 19.5 s, the time-out ERROR at 26 s: $(
    tr '\n' ';' <"$work/silent-writer")" \
    timeline "$work/silent-writer" "4 2" \
    "Quorvane TFTP Server is running, but times out waiting for client to send data."
check "the silent read ends as timed out" \
    logged 1 "Timeout error sending silent from [^(]*\(127\.0\.0\.1\), 512 bytes"
check "the silent write ends as timed out" \
    logged 1 "Timeout error receiving stalled from [^(]*\(127\.0\.0\.1\), 0 bytes"
check "the part received of the silent write stays" [ "$(stat -c %s "$root/stalled")" -eq 1024 ]
check "the read of the vanished client ends too" \
    logged 1 "Timeout error sending gone from [^(]*\(127\.0\.0\.1\), 512 bytes"
descriptors_settle "$before"
check "no socket or file left open: $before before, $(open_descriptors) after" \
    [ "$(open_descriptors)" -eq "$before" ]

finish
