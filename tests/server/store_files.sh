#!/usr/bin/env bash
# The settings store is the one file the README names. A store that an older version kept with a
# write-ahead log, found without its -wal and -shm files (after a look with the sqlite3 shell, or
# a restore of the file alone), is read by a user who may not make those files beside it and on
# a read-only mount, by qreg and by the server; the first writer takes it back to one file. And
# while the server runs, a copy of the file alone holds each value set a moment before.
set -u
drovemoor=$1
qreg=$2
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: needs root for another user, a mount and a network namespace"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Everyone may look into the folders, nobody but root may write in them.
chmod 755 "$work"
# No step here touches a store it does not name.
export QUORVANE_REGISTRY=$work/unnamed/registry.sqlite3
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

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
key='HKLM\Software\Quorvane.Net\TFTP Server\Config'
mkdir -p "$work/root"
echo served >"$work/root/hello.txt"
chmod -R a+rX "$work/root"

# The folder's files and the file's bytes, to see that a reader leaves them as they are.
folder_state() { # store
    ls -A "$(dirname "$1")"
    md5sum "$1"
}

# The journal kind in the file's header: 1 1 for a rollback journal, 2 2 for a write-ahead log.
journal_kind() { # store
    od -An -tu1 -j18 -N2 "$1" | tr -s ' ' | sed 's/^ //'
}

# A store as an older version left it once its side files were gone.
old_store() { # folder
    mkdir -p "$1"
    QUORVANE_REGISTRY=$1/registry.sqlite3 "$qreg" add "$key" /v RootDir /d "$work/root" \
        >/dev/null
    local value
    for value in Logging ReceiveOnly TransmitOnly; do
        QUORVANE_REGISTRY=$1/registry.sqlite3 "$qreg" add "$key" /v $value /d False >/dev/null
    done
    python3 -c 'import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute("pragma journal_mode=wal"); c.close()' \
        "$1/registry.sqlite3"
    chmod 644 "$1/registry.sqlite3"
}

query_root() { # store, command prefix...: qreg's answer for RootDir in $work/query.out/.err
    local store=$1
    shift
    QUORVANE_REGISTRY=$store timeout 10 "$@" "$qreg" query "$key" /v RootDir \
        >"$work/query.out" 2>"$work/query.err"
}
reads_root() { # the last query's answer was the stored root, and nothing else was said
    grep -qF -- "RootDir    REG_SZ    $work/root" "$work/query.out" && [ ! -s "$work/query.err" ]
}

# -- An ordinary user, who may read the file but not make anything beside it.
old_store "$work/user"
store=$work/user/registry.sqlite3
check "the old store is in write-ahead mode and alone" \
    '[ "$(journal_kind "$store")" = "2 2" ] && [ "$(ls -A "$work/user")" = registry.sqlite3 ]'
before=$(folder_state "$store")
query_root "$store" "${nobody[@]}"
status=$?
check "another user's qreg reads the old store: $(cat "$work/query.err")" "[ $status = 0 ] && reads_root"

# The server run by that user: it reads its settings and serves the stored root folder.
cat >"$work/serve.sh" <<'INNER'
ip link set lo up
sysctl -qw net.ipv4.ip_unprivileged_port_start=0
QUORVANE_REGISTRY=$2 QT_QPA_PLATFORM=offscreen "${@:4}" "$1" 2>"$3/serve.err" &
pid=$!
for _ in $(seq 100); do ss -ulnH 'sport = :69' | grep -q . && break; sleep 0.05; done
(cd "$3" && timeout 10 tftp 127.0.0.1 -m binary -c get hello.txt fetched.txt)
kill "$pid"
wait "$pid"
INNER
unshare -n bash "$work/serve.sh" "$drovemoor" "$store" "$work" "${nobody[@]}" 2>/dev/null
check "another user's server reads the old store and serves its root: $(cat "$work/serve.err")" \
    'cmp -s "$work/root/hello.txt" "$work/fetched.txt" &&
     ! grep -q "Cannot read the settings store" "$work/serve.err"'
