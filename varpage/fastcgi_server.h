// FastCGI on a listening socket: a fixed set of workers, each taking
// connections from the socket and answering their requests, so that one
// slow request (a reverse lookup can take seconds) holds up only its own
// worker. POSIX only.
#pragma once

namespace varpage::fastcgi {

// How many requests the process serves at once.
inline constexpr unsigned kWorkers = 16;

// Serves connections from `listener` until the socket fails.
void serve(int listener);

}  // namespace varpage::fastcgi
