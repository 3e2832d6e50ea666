#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fastcgi_server.h"
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

bool serve_fastcgi_if_listening() {
  // One system call, so a CGI run barely pays for the question. A pipe, a
  // file, a connected socket or no standard input at all answer no.
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
      listening == 0) {
    return false;
  }
  fastcgi::serve(STDIN_FILENO);
  return true;
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
  // FastCGI workers look up at the same time, so each thread has its own
  // result. A host whose names overflow the buffer (ERANGE) gives no name.
  thread_local hostent host;
  thread_local char buffer[8192];
  hostent* found = nullptr;
  int error = 0;
  if (gethostbyaddr_r(address.bytes, sizeof address.bytes, AF_INET, &host, buffer, sizeof buffer,
                      &found, &error) != 0) {
    return nullptr;
  }
  return found != nullptr ? found->h_name : nullptr;
}

}  // namespace varpage