check "another user's reading leaves the old store as it was" \
    '[ "$before" = "$(folder_state "$store")" ]'

# -- A read-only mount: nobody can make anything beside the file, nor change it.
old_store "$work/mount"
store=$work/mount/registry.sqlite3
before=$(folder_state "$store")
cat >"$work/mounted.sh" <<'INNER'
mount --bind -o ro "$(dirname "$1")" "$(dirname "$1")" || exit 99
QUORVANE_REGISTRY=$1 timeout 10 "$2" query "$3" /v RootDir >"$4/query.out" 2>"$4/query.err"
echo "query=$?" >"$4/mounted"
QUORVANE_REGISTRY=$1 timeout 10 "$2" add "$3" /v RootDir /d /elsewhere >/dev/null 2>"$4/add.err"
echo "add=$?" >>"$4/mounted"
INNER
unshare -m bash "$work/mounted.sh" "$store" "$qreg" "$key" "$work"
check "qreg reads the old store on a read-only mount: $(cat "$work/query.err")" \
    'grep -q "^query=0$" "$work/mounted" && reads_root'
check "a write on the read-only mount is refused: $(cat "$work/add.err")" \
    'grep -q "^add=1$" "$work/mounted" && grep -q "Access is denied" "$work/add.err"'
check "the read-only mount's store is left as it was" '[ "$before" = "$(folder_state "$store")" ]'

# -- The first writer takes the old store back to one file, which the other user still reads.
store=$work/user/registry.sqlite3
QUORVANE_REGISTRY=$store "$qreg" add "$key" /v TaskBar /d True >/dev/null
check "a writer takes the old store to a rollback journal, with nothing beside the file" \
    '[ "$(journal_kind "$store")" = "1 1" ] && [ "$(ls -A "$work/user")" = registry.sqlite3 ]'
query_root "$store" "${nobody[@]}"
status=$?
check "another user's qreg reads the store after it: $(cat "$work/query.err")" \
    "[ $status = 0 ] && reads_root"
unshare -m bash "$work/mounted.sh" "$store" "$qreg" "$key" "$work"
check "qreg reads it on a read-only mount: $(cat "$work/query.err")" \
    'grep -q "^query=0$" "$work/mounted" && reads_root'

# -- While the server runs, every value set is in the file itself at once.
mkdir -p "$work/running"
export QUORVANE_REGISTRY=$work/running/registry.sqlite3
"$qreg" add "$key" /v RootDir /d "$work/root" >/dev/null
"$qreg" add "$key" /v Logging /d False >/dev/null
cat >"$work/running.sh" <<'INNER'
ip link set lo up
QT_QPA_PLATFORM=offscreen "$1" 2>"$3/running.err" &
pid=$!
for _ in $(seq 100); do ss -ulnH 'sport = :69' | grep -q . && break; sleep 0.05; done
kill -0 "$pid" && echo "running=1" >"$3/running.result"
for value in 1 2 3; do
    "$2" add 'HKLM\Software\Quorvane.Net\TFTP Server\Config' /v InactivityTimer /d "${value}00" \
        >/dev/null
    cp "$QUORVANE_REGISTRY" "$3/copy-$value.sqlite3"
done
kill -0 "$pid" && echo "still=1" >>"$3/running.result"
kill "$pid"
wait "$pid"
INNER
unshare -n bash "$work/running.sh" "$drovemoor" "$qreg" "$work"
check "the server ran while the values were set: $(cat "$work/running.err")" \
    'grep -q "^running=1$" "$work/running.result" && grep -q "^still=1$" "$work/running.result"'
for value in 1 2 3; do
    copy=$work/copy-$value.sqlite3
    QUORVANE_REGISTRY=$copy "$qreg" query "$key" /v InactivityTimer >"$work/copy.out" 2>&1
    check "a copy of the file alone holds the value set just before: $(cat "$work/copy.out")" \
        'grep -q "InactivityTimer    REG_SZ    ${value}00$" "$work/copy.out"'
done

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
