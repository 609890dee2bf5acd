# What bench/run.sh and bench/responsiveness.sh share: starting and stopping drovemoor, and a
# median. Sourced; build, work and ours_port must be set.

wait_port() { # port: until something listens on it, 5 s at most
    for _ in $(seq 100); do
        ss -ulnH "sport = :$1" | grep -q . && return 0
        sleep 0.05
    done
    echo "nothing listens on UDP port $1" >&2
    return 1
}

start_ours() {
    QUORVANE_REGISTRY=$work/registry.sqlite3 QT_QPA_PLATFORM=offscreen \
        "$build/server/drovemoor" >>"$work/drovemoor.out" 2>&1 &
    ours_pid=$!
    wait_port $ours_port
}

stop() { # pid
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

median() {
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
