#!/usr/bin/env bash
# The server never converts: whatever mode a client names, the bytes on the wire are the bytes on
# disk. Clients that ask for options (block size, transfer size) get a plain transfer.
source "$(dirname "$0")/lib.sh"
serve_both_ways
start_server

# CR, LF, CR LF and NUL, as they stand on disk.
printf 'a\r\nb\nc\rd\0e\r\r\n\n' >"$work/mixed"
# The same text in netascii, as the clients put it on the wire: LF becomes CR LF, CR becomes CR NUL.
printf 'a\r\0\r\nb\r\nc\r\0d\0e\r\0\r\0\r\n\r\n' >"$work/mixed.netascii"
cp "$work/mixed" "$root/mixed"
cp "$work/mixed.netascii" "$root/mixed.netascii"

# The raw client shows the bytes the server sends and stores, for any mode name.
for mode in netascii octet NetAscii mail; do
    rm -f "$client/raw-$mode"
    check "raw $mode read: the bytes on disk, unchanged" \
        [ "$(raw get mixed "$client/raw-$mode" --mode "$mode")" = "ok 14" ]
    check "raw $mode read: content" same "$work/mixed" "$client/raw-$mode"
    check "raw $mode write accepted" \
        [ "$(raw put "$work/mixed" "raw-$mode" --mode "$mode")" = "ok 14" ]
    check "raw $mode write: stored unchanged" same "$work/mixed" "$root/raw-$mode"
done

# The real clients convert netascii on their side; the server stores and sends the wire bytes.
timeout 60 tftp 127.0.0.1 -m ascii -c put "$work/mixed" hpa-ascii >/dev/null 2>&1
check "tftp-hpa ascii write: the wire bytes are stored" \
    same "$work/mixed.netascii" "$root/hpa-ascii"
timeout 60 tftp 127.0.0.1 -m ascii -c get mixed.netascii "$client/hpa-ascii" >/dev/null 2>&1
check "tftp-hpa ascii read: the file goes out as stored" same "$work/mixed" "$client/hpa-ascii"
timeout 60 atftp --mode netascii -p -l "$work/mixed" -r atftp-ascii 127.0.0.1 >/dev/null 2>&1
check "atftp netascii write: the wire bytes are stored" \
    same "$work/mixed.netascii" "$root/atftp-ascii"
timeout 60 atftp --mode netascii -g -r mixed.netascii -l "$client/atftp-ascii" 127.0.0.1 \
    >/dev/null 2>&1
check "atftp netascii read: the file goes out as stored" same "$work/mixed" "$client/atftp-ascii"
for c in hpa atftp curl; do
    "${c}_put" "$work/mixed" "$c-octet" >/dev/null 2>&1
    check "$c octet write: stored unchanged" same "$work/mixed" "$root/$c-octet"
    "${c}_get" mixed "$client/$c-octet" >/dev/null 2>&1
    check "$c octet read: unchanged" same "$work/mixed" "$client/$c-octet"
done

# Options: no option acknowledgement, 512-byte blocks (the raw client fails on anything else).
head -c 1000000 /dev/urandom >"$root/big"
check "raw read asking blksize and tsize gets plain 512-byte DATA" \
    [ "$(raw get big "$client/raw-options" --option blksize 1428 --option tsize 0)" = "ok 1000000" ]
check "raw read with options: content" same "$root/big" "$client/raw-options"
check "raw write asking blksize and tsize gets a plain ACK 0" \
    [ "$(raw put "$root/big" raw-options --option blksize 1428 --option tsize 1000000)" = \
        "ok 1000000" ]
check "raw write with options: content" same "$root/big" "$root/raw-options"
curl_get big "$client/curl-default" >/dev/null 2>&1
check "curl read with its default options" same "$root/big" "$client/curl-default"
curl_put "$root/big" curl-default >/dev/null 2>&1
check "curl write with its default options" same "$root/big" "$root/curl-default"
timeout 60 curl -sS --max-time 60 --tftp-blksize 1428 -o "$client/curl-blksize" \
    tftp://127.0.0.1/big >/dev/null 2>&1
check "curl read asking blksize 1428" same "$root/big" "$client/curl-blksize"
timeout 60 curl -sS --max-time 60 --tftp-blksize 1428 -T "$root/big" \
    tftp://127.0.0.1/curl-blksize >/dev/null 2>&1
check "curl write asking blksize 1428" same "$root/big" "$root/curl-blksize"
timeout 60 atftp --option "blksize 1428" --option tsize -g -r big -l "$client/atftp-options" \
    127.0.0.1 >/dev/null 2>&1
check "atftp read asking blksize and tsize" same "$root/big" "$client/atftp-options"
timeout 60 atftp --option "blksize 1428" -p -l "$root/big" -r atftp-options 127.0.0.1 \
    >/dev/null 2>&1
check "atftp write asking blksize" same "$root/big" "$root/atftp-options"

finish
