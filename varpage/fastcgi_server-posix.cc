#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

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

  bool write(const char* head, std::size_t head_size, const char* body,
             std::size_t body_size) override {
    iovec parts[2] = {{const_cast<char*>(head), head_size}, {const_cast<char*>(body), body_size}};
    iovec* part = parts;
    std::size_t count = body_size > 0 ? 2 : 1;
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
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    write_response(out, environment, now.time_since_epoch().count(), lookup_);
  }

 private:
  SystemHostLookup lookup_;
};

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
    const timeval idle{kIdleSeconds, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
    SocketConnection connection(client);
    serve_connection(connection, responder, kWorkers);
    ::close(client);
  }
}

}  // namespace

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
