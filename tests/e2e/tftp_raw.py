#!/usr/bin/env python3
"""A TFTP client on a bare UDP socket. It sends exactly the packets it is told to and prints what
the server answered, so that tests see error codes, texts and block sizes as they are on the wire.

  get NAME OUT      read NAME into OUT; prints "ok SIZE" or "error CODE TEXT"; with --times N,
                    N times from the same port, each right after the final ACK of the last
  put SRC NAME      write SRC as NAME; prints "ok SIZE" or "error CODE TEXT"; with --stranger,
                    after the first block a second socket sends DATA, ACK and ERROR to the
                    transfer's port, and each answer it gets is printed as "stranger: ..."
  stall-get NAME    take --blocks blocks, acknowledge all but the last, then fall silent and
                    print every datagram that still arrives within --listen seconds
  stall-put NAME    send --blocks full blocks, then fall silent and listen likewise

With --again K, a get or put sends K copies of its request from the same port before it answers
the transfer's first packet, and once more a little later, which must bring that packet again at
once; then K more after its answer. Nothing may come from any other port.

Exit status: 0 done, 2 the server sent ERROR, 1 anything unexpected (printed on stderr).
"""
import argparse
import socket
import struct
import sys
import time

RRQ, WRQ, DATA, ACK, ERROR, OACK = 1, 2, 3, 4, 5, 6
BLOCK = 512


class Unexpected(Exception):
    pass


def request(opcode, name, mode, options):
    packet = struct.pack("!H", opcode) + name + b"\0" + mode + b"\0"
    for key, value in options:
        packet += key + b"\0" + value + b"\0"
    return packet


def parse_error(packet):
    code = struct.unpack("!H", packet[2:4])[0]
    text = packet[4:]
    if not text.endswith(b"\0"):
        raise Unexpected(f"ERROR text without its zero byte: {packet!r}")
    return code, text[:-1].decode("latin-1")


def receive(sock, timeout):
    sock.settimeout(timeout)
    try:
        return sock.recvfrom(65536)
    except socket.timeout:
        raise Unexpected(f"no answer within {timeout} s") from None


def opcode_of(packet):
    if len(packet) < 4:
        raise Unexpected(f"short datagram {packet!r}")
    return struct.unpack("!H", packet[:2])[0]


class ServerError(Exception):
    def __init__(self, code, text):
        super().__init__(f"error {code} {text}")
        self.code, self.text = code, text


def first_answer(sock, args, opcode, asked=False):
    if not asked:
        sock.sendto(request(opcode, args.name, args.mode, args.option), (args.server, 69))
    packet, peer = receive(sock, args.timeout)
    if peer[1] == 69:
        raise Unexpected("answered from port 69, which only takes requests")
    kind = opcode_of(packet)
    if kind == ERROR:
        raise ServerError(*parse_error(packet))
    if kind == OACK:
        raise Unexpected("the server acknowledged options")
    return packet, peer


def check_data(packet, block):
    if opcode_of(packet) == ERROR:
        raise ServerError(*parse_error(packet))
    if opcode_of(packet) != DATA or struct.unpack("!H", packet[2:4])[0] != block:
        raise Unexpected(f"expected DATA {block}, got {packet[:4]!r}")
    if len(packet) > 4 + BLOCK:
        raise Unexpected(f"DATA {block} of {len(packet)} bytes")
    return packet[4:]


def check_ack(packet, block):
    if opcode_of(packet) == ERROR:
        raise ServerError(*parse_error(packet))
    if packet != struct.pack("!HH", ACK, block):
        raise Unexpected(f"expected ACK {block}, got {packet!r}")


def copies(sock, args, opcode):
    for _ in range(args.again):
        sock.sendto(request(opcode, args.name, args.mode, args.option), (args.server, 69))


def first_again(sock, args, opcode, first, peer):
    """Copies of the request before the client has answered. Those right after the first packet
    start nothing and may go unanswered (a packet goes again at most once a second); one more a
    little later is answered with the first packet again, at once, from the transfer's port."""
    copies(sock, args, opcode)
    last = time.monotonic()
    while (left := last + 1.2 - time.monotonic()) > 0:
        sock.settimeout(left)
        try:
            packet, source = sock.recvfrom(65536)
        except socket.timeout:
            break
        if source != peer or packet != first:
            raise Unexpected(f"a copy of the request was answered with {packet[:4]!r} from "
                             f"{source}; the transfer runs on {peer}")
        last = time.monotonic()
    copies(sock, args, opcode)
    packet, source = receive(sock, 1.0)
    if source != peer or packet != first:
        raise Unexpected(f"a copy of the request was answered with {packet[:4]!r} from "
                         f"{source}; the transfer runs on {peer}")


def next_packet(sock, args, peer, repeats):
    """The transfer's next packet; with --again the repeats given (of the first packet, of the
    one before) are passed over."""
    while True:
        packet, source = receive(sock, args.timeout)
        if source != peer:
            raise Unexpected(f"{packet[:4]!r} from {source}, the transfer runs on {peer}")
        if not (args.again and packet in repeats):
            return packet


def nothing_else(sock, peer):
    """After the end: no other transfer answers (a copy of the request taken as a new one)."""
    sock.settimeout(1.0)
    try:
        while True:
            packet, source = sock.recvfrom(65536)
            if source != peer:
                raise Unexpected(f"{packet[:4]!r} from {source} after the transfer on {peer}")
    except socket.timeout:
        pass


