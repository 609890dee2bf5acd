#!/usr/bin/env bash
# Uploads that cannot be stored whole (past block 65535, onto a full disk, past a limit on file
# size) fail at the client and in the log file, never as received, and the server serves on; one
# of exactly 65535 blocks ends as a success at the client too. Packets from anyone but the
# client change nothing of an upload. A mount namespace of its own holds the small disk that
# fills up.
if [ "${DROVEMOOR_E2E_MOUNTNS:-}" != 1 ] && [ "$(id -u)" = 0 ]; then
    exec unshare -m --propagation private env DROVEMOOR_E2E_MOUNTNS=1 bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server

# A second socket sends DATA, DATA, ACK and ERROR to a running upload's port.
head -c 5000 /dev/urandom >"$client/meddled"
raw put "$client/meddled" meddled --stranger >"$work/out" 2>&1
check "the client's upload goes through: $(tr '\n' ';' <"$work/out")" \
    grep -qx "ok 5000" "$work/out"
check "the stranger gets three answers, none for its ERROR" \
    [ "$(grep -c '^stranger: ' "$work/out")" = 3 ]
check "each of them ERROR 5" \
    [ "$(grep -cx 'stranger: error 5 Unknown transfer ID' "$work/out")" = 3 ]
check "nothing of the stranger's is stored" same "$client/meddled" "$root/meddled"
check "the upload is logged as received" \
    logged 1 "Received meddled from [^(]*\(127\.0\.0\.1\), 5000 bytes"

# Exactly 65535 full blocks, the most an upload can hold: after the empty final block and its ACK
# both clients send one more empty block, numbered 1, and wait for its ACK.
most=33553920
head -c $((40 * 1024 * 1024)) /dev/urandom >"$client/big"
head -c $most "$client/big" >"$client/most"
for c in hpa curl; do
    if [ $c = curl ]; then # it retries until its time-out for that ACK; the put takes 3 s
        timeout 30 curl -sS --max-time 30 -T "$client/most" "tftp://127.0.0.1/$c-most" \
            >"$work/out" 2>&1
    else
        "${c}_put" "$client/most" "$c-most" >"$work/out" 2>&1
    fi
    rc=$?
    check "$c puts exactly $most bytes and exits 0 (exit $rc): $(tr '\n' ';' <"$work/out")" \
        [ $rc -eq 0 ]
    check "$c: stored whole" same "$client/most" "$root/$c-most"
    check "$c: logged as received" \
        logged 1 "Received $c-most from [^(]*\(127\.0\.0\.1\), $most bytes"
    rm -f "$root/$c-most"
done
rm -f "$client/most"

# The clients roll their block number over to 0 after 65535. tftp-hpa exits 0 whatever the
# server answers, so its output tells; curl says 70 for the ERROR code 3 (disk full).
hpa_put "$client/big" big >"$work/out" 2>&1
check "tftp-hpa shows a 40 MiB upload fail with code 3: $(tr '\n' ';' <"$work/out")" \
    grep -qF "Error code 3: TFTP Error: File too large for TFTP Protocol" "$work/out"
check "the stored part is the client's, its start not overwritten" \
    cmp -s -n 33553920 "$client/big" "$root/big"
atftp_put "$client/big" big >"$work/out" 2>&1
rc=$?
check "atftp fails a 40 MiB upload (exit $rc)" [ $rc -ne 0 ]
check "atftp shows why" grep -qF "<TFTP Error: File too large for TFTP Protocol>" "$work/out"
curl_put "$client/big" big >"$work/out" 2>&1
rc=$?
check "curl fails a 40 MiB upload with code 3 (exit $rc)" [ $rc -eq 70 ]
check "the log says each upload failed and why" \
    logged 3 "Error receiving big from [^(]*\(127\.0\.0\.1\), 33553920 bytes : File too large for TFTP Protocol"
check "never as received" logged 0 "Received big from .*"
rm -f "$client/big" "$root/big"

full=$root/full
mkdir "$full"
mount -t tmpfs -o size=200k tmpfs "$full" || {
    echo "FAIL: could not mount a small tmpfs"
    exit 1
}
trap 'umount "$full" 2>/dev/null; cleanup' EXIT
head -c 300000 /dev/urandom >"$client/toobig"
hpa_put "$client/toobig" full/toobig >"$work/out" 2>&1
check "tftp-hpa shows an upload that fills the disk fail: $(tr '\n' ';' <"$work/out")" \
    grep -qF "Error code 3: Disk full or allocation exceeded" "$work/out"
atftp_put "$client/toobig" full/toobig >"$work/out" 2>&1
rc=$?
check "atftp fails an upload that fills the disk (exit $rc)" [ $rc -ne 0 ]
curl_put "$client/toobig" full/toobig >"$work/out" 2>&1
rc=$?
check "curl fails an upload that fills the disk with code 3 (exit $rc)" [ $rc -eq 70 ]
check "the log says each upload failed and why" \
    logged 3 "Error receiving full/toobig from [^(]*\(127\.0\.0\.1\), [0-9]+ bytes : Disk full or allocation exceeded"
check "never as received" logged 0 "Received full/toobig from .*"
rm -f "$full/toobig"
head -c 1000 /dev/urandom >"$client/fits"
hpa_put "$client/fits" full/fits >"$work/out" 2>&1
check "once there is room again, uploads are stored" same "$client/fits" "$full/fits"

# Under a limit on file size (systemd's LimitFSIZE=, ulimit -f) a write past it fails as on a
# full disk, and nothing else ends.
stop_server
head -c 50000 /dev/urandom >"$root/served"
limited --fsize=100000
start_server
hpa_put "$client/toobig" past-limit >"$work/out" 2>&1
check "tftp-hpa shows an upload past the file-size limit fail: $(tr '\n' ';' <"$work/out")" \
    grep -qF "Error code 3: Disk full or allocation exceeded" "$work/out"
check "the server outlives the limit" alive
check "the log says the upload failed and why" \
    logged 1 "Error receiving past-limit from [^(]*\(127\.0\.0\.1\), [0-9]+ bytes : Disk full or allocation exceeded"
check "never as received" logged 0 "Received past-limit from .*"
hpa_get served "$client/served" >"$work/out" 2>&1
check "a read is served afterwards" same "$root/served" "$client/served"

finish
