// FastCGI on a listening socket: a fixed set of workers, each taking
// connections from the socket and answering their requests, so that one
// slow request (a reverse lookup can take seconds) holds up only its own
// worker. POSIX only.
#pragma once

#include <sys/socket.h>

namespace varpage::fastcgi {

// How many requests the process serves at once.
inline constexpr unsigned kWorkers = 16;

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
