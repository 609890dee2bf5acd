#!/usr/bin/env bash
# How long one datagram can hold drovemoor's one thread, and what a long transfer list costs
# (bench/stallbench.c): the thread's time for one read request with a 65,000-byte name of a
# missing file, and with a 65,000-"*" name among 20,000 files in the root; a 1,000,000-byte read
# alone and under four such requests a second; and the time per read over 50,000 small reads
# one after another, the first 1,000 against the last 1,000.
#
# Run by bench/run.sh inside its network namespace, with BENCH_BUILD_DIR, BENCH_WORK (holding
# registry.sqlite3) and BENCH_ROOT (the served root, holding mid.bin) set. It starts drovemoor
# itself: once for the single requests and the floods, and once more for the long run of reads
# (BENCH_SEQUENTIAL of them, 50,000 unless set), which so starts with an empty transfer list.
set -euo pipefail

build=$BENCH_BUILD_DIR
work=$BENCH_WORK
root=$BENCH_ROOT
reps=${BENCH_REPS:-3}
stall=$build/bench/stallbench
ours_port=69
name_length=65000
crowd=20000
sequential=${BENCH_SEQUENTIAL:-50000}
window=1000
flood_rate=4
flood_cap=60

. "$(dirname "$0")/servers.sh"

ours_pid=
stop_ours() {
    [ -n "$ours_pid" ] || return 0
    stop "$ours_pid"
    ours_pid=
}

value() { # key output
    sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"
}

cleanup() {
    stop_ours
    find "$root" -maxdepth 1 -name 'crowd-*' -delete
    rm -f "$root/small.bin"
}
trap cleanup EXIT
# The pattern is matched against every entry of the root.
(cd "$root" && seq -f 'crowd-%05g' 1 $crowd | xargs touch)
head -c 100 /dev/urandom >"$root/small.bin"

start_ours
long_ms=$("$stall" cost 127.0.0.1 $ours_port "$ours_pid" long $name_length 5)
stars_ms=$("$stall" cost 127.0.0.1 $ours_port "$ours_pid" stars $name_length 5)
awk -v l="$(value ms "$long_ms")" -v s="$(value ms "$stars_ms")" -v n=$name_length \
    -v c=$crowd 'BEGIN {
    printf "one read request, %d-byte name, missing file: thread busy %8.3f ms" \
           "  (target < 5 ms: %s)\n", n, l, (l < 5 ? "met" : "MISSED")
    printf "one read request, %d \"*\" among %d files:   thread busy %8.3f ms" \
           "  (target < 5 ms: %s)\n", n, c, s, (s < 5 ? "met" : "MISSED")
}'

flood_case() { # kind rate: the median seconds of $reps reads of mid.bin
    local t out
    for _ in $(seq "$reps"); do
        out=$("$stall" flood 127.0.0.1 $ours_port "$1" $name_length "$2" mid.bin "$root/mid.bin" \
            $flood_cap)
        t=$(value seconds "$out")
        echo "${t%+}"
    done | median
}
alone=$(flood_case long 0)
for kind in long stars; do
    flooded=$(flood_case $kind $flood_rate)
    awk -v a="$alone" -v f="$flooded" -v k=$kind -v r=$flood_rate -v cap=$flood_cap 'BEGIN {
        what = k == "long" ? "long names" : "\"*\" names"
        printf "read 1,000,000 B alone %.3f s, under %d %s a second %.3f s%s: ratio %.2f" \
               "  (target <= 2: %s)\n", a, r, what, f, (f >= cap ? " (stopped at the cap)" : ""),
               f / a, (f / a <= 2 ? "met" : "MISSED")
    }'
done
stop_ours

start_ours
out=$("$stall" sequential 127.0.0.1 $ours_port small.bin "$root/small.bin" "$sequential" $window \
    "$ours_pid")
awk -v f="$(value first_ms "$out")" -v l="$(value last_ms "$out")" \
    -v fc="$(value first_cpu_ms "$out")" -v lc="$(value last_cpu_ms "$out")" \
    -v rss="$(value rss_kib "$out")" -v n="$sequential" -v w=$window 'BEGIN {
    split(rss, r, ",")
    printf "%d small reads one after another: first %d %.3f ms per read, last %d %.3f ms;" \
           " ratio %.2f  (target <= 1.2: %s)\n", n, w, f, w, l, l / f,
           (l / f <= 1.2 ? "met" : "MISSED")
    printf "  the server thread busy per read: first %.3f ms, last %.3f ms (ratio %.2f);" \
           " VmRSS %.1f -> %.1f MiB (%.0f B per line)\n", fc, lc, lc / fc, r[1] / 1024,
           r[2] / 1024, (r[2] - r[1]) * 1024 / n
}'
