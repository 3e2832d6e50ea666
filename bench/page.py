#!/usr/bin/python3
"""The environment page in Python: the same header, document and escaping."""
import os
import socket
import sys
import time


def http_date(seconds):
    return time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(seconds))


def escape(data):
    return data.replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;")


now = int(time.time())
expires = http_date(now + 60).encode()
out = [b"Content-type: text/html\nLast-Modified: ", http_date(now - 60).encode(),
       b"\nExpires: ", expires, b"\nCache-Control: private\n\n",
       b"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n<html>\n<head>\n"
       b"<meta http-equiv=\"Content-Type\" content=\"text/html\" />\n"
       b"<meta http-equiv=\"Pragma\" content=\"no-cache\" />\n"
       b"<meta http-equiv=\"Expires\" content=\"", expires, b"\" />\n"
       b"<title>Environment Variable List</title>\n</head>\n<body>\n"
       b"<h1>Environment Variable List</h1>\n"
       b"<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" rules=\"rows\">\n"
       b"<colgroup span=\"2\">\n\t<col />\n\t<col />\n</colgroup>\n"
       b"<thead>\n\t<tr>\n\t\t<th>environment variable name</th>\n"
       b"\t\t<th>environment variable value</th>\n\t</tr>\n</thead>\n<tbody>\n"]
# os.environb keeps the order of the environment but not duplicates.
for name, value in os.environb.items():
    out += [b"\t<tr>\n\t\t<td>", escape(name), b"</td>\n\t\t<td>", escape(value),
            b"</td>\n\t</tr>\n"]
remote = os.environb.get(b"REMOTE_ADDR", b"")
if remote:
    try:
        name = socket.gethostbyaddr(remote.decode("latin-1"))[0].encode()
        out += [b"\t<tr>\n\t\t<td>\n\t\t\tHostName from IPaddr\n\t\t</td>\n\t\t<td>\n\t\t\t",
                escape(name), b"\n\t\t</td>\n\t</tr>\n"]
    except (OSError, UnicodeError):
        pass
out.append(b"</tbody>\n</table>\n</body>\n</html>")
sys.stdout.buffer.write(b"".join(out).replace(b"\n", b"\r\n"))
