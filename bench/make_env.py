#!/usr/bin/env python3
"""Writes a benchmark environment as NUL-separated entries on stdout.

  make_env.py typical   about 16 variables of a CGI request, REMOTE_ADDR=127.0.0.1
  make_env.py large     64 values of 16 KiB (1 MiB), about one byte in a
                        hundred being &, <, >, =, LF or ;
"""
import random
import sys

TYPICAL = [
    "GATEWAY_INTERFACE=CGI/1.1",
    "SERVER_SOFTWARE=lighttpd/1.4.69",
    "SERVER_NAME=127.0.0.1",
    "SERVER_ADDR=127.0.0.1",
    "SERVER_PORT=8080",
    "SERVER_PROTOCOL=HTTP/1.1",
    "REQUEST_METHOD=GET",
    "REQUEST_URI=/cgi-bin/varpage?q=%3Cx%3E&lang=en",
    "QUERY_STRING=q=%3Cx%3E&lang=en",
    "SCRIPT_NAME=/cgi-bin/varpage",
    "SCRIPT_FILENAME=/usr/lib/cgi-bin/varpage",
    "DOCUMENT_ROOT=/var/www/html",
    "REMOTE_ADDR=127.0.0.1",
    "REMOTE_PORT=51234",
    "HTTP_HOST=127.0.0.1:8080",
    "HTTP_USER_AGENT=Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko)",
    "HTTP_ACCEPT=text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
]


def large():
    rng = random.Random(1)
    special = "&<>=\n;"
    plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-"
    entries = []
    for i in range(64):
        value = "".join(
            rng.choice(special) if rng.random() < 0.01 else rng.choice(plain)
            for _ in range(16 * 1024))
        entries.append(f"BENCH_{i:02d}={value}")
    return entries


entries = TYPICAL if sys.argv[1:] == ["typical"] else large()
sys.stdout.write("".join(e + "\0" for e in entries))
