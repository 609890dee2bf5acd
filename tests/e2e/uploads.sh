#!/usr/bin/env bash
# Uploads that cannot be stored whole (past block 65535, onto a full disk) fail at the client and
# in the log file, never as received; packets from anyone but the client change nothing of an
# upload. A mount namespace of its own holds the small disk that fills up.
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
check "the stranger gets ERROR 5 for its DATA, DATA and ACK, nothing for its ERROR" \
    [ "$(grep -c '^stranger: ' "$work/out")" = 3 ] &&
    [ "$(grep -cx 'stranger: error 5 Unknown transfer ID' "$work/out")" = 3 ]
check "nothing of the stranger's is stored" same "$client/meddled" "$root/meddled"
check "the upload is logged as received" \
    logged 1 "Received meddled from [^(]*\(127\.0\.0\.1\), 5000 bytes"

# The clients roll their block number over to 0 after 65535. tftp-hpa exits 0 whatever the
# server answers, so its output tells; curl says 70 for the ERROR code 3 (disk full).
head -c $((40 * 1024 * 1024)) /dev/urandom >"$client/big"
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

finish
