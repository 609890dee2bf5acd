#!/usr/bin/env bash
# Requests the server refuses, as the clients see them: the ERROR code and text on the wire (raw
# client) and what each real client makes of them. Nothing outside the root directory is read,
# created or deleted, and a refused write leaves the root as it was.
source "$(dirname "$0")/lib.sh"
serve_both_ways
echo "kept" >"$root/r.txt"
echo "mine" >"$work/w.txt"
mkdir "$root/x"
ln -s "$outside/secret.txt" "$root/link_out"
ln -s "$outside" "$root/dir_out"
ln -s "$outside/created.txt" "$root/link_new"
snapshot "$outside" >"$work/outside.before"

phase() { # a fresh log file for each server configuration
    stop_server
    log=$work/log-$1.txt
    setting LogFile "$log"
    start_server
}

expect() { # what, expected answer (a pattern), raw client arguments...
    local what=$1 expected=$2
    shift 2
    local answer
    answer=$(raw "$@" 2>&1)
    check "$what: got '$answer'" matches "$answer" "$expected"
}

# --- Receive only: reads refused with code 2, writes still served.
setting ReceiveOnly True
phase receive-only
receive_only='TFTP Server Error: server is configured for receive only'
expect "read while receive only" "error 2 $receive_only" get r.txt "$client/r1"
hpa_get r.txt "$client/r2" >"$work/out" 2>&1
check "tftp-hpa shows code 2 while receive only" grep -qF "Error code 2: $receive_only" "$work/out"
atftp_get r.txt "$client/r3" >"$work/out" 2>&1
check "atftp shows the receive-only refusal" grep -qF "<$receive_only>" "$work/out"
curl_get r.txt "$client/r4" >/dev/null 2>&1
rc=$?
check "curl reports code 2 (permission) while receive only" [ $rc -eq 69 ]
check "receive only: the refusal is logged" logged 4 \
    "Error: r\.txt requested from 127\.0\.0\.1, but server is configured for Receive Only"
expect "write while receive only" "ok 5" put "$work/w.txt" w1.txt

# --- Transmit only: writes refused with code 0; nothing created, nothing replaced.
setting ReceiveOnly False
setting TransmitOnly True
phase transmit-only
transmit_only='TFTP Server Error: server is configured for transmit only'
snapshot "$root" >"$work/root.before"
expect "write while transmit only" "error 0 $transmit_only" put "$work/w.txt" new1.txt
expect "write over a file while transmit only" "error 0 $transmit_only" put "$work/w.txt" r.txt
hpa_put "$work/w.txt" new2.txt >"$work/out" 2>&1
check "tftp-hpa shows code 0 while transmit only" grep -qF "Error code 0: $transmit_only" \
    "$work/out"
atftp_put "$work/w.txt" new3.txt >"$work/out" 2>&1
check "atftp shows the transmit-only refusal" grep -qF "<$transmit_only>" "$work/out"
curl_put "$work/w.txt" new4.txt >/dev/null 2>&1
rc=$?
check "curl reports code 0 (illegal operation) while transmit only" [ $rc -eq 71 ]
check "transmit only: the root is unchanged" \
    unchanged "$root" "$work/root.before"
check "transmit only: the refusal is logged" logged 1 \
    "Error: 127\.0\.0\.1 wants to write new1\.txt, but server is configured for Transmit Only"
expect "read while transmit only" "ok 5" get r.txt "$client/r5"

