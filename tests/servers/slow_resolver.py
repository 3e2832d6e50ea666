#!/usr/bin/env python3
"""A DNS responder on 127.0.0.1:53 that holds back its answers.

    slow_resolver.py FOLDER NAME

Answers every PTR query for 127.0.0.2 with NAME and every other query with
NXDOMAIN, but only once the file FOLDER/release exists (or 30 s have
passed): it stands for a resolver that takes seconds. Creates FOLDER/ready
once it listens and FOLDER/asked when the first query comes in.
"""
import os
import socket
import struct
import sys
import threading
import time

folder, name = sys.argv[1], sys.argv[2]
server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
# Room for hundreds of queries at once (burst_test.sh): the default buffer
# drops some, and their lookups would then wait out the resolver's timeout.
# (SO_RCVBUFFORCE, which Python does not name, passes the system's cap.)
try:
    server.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 4 << 20)
except PermissionError:
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
server.bind(("127.0.0.1", 53))
open(os.path.join(folder, "ready"), "w").close()


def encode(domain):
    return b"".join(bytes([len(label)]) + label for label in domain.encode().split(b".") if label) + b"\0"


def answer(query, client):
    deadline = time.time() + 30
    while not os.path.exists(os.path.join(folder, "release")) and time.time() < deadline:
        time.sleep(0.05)
    ident, = struct.unpack(">H", query[:2])
    # The question runs from byte 12 to the end of its name, plus type and class.
    end = 12
    while query[end] != 0:
        end += 1 + query[end]
    question = query[12:end + 5]
    qtype, = struct.unpack(">H", query[end + 1:end + 3])
    if qtype == 12 and question.startswith(encode("2.0.0.127.in-addr.arpa")[:-1]):
        data = encode(name)
        reply = struct.pack(">HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question
        reply += b"\xc0\x0c" + struct.pack(">HHIH", 12, 1, 60, len(data)) + data
    else:
        reply = struct.pack(">HHHHHH", ident, 0x8183, 1, 0, 0, 0) + question
    server.sendto(reply, client)


while True:
    query, client = server.recvfrom(4096)
    open(os.path.join(folder, "asked"), "w").close()
    threading.Thread(target=answer, args=(query, client), daemon=True).start()
