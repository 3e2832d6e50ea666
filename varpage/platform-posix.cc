#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
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
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  return true;
}

void stop_platform() {}

std::int64_t clock_seconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

bool serve_fastcgi_if_listening(int& exit_status) {
  // One system call, so a CGI run barely pays for the question. A pipe, a
  // file, a connected socket or no standard input at all answer no.
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
      listening == 0) {
    return false;
  }
  exit_status = fastcgi::serve(STDIN_FILENO);
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

ClientAddress SystemHostLookup::parse_address(const char* text) {
  unsigned char ipv6[16];
  Ipv6Text address_part;
  if (ipv6_address_part(text, address_part) && inet_pton(AF_INET6, address_part, ipv6) == 1)
    return ClientAddress::ipv6(ipv6);
  const in_addr_t address = inet_addr(text);
  unsigned char ipv4[4];
  static_assert(sizeof address == sizeof ipv4);
  std::memcpy(ipv4, &address, sizeof address);
  return ClientAddress::ipv4(ipv4);
}

// getnameinfo for both families: unlike gethostbyaddr it is safe to call from
// several threads at once, and for IPv4 it gives the same name. NI_NAMEREQD
// turns "no name" into a failure instead of the numeric address.
const char* SystemHostLookup::host_name(const ClientAddress& address) {
  sockaddr_storage storage{};
  socklen_t size;
  if (address.family == ClientAddress::Family::kIpv6) {
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
    ipv6->sin6_family = AF_INET6;
    std::memcpy(&ipv6->sin6_addr, address.bytes, sizeof ipv6->sin6_addr);
    size = sizeof *ipv6;
  } else {
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    ipv4->sin_family = AF_INET;
    std::memcpy(&ipv4->sin_addr, address.bytes, sizeof ipv4->sin_addr);
    size = sizeof *ipv4;
  }
  // NI_MAXHOST holds any name DNS gives, but a hosts file may hold longer ones,
  // which gethostbyaddr used to return whole: the buffer grows for those (up
  // to a limit no real name comes near).
  for (std::size_t capacity = NI_MAXHOST; reserve(capacity); capacity *= 4) {
    const int result = getnameinfo(reinterpret_cast<const sockaddr*>(&storage), size, name_,
                                   static_cast<socklen_t>(capacity), nullptr, 0, NI_NAMEREQD);
    if (result == 0) return name_;
    if (result != EAI_OVERFLOW || capacity > (1u << 24)) return nullptr;
  }
  return nullptr;
}

}  // namespace varpage
