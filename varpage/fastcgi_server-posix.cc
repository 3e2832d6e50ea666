#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fastcgi.h"
#include "fastcgi_server.h"
#include "platform.h"
#include "response.h"

namespace varpage::fastcgi {
namespace {

// A peer that goes silent, or stops reading, lets go of its worker after
// this long.
constexpr time_t kIdleSeconds = 30;

class SocketConnection final : public Connection {
 public:
  explicit SocketConnection(int socket) : socket_(socket) {}

  std::size_t read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::recv(socket_, buffer, size, 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return 0;
    }
  }

  bool write(std::initializer_list<std::string_view> pieces) override {
    iovec parts[3];
    if (pieces.size() > 3) return false;
    std::size_t count = 0;
    for (const std::string_view piece : pieces) {
      if (!piece.empty()) parts[count++] = {const_cast<char*>(piece.data()), piece.size()};
    }
    iovec* part = parts;
    while (count > 0) {
      msghdr message{};
      message.msg_iov = part;
      message.msg_iovlen = count;
      // A peer that hangs up gives a failed write, not SIGPIPE.
      const ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      auto left = static_cast<std::size_t>(sent);
      while (count > 0 && left >= part->iov_len) {
        left -= part->iov_len;
        ++part;
        --count;
      }
      if (count > 0) {
        part->iov_base = static_cast<char*>(part->iov_base) + left;
        part->iov_len -= left;
      }
    }
    return true;
  }

 private:
  const int socket_;
};

class PageResponder final : public Responder {
 public:
  void respond(OutputStream& out, EnvironmentList environment) override {
    // Each request has its own clock reading, as each CGI run does.
    write_response(out, environment, clock_seconds(), lookup_);
  }

 private:
  SystemHostLookup lookup_;
};

// Whether the peer of `client` may be served under FCGI_WEB_SERVER_ADDRS.
bool allowed_peer(int client) {
  const char* allowed = std::getenv("FCGI_WEB_SERVER_ADDRS");
  if (allowed == nullptr || *allowed == '\0') return true;
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(client, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
  return web_server_allowed(allowed, peer);
}

void* work(void* listener_address) {
  const int listener = *static_cast<const int*>(listener_address);
  PageResponder responder;
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking listening socket: wait for the next connection.
        pollfd ready{listener, POLLIN, 0};
        ::poll(&ready, 1, -1);
        continue;
      }
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory for now; try again shortly rather
        // than spin.
        ::poll(nullptr, 0, 100);
        continue;
      }
      // The listening socket itself is gone: nothing more will come.
      return nullptr;
    }
    if (!allowed_peer(client)) {
      ::close(client);
      continue;
    }
    const timeval idle{kIdleSeconds, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
    SocketConnection connection(client);
    serve_connection(connection, responder, kWorkers);
    ::close(client);
  }
}

}  // namespace

bool web_server_allowed(const char* allowed, const sockaddr_storage& peer) {
  if (allowed == nullptr || *allowed == '\0') return true;
  unsigned char address[16];
  std::size_t address_size;
  if (peer.ss_family == AF_INET) {
    std::memcpy(address, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
    address_size = 4;
  } else if (peer.ss_family == AF_INET6) {
    const auto& peer6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&peer6)) {
      std::memcpy(address, peer6.s6_addr + 12, 4);
      address_size = 4;
    } else {
      std::memcpy(address, peer6.s6_addr, 16);
      address_size = 16;
    }
  } else {
    return true;
  }
  const char* rest = allowed;
  while (*rest != '\0') {
    const std::size_t skip = std::strspn(rest, ", ");
    rest += skip;
    const std::size_t length = std::strcspn(rest, ", ");
    char text[INET6_ADDRSTRLEN];
    if (length > 0 && length < sizeof text) {
      std::memcpy(text, rest, length);
      text[length] = '\0';
      unsigned char listed[16];
      if (address_size == 4 && inet_pton(AF_INET, text, listed) == 1 &&
          std::memcmp(listed, address, 4) == 0) {
        return true;
      }
      if (address_size == 16 && inet_pton(AF_INET6, text, listed) == 1 &&
          std::memcmp(listed, address, 16) == 0) {
        return true;
      }
    }
    rest += length;
  }
  return false;
}

void serve(int listener) {
  pthread_t workers[kWorkers - 1];
  unsigned started = 0;
  while (started < kWorkers - 1 &&
         pthread_create(&workers[started], nullptr, work, &listener) == 0) {
    ++started;
  }
  // This thread is a worker too, so one always runs.
  work(&listener);
  for (unsigned i = 0; i < started; ++i) pthread_join(workers[i], nullptr);
}

}  // namespace varpage::fastcgi
