#!/usr/bin/env python3
"""A UDP relay between real TFTP clients and the server, for losses and repeats that a loopback
link never has. Clients send their requests to the relay's port; the relay sends them on to the
server from a port of its own for each client. Each port the server answers from gets a port of
the relay's own on the client's side too, so the client sees the new transfer port as it would
without the relay, and the two directions of every transfer are mapped to each other.

  relay.py PORT [--drop-data N] [--repeat-request K] [--lifetime SECONDS]

  --drop-data N       the first DATA numbered N that a client sends is dropped
  --repeat-request K  K copies of a client's request go to the server again from the port that
                      carried it, once after the transfer's first packet has been passed to the
                      client and once after the client's first answer to it

Prints "ready" once it listens, then one line for each packet it dropped or repeated. It ends
by itself after its lifetime, or when it is killed.
"""
import argparse
import select
import socket
import struct
import sys
import time

DATA = 3
HOST = "127.0.0.1"
SERVER = (HOST, 69)


def udp():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((HOST, 0))
    return sock


def block_of(packet):
    return struct.unpack("!H", packet[2:4])[0] if len(packet) >= 4 else None


class Client:
    """One client address: the socket that speaks for it to the server, and what it asked."""

    def __init__(self, address):
        self.address = address
        self.back = udp()
        self.request = None
        self.dropped = False
        self.answered = False  # the transfer's first packet has been passed on
        self.replied = False  # and the client has answered it


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--drop-data", type=int)
    parser.add_argument("--repeat-request", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind((HOST, args.port))
    clients = {}  # client address -> Client
    by_back = {}  # back socket -> Client
    fronts = {}  # (client address, server port) -> the relay's socket on the client's side
    peers = {}  # that socket -> (Client, server port)
    print("ready", flush=True)

    def repeat(client, when):
        for _ in range(args.repeat_request):
            client.back.sendto(client.request, SERVER)
        print(f"repeated the request {args.repeat_request} times {when}", flush=True)

    deadline = time.monotonic() + args.lifetime
    while (left := deadline - time.monotonic()) > 0:
        readable, _, _ = select.select([front, *by_back, *peers], [], [], left)
        for sock in readable:
            packet, source = sock.recvfrom(65536)
            if sock is front:
                # A request, or a copy of it that the client sent itself.
                client = clients.get(source)
                if client is None:
                    client = clients[source] = Client(source)
                    by_back[client.back] = client
                client.request = packet
                client.back.sendto(packet, SERVER)
            elif sock in by_back:
                client = by_back[sock]
                if source[0] != HOST:
                    continue
                key = (client.address, source[1])
                if key not in fronts:
                    fronts[key] = udp()
                    peers[fronts[key]] = (client, source[1])
                fronts[key].sendto(packet, client.address)
                if not client.answered:
                    client.answered = True
                    if args.repeat_request:
                        repeat(client, "after the first answer")
            else:
                client, port = peers[sock]
                if source != client.address:
                    continue
                if (args.drop_data is not None and not client.dropped and
                        packet[:2] == struct.pack("!H", DATA) and
                        block_of(packet) == args.drop_data):
                    client.dropped = True
                    print(f"dropped DATA {args.drop_data}", flush=True)
                    continue
                client.back.sendto(packet, (HOST, port))
                if not client.replied:
                    client.replied = True
                    if args.repeat_request:
                        repeat(client, "after the client's first answer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
