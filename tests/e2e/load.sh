#!/usr/bin/env bash
# Fifty clients at once, reads and writes mixed over the four real clients: every file arrives
# byte for byte, the log file holds one start line and one end line per transfer, and the server
# holds no more descriptors afterwards than before. Then one host reads one file fifty times in a
# row, and every read ends as sent.
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server

clients=(hpa atftp curl busybox)
count=50
src=$work/src
mkdir -p "$src"
for i in $(seq 1 $count); do
    # Half of them 1,000,000 bytes, the rest of assorted sizes, a few of them whole blocks.
    size=$((i % 2 ? 1000000 : (i * 7919) % 300000))
    [ $((i % 10)) -eq 0 ] && size=$((i * 512))
    sizes[i]=$size
    if [ $((i % 2)) -eq 0 ]; then
        head -c "$size" /dev/urandom >"$root/load$i"
    else
        head -c "$size" /dev/urandom >"$src/load$i"
    fi
done

# Lazily made descriptors (the resolver's, say) are there once a first transfer has run.
head -c 1000 /dev/urandom >"$root/warm-up"
hpa_get warm-up "$client/warm-up" >/dev/null 2>&1
before=$(open_descriptors)

pids=()
for i in $(seq 1 $count); do
    c=${clients[i / 2 % 4]} # each client both ways
    if [ $((i % 2)) -eq 0 ]; then
        "${c}_get" "load$i" "$client/load$i" >"$work/out$i" 2>&1 &
    else
        "${c}_put" "$src/load$i" "load$i" >"$work/out$i" 2>&1 &
    fi
    pids[i]=$!
done
for i in $(seq 1 $count); do
    wait "${pids[i]}"
done

for i in $(seq 1 $count); do
    c=${clients[i / 2 % 4]} # each client both ways
    if [ $((i % 2)) -eq 0 ]; then
        check "$c read load$i (${sizes[i]} bytes)" same "$root/load$i" "$client/load$i"
        check "read load$i logged once as started" \
            logged 1 "Sending load$i to [^(]*\(127\.0\.0\.1\)"
        check "read load$i logged once as sent" \
            logged 1 "Sent load$i to [^(]*\(127\.0\.0\.1\), ${sizes[i]} bytes"
    else
        check "$c write load$i (${sizes[i]} bytes)" same "$src/load$i" "$root/load$i"
        check "write load$i logged once as started" \
            logged 1 "Receiving load$i from [^(]*\(127\.0\.0\.1\)"
        check "write load$i logged once as received" \
            logged 1 "Received load$i from [^(]*\(127\.0\.0\.1\), ${sizes[i]} bytes"
    fi
done
check "the log holds two lines per transfer and nothing else" \
    [ "$(wc -l <"$log")" -eq $((2 * count + 2)) ] # the warm-up's two lines too

descriptors_settle "$before"
check "no descriptor left open: $before before, $(open_descriptors) after" \
    [ "$(open_descriptors)" -le "$before" ]

# One host reads one file fifty times in a row, the way a boot loader that reads its
# configuration twice does: each request may come before the old read's final ACK has been
# taken, and that read still ends as sent. First in one tftp-hpa session, which asks from the
# same port each time, then in fifty runs of it.
head -c 1500 /dev/urandom >"$root/again"
runs=50
whole() { # how many of the copies again-FIRST to again-LAST are the file
    local i n=0
    for i in $(seq "$1" "$2"); do
        same "$root/again" "$client/again-$i" && n=$((n + 1))
    done
    echo $n
}
sent_settle() { # count: waits for the last read's line
    for _ in $(seq 50); do
        logged "$1" "Sent again to .*" && break
        sleep 0.1
    done
}
for i in $(seq $runs); do
    echo "get again $client/again-$i"
done | (echo binary && cat) | timeout 60 tftp 127.0.0.1 >/dev/null 2>&1
check "one tftp-hpa session read one file $runs times: $(whole 1 $runs) whole" \
    [ "$(whole 1 $runs)" -eq $runs ]
for i in $(seq $runs); do
    hpa_get again "$client/again-$((runs + i))" >/dev/null 2>&1
done
check "$runs runs of tftp-hpa read it: $(whole $((runs + 1)) $((2 * runs))) whole" \
    [ "$(whole $((runs + 1)) $((2 * runs)))" -eq $runs ]
sent_settle $((2 * runs))
check "every read logged as sent: $(grep -c ' :Sent again to ' "$log") of $((2 * runs))" \
    logged $((2 * runs)) "Sent again to [^(]*\(127\.0\.0\.1\), 1500 bytes"
check "none as cut short: $(grep -c ' :Timeout error sending again ' "$log")" \
    logged 0 "Timeout error sending again .*"

# The same, exactly: the raw client asks again from its port the moment it has sent the final
# ACK, fifty times, and each new read answers at once (it would otherwise wait for a retry).
raw get again "$client/again-raw" --times 50 --timeout 2 >"$work/out" 2>&1
check "raw client reads one file 50 times from one port: $(grep -vx 'ok 1500' "$work/out")" \
    [ "$(grep -cx 'ok 1500' "$work/out")" -eq 50 ]

finish
