#!/usr/bin/env bash
# A server held to 256 descriptors and flooded with 600 read requests that nobody answers: every
# request gets a transfer or a refusal (an ERROR and one log line), the server stays up, and once
# the transfers have timed out it serves a normal read. At start the server raises its soft limit
# to the hard one.
source "$(dirname "$0")/lib.sh"
serve_both_ways

soft_limit() { awk '/^Max open files/ { print $4 }' "/proc/$server_pid/limits"; }

limited --nofile=256:1024
start_server
check "the soft limit is raised to the hard one: $(soft_limit)" [ "$(soft_limit)" = 1024 ]
stop_server

limited --nofile=256:256
start_server
count=600
for i in $(seq 0 $((count - 1))); do
    echo "$i" >"$root/f$i"
done
head -c 100000 /dev/urandom >"$root/normal"

# One request at a time, each after the answer to the one before: DATA 1 from a transfer's own
# port, or the refusal. Nothing is acknowledged.
timeout 120 python3 - "$count" >"$work/flood" <<'PY'
import socket, struct, sys
count = int(sys.argv[1])
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", 0))
sock.settimeout(2)
seen, data, refused, other = set(), 0, 0, 0  # seen: the transfers' ports
for i in range(count):
    if other >= 3:
        break  # the server is gone
    sock.sendto(struct.pack("!H", 1) + b"f%d\0octet\0" % i, ("127.0.0.1", 69))
    while True:
        try:
            packet, peer = sock.recvfrom(65536)
        except socket.timeout:
            other += 1
            break
        opcode = struct.unpack("!H", packet[:2])[0]
        if opcode == 3 and peer in seen:
            continue  # a transfer repeating its block
        if opcode == 3:
            seen.add(peer)
            data += 1
        elif opcode == 5 and b"too many open files" in packet:
            refused += 1
        else:
            other += 1
        break
print(data, refused, other)
PY
read -r data refused other <"$work/flood"
check "the server is still up after the flood" alive
check "every request got DATA or a refusal: $data DATA, $refused refused, $other else" \
    [ "$((data + refused)):$other" = "$count:0" ]
check "some requests were refused" [ "${refused:-0}" -gt 0 ]
check "one log line per refusal" \
    logged "$refused" "Error: f[0-9]+ requested from 127\.0\.0\.1, but server has too many open files"
check "one start line per transfer" logged "$data" "Sending f[0-9]+ to .*"

# The transfers time out (26 s); then descriptors are free again.
for _ in $(seq 120); do
    logged "$data" "Timeout error sending f[0-9]+ .*" && break
    sleep 0.5
done
check "every transfer of the flood timed out" logged "$data" "Timeout error sending f[0-9]+ .*"
hpa_get normal "$client/normal" >/dev/null 2>&1
check "a normal read is served afterwards" same "$root/normal" "$client/normal"
check "the server is still up" alive

finish
