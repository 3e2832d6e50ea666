#!/usr/bin/env python3
"""varpage in FastCGI mode, driven with exact records by hand-made peers.

    fastcgi_peer.py PATH-TO-VARPAGE
    fastcgi_peer.py --ask HOST PORT SOURCE   (one request over TCP)

Starts one varpage process the way a systemd socket unit does (a listening
unix socket on standard input, nothing else) and checks, byte for byte, what
it answers: whole pages, kept connections, requests served side by side, and
hostile or broken peers, after each of which the same process must still
answer; peers that keep a connection past its first deadline, trickle or
never read, each cut off in time; and, with such a peer still open, a stop
by SIGTERM. Run it offline (fastcgi_peer_test.sh does), since the host row
looks up 127.0.0.1.
"""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

BEGIN, ABORT, END, PARAMS, STDIN, STDOUT, GET_VALUES, VALUES_RESULT, UNKNOWN = 1, 2, 3, 4, 5, 6, 9, 10, 11


def record(kind, request_id, content=b"", padding=0):
    return struct.pack(">BBHHBB", 1, kind, request_id, len(content), padding, 0) + content + b"\0" * padding


def length(n, long_form=False):
    return struct.pack(">I", n | 0x80000000) if n >= 128 or long_form else bytes([n])


def pair(name, value):
    return length(len(name)) + length(len(value)) + name + value


def begin(request_id, keep=False, role=1):
    return record(BEGIN, request_id, struct.pack(">HB5x", role, 1 if keep else 0))


def params(request_id, pairs):
    chunks = [pairs[i:i + 65535] for i in range(0, len(pairs), 65535)]
    return b"".join(record(PARAMS, request_id, c) for c in chunks) + record(PARAMS, request_id)


def request(request_id, variables, keep=False, body=b""):
    pairs = b"".join(pair(n, v) for n, v in variables)
    out = begin(request_id, keep) + params(request_id, pairs)
    if body:
        out += record(STDIN, request_id, body)
    return out + record(STDIN, request_id)


def end_request(request_id, status=0):
    return record(END, request_id, struct.pack(">IB3x", 0, status))


def parse(data):
    """The records in `data`, as (type, id, content, whole record); fails on
    a record cut short."""
    records, at = [], 0
    while at < len(data):
        assert len(data) - at >= 8, "output ends inside a record header"
        version, kind, rid, size, padding, _ = struct.unpack(">BBHHBB", data[at:at + 8])
        assert version == 1, "record of version %d" % version
        whole = data[at:at + 8 + size + padding]
        assert len(whole) == 8 + size + padding, "output ends inside a record"
        records.append((kind, rid, whole[8:8 + size], whole))
        at += len(whole)
    return records


class Peer:
    """A connection to `path` (a unix socket), or to (host, port) over TCP
    from the address `source`."""

    def __init__(self, path, source=None):
        self.sock = socket.socket(socket.AF_UNIX if isinstance(path, str) else socket.AF_INET)
        self.sock.settimeout(20)
        if source:
            self.sock.bind((source, 0))
        self.sock.connect(path)

    def send(self, data):
        self.sock.sendall(data)

    def read_to_end(self):
        """Everything up to the program's hang-up."""
        data = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:  # it hung up on bytes it did not read
                return data
            if not chunk:
                return data
            data += chunk

    def read_response(self, request_id):
        """Records up to and with the END_REQUEST of `request_id`, on a
        connection that stays open."""
        data = b""
        while True:
            chunk = self.sock.recv(65536)
            assert chunk, "hang-up before END_REQUEST"
            data += chunk
            try:
                records = parse(data)
            except AssertionError:
                continue
            if any(r[0] == END and r[1] == request_id for r in records):
                return records

    def close(self):
        self.sock.close()


HTTP_DATE = rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT"