def get(sock, args, asked=False):
    packet, peer = first_answer(sock, args, RRQ, asked)
    if args.again:
        first_again(sock, args, RRQ, packet, peer)
    block, content, first = 1, bytearray(), packet
    while True:
        data = check_data(packet, block)
        content += data
        sock.sendto(struct.pack("!HH", ACK, block), peer)
        if len(data) < BLOCK and args.times > 1:
            # The next read's request right behind the final ACK.
            sock.sendto(request(RRQ, args.name, args.mode, args.option), (args.server, 69))
        if block == 1:
            copies(sock, args, RRQ)
        if len(data) < BLOCK:
            break
        block += 1
        packet = next_packet(sock, args, peer, (first, packet))
    if args.again:
        nothing_else(sock, peer)
    with open(args.out, "wb") as out:
        out.write(content)
    print(f"ok {len(content)}")
    if args.times > 1:
        args.times -= 1
        get(sock, args, asked=True)


def meddle(peer, args):
    """From a port of its own: the packets that would change the transfer if it took them."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
        other.bind((args.source, 0))
        for packet in (
            struct.pack("!HH", DATA, 2) + b"\xee" * BLOCK,
            struct.pack("!HH", DATA, 3) + b"junk",
            struct.pack("!HH", ACK, 1),
            struct.pack("!HH", ERROR, 0) + b"bye\0",
        ):
            other.sendto(packet, peer)
        listen(other, 1.0, "stranger: ")


def put(sock, args):
    with open(args.src, "rb") as src:
        content = src.read()
    packet, peer = first_answer(sock, args, WRQ)
    check_ack(packet, 0)
    if args.again:
        first_again(sock, args, WRQ, packet, peer)
    block, first = 1, packet
    while True:
        chunk = content[(block - 1) * BLOCK : block * BLOCK]
        sock.sendto(struct.pack("!HH", DATA, block) + chunk, peer)
        if block == 1:
            copies(sock, args, WRQ)
        packet = next_packet(sock, args, peer, (first, struct.pack("!HH", ACK, block - 1)))
        check_ack(packet, block)
        if len(chunk) < BLOCK:
            break
        if block == 1 and args.stranger:
            meddle(peer, args)
        block += 1
    if args.again:
        nothing_else(sock, peer)
    print(f"ok {len(content)}")


def listen(sock, seconds, prefix=None):
    """Prints what arrives until `seconds` have passed, each after `prefix`, or with no prefix
    after its time since the silence."""
    start = time.monotonic()
    while (left := seconds - (time.monotonic() - start)) > 0:
        sock.settimeout(left)
        try:
            packet, _ = sock.recvfrom(65536)
        except socket.timeout:
            break
        lead = prefix if prefix is not None else f"{time.monotonic() - start:.1f} "
        kind = opcode_of(packet)
        if kind == ERROR:
            code, text = parse_error(packet)
            print(f"{lead}error {code} {text}")
        else:
            print(f"{lead}{kind} {struct.unpack('!H', packet[2:4])[0]}")
    sys.stdout.flush()


def stall_get(sock, args):
    packet, peer = first_answer(sock, args, RRQ)
    for block in range(1, args.blocks + 1):
        if len(check_data(packet, block)) < BLOCK:
            raise Unexpected("the file ended before the client fell silent")
        if block < args.blocks:
            sock.sendto(struct.pack("!HH", ACK, block), peer)
            packet, _ = receive(sock, args.timeout)
    listen(sock, args.listen)


def stall_put(sock, args):
    packet, peer = first_answer(sock, args, WRQ)
    check_ack(packet, 0)
    for block in range(1, args.blocks + 1):
        sock.sendto(struct.pack("!HH", DATA, block) + bytes(BLOCK), peer)
        packet, _ = receive(sock, args.timeout)
        check_ack(packet, block)
    listen(sock, args.listen)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["get", "put", "stall-get", "stall-put"])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--mode", default="octet")
    parser.add_argument("--option", nargs=2, action="append", default=[], metavar=("KEY", "VALUE"))
    parser.add_argument("--server", default="127.0.0.1")
    parser.add_argument("--source", default="", help="local address to send from")
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--blocks", type=int, default=1)
    parser.add_argument("--listen", type=float, default=0.0)
    parser.add_argument("--stranger", action="store_true")
    parser.add_argument("--again", type=int, default=0)
    parser.add_argument("--times", type=int, default=1)
    args = parser.parse_args()
    # Names travel as bytes: latin-1 keeps one byte per character.
    args.mode = args.mode.encode("latin-1")
    args.option = [(k.encode("latin-1"), v.encode("latin-1")) for k, v in args.option]
    if args.command == "get":
        args.name, args.out = args.paths[0].encode("latin-1"), args.paths[1]
    elif args.command == "put":
        args.src, args.name = args.paths[0], args.paths[1].encode("latin-1")
    else:
        args.name = args.paths[0].encode("latin-1")

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.source, 0))
    action = {"get": get, "put": put, "stall-get": stall_get, "stall-put": stall_put}
    try:
        action[args.command](sock, args)
    except ServerError as refusal:
        print(f"error {refusal.code} {refusal.text}")
        return 2
    except Unexpected as problem:
        print(f"unexpected: {problem}", file=sys.stderr)
        return 1
    finally:
        sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
