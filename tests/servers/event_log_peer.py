#!/usr/bin/env python3
"""What varpage in FastCGI mode writes on standard error, where it must not
go wrong: a standard error closed at start (descriptor 2 then goes to the
next connection, whose stream no line may enter), and the counts of
rate-limited lines still owed when a stop ends the process.

    event_log_peer.py PATH-TO-VARPAGE

Listens on 127.0.0.1 and connects from 127.0.0.1 (allowed) and 127.0.0.2
(refused); no request asks for a lookup.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fastcgi_peer import END, Peer, case, parse, request  # noqa: E402
import fastcgi_peer  # noqa: E402


def start(varpage, **streams):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    program = subprocess.Popen([varpage], stdin=listener.fileno(), stdout=subprocess.DEVNULL,
                               env={"FCGI_WEB_SERVER_ADDRS": "127.0.0.1"}, **streams)
    address = listener.getsockname()
    listener.close()
    return program, address


def refused_from(address, source):
    peer = Peer(address, source)
    assert peer.read_to_end() == b"", "a refused peer got an answer"
    peer.close()


def stop(program):
    program.send_signal(signal.SIGTERM)
    try:
        status = program.wait(timeout=10)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
        raise AssertionError("SIGTERM did not end the process within 10 s")
    assert status == 0, "the process ended with status %d" % status


def main():
    varpage = sys.argv[1]

    def stderr_closed():
        # The allowed peer connects first and so holds descriptor 2; a
        # refusal logged meanwhile must not land in its stream.
        program, address = start(varpage, preexec_fn=lambda: os.close(2))
        try:
            peer = Peer(address, "127.0.0.1")
            time.sleep(0.3)
            refused_from(address, "127.0.0.2")
            peer.send(request(1, [(b"N", b"1")]))
            records = parse(peer.read_to_end())
            assert records and records[-1][0] == END, "no END_REQUEST"
            peer.close()
        finally:
            stop(program)

    def sums_at_stop():
        # Three refusals from one address: the first logged at once, the
        # other two counted, and told by the time the process has stopped.
        with tempfile.TemporaryFile() as log:
            program, address = start(varpage, stderr=log)
            for _ in range(3):
                refused_from(address, "127.0.0.2")
            stop(program)
            log.seek(0)
            lines = log.read().decode().splitlines()
        assert any(line.endswith("warning: refused 2 more connections from 127.0.0.2 in the last "
                                 "minute: not listed in FCGI_WEB_SERVER_ADDRS") for line in lines), \
            "no sum of the refusals: %r" % lines
        assert "stopped: drained" in lines[-1], "the last line: %r" % lines[-1]

    case("standard error closed: no line in a peer's stream", stderr_closed)
    case("refusals counted but not yet told are told at the stop", sums_at_stop)
    sys.exit(1 if fastcgi_peer.failures else 0)


if __name__ == "__main__":
    main()