def expected_page(rows, expires):
    head = (b'<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN">\r\n<html>\r\n<head>\r\n'
            b'<meta http-equiv="Content-Type" content="text/html" />\r\n'
            b'<meta http-equiv="Pragma" content="no-cache" />\r\n'
            b'<meta http-equiv="Expires" content="' + expires + b'" />\r\n'
            b"<title>Environment Variable List</title>\r\n</head>\r\n<body>\r\n"
            b"<h1>Environment Variable List</h1>\r\n"
            b'<table border="1" cellspacing="0" cellpadding="5" cols="2" frame="hsides" rules="rows">\r\n'
            b'<colgroup span="2">\r\n\t<col />\r\n\t<col />\r\n</colgroup>\r\n'
            b"<thead>\r\n\t<tr>\r\n\t\t<th>environment variable name</th>\r\n"
            b"\t\t<th>environment variable value</th>\r\n\t</tr>\r\n</thead>\r\n<tbody>\r\n")
    return head + b"".join(rows) + b"</tbody>\r\n</table>\r\n</body>\r\n</html>"


def row(name, value):
    return b"\t<tr>\r\n\t\t<td>" + name + b"</td>\r\n\t\t<td>" + value + b"</td>\r\n\t</tr>\r\n"


def host_row(name):
    return (b"\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t" +
            name + b"\r\n\t\t</td>\r\n\t</tr>\r\n")


def check_response(records, request_id, rows):
    """One whole response: STDOUT records holding exactly the page, the empty
    STDOUT record, END_REQUEST, nothing else."""
    assert [r[1] for r in records] == [request_id] * len(records), "records of other requests"
    assert [r[0] for r in records[:-2]] == [STDOUT] * (len(records) - 2), "not all STDOUT"
    assert records[-2][3] == record(STDOUT, request_id), "no end of STDOUT"
    assert records[-1][3] == end_request(request_id), "no END_REQUEST"
    text = b"".join(r[2] for r in records[:-2])
    match = re.match(rb"Content-type: text/html\r\nLast-Modified: (" + HTTP_DATE +
                     rb")\r\nExpires: (" + HTTP_DATE + rb")\r\nCache-Control: private\r\n\r\n", text)
    assert match, "header: %r" % text[:200]
    assert text[match.end():] == expected_page(rows, match.group(2)), "page: %r" % text[-600:]


failures = 0



def in_background(test):
    """Starts `test` now, alongside the cases that follow, for those that
    take tens of seconds; returns a case that waits for it and gives
    what it returned."""
    outcome = {}

    def run():
        try:
            outcome["result"] = test()
        except Exception as error:  # raised again by the case that waits
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()

    def finished():
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]
    return finished

def case(name, test):
    global failures
    try:
        test()
        print("ok: " + name)
    except Exception as error:  # one failed case must not hide the others
        failures += 1
        print("FAILED: %s: %s" % (name, error))


def loopback_name():
    for line in open("/etc/hosts"):
        fields = line.split()
        if fields and fields[0] == "127.0.0.1" and len(fields) > 1:
            return fields[1].encode()
    return None


