#!/usr/bin/env python3
"""What a varpage FastCGI process says on standard error and to systemd.

    fastcgi_log.py PATH-TO-VARPAGE VERSION TROUBLESHOOTING-MD
    fastcgi_log.py --doc TROUBLESHOOTING-MD LOG WORD
        (every message row of the guide holding WORD matches a line of LOG)

Starts the built program on real sockets (TCP on 127.0.0.1 where the peer's
address matters, peers binding 127.0.0.2 and up to be other web servers)
and checks each line it writes, byte for byte where nothing in it varies:
the start, a list in FCGI_WEB_SERVER_ADDRS it cannot read (exit status 1,
nothing served), refused peers and their sums a minute on, peers cut off by
a deadline or a protocol error, the stop and its drain; the journal's
priority prefixes only when JOURNAL_STREAM names standard error itself; the
datagrams a NOTIFY_SOCKET of the test's own receives, and none without it;
a standard error nobody reads holding up no request; and CGI runs, which say
nothing however their environment looks. The messages quoted in
troubleshooting.md must each match a line the program wrote here.
Run it offline (fastcgi_log_test.sh does).
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import fastcgi_peer as f

LIST = "FCGI_WEB_SERVER_ADDRS"
REFUSED = "not listed in FCGI_WEB_SERVER_ADDRS"
folder = tempfile.mkdtemp()
failures = 0
# Every line any process wrote here, for the guide's messages.
all_lines = []


class Skipped(Exception):
    """A case this machine or build cannot run; says why."""


def case(name, test):
    global failures
    try:
        test()
        print("ok: " + name, flush=True)
    except Skipped as why:
        print("skipped: %s: %s" % (name, why), flush=True)
    except Exception as error:  # one failed case must not hide the others
        failures += 1
        print("FAILED: %s: %s" % (name, str(error) or type(error).__name__), flush=True)


in_background = f.in_background


def wait_until(what, seconds, describe):
    """Polls `what` until it gives something true; fails after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        got = what()
        if got:
            return got
        if time.monotonic() > deadline:
            raise AssertionError(describe())
        time.sleep(0.05)


class NotifySocket:
    """A datagram socket standing for systemd's: at a path, or in the
    abstract namespace (NOTIFY_SOCKET "@NAME")."""

    def __init__(self, abstract):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = "varpage-log-test-%d-%d" % (os.getpid(), id(self))
            self.sock.bind("\0" + name)
            self.name = "@" + name
        else:
            self.name = os.path.join(folder, "notify-%d" % id(self))
            self.sock.bind(self.name)
        self.sock.setblocking(False)
        self.messages = []

    def received(self):
        while True:
            try:
                self.messages.append(self.sock.recv(4096).decode())
            except BlockingIOError:
                return self.messages


