#!/usr/bin/env python3
"""Peers for the tests of a varpage FastCGI process's life: its stop and the
workers it starts and retires.

    lifecycle_peer.py kept SOCKET
        One request on a kept connection; prints "answered" once it has its
        whole page, then waits up to 25 s for the program to close the
        connection: prints "closed" (exit 0) or "still open" (exit 1).

    lifecycle_peer.py burst SOCKET PID-FILE RELEASE-FILE COUNT
        COUNT requests at once, each on a connection of its own, from
        REMOTE_ADDR 127.0.0.2, whose lookup waits until RELEASE-FILE exists
        (slow_resolver.py); once the process has started a worker for each,
        creates RELEASE-FILE and checks every page whole, host name
        included. Then closes them and watches the process's threads and
        address space (ps -o nlwp,rss,vsz) for up to 150 s, until they are
        back near those of the fresh process. Prints the numbers; exits 1
        on any page not whole or a process that stays grown.
"""
import os
import selectors
import subprocess
import sys
import time

import fastcgi_peer as f


def kept(path):
    peer = f.Peer(path)
    peer.send(f.request(1, [(b"N", b"kept")], keep=True))
    f.check_response(peer.read_response(1), 1, [f.row(b"N", b"kept")])
    print("answered", flush=True)
    peer.sock.settimeout(25)
    answered = time.time()
    try:
        rest = peer.sock.recv(1)
    except TimeoutError:
        print("still open")
        return 1
    except ConnectionResetError:
        rest = b""
    waited = time.time() - answered
    print("closed after %.1f s" % waited if rest == b"" else "more bytes: %r" % rest)
    return 0 if rest == b"" else 1


def usage(pid):
    """Threads, resident KiB and virtual KiB of process `pid`."""
    out = subprocess.run(["ps", "-o", "nlwp=,rss=,vsz=", "-p", str(pid)], capture_output=True,
                         text=True, check=True).stdout
    return tuple(int(n) for n in out.split())


def describe(numbers):
    return "%d threads, %.1f MiB resident, %.1f MiB virtual" % (
        numbers[0], numbers[1] / 1024, numbers[2] / 1024)


def burst(path, pid_file, release, count):
    pid = int(open(pid_file).read())
    time.sleep(1)
    fresh = usage(pid)
    print("fresh process: %s" % describe(fresh), flush=True)

    peers = []
    for i in range(count):
        peer = f.Peer(path)
        peer.sock.settimeout(None)
        peer.send(f.request(1, [(b"REMOTE_ADDR", b"127.0.0.2"), (b"N", b"%d" % i)]))
        peers.append(peer)
    deadline = time.time() + 60
    while usage(pid)[0] < count + 1 and time.time() < deadline:
        time.sleep(0.2)
    time.sleep(1)
    held = usage(pid)
    print("%d requests held in their lookups: %s" % (count, describe(held)), flush=True)
    open(release, "w").close()

    # Every page, read side by side.
    selector = selectors.DefaultSelector()
    received = {}
    for i, peer in enumerate(peers):
        peer.sock.setblocking(False)
        selector.register(peer.sock, selectors.EVENT_READ, i)
        received[i] = b""
    open_ones = set(received)
    deadline = time.time() + 90
    while open_ones and time.time() < deadline:
        for key, _ in selector.select(timeout=1):
            try:
                chunk = key.fileobj.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if chunk:
                received[key.data] += chunk
            else:
                selector.unregister(key.fileobj)
                open_ones.discard(key.data)
    whole = 0
    failed_pages = []
    for i, data in received.items():
        try:
            f.check_response(f.parse(data), 1, [f.row(b"REMOTE_ADDR", b"127.0.0.2"),
                                                f.row(b"N", b"%d" % i), f.host_row(b"slow-client.test")])
            whole += 1
        except AssertionError as error:
            failed_pages.append("page %d: %s" % (i, error))
    for peer in peers:
        peer.close()
    print("%d of %d pages whole, host name included" % (whole, count), flush=True)
    if failed_pages:
        print("the first not whole: " + failed_pages[0][:600])

    # Back near a fresh process: as many threads, give or take a few, and
    # less address space than even one more malloc arena (64 MiB) or the
    # stacks of a tenth of the workers would take.
    closed = time.time()
    while True:
        time.sleep(5)
        now = usage(pid)
        waited = time.time() - closed
        back = now[0] <= fresh[0] + 4 and now[2] <= fresh[2] + 48 * 1024
        if back or waited > 150:
            break
    print("%.0f s after the connections closed: %s" % (waited, describe(now)))
    if not back:
        print("FAILED: the process stays grown")
    elif whole == count:
        print("ok: every page whole; back near a fresh process's threads and address space")
    return 0 if back and whole == count else 1


def main():
    if sys.argv[1] == "kept":
        return kept(sys.argv[2])
    if sys.argv[1] == "burst":
        return burst(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
