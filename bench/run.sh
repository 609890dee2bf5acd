#!/usr/bin/env bash
# Measures drovemoor against two peer servers, tftpd-hpa's in.tftpd and atftpd, in one run and
# with one client (bench/tftpbench.c): one 33,292,800-byte read, one 33,292,800-byte write and
# 50 concurrent 1,000,000-byte reads, each repeated (BENCH_REPS, default 3) and the median
# taken; then the resident memory of drovemoor at idle and with 200 transfers at once; then the
# time the configuration dialog's OK takes to store its settings (bench/dialog_save.cpp); and
# how long hostile names and a long transfer list hold the server's one thread
# (bench/responsiveness.sh). The
# single transfers run both on one core shared by server and client, and free (see pin_servers).
#
# All three serve the same root directory on loopback inside a network namespace of the
# benchmark's own (drovemoor on port 69, in.tftpd on 6969, atftpd on 7069), so nothing on the
# machine's own port 69 is touched. A fourth, bench/one_thread_server.c (port 8069), is the
# yardstick for serving on one thread: the least work per block on one core. Its time is shown
# beside the others but takes no part in the ratio. Needs root: it installs what is missing and
# makes the namespace. Builds in Release into build-bench/ (or BENCH_BUILD_DIR).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$top/build-bench}
reps=${BENCH_REPS:-3}
work=$build/bench-work
peers=$build/peers
client=$build/bench/tftpbench
yardstick=$build/bench/one_thread_server

big_size=33292800
mid_size=1000000
concurrent=50
held=200

ours_port=69
hpa_port=6969
atftpd_port=7069
onethread_port=8069
servers="ours hpa atftpd onethread"

# ---------------------------------------------------------------- inside the namespace

. "$top/bench/servers.sh"

# One client run; prints its seconds. Any failed transfer ends the benchmark.
measure() { # port mode name count file
    local out
    if ! out=$($pin "$client" "$2" 127.0.0.1 "$1" "$3" "$4" "$5"); then
        echo "transfer failed: $2 $3 x$4 on port $1" >&2
        exit 1
    fi
    sed -n 's/^seconds=//p' <<<"$out"
}

# Single transfers are measured twice. Free, as they come: then a block's round trip is mostly
# the time the scheduler takes to wake the sleeping side, which on a virtual machine swings by
# a factor of three from one minute to the next. And with the server and the client on one
# core: then nobody sleeps, and a round trip is the work the server and the client do for it,
# steady to about 1 %.
pin=""
pin_servers() { # cpu list: every thread of every server, and what they start from now on
    local pid
    for pid in "$ours_pid" "$hpa_pid" "$atftpd_pid" "$onethread_pid"; do
        taskset -a -p -c "$1" "$pid" >/dev/null
    done
}

# Repeats one case round-robin over the servers, so drift in the machine's speed falls on all
# of them alike; prints the medians in the order of $servers.
run_case() { # kind: read | write | concurrent
    local -A times=()
    local rep server port t
    for rep in $(seq "$reps"); do
        for server in $servers; do
            port=${server}_port
            port=${!port}
            case $1 in
            read) t=$(measure "$port" get big.bin 1 "$root/big.bin") ;;
            write)
                t=$(measure "$port" put "up-$server.bin" 1 "$work/upload.bin")
                cmp -s "$work/upload.bin" "$root/up-$server.bin" || {
                    echo "written file differs: $server" >&2
                    exit 1
                }
                ;;
            concurrent) t=$(measure "$port" get mid.bin $concurrent "$root/mid.bin") ;;
            esac
            times[$server]+="$t "
        done
    done
    for server in $servers; do
        tr ' ' '\n' <<<"${times[$server]}" | grep . | median
    done
}

report() { # label target ours hpa atftpd onethread
    awk -v label="$1" -v target="$2" -v a="$3" -v b="$4" -v c="$5" -v d="$6" 'BEGIN {
        best = b < c ? b : c
        ratio = a / best
        printf "%-26s drovemoor %7.3f s  in.tftpd %7.3f s  atftpd %7.3f s  ratio %5.2f" \
               " (target <= %.1f: %s)  [one-thread C loop %.3f s, %.2f]\n", label, a, b, c,
               ratio, target, ratio <= target ? "met" : "MISSED", d, d / best
    }'
}

status_kib() { # pid field
    awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"
}

