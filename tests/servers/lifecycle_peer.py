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
        address space (ps -o nlwp,rss,vsz): still grown 10 s on (workers
        stay a minute idle before they leave), then, within 150 s, back to
        the fresh process's threads exactly and near its address space.
        Prints the numbers; exits 1 on any page not whole, or a process that
        shrinks too soon or stays grown.

    lifecycle_peer.py stop-in-window VARPAGE SLOW-ACCEPT
        Starts VARPAGE on a socket of its own with SLOW-ACCEPT (built from
        tests/slow_accept.cc) preloaded, so that each worker spends 400 ms
        between its last look at whether the process stops and accept4().
        Sends SIGTERM while workers that have just served a request are
        there: the process must end within 1.5 s all the same, with no
        connection coming to wake them.

    lifecycle_peer.py retire VARPAGE BUSY IDLE [SLOW-ACCEPT]
        Starts VARPAGE on a socket of its own and grows it with BUSY + IDLE
        kept connections at once; closes IDLE of them and sends a request
        on each of the BUSY ones every 10 s. 10 s on, the process must still
        have every worker; once a minute has passed, exactly the idle
        workers beyond the first 16 must have left, none of the busy ones,
        and every busy connection must still be answered. With SLOW-ACCEPT,
        just before the minute is up, most idle workers are held 6 s before
        their accept4(), where the signal that asks them to leave misses
        them: they must leave all the same, once they are in accept4().
"""
import os
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
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

    # Idle workers stay a minute before they leave: a burst that comes
    # back finds them.
    closed = time.time()
    time.sleep(10)
    now = usage(pid)
    still_grown = now[0] > fresh[0] + count // 2
    print("10 s after the connections closed: %s" % describe(now), flush=True)
    if not still_grown:
        print("FAILED: the workers of the burst left within 10 s")

    # Then back to a fresh process: exactly its threads (the first workers
    # stay), and less address space than even one more malloc arena
    # (64 MiB) or the stacks of a tenth of the workers would take.
    while True:
        time.sleep(5)
        now = usage(pid)
        waited = time.time() - closed
        back = now[0] == fresh[0] and now[2] <= fresh[2] + 48 * 1024
        if back:
            # Not a count passed on the way down.
            time.sleep(2)
            now = usage(pid)
            back = now[0] == fresh[0] and now[2] <= fresh[2] + 48 * 1024
        if back or now[0] < fresh[0] or waited > 150:
            break
    print("%.0f s after the connections closed: %s" % (waited, describe(now)))
    if not back:
        print("FAILED: the process is not back to a fresh one's %d threads and address space"
              % fresh[0])
    elif whole == count and still_grown:
        print("ok: every page whole; still grown 10 s on; back to a fresh process's threads "
              "and near its address space")
    return 0 if back and whole == count and still_grown else 1


# How many workers a process starts with and keeps (fastcgi_server.h).
FIRST_WORKERS = 16


def slow_accept(library, milliseconds, while_file=None):
    """The environment that preloads tests/slow_accept.cc's library."""
    environment = {"LD_PRELOAD": library, "VARPAGE_TEST_ACCEPT_DELAY_MS": str(milliseconds),
                   # It comes before a sanitizer's runtime, where there is one.
                   "ASAN_OPTIONS": "verify_asan_link_order=0"}
    if while_file:
        environment["VARPAGE_TEST_ACCEPT_DELAY_WHILE"] = while_file
    return environment


def end(process, path):
    if process.poll() is None:
        process.kill()
    process.wait()
    shutil.rmtree(os.path.dirname(path))


def quick_request(path, n):
    peer = f.Peer(path)
    peer.send(f.request(1, [(b"N", b"%d" % n)]))
    f.check_response(f.parse(peer.read_to_end()), 1, [f.row(b"N", b"%d" % n)])
    peer.close()


def stop_in_window(varpage, library):
    process, path = f.start_on_unix_socket(varpage, slow_accept(library, 400))
    try:
        time.sleep(1.5)  # every first worker into accept4() proper
        # Each request is taken by a worker in accept4(), which then spends
        # 400 ms on its way back there.
        for n in range(3):
            quick_request(path, n)
        process.send_signal(signal.SIGTERM)
        try:
            status = process.wait(timeout=1.5)
        except subprocess.TimeoutExpired:
            print("FAILED: SIGTERM that came while workers were on their way to accept4() "
                  "left the process running 1.5 s later")
            return 1
        if status != 0:
            print("FAILED: the process ended with status %d" % status)
            return 1
        print("ok: SIGTERM that came while workers were on their way to accept4() ended the "
              "process within 1.5 s")
        return 0
    finally:
        end(process, path)


