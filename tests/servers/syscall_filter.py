#!/usr/bin/env python3
"""Every system call varpage makes in FastCGI mode, against the filter of
its systemd unit.

    syscall_filter.py PATH-TO-VARPAGE UNIT-FILE[,DROP-IN] FOLDER

Runs varpage under `strace -f` on a listening unix socket (as the socket
unit starts it), or, given the TCP drop-in of the service, on the address
and port the socket's drop-in beside it names and with the
FCGI_WEB_SERVER_ADDRS the service's sets, and drives it with exact FastCGI records through its lookup
paths: names from the hosts file (IPv4 and IPv6), names a DNS server gives
(over UDP, and over TCP after a truncated answer), NXDOMAIN; a kept
connection, many connections at once, broken and hostile peers, and a
SIGTERM stop with requests in progress. Then fails on any call the
unit's SystemCallFilter= would refuse, computed from the unit file with
`systemd-analyze syscall-filter`, so that a change that needs a new call
shows up here and not on a user's server; and on sockets, memory and thread
starts the rest of its sandbox would refuse.

Run it offline, in a mount namespace whose /etc/hosts, /etc/resolv.conf and
/etc/nsswitch.conf are the test's own (syscall_filter_test.sh sets that up):
the DNS server it starts answers on 127.0.0.1:53; on TCP, the addresses
of the drop-ins, and 192.0.2.11 as a stranger's, are on the loopback
interface.
"""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fastcgi_peer as f  # noqa: E402

# The names the test's hosts file and DNS server give (see
# syscall_filter_test.sh for the hosts file).
HOSTS_V4 = (b"192.0.2.10", b"hosts-v4.test")
HOSTS_V6 = (b"2001:db8::10", b"hosts-v6.test")
DNS_V4 = (b"198.51.100.10", b"dns-v4.test")
DNS_V6 = (b"2001:db8::53", b"dns-v6.test")
DNS_TCP = (b"198.51.100.11", b"dns-over-tcp.test")
NXDOMAIN = (b"203.0.113.9", None)


def reverse_name(address):
    """The in-addr.arpa or ip6.arpa name of `address`."""
    text = address.decode()
    if ":" in text:
        nibbles = socket.inet_pton(socket.AF_INET6, text).hex()
        return ".".join(reversed(nibbles)) + ".ip6.arpa"
    return ".".join(reversed(text.split("."))) + ".in-addr.arpa"


def encode(domain):
    return b"".join(bytes([len(label)]) + label for label in domain.encode().split(b".") if label) + b"\0"


