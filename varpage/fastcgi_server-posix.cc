#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fastcgi.h"
#include "fastcgi_server.h"
#include "platform.h"
#include "response.h"

namespace varpage::fastcgi {
namespace {

// A peer has this long to send a whole request, from the connection's start
// or the end of its last one, and then this long to take each record of the
// answer: one that trickles its bytes, goes silent or stops reading loses its
// connection then, however it spaces out what it does. Answers to records
// outside a request (GET_VALUES, say) do not renew it.
constexpr int kDeadlineSeconds = 30;

class SocketConnection final : public Connection {
 public:
  explicit SocketConnection(int socket) : socket_(socket) { request_done(); }

  std::size_t read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::recv(socket_, buffer, size, MSG_DONTWAIT);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EINTR) continue;
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for(POLLIN, request_deadline_ms_))
        return 0;
    }
  }

  bool write(std::initializer_list<std::string_view> pieces) override {
    const std::int64_t deadline_ms = now_ms() + kDeadlineSeconds * 1000;
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
      const ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for(POLLOUT, deadline_ms)) {
          return false;
        }
        continue;
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

  void request_done() override { request_deadline_ms_ = now_ms() + kDeadlineSeconds * 1000; }

 private:
  static std::int64_t now_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }

  // Waits until the socket is ready for `events` or the deadline passes.
  bool wait_for(short events, std::int64_t deadline_ms) {
    for (;;) {
      const std::int64_t left = deadline_ms - now_ms();
      if (left <= 0) return false;
      pollfd ready{socket_, events, 0};
      const int result = ::poll(&ready, 1, static_cast<int>(left));
      if (result > 0) return true;
      if (result == 0 || errno != EINTR) return false;
    }
  }

  const int socket_;
  std::int64_t request_deadline_ms_ = 0;
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

// The workers take turns at accept(). The one that takes the last idle
// place starts another, so there is always one waiting for the next
// connection, up to kWorkers.
std::atomic<unsigned> idle_workers{0};
std::atomic<unsigned> started_workers{0};

// Workers still running, so that the process ends only when the last one
// has finished its connection.
pthread_mutex_t workers_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t worker_ended = PTHREAD_COND_INITIALIZER;
unsigned running_workers = 0;

void count_worker(int change) {
  pthread_mutex_lock(&workers_lock);
  running_workers += change;
  if (running_workers == 0) pthread_cond_broadcast(&worker_ended);
  pthread_mutex_unlock(&workers_lock);
}

void* work(void* listener_address);

// Starts a worker, unless kWorkers are running already. Its stack is small:
// a worker needs a record's buffer and the resolver's, not the 8 MiB that
// threads get by default.
void start_worker(int* listener) {
  if (started_workers.fetch_add(1) >= kWorkers) {
    started_workers.fetch_sub(1);
    return;
  }
  idle_workers.fetch_add(1);
  count_worker(+1);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1024 * 1024);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, work, listener) != 0) {
    idle_workers.fetch_sub(1);
    started_workers.fetch_sub(1);
    count_worker(-1);
  }
  pthread_attr_destroy(&attributes);
}

void* work(void* listener_address) {
  int* listener = static_cast<int*>(listener_address);
  PageResponder responder;
  for (;;) {
    const int client = ::accept4(*listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking listening socket: wait for the next connection.
        pollfd ready{*listener, POLLIN, 0};
        ::poll(&ready, 1, -1);
        continue;
      }
      // The listening socket itself is gone: nothing more will come.
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
        count_worker(-1);
        return nullptr;
      }
      // Anything else passes: an aborted connection, a network error the
      // next connection will not have, descriptors or memory running out.
      // A short pause, so that a lasting one does not spin.
      if (errno != EINTR && errno != ECONNABORTED) ::poll(nullptr, 0, 100);
      continue;
    }
    if (idle_workers.fetch_sub(1) == 1) start_worker(listener);
    if (allowed_peer(client)) {
      SocketConnection connection(client);
      serve_connection(connection, responder, kWorkers);
    }
    ::close(client);
    idle_workers.fetch_add(1);
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
  static int shared_listener;
  shared_listener = listener;
  for (unsigned i = 0; i + 1 < kFirstWorkers; ++i) start_worker(&shared_listener);
  // This thread is a worker too, so one always runs.
  started_workers.fetch_add(1);
  idle_workers.fetch_add(1);
  count_worker(+1);
  work(&shared_listener);
  // The listening socket is gone; the others finish what they serve.
  pthread_mutex_lock(&workers_lock);
  while (running_workers > 0) pthread_cond_wait(&worker_ended, &workers_lock);
  pthread_mutex_unlock(&workers_lock);
}

}  // namespace varpage::fastcgi