inside() {
    ip link set lo up
    : >"$work/drovemoor.out"
    start_ours
    # This in.tftpd will not listen on "127.0.0.1:PORT" (it ends at once); all addresses of the
    # namespace's loopback come to the same.
    "$peers/tftpd-hpa/usr/sbin/in.tftpd" -L -4 -a ":$hpa_port" -s -c -p -u root -U 022 \
        "$root" &
    hpa_pid=$!
    atftpd --daemon --no-fork --port $atftpd_port --bind-address 127.0.0.1 --user root \
        --group root --logfile /dev/null --maxthread 300 "$root" &
    atftpd_pid=$!
    "$yardstick" $onethread_port "$root" &
    onethread_pid=$!
    trap 'stop "$ours_pid"; stop "$hpa_pid"; stop "$atftpd_pid"; stop "$onethread_pid"' EXIT
    wait_port $hpa_port
    wait_port $atftpd_port
    wait_port $onethread_port

    echo "median of $reps runs each, same client (lock step, 512-byte blocks), loopback"
    local m one_core
    one_core=$(($(nproc) - 1))
    pin_servers "$one_core"
    pin="taskset -c $one_core"
    run_case read >"$work/medians"
    mapfile -t m <"$work/medians"
    report "read 33,292,800 B, 1 core" 1.0 "${m[@]}"
    run_case write >"$work/medians"
    mapfile -t m <"$work/medians"
    report "write 33,292,800 B, 1 core" 1.0 "${m[@]}"
    pin_servers "0-$one_core"
    pin=""
    run_case read >"$work/medians"
    mapfile -t m <"$work/medians"
    report "read 33,292,800 B" 1.0 "${m[@]}"
    run_case write >"$work/medians"
    mapfile -t m <"$work/medians"
    report "write 33,292,800 B" 1.0 "${m[@]}"
    run_case concurrent >"$work/medians"
    mapfile -t m <"$work/medians"
    report "50 x read 1,000,000 B" 3.0 "${m[@]}"

    # Memory: a fresh process, idle; then after one read and one write, so what the first
    # transfer sets up once is not counted against each; then with $held transfers at once.
    stop "$ours_pid"
    start_ours
    sleep 1
    local idle_rss idle_hwm warm_rss out held_rss held_hwm end_hwm
    idle_rss=$(status_kib "$ours_pid" VmRSS)
    idle_hwm=$(status_kib "$ours_pid" VmHWM)
    measure $ours_port get mid.bin 1 "$root/mid.bin" >/dev/null
    measure $ours_port put warm.bin 1 "$root/mid.bin" >/dev/null
    sleep 0.5
    warm_rss=$(status_kib "$ours_pid" VmRSS)
    if ! out=$("$client" hold 127.0.0.1 $ours_port mid.bin "$root/mid.bin" held.bin \
        "$root/mid.bin" $held "$ours_pid"); then
        echo "transfer failed while $held were held" >&2
        exit 1
    fi
    held_rss=$(sed -n 's/.*vmrss_kib=\([0-9]*\).*/\1/p' <<<"$out")
    held_hwm=$(sed -n 's/.*vmhwm_kib=\([0-9]*\).*/\1/p' <<<"$out")
    end_hwm=$(status_kib "$ours_pid" VmHWM)
    awk -v ir="$idle_rss" -v ih="$idle_hwm" -v wr="$warm_rss" -v hr="$held_rss" \
        -v hh="$held_hwm" -v eh="$end_hwm" -v n=$held 'BEGIN {
        printf "drovemoor memory idle: VmRSS %.1f MiB, VmHWM %.1f MiB; after one read and" \
               " one write: VmRSS %.1f MiB\n", ir / 1024, ih / 1024, wr / 1024
        growth = (hr - wr) / n
        printf "drovemoor memory with %d concurrent transfers (%d reads, %d writes): VmRSS" \
               " %.1f MiB, VmHWM %.1f MiB (%.1f MiB at the end); growth %.1f KiB per" \
               " transfer  (target < 64 KiB: %s)\n", n, n / 2, n / 2, hr / 1024, hh / 1024,
               eh / 1024, growth, growth < 64 ? "met" : "MISSED"
    }'

    # The one thread under hostile names and a long transfer list, on fresh servers of its own.
    stop "$ours_pid"
    BENCH_BUILD_DIR=$build BENCH_WORK=$work BENCH_ROOT=$root BENCH_REPS=$reps \
        bash "$top/bench/responsiveness.sh"
}

if [ "${1:-}" = "--inside" ]; then
    root=$work/root
    inside
    exit 0
fi

# ---------------------------------------------------------------- set-up, outside

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (sudo $0): it installs packages and makes a network namespace" >&2
    exit 1
fi

"$top/scripts/install-deps.sh"
need=()
for p in atftpd gcc libwrap0 iproute2 util-linux procps; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# tftpd-hpa's package conflicts with atftpd's: unpack it beside the build instead.
if [ ! -x "$peers/tftpd-hpa/usr/sbin/in.tftpd" ]; then
    rm -rf "$peers"
    mkdir -p "$peers"
    download=$(mktemp -d)
    chmod 755 "$download"
    (cd "$download" && apt-get download -qq tftpd-hpa 2>/dev/null ||
        { apt-get update -qq && apt-get download -qq tftpd-hpa; })
    dpkg -x "$download"/tftpd-hpa_*.deb "$peers/tftpd-hpa"
    rm -rf "$download"
fi

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target drovemoor qreg dialog_save_bench >/dev/null
mkdir -p "$build/bench"
cc -O2 -Wall -Wextra -Werror -pthread "$top/bench/tftpbench.c" -o "$client"
cc -O2 -Wall -Wextra -Werror "$top/bench/one_thread_server.c" -o "$yardstick"
cc -O2 -Wall -Wextra -Werror -pthread "$top/bench/stallbench.c" -o "$build/bench/stallbench"

rm -rf "$work"
mkdir -p "$work/root"
root=$work/root
# atftpd wants a directory anyone may read and write.
chmod 777 "$root"
head -c $big_size /dev/urandom >"$root/big.bin"
head -c $mid_size /dev/urandom >"$root/mid.bin"
head -c $big_size /dev/urandom >"$work/upload.bin"

qreg=$build/platform/qreg
key='HKLM\Software\Quorvane.Net\TFTP Server\Config'
export QUORVANE_REGISTRY=$work/registry.sqlite3
"$qreg" add "$key" /v RootDir /d "$root" >/dev/null
"$qreg" add "$key" /v ReceiveOnly /d False >/dev/null
"$qreg" add "$key" /v TransmitOnly /d False >/dev/null
"$qreg" add "$key" /v Logging /d False >/dev/null
"$qreg" add "$key" /v TaskBar /d False >/dev/null
"$qreg" add "$key" /v InactivityTimer /d 9900000 >/dev/null

BENCH_BUILD_DIR=$build BENCH_REPS=$reps unshare -n bash "$0" --inside
# The configuration dialog's OK, on a settings store of its own beside the others.
(cd "$work" && "$build/bench/dialog_save_bench")
rm -rf "$work"