def retire(varpage, busy_count, idle_count, library=None):
    toggle = None
    environment = {}
    if library:
        toggle = tempfile.mktemp()
        environment = slow_accept(library, 6000, toggle)
    label = "%d busy and %d idle connections%s" % (
        busy_count, idle_count, ", accept4() held 6 s near the minute" if library else "")
    process, path = f.start_on_unix_socket(varpage, environment)
    failures = []
    try:
        time.sleep(1)
        fresh = usage(process.pid)
        others = fresh[0] - FIRST_WORKERS  # the main thread
        print("%s: fresh process: %s" % (label, describe(fresh)), flush=True)

        peers = []
        for i in range(busy_count + idle_count):
            peer = f.Peer(path)
            peer.send(f.request(1, [(b"N", b"%d" % i)], keep=True))
            f.check_response(peer.read_response(1), 1, [f.row(b"N", b"%d" % i)])
            peers.append(peer)
        time.sleep(0.5)
        # A worker for each connection, and one waiting for the next.
        grown = busy_count + idle_count + 1 + others
        now = usage(process.pid)
        if now[0] != grown:
            failures.append("%d threads with every connection open, not %d" % (now[0], grown))
        busy, idle = peers[:busy_count], peers[busy_count:]
        for peer in idle:
            peer.close()
        closed = time.monotonic()

        # The first workers, or a worker for each busy connection and one
        # waiting for the next.
        expected = max(FIRST_WORKERS, busy_count + 1) + others
        request_id, next_requests, windowed, checked_10_s = 1, 10, False, False
        settled = []
        while time.monotonic() - closed < 85:
            time.sleep(0.5)
            waited = time.monotonic() - closed
            if waited >= next_requests:
                request_id += 1
                next_requests += 10
                for i, peer in enumerate(busy):
                    try:
                        peer.send(f.request(request_id, [(b"N", b"%d" % i)], keep=True))
                        f.check_response(peer.read_response(request_id), request_id,
                                         [f.row(b"N", b"%d" % i)])
                    except (AssertionError, OSError) as error:
                        failures.append("busy connection %d, %.0f s on: %s" % (
                            i, waited, str(error) or type(error).__name__))
                        break
            if not checked_10_s and waited >= 10:
                checked_10_s = True
                now = usage(process.pid)
                print("%s: 10 s on: %s" % (label, describe(now)), flush=True)
                if now[0] != grown:
                    failures.append("%d threads 10 s on, not still %d" % (now[0], grown))
            if library and not windowed and waited >= 56:
                # The workers that serve these are held before accept4()
                # for 6 s: across the moment the minute is up.
                windowed = True
                open(toggle, "w").close()
                for n in range(idle_count * 3 // 4):
                    quick_request(path, n)
                time.sleep(0.2)  # the last of them on its way too
                os.unlink(toggle)
            if waited >= 66:
                settled.append(usage(process.pid)[0])
                if len(settled) >= 6 and all(n == expected for n in settled[-6:]):
                    break
        now = usage(process.pid)
        print("%s: %.0f s on: %s" % (label, time.monotonic() - closed, describe(now)))
        if not settled or settled[-1] != expected:
            failures.append("%d threads a minute on, not %d: %s" % (
                now[0], expected, "busy workers asked to leave, or idle ones that stay"
                if now[0] > expected else "too many workers left"))
        for peer in busy:
            peer.close()
    finally:
        end(process, path)
        if toggle and os.path.exists(toggle):
            os.unlink(toggle)
    for failure in failures:
        print("FAILED: %s: %s" % (label, failure))
    if not failures:
        print("ok: %s: exactly the idle workers beyond the first left, a minute on" % label)
    return 1 if failures else 0


def main():
    if sys.argv[1] == "kept":
        return kept(sys.argv[2])
    if sys.argv[1] == "burst":
        return burst(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    if sys.argv[1] == "stop-in-window":
        return stop_in_window(sys.argv[2], sys.argv[3])
    if sys.argv[1] == "retire":
        return retire(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), *sys.argv[5:6])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