class Program:
    """varpage on a listening socket the test holds, as a socket unit holds
    it: TCP on 127.0.0.1 (or [::1]) or a unix socket. Standard error goes
    to a file, a pipe or a socket given as `stderr`."""
    count = 0

    def __init__(self, environment, family="tcp", stderr=None, wrapper=(), preexec_fn=None):
        Program.count += 1
        self.tag = "process-%d" % Program.count
        if family == "unix":
            self.listener = socket.socket(socket.AF_UNIX)
            self.address = os.path.join(folder, self.tag + ".sock")
            self.listener.bind(self.address)
            self.where = "unix:" + self.address
        else:
            six = family == "tcp6"
            self.listener = socket.socket(socket.AF_INET6 if six else socket.AF_INET)
            self.listener.bind(("::1" if six else "127.0.0.1", 0))
            self.address = self.listener.getsockname()[:2]
            self.where = ("[::1]:%d" if six else "127.0.0.1:%d") % self.address[1]
        self.listener.listen(1024)
        self.reader = None
        self.text = b""
        if stderr is None:
            self.log_path = os.path.join(folder, self.tag + ".log")
            stderr = open(self.log_path, "wb")
        else:
            self.log_path = None
            self.reader = stderr[1]
            stderr = stderr[0]
        self.process = subprocess.Popen(list(wrapper) + [VARPAGE], stdin=self.listener.fileno(),
                                        stdout=subprocess.DEVNULL, stderr=stderr, env=environment,
                                        preexec_fn=preexec_fn)
        self.pid = self.process.pid

    def lines(self):
        if self.log_path:
            with open(self.log_path, "rb") as log:
                self.text = log.read()
        elif self.reader is not None:
            while select.select([self.reader], [], [], 0)[0]:
                chunk = os.read(self.reader, 65536) if isinstance(self.reader, int) else \
                    self.reader.recv(65536)
                if not chunk:
                    break
                self.text += chunk
        return self.text.decode(errors="replace").splitlines()

    def prefix(self, level):
        return "varpage[%d]: %s: " % (self.pid, level)

    def wait_for(self, pattern, seconds=10):
        """The first line matching `pattern` (a regular expression, whole)."""
        def found():
            return next((line for line in self.lines() if re.fullmatch(pattern, line)), None)
        return wait_until(found, seconds, lambda: "no line %r in %r" % (pattern, self.lines()))

    def matching(self, pattern):
        return [line for line in self.lines() if re.fullmatch(pattern, line)]

    def stop(self, seconds=20):
        """SIGTERM; the exit status."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.end()
            raise AssertionError("SIGTERM did not end the process within %d s" % seconds)

    def end(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        all_lines.extend(self.lines())
        self.listener.close()


def started(program, allowed="any"):
    """The exact start line."""
    return (re.escape(program.prefix("info") + "varpage %s serving FastCGI on %s, up to 512 "
                      "workers, web servers allowed: %s" % (VERSION, program.where, allowed)))


def environment(**more):
    base = {"PATH": "/usr/bin:/bin"}
    base.update(more)
    return base


def ask(program, source="127.0.0.1", n=b"1"):
    """A plain request; its page must come whole."""
    peer = f.Peer(program.address, source)
    peer.send(f.request(1, [(b"N", n)]))
    f.check_response(f.parse(peer.read_to_end()), 1, [f.row(b"N", n)])
    peer.close()


def refused(program, source):
    """A request from `source`: the connection is closed, unanswered."""
    peer = f.Peer(program.address, source)
    try:
        peer.send(f.request(1, [(b"N", b"refused")]))
    except (BrokenPipeError, ConnectionResetError):
        pass
    rest = peer.read_to_end()
    peer.close()
    assert rest == b"", "a peer from %s was answered: %r" % (source, rest[:80])


def sanitized():
    """Whether the program was built with AddressSanitizer or UBSan."""
    with open(VARPAGE, "rb") as program:
        binary = program.read()
    return b"__asan_init" in binary or b"__ubsan_handle" in binary


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def main():
    # --- The main process: any web server, a NOTIFY_SOCKET at a path. Peers
    # cut off by its deadlines run alongside the other cases.
    notify = NotifySocket(abstract=False)
    main_program = Program(environment(NOTIFY_SOCKET=notify.name))
    # READY first, before any peer makes a worker busy.
    wait_until(notify.received, 10, lambda: "no READY from the main process")
    served = [0]

    def served_one(source="127.0.0.1"):
        ask(main_program, source, b"%d" % served[0])
        served[0] += 1

    def trickling():
        """A byte every 5 s, never a whole request: cut off 30 s after it
        connected, and the line says why."""
        peer = f.Peer(main_program.address, "127.0.0.4")
        started_at = time.monotonic()
        peer.sock.settimeout(5)
        for byte in f.begin(1) + f.record(f.PARAMS, 1, f.pair(b"SLOW", b"x" * 100)):
            try:
                peer.send(bytes([byte]))
                assert peer.sock.recv(1) == b"", "answered"
                break
            except socket.timeout:
                pass
            except (BrokenPipeError, ConnectionResetError):
                break
            assert time.monotonic() - started_at < 45, "still connected after 45 s"
        peer.close()
        main_program.wait_for(re.escape(main_program.prefix("warning") +
                                        "cut off a connection from 127.0.0.4: no whole request "
                                        "within 30 s"), 5)

    left_open = []

    def never_reading():
        """A page of megabytes asked for and never read: cut off within 35 s."""
        # Over TCP, buffers left to grow would hold the whole page: a small
        # one here, and a page of 6 MB (each "<" escaped), more than the
        # process's send buffer may grow to (4 MiB).
        sock = socket.socket(socket.AF_INET)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.bind(("127.0.0.5", 0))
        sock.connect(main_program.address)
        peer = f.Peer.__new__(f.Peer)
        peer.sock = sock
        peer.send(f.request(1, [(b"BIG", b"<" * 1500000)]))
        left_open.append(peer)
        main_program.wait_for(re.escape(main_program.prefix("warning") +
                                        "cut off a connection from 127.0.0.5: did not take the "
                                        "response within 30 s"), 40)

    trickle_case = in_background(trickling)
    never_reading_case = in_background(never_reading)

    # --- Refusals: a list of two addresses; a peer not on it, hundreds of
    # times, and systemd on an abstract socket.
    notify_refused = NotifySocket(abstract=True)
    refusing = Program(environment(FCGI_WEB_SERVER_ADDRS="127.0.0.1, ::1",
                                   NOTIFY_SOCKET=notify_refused.name))
    wait_until(notify_refused.received, 10, lambda: "no READY from the refusing process")
    first_refusal = re.escape(refusing.prefix("warning") + "refused a connection from 127.0.0.2: " +
                              REFUSED)

    def good_list():
        refusing.wait_for(started(refusing, "127.0.0.1, ::1 (FCGI_WEB_SERVER_ADDRS)"))
        ask(refusing, "127.0.0.1")

    def hundreds_refused():
        refused(refusing, "127.0.0.2")
        refusing.wait_for(first_refusal)
        for _ in range(300):
            refused(refusing, "127.0.0.2")
        ask(refusing, "127.0.0.1", b"after")
        time.sleep(2)
        lines = refusing.lines()
        assert len(lines) == 2, "301 refusals in a row gave: %r" % lines

    refusal_sum = re.escape(refusing.prefix("warning") + "refused 300 more connections from "
                            "127.0.0.2 in the last minute: " + REFUSED)

    def refusal_sum_a_minute_on():
        # The housekeeper writes it though no refusal has come since.
        refusing.wait_for(refusal_sum, 75)
        assert len(refusing.lines()) == 3, refusing.lines()
        status = refusing.stop()
        assert status == 0, "status %d" % status
        messages = notify_refused.received()
        assert messages and messages[0] == ("READY=1\nSTATUS=Workers: 0 busy, 16 idle; requests "
                                            "served: 0; peers refused: 0; connections cut: 0"), \
            messages[:1]
        final = [m for m in messages if m.startswith("STATUS=Workers")][-1]
        assert re.fullmatch(r"STATUS=Workers: 0 busy, \d+ idle; requests served: 2; "
                            r"peers refused: 301; connections cut: 0", final), final

    case("the start on TCP with a good list, and a peer on it served", good_list)
    case("301 refusals of one peer in a row: one line", hundreds_refused)
    refusal_sum_case = in_background(refusal_sum_a_minute_on)

    # --- The start line on each kind of socket.
    def start_lines():
        kinds = [("unix", {}, "any"), ("tcp", {}, "any"),
                 ("tcp", {LIST: "192.0.2.1 2001:db8::1"}, "192.0.2.1 2001:db8::1 (%s)" % LIST)]
        if ipv6_loopback():
            kinds.append(("tcp6", {}, "any"))
        else:
            print("skipped: the start line on [::1]: no IPv6 loopback here")
        for family, more, allowed in kinds:
            program = Program(environment(**more), family)
            try:
                program.wait_for(started(program, allowed))
                assert len(program.lines()) == 1, program.lines()
                assert program.stop() == 0, "not status 0"
            finally:
                program.end()

    case("the start line on a unix socket, on 127.0.0.1, with a list, on [::1]", start_lines)

    def another_address():
        program = Program(environment(FCGI_WEB_SERVER_ADDRS="192.0.2.1"))
        try:
            program.wait_for(started(program, "192.0.2.1 (%s)" % LIST))
            refused(program, "127.0.0.1")
            program.wait_for(re.escape(program.prefix("warning") + "refused a connection from "
                                       "127.0.0.1: " + REFUSED))
        finally:
            program.end()

    case("a list naming another address: 127.0.0.1 refused, and logged", another_address)

    def stderr_closed():
        # Descriptor 2, closed at start, is the first connection's: a
        # refusal logged meanwhile must not land in that peer's stream.
        program = Program(environment(FCGI_WEB_SERVER_ADDRS="127.0.0.1"),
                          preexec_fn=lambda: os.close(2))
        try:
            time.sleep(0.3)
            peer = f.Peer(program.address, "127.0.0.1")
            time.sleep(0.3)
            refused(program, "127.0.0.2")
            peer.send(f.request(1, [(b"N", b"1")]))
            f.check_response(f.parse(peer.read_to_end()), 1, [f.row(b"N", b"1")])
            peer.close()
        finally:
            program.end()

    case("standard error closed at start: no line in a peer's stream", stderr_closed)

    def sums_at_stop():
        # Three refusals: the first told at once, the other two counted, and
        # told by the time the process has stopped, well within the minute.
        program = Program(environment(FCGI_WEB_SERVER_ADDRS="127.0.0.1"))
        try:
            program.wait_for(started(program, "127.0.0.1 (%s)" % LIST))
            for _ in range(3):
                refused(program, "127.0.0.2")
            assert program.stop() == 0, "the stop's status"
            lines = program.lines()
            assert program.prefix("warning") + "refused 2 more connections from 127.0.0.2 in the " \
                "last minute: " + REFUSED in lines, "no sum of the refusals: %r" % lines
            assert "stopped: drained" in lines[-1], "the last line: %r" % lines[-1]
        finally:
            program.end()

    case("refusals counted but not yet told are told at the stop", sums_at_stop)

    # --- Refusals from 1000 addresses, twice each: the table keeps 64 of
    # them, the rest are counted together. Every refusal is counted once,
    # in a line at once or in the sums the stop writes.
    def a_thousand_addresses():
        program = Program(environment(FCGI_WEB_SERVER_ADDRS="127.0.0.1"))
        sources = ["127.0.%d.%d" % (10 + i // 250, 1 + i % 250) for i in range(1000)]
        try:
            program.wait_for(started(program, "127.0.0.1 (%s)" % LIST))
            for source in sources + sources:
                refused(program, source)
            others_first = re.escape(program.prefix("warning") + "refused 1 connection from other "
                                     "addresses (over 64 at once): " + REFUSED)
            program.wait_for(others_first)
            # Within the minute: the first 64 addresses a line each, and the
            # first of the rest.
            assert len(program.lines()) == 1 + 64 + 1, program.lines()
            assert program.stop() == 0, "not status 0"
            # A refusal each, one for each 1 more, N for each sum of the rest.
            kinds = [(r"refused a connection from 127\.0\.\d+\.\d+: ", lambda _: 1),
                     (r"refused 1 more connection from 127\.0\.\d+\.\d+ in the last minute: ",
                      lambda _: 1),
                     (r"refused (\d+) connections? from other addresses \(over 64 at once\): ",
                      lambda match: int(match.group(1)))]
            lines = program.lines()
            warnings = [line for line in lines if line.startswith(program.prefix("warning"))]
            # Besides them, the start, the stopping and the stopped lines.
            assert len(lines) == len(warnings) + 3, lines
            counted = 0
            for line in warnings:
                rest = line[len(program.prefix("warning")):]
                weights = [(re.fullmatch(pattern + re.escape(REFUSED), rest), weight)
                           for pattern, weight in kinds]
                found = [weight(match) for match, weight in weights if match]
                assert found, "an unexpected line: %r" % line
                counted += found[0]
            assert counted == 2000, "2000 refusals, %d counted in %r" % (counted, lines)
            assert lines[-3:-1] == [program.prefix("warning") + "refused 1 more connection from "
                                    "127.0.10.64 in the last minute: " + REFUSED,
                                    program.prefix("warning") + "refused 1871 connections from "
                                    "other addresses (over 64 at once): " + REFUSED], lines[-4:]
            assert lines[-1].startswith(program.prefix("info") + "stopped: "), lines[-1]
        finally:
            program.end()

    case("1000 addresses refused twice: 64 lines, the rest summed, every refusal counted once",
         a_thousand_addresses)

    def over_the_limit():
        program = Program(environment())
        try:
            program.wait_for(started(program))
            peer = f.Peer(program.address, "127.0.0.1")
            peer.send(f.request(1, [(b"V", b"v" * (2 << 20))]))
            answer = f.parse(peer.read_to_end())
            peer.close()
            assert answer and answer[0][2].startswith(b"Status: 503 "), answer[:1]
            program.wait_for(re.escape(program.prefix("warning") + "answered 503 to a request from "
                                       "127.0.0.1: its parameters pass the 2 MiB limit"))
        finally:
            program.end()

    case("parameters over 2 MiB: a 503, and logged", over_the_limit)

    # --- Lists the program cannot read: no start.
    def bad_lists():
        for value, entry in [("192.0.2.0/24", "192.0.2.0/24"), ("localhost", "localhost"),
                             ("127.0.0.1;::1", "127.0.0.1;::1"), (", ,", ", ,"),
                             ("127.0.0.1, web.example ::1", "web.example")]:
            program = None
            try:
                program = Program(environment(FCGI_WEB_SERVER_ADDRS=value))
                # A connection already queued when the process starts.
                peer = f.Peer(program.address, "127.0.0.1")
                peer.send(f.request(1, [(b"N", b"queued")]))
                status = program.process.wait(timeout=10)
                assert status == 1, "%r: status %d" % (value, status)
                want = (program.prefix("error") + LIST + ' entry "%s" is not an IPv4 or IPv6 '
                        "address: list each web server's address, separated by commas or spaces "
                        "(no subnets, no host names); not starting" % entry)
                assert program.lines() == [want], "%r: %r" % (value, program.lines())
                peer.sock.settimeout(0.5)
                try:
                    answer = peer.sock.recv(1)
                    raise AssertionError("%r: the queued connection got %r" % (value, answer))
                except socket.timeout:
                    pass  # still waiting in the queue: nothing was served
                peer.close()
            except subprocess.TimeoutExpired:
                raise AssertionError("%r: the process did not end" % value)
            finally:
                if program:
                    program.end()

    case("a list entry that is no address: status 1, the entry named, nothing served", bad_lists)

    # --- The journal: priorities only when JOURNAL_STREAM is standard error.
    def journal(matching):
        def test():
            ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
            status = os.fstat(theirs.fileno())
            inode = status.st_ino if matching else status.st_ino + 1
            stream = "%d:%d" % (status.st_dev, inode)
            programs = []
            try:
                program = Program(environment(JOURNAL_STREAM=stream, FCGI_WEB_SERVER_ADDRS="192.0.2.1"),
                                  stderr=(theirs, ours))
                programs.append(program)
                refused(program, "127.0.0.1")
                refusal = "refused a connection from 127.0.0.1: " + REFUSED
                if matching:
                    start = "<6>varpage %s serving FastCGI on %s" % (VERSION, program.where)
                    refusal = "<4>" + refusal
                else:
                    start = program.prefix("info") + "varpage %s serving FastCGI on %s" % (
                        VERSION, program.where)
                    refusal = program.prefix("warning") + refusal
                program.wait_for(re.escape(refusal))
                assert program.lines()[0].startswith(start + ","), program.lines()
                assert program.stop() == 0
                # The error that stops a start, too.
                program = Program(environment(JOURNAL_STREAM=stream, FCGI_WEB_SERVER_ADDRS="::1/128"),
                                  stderr=(theirs, ours))
                programs.append(program)
                assert program.process.wait(timeout=10) == 1
                error = ('FCGI_WEB_SERVER_ADDRS entry "::1/128" is not an IPv4 or IPv6 address')
                want = ("<3>" if matching else program.prefix("error")) + error
                lines = program.lines()
                assert lines[-1].startswith(want), lines
            finally:
                for program in programs:
                    program.end()
                ours.close()
                theirs.close()
        return test

    case("JOURNAL_STREAM naming standard error: <6>, <4> and <3> prefixes", journal(True))
    case("JOURNAL_STREAM naming another stream: the plain prefix", journal(False))

    # --- Nothing sent to systemd without NOTIFY_SOCKET: no datagram socket
    # made at all (and, to show the trace would tell, one made with it).
    def no_notify_socket():
        for with_socket in (False, True):
            trace = os.path.join(folder, "trace-%d" % with_socket)
            more = {"NOTIFY_SOCKET": NotifySocket(abstract=True).name} if with_socket else {}
            # strace holds the threads; a sanitizer's leak check at exit would
            # want to as well.
            program = Program(environment(ASAN_OPTIONS="detect_leaks=0", **more),
                              wrapper=("strace", "-f", "-qq", "-o", trace, "-e",
                                       "trace=socket,sendto,sendmsg"))
            try:
                line = program.wait_for(r"varpage\[\d+\]: info: varpage .*", 20)
                ask(program)
                os.kill(int(re.match(r"varpage\[(\d+)\]", line).group(1)), signal.SIGTERM)
                assert program.process.wait(timeout=20) == 0
            finally:
                program.end()
            calls = open(trace).read()
            datagram = re.findall(r"socket\(AF_UNIX, SOCK_DGRAM[^\n]*", calls)
            if with_socket:
                assert datagram, "the trace shows no datagram socket even with NOTIFY_SOCKET"
            else:
                assert not datagram, "without NOTIFY_SOCKET: %r" % datagram

    case("without NOTIFY_SOCKET no datagram socket is made", no_notify_socket)

    # --- Out of file descriptors: a hard limit of 24 (the program raises
    # its soft limit to it) and 40 peers connected at once.
    def out_of_descriptors():
        if sanitized():
            # Its checks of memory open a pipe: with no descriptor left, it
            # reports a false fault and ends the process.
            raise Skipped("a sanitizer's runtime needs descriptors of its own")
        program = Program(environment(), wrapper=("prlimit", "--nofile=24:24", "--"))
        peers = []
        try:
            program.wait_for(started(program))
            peers = [f.Peer(program.address, "127.0.0.1") for _ in range(40)]
            line = re.escape(program.prefix("error") + "cannot accept connections: out of file "
                             "descriptors; raise the open-file limit (LimitNOFILE= in the service "
                             "unit, ulimit -n elsewhere)")
            program.wait_for(line)
            # Workers try again every 0.1 s: still the one line.
            time.sleep(2)
            assert len(program.lines()) == 2, program.lines()
            for peer in peers:
                peer.close()
            peers = []
            ask(program)
            assert program.stop() == 0
            # The failures after the line are told at the stop, not lost.
            lines = program.lines()
            assert len(lines) == 5 and re.fullmatch(line + r" \(\d+ more times since the last line\)",
                                                    lines[3]), lines
        finally:
            for peer in peers:
                peer.close()
            program.end()

    case("out of file descriptors: one line, served once they are back, the count at the stop",
         out_of_descriptors)

    # --- Standard error a full pipe nobody reads.
    def full_pipe():
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"f" * 4096)
        except BlockingIOError:
            pass
        try:
            while True:
                os.write(write_end, b"f")
        except BlockingIOError:
            pass
        # The process must not find it non-blocking: it is one open file.
        os.set_blocking(write_end, True)
        program = Program(environment(FCGI_WEB_SERVER_ADDRS="127.0.0.1"), stderr=(write_end, None))
        os.close(write_end)
        try:
            began = time.monotonic()
            # 2000 refusals from 50 addresses (a line each to drop), 200
            # requests served between them.
            for i in range(2000):
                refused(program, "127.0.0.%d" % (2 + i % 50))
                if i % 10 == 0:
                    ask(program, "127.0.0.1", b"%d" % i)
            took = time.monotonic() - began
            assert took < 120, "2000 refusals and 200 requests took %.0f s" % took
            os.set_blocking(read_end, False)
            try:
                while os.read(read_end, 65536):
                    pass
            except BlockingIOError:
                pass
            os.set_blocking(read_end, True)
            refused(program, "127.0.1.1")
            program.reader = read_end
            # The start line and one for each of the 50 addresses.
            program.wait_for(re.escape(program.prefix("warning") + "refused a connection from "
                                       "127.0.1.1: " + REFUSED + " (51 earlier lines dropped)"))
            assert program.stop() == 0
        finally:
            program.end()
            os.close(read_end)

    case("standard error a full pipe: 2000 refusals, 200 requests served, the dropped count later",
         full_pipe)

    # --- CGI runs say nothing, on standard error or to systemd, whatever
    # the FastCGI and systemd variables hold.
    def cgi_runs():
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        status = os.fstat(theirs.fileno())
        listener = NotifySocket(abstract=False)
        journal_stream = "%d:%d" % (status.st_dev, status.st_ino)
        typical = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "SCRIPT_NAME": "/cgi-bin/varpage",
                   "SERVER_PROTOCOL": "HTTP/1.1", "JOURNAL_STREAM": journal_stream,
                   "NOTIFY_SOCKET": listener.name, LIST: "127.0.0.1"}
        hostile = dict(typical, **{LIST: "192.0.2.0/24", "JOURNAL_STREAM": "x" * 5000,
                                   "NOTIFY_SOCKET": "@" + "n" * 200, "QUERY_STRING": "%00%ff" * 1000})
        try:
            for name, variables in (("typical", typical), ("hostile", hostile)):
                run = subprocess.run([VARPAGE], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=theirs.fileno(), env=variables, timeout=20)
                assert run.returncode == 0, "%s: status %d" % (name, run.returncode)
                assert run.stdout.startswith(b"Content-type: text/html\r\n"), run.stdout[:80]
                assert not select.select([ours], [], [], 0.2)[0], \
                    "%s: on standard error: %r" % (name, ours.recv(4096))
                assert listener.received() == [], listener.messages
        finally:
            ours.close()
            theirs.close()

    case("CGI runs: nothing on standard error, nothing to NOTIFY_SOCKET", cgi_runs)

    # --- Back to the main process: a protocol error, twice from one peer
    # (one line), requests served, and a stop with requests in flight.
    def protocol_error():
        for _ in range(2):
            peer = f.Peer(main_program.address, "127.0.0.6")
            peer.send(b"\x02\x01\x00\x01\x00\x08\x00\x00" + b"\0" * 8)
            assert peer.read_to_end() == b""
            peer.close()
        line = re.escape(main_program.prefix("warning") + "cut off a connection from 127.0.0.6: "
                         "protocol error: a record of another FastCGI version")
        main_program.wait_for(line)
        served_one()
        assert len(main_program.matching(line)) == 1, main_program.lines()

    case("a protocol error, twice from one peer: one line", protocol_error)
    case("a trickling peer cut off at 30 s, and logged", trickle_case)
    case("a peer that never reads cut off, and logged", never_reading_case)

    def drain():
        for _ in range(4):
            served_one()
        held = []
        for i in range(3):
            peer = f.Peer(main_program.address, "127.0.0.1")
            peer.send(f.begin(1) + f.params(1, f.pair(b"HELD", b"%d" % i)))
            held.append(peer)
        status_line = (r"STATUS=Workers: 3 busy, \d+ idle; requests served: %d; peers refused: 0; "
                       r"connections cut: 4" % served[0])

        def status_now():
            statuses = [m for m in notify.received() if m.startswith("STATUS=Workers")]
            return statuses and re.fullmatch(status_line, statuses[-1])
        wait_until(status_now, 5, lambda: "last status %r, not %r" % (notify.messages[-1:], status_line))
        before = len(notify.received())
        main_program.process.send_signal(signal.SIGTERM)
        main_program.wait_for(re.escape(main_program.prefix("info") +
                                        "stopping on SIGTERM: 3 requests in flight"))
        for i, peer in enumerate(held):
            time.sleep(1.2)  # a status for each count
            peer.send(f.record(f.STDIN, 1))
            f.check_response(f.parse(peer.read_to_end()), 1, [f.row(b"HELD", b"%d" % i)])
            peer.close()
            served[0] += 1
        assert main_program.process.wait(timeout=20) == 0
        line = main_program.wait_for(re.escape(main_program.prefix("info") + "stopped: drained in ") +
                                     r"(\d+\.\d)" + re.escape(" s, served %d requests" % served[0]))
        drained = float(re.search(r"in (\d+\.\d) s", line).group(1))
        assert 3 <= drained < 20, "drained in %.1f s, after three requests 1.2 s apart" % drained
        messages = notify.received()
        assert messages[0] == ("READY=1\nSTATUS=Workers: 0 busy, 16 idle; requests served: 0; "
                               "peers refused: 0; connections cut: 0"), messages[0]
        assert all(m.startswith("STATUS=Workers: ") for m in messages[1:before]), messages[:before]
        after = messages[before:]
        # One message for the stop; the drain's end is the process's.
        assert after == ["STOPPING=1\nSTATUS=Stopping: 3 requests in flight"], after

    case("SIGTERM with 3 requests in flight: the stop's lines and systemd's, figures exact", drain)
    main_program.end()
    for peer in left_open:
        peer.close()

    case("refused 300 more in the last minute, a minute on; systemd's figures", refusal_sum_case)
    refusing.end()

    # --- The guide quotes these lines: each must be one the program wrote.
    def guide():
        # burst_test.sh checks the busy workers' lines.
        skip = ("workers", "cannot accept") if sanitized() else ("workers",)
        checked = check_guide(TROUBLESHOOTING, all_lines, skip=skip)
        assert checked >= 5, "only %d of the guide's messages found to check" % checked

    case("troubleshooting.md's messages are the program's", guide)
    print("lines written: %d" % len(all_lines))
    shutil.rmtree(folder, ignore_errors=True)
    sys.exit(1 if failures else 0)


def guide_messages(path):
    """The messages quoted in troubleshooting.md's table of varpage's own
    lines, as patterns: ADDRESS, ENTRY, N, PID and S stand for what varies."""
    text = open(path).read()
    section = text.split("## varpage's own messages", 1)[1].split("\n## ", 1)[0]
    messages = []
    for line in section.splitlines():
        match = re.match(r"\| `(varpage\[PID\]: [^`]*)` \|", line)
        if match:
            pattern = re.escape(match.group(1))
            for word, stands_for in (("PID", r"\d+"), ("ADDRESS", r"[0-9a-f.:]+"), ("ENTRY", r"[^\"]+"),
                                     ("N", r"\d+"), ("S", r"\d+\.\d")):
                pattern = re.sub(r"\b%s\b" % word, lambda _: stands_for, pattern)
            messages.append((match.group(1), pattern))
    return messages


def check_guide(path, lines, skip=(), only=None):
    checked = 0
    for message, pattern in guide_messages(path):
        if any(word in message for word in skip) or (only and only not in message):
            continue
        assert any(re.fullmatch(pattern, line) for line in lines), \
            "the guide's %r matches no line written" % message
        checked += 1
    return checked


if __name__ == "__main__":
    if sys.argv[1] == "--doc":
        lines = open(sys.argv[3], errors="replace").read().splitlines()
        count = check_guide(sys.argv[2], lines, only=sys.argv[4])
        print("troubleshooting.md: %d message(s) with %r found in the log" % (count, sys.argv[4]))
        sys.exit(0 if count > 0 else 1)
    VARPAGE, VERSION, TROUBLESHOOTING = sys.argv[1:4]
    main()