def start_on_unix_socket(varpage, environment):
    """`varpage` on a listening unix socket of its own, in a new folder, as a
    socket unit starts it, with `environment` (and PATH); returns the process
    and the socket's path."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "varpage.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    process = subprocess.Popen([varpage], stdin=listener.fileno(), stdout=subprocess.DEVNULL,
                               env=dict(environment, PATH="/usr/bin"))
    listener.close()
    return process, path


def main():
    varpage = sys.argv[1]
    # The process's own environment, which no page may show.
    program, path = start_on_unix_socket(varpage, {"VARPAGE_PROCESS_MARK": "process-only"})
    folder = os.path.dirname(path)
    name = loopback_name()
    with_host = [host_row(name)] if name else []

    def answered(request_id=1, variables=((b"N", b"1"),)):
        """A plain request on a new connection gets its page."""
        peer = Peer(path)
        peer.send(request(request_id, variables))
        check_response(parse(peer.read_to_end()), request_id,
                       [row(n, v) for n, v in variables])
        peer.close()

    def exact_page():
        peer = Peer(path)
        peer.send(request(1, [(b"REMOTE_ADDR", b"127.0.0.1"), (b"Q", b"<b>&amp;"),
                              (b"X", b"a=b\nc"), (b"", b"hidden"), (b"EMPTY", b"")],
                          body=b"BODY_VARIABLE=never-shown"))
        check_response(parse(peer.read_to_end()), 1,
                       [row(b"REMOTE_ADDR", b"127.0.0.1"), row(b"Q", b"&lt;b&gt;&amp;amp;"),
                        row(b"X", b"a=b\r\nc"), row(b"EMPTY", b"")] + with_host)

    def kept_connection():
        peer = Peer(path)
        variables = [[(b"FIRST_ONLY", b"1"), (b"N", b"1")], [(b"N", b"2")], [(b"N", b"3")]]
        for i, v in enumerate(variables):
            peer.send(request(300 + i, v, keep=True))
            check_response(peer.read_response(300 + i), 300 + i, [row(n, x) for n, x in v])
        peer.close()

    def many_connections():
        for i in range(1, 101):
            variables = [(b"N", b"%d" % i)] + ([(b"FIRST_ONLY", b"1")] if i == 1 else [])
            answered(i, variables)

    def side_by_side():
        # Ten requests left half-sent hold ten workers; another is answered
        # meanwhile, and then so is each of the ten.
        waiting = []
        for i in range(10):
            peer = Peer(path)
            peer.send(begin(1) + record(PARAMS, 1, pair(b"W", b"%d" % i)))
            waiting.append(peer)
        answered(1, [(b"MEANWHILE", b"1")])
        for i, peer in enumerate(waiting):
            peer.send(record(PARAMS, 1) + record(STDIN, 1))
            check_response(parse(peer.read_to_end()), 1, [row(b"W", b"%d" % i)])

    def idle_peers():
        # More idle connections than the workers the process starts with,
        # and peers that trickle a request: another is answered while they
        # all are still connected.
        idle = [Peer(path) for _ in range(24)]
        trickling = []
        for _ in range(8):
            peer = Peer(path)
            peer.send(begin(1) + record(PARAMS, 1, pair(b"SLOW", b"1"))[:10])
            trickling.append(peer)
        answered(1, [(b"PAST_IDLE_PEERS", b"1")])
        for peer in idle + trickling:
            peer.sock.setblocking(False)
            try:
                assert peer.sock.recv(1) != b"", "an idle peer was dropped"
            except BlockingIOError:
                pass  # still connected, nothing said: as it should be
            peer.close()

    refused_text = (b"Status: 503 Service Unavailable\r\nRetry-After: 5\r\n"
                    b"Content-type: text/plain\r\n\r\n"
                    b"Too busy to take this request now: please try again in a few seconds.\r\n")

    def refused_records(request_id):
        return record(STDOUT, request_id, refused_text) + record(STDOUT, request_id) + end_request(request_id)

    def two_mib(request_id):
        """Exactly the most parameters one request may send (2 MiB), their
        stream left open."""
        return params(request_id, pair(b"V", b"v" * ((2 << 20) - 6)))[:-8]

    def fill_budget():
        """Twelve peers, each holding a request with 2 MiB of parameters
        unfinished: all the process keeps of parameters at once. Returns
        them once the process has read all they sent."""
        holders = []
        for _ in range(12):
            peer = Peer(path)
            peer.send(begin(1) + two_mib(1))
            holders.append(peer)
        # Taken in long before this, on a machine at rest; a request sent
        # too soon would take the room and be answered, failing the case.
        time.sleep(2)
        return holders

    def budget_freed():
        # The next request waits for room, unanswered, while the twelve are
        # held; once they end (each with its page), it gets its own.
        holders = fill_budget()
        waiting = Peer(path)
        waiting.send(request(2, [(b"WAITED", b"1")], body=b"x" * 1000))
        waiting.sock.settimeout(2)
        try:
            early = waiting.sock.recv(1)
            raise AssertionError("the request was answered while the budget was full: %r" % early)
        except socket.timeout:
            pass
        waiting.sock.settimeout(20)
        for peer in holders:
            peer.send(record(PARAMS, 1) + record(STDIN, 1))
        for peer in holders:
            records = parse(peer.read_to_end())
            assert records and records[-1][3] == end_request(1), "a held request lost its page"
            peer.close()
        check_response(parse(waiting.read_to_end()), 2, [row(b"WAITED", b"1")])
        waiting.close()

    def budget_kept_full():
        # With the twelve held all along, the waiting request is answered 503
        # before its 30 s deadline (a kept connection: it then stays open for
        # the next request), and nothing else.
        holders = fill_budget()
        waiting = Peer(path)
        waiting.sock.settimeout(35)
        started = time.monotonic()
        waiting.send(request(3, [(b"WAITED", b"1")], keep=True))
        answer = waiting.read_response(3)
        seconds = time.monotonic() - started
        assert b"".join(r[3] for r in answer) == refused_records(3), "answered: %r" % answer
        assert seconds < 35, "the 503 came after %.1f s" % seconds
        for peer in holders:
            peer.close()
        waiting.send(request(4, [(b"AFTER", b"1")]))
        check_response(parse(waiting.read_to_end()), 4, [row(b"AFTER", b"1")])

    def idle_kept_connections_hold_no_budget():
        # Twelve kept connections, each answered a 2 MiB request and then
        # idle: together they once held the whole budget until they closed.
        # A small request elsewhere gets its page at once.
        kept = []
        for i in range(12):
            peer = Peer(path)
            peer.send(begin(1, keep=True) + params(1, pair(b"V", b"v" * ((2 << 20) - 6))) +
                      record(STDIN, 1))
            records = peer.read_response(1)
            assert records[-1][3] == end_request(1), "the 2 MiB request %d was not answered" % i
            kept.append(peer)
        small = Peer(path)
        small.sock.settimeout(3)
        small.send(request(5, [(b"SMALL", b"1")]))
        try:
            check_response(parse(small.read_to_end()), 5, [row(b"SMALL", b"1")])
        except socket.timeout:
            raise AssertionError("a small request waited behind idle kept connections")
        small.close()
        for peer in kept:
            peer.close()

    def over_the_limit():
        # One byte over 2 MiB: the rest of the request is read and dropped,
        # the 503 arrives whole (no reset), at once, and the connection ends.
        peer = Peer(path)
        peer.send(begin(9) + params(9, pair(b"V", b"v" * ((2 << 20) - 5))) +
                  record(STDIN, 9, b"body") + record(STDIN, 9))
        assert peer.read_to_end() == refused_records(9)
        peer.close()

    def management_records():
        peer = Peer(path)
        peer.send(record(GET_VALUES, 0, pair(b"FCGI_MAX_CONNS", b"") + pair(b"FCGI_MPXS_CONNS", b"")))
        peer.send(record(42, 0, b"xyz", 5))
        peer.send(request(1, [(b"A", b"1")]))
        records = parse(peer.read_to_end())
        assert records[0][3] == record(VALUES_RESULT, 0, pair(b"FCGI_MAX_CONNS", b"512") +
                                       pair(b"FCGI_MPXS_CONNS", b"0")), records[0]
        assert records[1][3] == record(UNKNOWN, 0, bytes([42]) + b"\0" * 7), records[1]
        check_response(records[2:], 1, [row(b"A", b"1")])

    def abort_mid_request():
        peer = Peer(path)
        peer.send(begin(5, keep=True) + record(PARAMS, 5, pair(b"A", b"1")) + record(ABORT, 5))
        assert peer.read_response(5) == parse(end_request(5))
        peer.send(request(6, [(b"B", b"2")]))
        check_response(parse(peer.read_to_end()), 6, [row(b"B", b"2")])

    def still_serving():
        answered()
        assert program.poll() is None, "the process ended"

    def no_page_to_the_end(peer):
        """What `peer` gets up to the hang-up holds no page."""
        rest = peer.read_to_end()
        assert not any(r[0] in (STDOUT, END) for r in parse(rest)), "answered: %r" % rest[:80]
        peer.close()

    def hostile(data, hang_up=False):
        """Sends `data`; the program must hang up without a page (or the peer
        hangs up first), and the next peer is served."""
        def test():
            peer = Peer(path)
            try:
                peer.send(data)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the program may hang up before all was sent
            if hang_up:
                peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                peer.close()
            else:
                peer.sock.shutdown(socket.SHUT_WR)
                no_page_to_the_end(peer)
            still_serving()
        return test

    def hostile_on_kept(pairs):
        """A kept connection's first request is answered; a second one, with
        the malformed parameters `pairs`, ends the connection without a page,
        and the next peer is served."""
        def test():
            peer = Peer(path)
            peer.send(request(1, [(b"FIRST", b"f" * 300)], keep=True))
            check_response(peer.read_response(1), 1, [row(b"FIRST", b"f" * 300)])
            try:
                peer.send(begin(2, keep=True) + params(2, pairs) + record(STDIN, 2))
            except (BrokenPipeError, ConnectionResetError):
                pass
            no_page_to_the_end(peer)
            still_serving()
        return test

    def kept_past_the_first_deadline():
        """Requests 0, 20 and 40 s after a kept connection was made: each one
        answered renews the 30 s the peer has for the next."""
        peer = Peer(path)
        started = time.monotonic()
        for i, at in enumerate((0, 20, 40)):
            time.sleep(max(0.0, started + at - time.monotonic()))
            variables = [(b"AT", b"%d s" % at)]
            try:
                peer.send(request(400 + i, variables, keep=True))
                check_response(peer.read_response(400 + i), 400 + i, [row(n, v) for n, v in variables])
            except (AssertionError, OSError) as error:
                raise AssertionError("the request %d s in: %s" % (at, str(error) or type(error).__name__))
        peer.close()

    def never_reading_peer():
        """A peer that asks for a page of megabytes and reads none of it.
        Returns the seconds until the program hung up on it (None: still
        connected after 45 s) and the peer, left open."""
        peer = Peer(path)
        started = time.monotonic()
        peer.send(request(1, [(b"BIG", b"x" * 1500000)]))
        # A hang-up shows without reading what is still queued.
        waiting = select.poll()
        waiting.register(peer.sock, select.POLLHUP)
        while not waiting.poll(500):
            if time.monotonic() - started > 45:
                return None, peer
        return time.monotonic() - started, peer

    def trickling_peer():
        """A peer that sends a byte every 5 s, never finishing its request,
        loses its connection 30 s after it was made: each read does not buy
        it more time. Returns the seconds it stayed connected, or None when
        it still was after 45 s."""
        peer = Peer(path)
        started = time.monotonic()
        data = begin(1) + record(PARAMS, 1, pair(b"SLOW", b"x" * 100))
        peer.sock.settimeout(5)
        for byte in data:
            try:
                peer.send(bytes([byte]))
                answer = peer.sock.recv(1)
                assert answer == b"", "answered: %r" % answer
                break  # the program hung up
            except socket.timeout:
                pass  # still connected: the next byte
            except (BrokenPipeError, ConnectionResetError):
                break
            if time.monotonic() - started > 45:
                peer.close()
                return None
        peer.close()
        return time.monotonic() - started

    # Alongside the other cases, which take far less than the deadline.
    trickled = in_background(trickling_peer)

    def trickling_peer_cut_off():
        seconds = trickled()
        assert seconds is not None, "the trickling peer was still connected after 45 s"
        assert 29.5 <= seconds <= 35, "the trickling peer was cut off after %.1f s" % seconds


    def never_reading_peer_cut_off():
        seconds, peer = never_reading()
        never_reading_left_open.append(peer)
        assert seconds is not None, "a peer that reads nothing was still connected after 45 s"
        assert seconds <= 35, "a peer that reads nothing was cut off after %.1f s" % seconds

    never_reading_left_open = []

    huge = length(1 << 30, True) + length(1 << 30, True) + b"AB"
    big_request = request(1, [(b"BIG", b"x" * 1500000)])

    case("exact page of the request's parameters alone", exact_page)
    case("kept connection: each request its own variables", kept_connection)
    case("100 connections in a row: each request its own variables", many_connections)
    case("requests served side by side", side_by_side)
    case("idle and trickling peers hold up nobody", idle_peers)
    case("parameters over 2 MiB: 503, exact records", over_the_limit)
    case("parameters budget full, then freed: the waiting request gets its page", budget_freed)
    case("parameters budget kept full: 503 before the deadline", budget_kept_full)
    case("kept connections idle after large requests leave the budget free",
         idle_kept_connections_hold_no_budget)
    # Started only now: both hold parameters for tens of seconds (a kept
    # connection keeps its share between requests), and the budget cases
    # above need the process's whole budget to themselves.
    kept_40_s = in_background(kept_past_the_first_deadline)
    never_reading = in_background(never_reading_peer)
    case("GET_VALUES and an unknown type answered", management_records)
    case("abort in mid-request", abort_mid_request)
    case("hostile: two 1 GiB parameter lengths", hostile(begin(1) + params(1, huge) + record(STDIN, 1)))
    case("hostile: record cut short, then hang-up", hostile(begin(1) + record(PARAMS, 1, b"abc")[:9], True))
    case("hostile: header cut short", hostile(begin(1) + b"\x01\x04\x00"))
    case("hostile: wrong version", hostile(b"\x02\x01\x00\x01\x00\x08\x00\x00" + b"\0" * 8))
    case("hostile: garbage", hostile(bytes(range(256)) * 4))
    case("hostile: unknown request types only", hostile(b"".join(record(t, 1, b"x" * t) for t in range(12, 40))))
    case("hostile: hang-up in mid-response", hostile(big_request, True))
    case("hostile: hang-up after the request, before any answer", hostile(request(1, [(b"A", b"1")]), True))
    def still_serving():
        answered()
        assert program.poll() is None, "the process ended"

    case("hostile: a second request's value running past its parameters (kept connection)",
         hostile_on_kept(b"\x02\x02ABC"))
    case("hostile: a second request's 100-byte value past its parameters (kept connection)",
         hostile_on_kept(b"\x64\x64" + b"n" * 100))
    case("the same process still serves", still_serving)
    case("a peer trickling its request is cut off 30 s after it connected", trickling_peer_cut_off)
    case("a kept connection's requests 0, 20 and 40 s in are all answered", kept_40_s)
    case("a peer that never reads its page is cut off within 35 s", never_reading_peer_cut_off)

    # The peer that read nothing is still open at our end: the process must
    # not be held by it.
    def stop():
        program.terminate()
        try:
            status = program.wait(timeout=10)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
            raise AssertionError("SIGTERM did not end the process within 10 s")
        assert status == 0, "the process ended with status %d" % status

    case("SIGTERM ends the process, with status 0", stop)
    for peer in never_reading_left_open:
        peer.close()
    os.unlink(path)
    os.rmdir(folder)
    sys.exit(1 if failures else 0)


def ask(host, port, source):
    """Sends one request over TCP from `source`; prints its STDOUT stream,
    or nothing when the connection is closed unanswered."""
    peer = Peer((host, port), source)
    peer.send(request(1, [(b"REMOTE_ADDR", b"192.0.2.1"), (b"FROM", source.encode())]))
    records = parse(peer.read_to_end())
    sys.stdout.buffer.write(b"".join(r[2] for r in records if r[0] == STDOUT))


if __name__ == "__main__":
    if sys.argv[1] == "--ask":
        ask(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        main()
