// FastCGI on a listening socket: workers, each taking connections from the
// socket and answering their requests, so that one slow request (a reverse
// lookup can take seconds) holds up only its own worker. A new worker starts
// whenever every worker is busy, up to a limit, so slow or idle peers do not
// hold up the others; workers beyond the first that stay idle a minute
// leave again. POSIX only.
#pragma once

#include <sys/socket.h>

namespace varpage::fastcgi {

// How many workers the process starts with, and how many requests it serves
// at once at the most.
inline constexpr unsigned kFirstWorkers = 16;
inline constexpr unsigned kWorkers = 512;

// Serves connections from `listener` until the process is asked to stop or
// the socket fails. On a TCP socket, when the process environment holds
// FCGI_WEB_SERVER_ADDRS (the usual FastCGI way to name the web servers), only
// connections from the addresses it lists are served; any other is closed
// unread.
//
// SIGTERM, SIGINT and SIGQUIT stop it gracefully: it accepts no more
// connections, finishes every request in progress (and the first request of
// a connection it has accepted), closes kept connections between requests
// and returns once the last has ended. The listening socket is left open
// and untouched: whoever handed it over (systemd, say) keeps it, and the
// connections that arrive meanwhile wait in its queue for the next process.
// SIGHUP, SIGUSR1 and SIGUSR2 are ignored: there is nothing to reload.
//
// Returns the process's exit status: 0 once it has stopped, 1 when
// FCGI_WEB_SERVER_ADDRS holds an entry that is no address (it then serves
// nothing). What happens along the way is logged on standard error (see
// event_log.h), and told to systemd when it asks (systemd_notify.h).
int serve(int listener);

// Samples, one a second, of how many workers are idle, over the last
// minute: those that stayed idle all along, but one, may leave.
inline constexpr unsigned kIdleSamples = 60;

class IdleHistory {
 public:
  // Starts afresh, counting no worker as idle: more are being started.
  void reset();
  // Adds a sample, the oldest dropping out.
  void add(unsigned idle);
  // How many workers were idle in every sample, less one kept for the next
  // connection.
  unsigned surplus() const;
  // `count` workers have been asked to leave: no sample counts them.
  void retired(unsigned count);

 private:
  unsigned samples_[kIdleSamples] = {};
  unsigned next_ = 0;
};

// Whether a peer at `peer` may be served under `allowed`, the value of
// FCGI_WEB_SERVER_ADDRS: IPv4 and IPv6 addresses separated by commas (and
// spaces). Unset or empty allows every peer; a local (unix) socket's peer is
// always allowed, its file's permissions being the guard; an IPv4 address
// also allows the same address mapped into IPv6. Text that is no address
// allows nobody.
bool web_server_allowed(const char* allowed, const sockaddr_storage& peer);

// Finds the first entry of `allowed` (FCGI_WEB_SERVER_ADDRS) that is no
// IPv4 or IPv6 address (a subnet, a host name, two addresses joined by a
// semicolon) and copies it into `out`, cut to fit; true when there is one.
// A value of nothing but separators counts as such an entry too, since it
// would let nobody in. Unset or empty is fine: every peer may connect.
using ListEntryText = char[128];
bool find_bad_web_server(const char* allowed, ListEntryText& out);

}  // namespace varpage::fastcgi
