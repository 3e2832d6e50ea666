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
void serve(int listener);

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

}  // namespace varpage::fastcgi