# --- Names: a colon, a missing file, and names that try to leave the root.
setting TransmitOnly False
phase names
snapshot "$root" >"$work/root.before"
invalid='TFTP Server Error: Invalid access to '
missing='TFTP Error: File does not exist'
# name sent | answer to a read | answer to a write ("-": not tried); @OUT@ is the sentinel's path
while IFS='|' read -r name on_read on_write; do
    name=${name//@OUT@/$outside}
    rm -f "$client/got"
    if [ "$on_read" != - ]; then
        expect "read '$name'" "$on_read" get "$name" "$client/got"
        check "read '$name': nothing arrived" [ ! -e "$client/got" ]
    fi
    if [ "$on_write" != - ]; then
        expect "write '$name'" "$on_write" put "$work/w.txt" "$name"
    fi
done <<'TABLE'
a:b|error 2 TFTP Server Error: Invalid access to a:b|error 0 TFTP Server Error: Invalid access to a:b
C:r.txt|error 2 TFTP Server Error: Invalid access to C:r.txt|error 0 TFTP Server Error: Invalid access to C:r.txt
missing.txt|error 1 TFTP Error: File does not exist|-
x|error 1 TFTP Error: File does not exist|error 0 *
x/....//....//outside/secret.txt|error 2 TFTP Server Error: Invalid access to *|error 0 TFTP Server Error: Invalid access to *
x/....//....//outside/new.txt|-|error 0 TFTP Server Error: Invalid access to *
x\....\\....\\outside\secret.txt|error 2 TFTP Server Error: Invalid access to *|error 0 TFTP Server Error: Invalid access to *
../outside/secret.txt|error 1 TFTP Error: File does not exist|error 0 *
..\outside\secret.txt|error 1 TFTP Error: File does not exist|error 0 *
@OUT@/secret.txt|error 1 TFTP Error: File does not exist|error 0 *
link_out|error 2 TFTP Server Error: Invalid access to *|error 0 TFTP Server Error: Invalid access to *
dir_out/secret.txt|error 2 TFTP Server Error: Invalid access to *|error 0 TFTP Server Error: Invalid access to *
dir_out/new.txt|-|error 0 TFTP Server Error: Invalid access to *
link_new|error 2 TFTP Server Error: Invalid access to *|error 0 TFTP Server Error: Invalid access to *
TABLE
check "names: the root is unchanged" \
    unchanged "$root" "$work/root.before"
check "names: no transfer started" logged 0 "(Sending|Receiving) .*"
check "the colon refusal of a write is logged" logged 1 "${invalid}a:b"

hpa_get missing.txt "$client/m1" >"$work/out" 2>&1
check "tftp-hpa shows code 1 for a missing file" grep -qF "Error code 1: $missing" "$work/out"
atftp_get missing.txt "$client/m2" >"$work/out" 2>&1
check "atftp shows the missing file" grep -qF "<$missing>" "$work/out"
curl_get missing.txt "$client/m3" >/dev/null 2>&1
rc=$?
check "curl reports code 1 (file not found) for a missing file" [ $rc -eq 68 ]
atftp_get a:b "$client/c1" >"$work/out" 2>&1
check "atftp shows the colon refusal" grep -qF "<${invalid}a:b>" "$work/out"
curl_get a:b "$client/c2" >/dev/null 2>&1
rc=$?
check "curl reports code 2 for a read with a colon" [ $rc -eq 69 ]
curl_put "$work/w.txt" a:b >/dev/null 2>&1
rc=$?
check "curl reports code 0 for a write with a colon" [ $rc -eq 71 ]
hpa_get 'x/....//....//outside/secret.txt' "$client/e1" >"$work/out" 2>&1
check "tftp-hpa shows code 2 for a name that leaves the root" \
    grep -qF "Error code 2: $invalid" "$work/out"
check "tftp-hpa got nothing of the sentinel" differ "$outside/secret.txt" "$client/e1"
curl_put "$work/w.txt" dir_out/new.txt >/dev/null 2>&1
rc=$?
check "curl reports code 0 for a write through a link out of the root" [ $rc -eq 71 ]
check "nothing outside the root was created, changed or deleted" \
    unchanged "$outside" "$work/outside.before"

# --- Permitted range 10.0.0.1 to 10.0.0.9: the ends are admitted, the rest refused.
ip_range 1 10.0.0.1 10.0.0.9
for address in 10.0.0.1 10.0.0.9 10.0.0.10; do
    ip addr add "$address/32" dev lo
done
phase range
snapshot "$root" >"$work/root.before"
expect "read from 127.0.0.1 outside the range" "error 2 ${invalid}r.txt" get r.txt "$client/o1"
expect "write from 127.0.0.1 outside the range" "error 0 ${invalid}new5.txt" \
    put "$work/w.txt" new5.txt
expect "read from 10.0.0.10 outside the range" "error 2 ${invalid}r.txt" \
    get r.txt "$client/o2" --source 10.0.0.10 --server 10.0.0.10
expect "write from 10.0.0.10 outside the range" "error 0 ${invalid}new6.txt" \
    put "$work/w.txt" new6.txt --source 10.0.0.10 --server 10.0.0.10
curl_get r.txt "$client/o3" >/dev/null 2>&1
rc=$?
check "curl reports code 2 outside the range" [ $rc -eq 69 ]
hpa_put "$work/w.txt" new7.txt >"$work/out" 2>&1
check "tftp-hpa shows code 0 for a write outside the range" \
    grep -qF "Error code 0: ${invalid}new7.txt" "$work/out"
check "outside the range: the root is unchanged" \
    unchanged "$root" "$work/root.before"
check "outside the range: the refusal is logged" logged 1 \
    "Error: r\.txt requested from 10\.0\.0\.10, but client IP address \(10\.0\.0\.10\) is outside security address range\."
for address in 10.0.0.1 10.0.0.9; do
    expect "read from $address inside the range" "ok 5" \
        get r.txt "$client/i-$address" --source "$address" --server "$address"
    expect "write from $address inside the range" "ok 5" \
        put "$work/w.txt" "in-$address.txt" --source "$address" --server "$address"
    check "write from $address inside the range: content" same "$work/w.txt" "$root/in-$address.txt"
done

finish
