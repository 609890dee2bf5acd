#!/usr/bin/env python3
"""Writes the fuzzer's seed inputs into fuzz/corpus/: real requests and the packets of real
transfers, in the step format that fuzz_datagrams.cpp reads."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER, LAST = 0x00, 0x40


def dgram(target, payload):
    return bytes([target]) + struct.pack(">H", len(payload)) + payload


def wait(quarters):  # virtual time moves on by quarters * 250 ms (at most 63 a step)
    out = b""
    while quarters > 0:
        step = min(quarters, 63)
        out += bytes([0xC0 | step])
        quarters -= step
    return out


def rrq(name, mode=b"octet", extra=b""):
    return b"\0\1" + name + b"\0" + mode + b"\0" + extra


def wrq(name, mode=b"octet", extra=b""):
    return b"\0\2" + name + b"\0" + mode + b"\0" + extra


def data(block, payload):
    return struct.pack(">HH", 3, block) + payload


def ack(block):
    return struct.pack(">HH", 4, block)


def error(code, text):
    return struct.pack(">HH", 5, code) + text + b"\0"


SEEDS = {
    "read_small": dgram(SERVER, rrq(b"small.txt")) + dgram(LAST, ack(1)),
    "read_three_netascii": dgram(SERVER, rrq(b"three.bin", b"netascii"))
    + b"".join(dgram(LAST, ack(b)) for b in (1, 2, 3)),
    "read_block_exact": dgram(SERVER, rrq(b"block.bin")) + dgram(LAST, ack(1)) + dgram(LAST, ack(2)),
    "read_empty": dgram(SERVER, rrq(b"empty.bin")) + dgram(LAST, ack(1)),
    "read_subdir_backslash": dgram(SERVER, rrq(b"sub\\inner.txt")) + dgram(LAST, ack(1)),
    "read_missing": dgram(SERVER, rrq(b"missing.txt")),
    "read_parent": dgram(SERVER, rrq(b"../outside.txt")) + dgram(SERVER, rrq(b"..\\outside.txt")),
    "read_absolute": dgram(SERVER, rrq(b"/etc/passwd")),
    "read_drive": dgram(SERVER, rrq(b"c:\\boot.ini")),
    "read_options": dgram(SERVER, rrq(b"three.bin", b"octet", b"blksize\x001428\0tsize\x000\0"))
    + dgram(LAST, ack(0)) + dgram(LAST, ack(1)),
    "read_repeat_cancels": dgram(SERVER, rrq(b"three.bin")) + dgram(SERVER, rrq(b"three.bin"))
    + dgram(LAST, ack(1)),
    "read_wrong_acks": dgram(SERVER, rrq(b"three.bin")) + dgram(LAST, ack(7)) + dgram(LAST, ack(0))
    + dgram(LAST, ack(65535)) + dgram(LAST, data(1, b"x")),
    "read_timeout": dgram(SERVER, rrq(b"three.bin")) + wait(30) + dgram(LAST, ack(1)) + wait(120),
    "read_error_from_client": dgram(SERVER, rrq(b"three.bin")) + dgram(LAST, error(0, b"stop")),
    "write_new": dgram(SERVER, wrq(b"new.bin")) + dgram(LAST, data(1, b"fresh bytes")),
    "write_replace_two_blocks": dgram(SERVER, wrq(b"block.bin")) + dgram(LAST, data(1, b"z" * 512))
    + dgram(LAST, data(2, b"")),
    "write_out_of_order": dgram(SERVER, wrq(b"sub/w.bin")) + dgram(LAST, data(2, b"b" * 512))
    + dgram(LAST, data(1, b"a" * 512)) + dgram(LAST, data(0, b"zero")) + dgram(LAST, data(3, b"c")),
    "write_timeout": dgram(SERVER, wrq(b"slow.bin")) + dgram(LAST, data(1, b"q" * 512)) + wait(120),
    "write_parent": dgram(SERVER, wrq(b"../outside.txt")) + dgram(LAST, data(1, b"overwritten")),
    "write_oversized_data": dgram(SERVER, wrq(b"big.bin")) + dgram(LAST, data(1, b"o" * 700)),
    "write_error_from_client": dgram(SERVER, wrq(b"e.bin")) + dgram(LAST, error(3, b"disk full")),
    "two_at_once": dgram(SERVER, rrq(b"three.bin")) + dgram(SERVER, wrq(b"two.bin"))
    + dgram(0x80, ack(1)) + dgram(0x81, data(1, b"x")),
    "stray_packets_to_server": dgram(SERVER, data(1, b"x")) + dgram(SERVER, ack(1))
    + dgram(SERVER, error(1, b"nope")) + dgram(SERVER, b"\0\x09junk\0"),
    "short_datagrams": dgram(SERVER, b"") + dgram(SERVER, b"\0") + dgram(SERVER, b"\0\1")
    + dgram(SERVER, b"\0\1x") + dgram(SERVER, b"\0\1ab"),
    "request_without_terminators": dgram(SERVER, b"\0\1name-without-end")
    + dgram(SERVER, b"\0\2name\0mode-without-end"),
}


def main():
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for name, body in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(body)


if __name__ == "__main__":
    main()
