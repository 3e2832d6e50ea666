#!/usr/bin/env python3
"""Instructions per FastCGI request of a program, from callgrind.

    fcgi_count.py PROGRAM ENV-FILE

Starts PROGRAM under callgrind on a listening unix socket (as systemd
would), sends it the requests of ENV-FILE (NUL-separated name=value
entries, the parameters of each request) one after another, and stops it;
once with 10 requests, once with 1,000. Prints the difference divided by
990: the cost of one request, start-up and shutdown left out.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers"))
import fastcgi_peer as f  # noqa: E402

program, env_file = sys.argv[1], sys.argv[2]
variables = [tuple(e.split(b"=", 1)) for e in open(env_file, "rb").read().split(b"\0") if e]
valgrind = shutil.which("valgrind.bin") or shutil.which("valgrind")


def total(requests):
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "s")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(16)
    out = os.path.join(folder, "callgrind.out")
    process = subprocess.Popen([valgrind, "-q", "--tool=callgrind", "--callgrind-out-file=" + out,
                                program], stdin=listener.fileno(), env={})
    listener.close()
    for i in range(requests):
        for attempt in range(600):
            try:
                peer = f.Peer(path)
                break
            except (ConnectionRefusedError, FileNotFoundError):
                time.sleep(0.1)
        peer.send(f.request(1, variables))
        records = f.parse(peer.read_to_end())
        assert records and records[-1][3] == f.end_request(1), "request %d unanswered" % i
        peer.close()
    process.send_signal(signal.SIGTERM)
    process.wait()
    count = 0
    for line in open(out):
        if line.startswith("totals:") or line.startswith("summary:"):
            count = int(line.split()[1])
    shutil.rmtree(folder)
    return count


few, many = total(10), total(1000)
print((many - few) // 990)