class Resolver:
    """A DNS server on 127.0.0.1:53, UDP and TCP. Answers the PTR queries
    of DNS_V4 and DNS_V6; answers that of DNS_TCP over UDP truncated (so the
    client asks again over TCP) and whole over TCP; NXDOMAIN to anything
    else."""

    def __init__(self):
        self.names = {reverse_name(a): n.decode() for a, n in (DNS_V4, DNS_V6, DNS_TCP)}
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 53))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("127.0.0.1", 53))
        self.tcp.listen(16)
        self.asked = set()
        threading.Thread(target=self.serve_udp, daemon=True).start()
        threading.Thread(target=self.serve_tcp, daemon=True).start()

    def reply(self, query, over_tcp):
        ident, = struct.unpack(">H", query[:2])
        end, labels = 12, []
        while query[end] != 0:
            labels.append(query[end + 1:end + 1 + query[end]].decode().lower())
            end += 1 + query[end]
        question = query[12:end + 5]
        qtype, = struct.unpack(">H", query[end + 1:end + 3])
        name = ".".join(labels)
        self.asked.add((name, "tcp" if over_tcp else "udp"))
        answer = self.names.get(name) if qtype == 12 else None
        if answer is None:
            return struct.pack(">HHHHHH", ident, 0x8183, 1, 0, 0, 0) + question
        if answer == DNS_TCP[1].decode() and not over_tcp:
            return struct.pack(">HHHHHH", ident, 0x8380, 1, 0, 0, 0) + question
        data = encode(answer)
        return (struct.pack(">HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question + b"\xc0\x0c" +
                struct.pack(">HHIH", 12, 1, 60, len(data)) + data)

    def serve_udp(self):
        while True:
            query, client = self.udp.recvfrom(4096)
            self.udp.sendto(self.reply(query, False), client)

    def serve_tcp(self):
        while True:
            connection, _ = self.tcp.accept()
            try:
                connection.settimeout(10)
                data = b""
                while True:
                    while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                        chunk = connection.recv(4096)
                        if not chunk:
                            raise EOFError
                        data += chunk
                    size, = struct.unpack(">H", data[:2])
                    reply = self.reply(data[2:2 + size], True)
                    connection.sendall(struct.pack(">H", len(reply)) + reply)
                    data = data[2 + size:]
            except (EOFError, OSError):
                pass
            connection.close()


def group_members(group, cache={}):
    """The system calls of `group` (an @set), nested sets expanded, as
    `systemd-analyze syscall-filter` lists them."""
    if group not in cache:
        listing = subprocess.run(["systemd-analyze", "syscall-filter", group], check=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        members = set()
        for line in listing.splitlines():
            entry = line.strip()
            if not line.startswith(" ") or not entry or entry.startswith("#"):
                continue
            members |= group_members(entry) if entry.startswith("@") else {entry}
        if not members:
            raise SystemExit("systemd-analyze knows no system call set %s" % group)
        cache[group] = members
    return cache[group]


def unit_lines(unit_files):
    """The lines of the unit and its drop-ins, in the order systemd reads
    them."""
    return [line for name in unit_files for line in open(name)]


def allowed_calls(unit_files):
    """The calls the unit's SystemCallFilter= lines let through, applied in
    order as systemd does: the first line says allow or deny list, later
    ones add to it or take from it, an empty one starts again. None if the
    unit has no allow list."""
    allowed, mode = set(), None
    for line in unit_lines(unit_files):
        match = re.match(r"\s*SystemCallFilter\s*=(.*)$", line)
        if not match:
            continue
        value = match.group(1).strip()
        if not value:
            allowed, mode = set(), None
            continue
        deny = value.startswith("~")
        if mode is None:
            mode = "deny" if deny else "allow"
        names = set()
        for item in value.lstrip("~").split():
            item = item.split(":")[0]  # a ":errno" suffix
            names |= group_members(item) if item.startswith("@") else {item}
        if deny == (mode == "deny"):
            allowed |= names
        else:
            allowed -= names
    if mode != "allow":
        return None
    # What systemd.exec(5) says every allow list lets through.
    return allowed | {"execve", "exit", "exit_group", "getrlimit", "rt_sigreturn", "sigreturn"}


def unit_setting(unit_files, name):
    """The last value the unit gives `name`, or None."""
    value = None
    for line in unit_lines(unit_files):
        match = re.match(r"\s*%s\s*=(.*)$" % name, line)
        if match:
            value = match.group(1).strip()
    return value


def sandbox_faults(unit_file, trace, allowed):
    """What in `trace` the rest of the unit's sandbox would refuse: a socket
    of a family RestrictAddressFamilies= leaves out, memory both writable
    and executable under MemoryDenyWriteExecute=, and thread starts that
    could not fall back to clone() under RestrictNamespaces= (systemd
    refuses clone3() there with ENOSYS, since it cannot see its flags, and
    the C library then calls clone())."""
    faults = set()
    families = (unit_setting(unit_file, "RestrictAddressFamilies") or "").split()
    no_wx = unit_setting(unit_file, "MemoryDenyWriteExecute") == "yes"
    for line in open(trace):
        socket_call = re.match(r"\d+\s+socket\((AF_\w+)", line)
        if socket_call and families and socket_call.group(1) not in families:
            faults.add("a socket of family %s" % socket_call.group(1))
        if no_wx and re.match(r"\d+\s+(mmap|mprotect|pkey_mprotect)\(", line) and \
                "PROT_WRITE" in line and "PROT_EXEC" in line:
            faults.add("memory both writable and executable: " + line.strip())
        if re.match(r"\d+\s+clone3\(", line) and \
                unit_setting(unit_file, "RestrictNamespaces") not in (None, "no") and "clone" not in allowed:
            faults.add("clone3 without clone to fall back to")
    return sorted(faults)


def main():
    varpage, folder = sys.argv[1], sys.argv[3]
    unit_file = sys.argv[2].split(",")
    allowed = allowed_calls(unit_file)
    if allowed is None:
        print("FAILED: %s has no system call allow list" % unit_file[0])
        sys.exit(1)

    resolver = Resolver()
    environment = {"PATH": "/usr/bin:/bin"}
    if len(unit_file) > 1:
        # On TCP, where the drop-ins say, as the web server and as a stranger.
        socket_conf = os.path.join(os.path.dirname(unit_file[1]), "..", "varpage.socket.d", "tcp.conf")
        host, port = unit_setting([socket_conf], "ListenStream").rsplit(":", 1)
        path = (host, int(port))
        web_servers = re.search(r"FCGI_WEB_SERVER_ADDRS=(\S+)", unit_setting(unit_file, "Environment")).group(1)
        environment["FCGI_WEB_SERVER_ADDRS"] = web_servers
        source, stranger = web_servers.split(",")[0], "192.0.2.11"
        listener = socket.socket(socket.AF_INET)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    else:
        path = os.path.join(folder, "varpage.sock")
        source = stranger = None
        listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    # As under systemd: standard error a stream socket that JOURNAL_STREAM
    # names, and a notification socket, so that the log's and the
    # notifications' calls are traced too.
    journal, error_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    error_stat = os.fstat(error_end.fileno())
    environment["JOURNAL_STREAM"] = "%d:%d" % (error_stat.st_dev, error_stat.st_ino)
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(os.path.join(folder, "notify"))
    environment["NOTIFY_SOCKET"] = os.path.join(folder, "notify")
    journal_lines = []
    reader = threading.Thread(target=lambda: journal_lines.extend(iter(lambda: journal.recv(65536), b"")))
    reader.start()
    trace = os.path.join(folder, "trace")
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=all", "-o", trace, varpage],
                              stdin=listener.fileno(), stdout=subprocess.DEVNULL,
                              stderr=error_end.fileno(), env=environment)
    listener.close()
    error_end.close()

    def connect():
        return f.Peer(path, source)

    failures = []

    def case(name, test):
        try:
            test()
            print("ok: " + name)
        except Exception as error:  # one failed case must not hide the others
            failures.append(name)
            print("FAILED: %s: %s" % (name, error))

    def rows(address, name):
        return [f.row(b"REMOTE_ADDR", address)] + ([f.host_row(name)] if name else [])

    def answered(address, name, request_id=1):
        """One request from `address` on a new connection: its page, with
        `name` in the host row (no row for None)."""
        peer = connect()
        peer.send(f.request(request_id, [(b"REMOTE_ADDR", address)]))
        f.check_response(f.parse(peer.read_to_end()), request_id, rows(address, name))
        peer.close()

    def kept_connection():
        peer = connect()
        for i, (address, name) in enumerate([HOSTS_V4, DNS_V6, NXDOMAIN, HOSTS_V6]):
            peer.send(f.request(10 + i, [(b"REMOTE_ADDR", address)], keep=True))
            f.check_response(peer.read_response(10 + i), 10 + i, rows(address, name))
        peer.close()

    def many_at_once():
        # More connections held at once than the workers the process starts
        # with, so that it starts more; each then gets its page.
        waiting = []
        for i in range(40):
            peer = connect()
            peer.send(f.begin(1) + f.record(f.PARAMS, 1, f.pair(b"REMOTE_ADDR", DNS_V4[0])))
            waiting.append(peer)
        answered(*HOSTS_V4)
        for peer in waiting:
            peer.send(f.record(f.PARAMS, 1) + f.record(f.STDIN, 1))
            f.check_response(f.parse(peer.read_to_end()), 1, rows(*DNS_V4))
            peer.close()

    def broken_peers():
        for data, hang_up in [(bytes(range(256)) * 4, False),
                              (f.begin(1) + b"\x01\x04\x00", False),
                              (f.request(1, [(b"BIG", b"x" * 1500000)]), True)]:
            peer = connect()
            try:
                peer.send(data)
            except (BrokenPipeError, ConnectionResetError):
                pass
            if hang_up:
                peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                peer.sock.shutdown(socket.SHUT_WR)
                peer.read_to_end()
            peer.close()
        answered(*HOSTS_V4)

    case("IPv4 address from the hosts file", lambda: answered(*HOSTS_V4))
    case("IPv6 address from the hosts file", lambda: answered(*HOSTS_V6))
    case("IPv4 address from DNS", lambda: answered(*DNS_V4))
    case("IPv6 address from DNS", lambda: answered(*DNS_V6))
    case("truncated DNS answer, asked again over TCP", lambda: answered(*DNS_TCP))
    case("NXDOMAIN: no host row", lambda: answered(*NXDOMAIN))
    case("kept connection, one lookup path after another", kept_connection)
    case("40 connections at once", many_at_once)
    case("broken and hostile peers, then a request", broken_peers)
    if stranger:
        def refused():
            peer = f.Peer(path, stranger)
            peer.send(f.request(1, [(b"REMOTE_ADDR", HOSTS_V4[0])]))
            data = peer.read_to_end()
            peer.close()
            assert data == b"", "answered a stranger: %r" % data[:100]
            answered(*HOSTS_V4)
        case("a stranger (%s) outside FCGI_WEB_SERVER_ADDRS: closed unanswered" % stranger, refused)
    if ("11.100.51.198.in-addr.arpa", "tcp") not in resolver.asked:
        failures.append("tcp")
        print("FAILED: the truncated answer was not asked again over TCP: %s" % sorted(resolver.asked))

    # The stop: SIGTERM while one request is half sent and a kept
    # connection waits for its next; then the request is finished. How the
    # process ends is the business of other tests; here only its calls
    # count.
    pid = int(open(trace).readline().split()[0])
    half = connect()
    half.send(f.begin(1) + f.record(f.PARAMS, 1, f.pair(b"REMOTE_ADDR", DNS_V4[0])))
    kept = connect()
    kept.send(f.request(1, [(b"REMOTE_ADDR", HOSTS_V6[0])], keep=True))
    kept.read_response(1)
    time.sleep(0.2)
    os.kill(pid, signal.SIGTERM)
    time.sleep(0.2)
    try:
        half.send(f.record(f.PARAMS, 1) + f.record(f.STDIN, 1))
        half.sock.settimeout(60)
        stop_answer = "page" if f.END in [r[0] for r in f.parse(half.read_to_end())] else "none"
    except (OSError, AssertionError):
        stop_answer = "none"
    half.close()
    kept.close()
    try:
        tracer.wait(timeout=150)
    except subprocess.TimeoutExpired:
        os.kill(pid, signal.SIGKILL)
        tracer.wait()
        failures.append("stop")
        print("FAILED: still running 150 s after SIGTERM")
    reader.join(timeout=10)
    notify.setblocking(False)
    notifications = []
    try:
        while True:
            notifications.append(notify.recv(4096))
    except BlockingIOError:
        pass
    logged = b"".join(journal_lines)
    if not logged.startswith(b"<6>varpage ") or b"<6>stopped: drained" not in logged:
        failures.append("journal")
        print("FAILED: the journal got no start and stop lines: %r" % logged[:300])
    if not notifications or not notifications[0].startswith(b"READY=1\n") or \
            not any(n.startswith(b"STOPPING=1\n") for n in notifications):
        failures.append("notify")
        print("FAILED: no READY=1 and STOPPING=1 notifications: %r" % notifications[:5])
    last = open(trace).read().rstrip("\n").rsplit("\n", 1)[-1]
    print("after SIGTERM: request in progress answered: %s; end: %s" % (stop_answer, last))
    if isinstance(path, str):
        os.unlink(path)

    seen = {}
    for line in open(trace):
        match = re.match(r"\d+\s+([a-z0-9_]+)\(", line)
        if match:
            seen[match.group(1)] = seen.get(match.group(1), 0) + 1
    print("system calls seen (%d): %s" % (len(seen), " ".join(
        "%s:%d" % (name, seen[name]) for name in sorted(seen))))
    # A trace that missed the program's work would pass for the wrong reason.
    for needed in ("accept4", "sendmsg", "connect", "sendto"):
        if needed not in seen:
            failures.append(needed)
            print("FAILED: the trace shows no %s: it did not follow the program" % needed)
    outside = sorted(set(seen) - allowed)
    if outside:
        failures.append("filter")
        print("FAILED: outside the unit's SystemCallFilter: %s" % " ".join(outside))
    else:
        print("ok: every call is inside the unit's SystemCallFilter (%d calls allowed)" % len(allowed))
    faults = sandbox_faults(unit_file, trace, allowed)
    for fault in faults:
        print("FAILED: the unit's sandbox refuses %s" % fault)
    if faults:
        failures.append("sandbox")
    else:
        print("ok: sockets, memory and threads as the unit's sandbox allows")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
