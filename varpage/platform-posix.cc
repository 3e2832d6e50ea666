#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform.h"

extern char** environ;

namespace varpage {

bool start_platform() {
  // Several servers start their CGI programs with SIGPIPE at its default, which
  // would kill the process when the client hangs up. A closed pipe should be a
  // failed write like any other, so the run still ends normally.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void stop_platform() {}

std::int64_t clock_seconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

const char* const* process_environment() { return environ; }

void StandardOutput::write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, size);
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking pipe that is full: wait for the reader rather than
      // lose the page.
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&out, 1, -1) >= 0 || errno == EINTR) continue;
    }
    // Nobody is left to tell of the failure; the rest of this block is lost
    // and the run goes on.
    return;
  }
}

Ipv4Address SystemHostLookup::parse_address(const char* text) {
  const in_addr_t address = inet_addr(text);
  Ipv4Address result;
  static_assert(sizeof address == sizeof result.bytes);
  std::memcpy(result.bytes, &address, sizeof address);
  return result;
}

const char* SystemHostLookup::host_name(const Ipv4Address& address) {
  const hostent* host = gethostbyaddr(address.bytes, sizeof address.bytes, AF_INET);
  return host != nullptr ? host->h_name : nullptr;
}

}  // namespace varpage
