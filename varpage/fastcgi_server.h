// FastCGI on a listening socket: workers, each taking connections from the
// socket and answering their requests, so that one slow request (a reverse
// lookup can take seconds) holds up only its own worker. A new worker starts
// whenever every worker is busy, up to a limit, so slow or idle peers do not
// hold up the others. POSIX only.
#pragma once

#include <sys/socket.h>

namespace varpage::fastcgi {

// How many workers the process starts with, and how many requests it serves
// at once at the most.
inline constexpr unsigned kFirstWorkers = 16;
inline constexpr unsigned kWorkers = 512;

// Serves connections from `listener` until the socket fails. On a TCP
// socket, when the process environment holds FCGI_WEB_SERVER_ADDRS (the
// usual FastCGI way to name the web servers), only connections from the
// addresses it lists are served; any other is closed unread.
void serve(int listener);

// Whether a peer at `peer` may be served under `allowed`, the value of
// FCGI_WEB_SERVER_ADDRS: IPv4 and IPv6 addresses separated by commas (and
// spaces). Unset or empty allows every peer; a local (unix) socket's peer is
// always allowed, its file's permissions being the guard; an IPv4 address
// also allows the same address mapped into IPv6. Text that is no address
// allows nobody.
bool web_server_allowed(const char* allowed, const sockaddr_storage& peer);

}  // namespace varpage::fastcgi
