#!/usr/bin/env bash
# Reads and writes of the sizes around the block boundary and at the protocol's limit, with each
# of the four real clients both ways: every file arrives byte for byte. One byte over the limit
# is refused on read, as each client shows it.
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server
check "busybox is there (scripts/fetch-busybox.sh unpacks it): $busybox" [ -x "$busybox" ]

limit=33292800 # 255 x 255 blocks of 512 bytes
src=$work/src
mkdir -p "$src"
for size in 0 511 512 513 1000000; do
    head -c "$size" /dev/urandom >"$src/$size.bin"
done
head -c "$limit" /dev/urandom >"$src/$limit.bin"
for size in 0 511 512 513 1000000 $limit; do
    cp "$src/$size.bin" "$root/r$size.bin"
done

for size in 0 511 512 513 1000000 $limit; do
    for c in hpa atftp curl busybox; do
        rm -f "$client/$c-$size"
        "${c}_get" "r$size.bin" "$client/$c-$size" >"$work/out" 2>&1
        check "$c reads $size bytes" same "$src/$size.bin" "$client/$c-$size"
        "${c}_put" "$src/$size.bin" "$c-w$size.bin" >"$work/out" 2>&1
        check "$c writes $size bytes" same "$src/$size.bin" "$root/$c-w$size.bin"
        # Keeps the disk use of the 33 MB round small.
        rm -f "$client/$c-$size" "$root/$c-w$size.bin"
    done
done

cp "$src/$limit.bin" "$root/over.bin"
printf 'x' >>"$root/over.bin"
too_large='TFTP Error: File too large for TFTP Protocol'
check "raw client: one byte over the limit is refused with code 1" \
    [ "$(raw get over.bin "$client/raw-over")" = "error 1 $too_large" ]
hpa_get over.bin "$client/hpa-over" >"$work/out" 2>&1
check "tftp-hpa shows code 1 for one byte over the limit" \
    grep -qF "Error code 1: $too_large" "$work/out"
atftp_get over.bin "$client/atftp-over" >"$work/out" 2>&1
rc=$?
check "atftp fails on one byte over the limit" [ $rc -ne 0 ]
check "atftp shows why" grep -qF "<$too_large>" "$work/out"
curl_get over.bin "$client/curl-over" >"$work/out" 2>&1
rc=$?
check "curl reports code 1 (file not found) for one byte over the limit" [ $rc -eq 68 ]
busybox_get over.bin "$client/busybox-over" >"$work/out" 2>&1
rc=$?
check "busybox fails on one byte over the limit (exit $rc)" [ $rc -ne 0 ]
check "busybox shows code 1 and why" grep -qF "(1) $too_large" "$work/out"
check "the server logged each refusal" \
    logged 5 "TFTP Error from 127\.0\.0\.1 requesting over\.bin : File too large for TFTP Protocol"

finish
