#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "event_log.h"
#include "fastcgi.h"
#include "fastcgi_server.h"
#include "platform.h"
#include "response.h"
#include "systemd_notify.h"

namespace varpage::fastcgi {
namespace {

// A peer has this long to send a whole request, from the connection's start
// or the end of its last one, and then this long to take each record of the
// answer: one that trickles its bytes, goes silent or stops reading loses its
// connection then, however it spaces out what it does. Answers to records
// outside a request (GET_VALUES, say) do not renew it.
constexpr int kDeadlineSeconds = 30;

// A request that waits for room for its parameters (wait_for_room) looks
// again this often, and stops waiting this long before its deadline: the
// rest of it is then read and dropped before its 503 goes out, as closing
// with bytes unread would reset the connection, answer and all.
constexpr int kRoomPauseMs = 50;
constexpr int kRoomDrainSeconds = 5;

// A worker needs a record's buffer and the resolver's, not the 8 MiB that
// threads get by default.
constexpr std::size_t kStackSize = 1024 * 1024;

// What a worker is doing, for the housekeeper (the main thread) to know whom
// to wake: when the process stops, the workers that wait for a connection or
// for the next request on a kept one; when workers retire, idle ones.
enum class Doing : unsigned char { kAccepting, kServing, kBetweenRequests, kEnded };

struct Worker {
  std::atomic<Doing> doing{Doing::kAccepting};
  // Set by the housekeeper: leave when next idle, unless that would leave
  // no worker waiting for connections.
  std::atomic<bool> retire{false};
  // Requests this worker has answered. Only the worker itself writes it, so
  // counting costs a request no lock and no shared cache line.
  std::atomic<std::uint64_t> served{0};
  // The rest is the housekeeper's, under pool_lock.
  bool in_use = false;
  pthread_t thread{};
  void* stack = nullptr;
  std::size_t stack_size = 0;
};

// Set once the process has been asked to stop.
std::atomic<bool> stopping{false};

// Workers waiting in accept(). The one that takes the last idle place starts
// another, so that one is always waiting for the next connection.
std::atomic<unsigned> idle_workers{0};

pthread_mutex_t pool_lock = PTHREAD_MUTEX_INITIALIZER;
Worker workers[kWorkers];
unsigned live_workers = 0;                  // under pool_lock
std::uint64_t served_by_ended_workers = 0;  // likewise

// What the log and systemd's status report. Only events that are not a
// normal request's count here.
std::atomic<std::uint64_t> refused_peers{0};
std::atomic<std::uint64_t> cut_connections{0};
RateLimitedLog refusals("refused", "connection");
RateLimitedLog cuts("cut off", "connection");
RateLimitedLog answered_503("answered 503 to", "request");

// Set while every worker the process may have is busy: connections then
// wait in the listening socket's queue. The housekeeper ends it, once a
// worker is idle again.
std::atomic<bool> all_busy{false};
std::atomic<std::int64_t> all_busy_since_ms{0};

int shared_listener = -1;
// FCGI_WEB_SERVER_ADDRS, read once at start (the environment does not
// change); null when unset or empty, when every peer may connect.
const char* web_servers = nullptr;
pthread_t housekeeper;
// The signal that wakes a thread blocked in a system call: accept(), poll()
// and the like return EINTR, as its handler does not ask for a restart.
int wake_signal = 0;

void woken(int) {}

std::int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class SocketConnection final : public Connection {
 public:
  SocketConnection(int socket, const sockaddr_storage& peer, Worker& self)
      : socket_(socket),
        peer_(peer),
        self_(self),
        request_deadline_ms_(monotonic_ms() + kDeadlineSeconds * 1000) {}

  // Why the process ended the connection, when the peer gave it cause (a
  // deadline passed, the protocol broken); null otherwise.
  const char* cut_reason() const { return cut_reason_; }

  void protocol_error(const char* reason) override { cut_reason_ = reason; }

  std::size_t read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::recv(socket_, buffer, size, MSG_DONTWAIT);
      if (got >= 0) {
        serving();
        return static_cast<std::size_t>(got);
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      // Nothing of the next request has come: a stopping process ends the
      // connection here, and the web server asks again on another.
      if (between_requests_ && stopping.load()) return 0;
      if (!wait_for(POLLIN, request_deadline_ms_)) {
        // A kept connection that goes quiet between requests is no fault:
        // the web server simply had nothing more to ask.
        if (timed_out_ && !between_requests_) cut_reason_ = "no whole request within 30 s";
        return 0;
      }
    }
  }

  bool write(std::initializer_list<std::string_view> pieces) override {
    const std::int64_t deadline_ms = monotonic_ms() + kDeadlineSeconds * 1000;
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
          if (timed_out_) cut_reason_ = "did not take the response within 30 s";
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

  void request_done() override {
    request_deadline_ms_ = monotonic_ms() + kDeadlineSeconds * 1000;
    answered_ = true;
  }

  void response_sent() override {
    self_.served.store(self_.served.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  bool wait_for_room() override {
    const std::int64_t give_up_ms = request_deadline_ms_ - kRoomDrainSeconds * 1000;
    if (stopping.load() || monotonic_ms() + kRoomPauseMs > give_up_ms) return false;
    ::poll(nullptr, 0, kRoomPauseMs);
    return true;
  }

  // Each 503: the process was full (kNoRoom), or the request's own
  // parameters were too large (kOverLimit). Either may come in floods, so
  // the lines are rate-limited per address.
  void refused(Refusal why) override {
    answered_503.note(peer_,
                      why == Refusal::kNoRoom
                          ? "the requests in progress hold all the memory the process allows "
                            "for parameters (24 MiB)"
                          : "its parameters pass the 2 MiB limit",
                      monotonic_ms());
  }

  // A connection is owed the request it was opened for: the web server has
  // sent it, or is about to. After that, it may be ended between requests.
  void between_requests() override {
    if (!answered_ || between_requests_) return;
    between_requests_ = true;
    self_.doing.store(Doing::kBetweenRequests);
  }

 private:
  void serving() {
    if (!between_requests_) return;
    between_requests_ = false;
    self_.doing.store(Doing::kServing);
  }

  // Waits until the socket is ready for `events`, a signal comes (the caller
  // then tries again, and sees whether the process is stopping) or the
  // deadline passes (false, and timed_out_ set).
  bool wait_for(short events, std::int64_t deadline_ms) {
    const std::int64_t left = deadline_ms - monotonic_ms();
    pollfd ready{socket_, events, 0};
    const int result = left > 0 ? ::poll(&ready, 1, static_cast<int>(left)) : 0;
    timed_out_ = result == 0;
    return result > 0 || (result < 0 && errno == EINTR);
  }

  const int socket_;
  const sockaddr_storage& peer_;
  Worker& self_;
  std::int64_t request_deadline_ms_;
  bool answered_ = false;
  bool between_requests_ = false;
  bool timed_out_ = false;
  const char* cut_reason_ = nullptr;
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

// Whether `peer` may be served under FCGI_WEB_SERVER_ADDRS; a refusal is
// logged.
bool allowed_peer(const sockaddr_storage& peer) {
  if (web_servers == nullptr || web_server_allowed(web_servers, peer)) return true;
  refused_peers.fetch_add(1);
  refusals.note(peer, "not listed in FCGI_WEB_SERVER_ADDRS", monotonic_ms());
  return false;
}

// accept() failing for want of descriptors or memory: an error the
// administrator must act on, at most once a minute however often it comes.
// The failures after a line are counted, and the count goes out with the
// next line, or a minute on (the housekeeper's flush_accept_failures), or
// at the stop: a spell that ends is still told in full.
pthread_mutex_t accept_failure_lock = PTHREAD_MUTEX_INITIALIZER;
std::int64_t accept_failure_line_ms = 0;       // under accept_failure_lock
unsigned long long accept_failures_since = 0;  // likewise
const char* accept_failure_what = "";          // likewise: the last one's
bool accept_failure_logged = false;            // likewise

void write_accept_failure_line() {
  if (accept_failures_since == 0) {
    log_event(LogLevel::kError, "cannot accept connections: %s", accept_failure_what);
  } else {
    log_event(LogLevel::kError,
              "cannot accept connections: %s (%llu more times since the last line)",
              accept_failure_what, accept_failures_since);
  }
}

void log_accept_failure(int error) {
  const char* what =
      error == ENOMEM || error == ENOBUFS
          ? "out of memory; the machine needs more memory or fewer processes"
      : error == ENFILE
          ? "the system's table of open files is full; raise fs.file-max (sysctl) or end "
            "processes that hold many files"
          : "out of file descriptors; raise the open-file limit (LimitNOFILE= in the service "
            "unit, ulimit -n elsewhere)";
  const std::int64_t now = monotonic_ms();
  pthread_mutex_lock(&accept_failure_lock);
  if (!accept_failure_logged || now - accept_failure_line_ms >= 60 * 1000) {
    accept_failure_what = what;
    write_accept_failure_line();
    accept_failure_logged = true;
    accept_failure_line_ms = now;
    accept_failures_since = 0;
  } else {
    accept_failure_what = what;
    ++accept_failures_since;
  }
  pthread_mutex_unlock(&accept_failure_lock);
}

// Writes the count of failures since the last line, when it is a minute
// old, or whatever its age when `all` (the process is about to end).
void flush_accept_failures(std::int64_t now, bool all) {
  pthread_mutex_lock(&accept_failure_lock);
  if (accept_failures_since > 0 && (all || now - accept_failure_line_ms >= 60 * 1000)) {
    write_accept_failure_line();
    accept_failure_line_ms = now;
    accept_failures_since = 0;
  }
  pthread_mutex_unlock(&accept_failure_lock);
}

void* work(void* worker);

// Starts a worker, unless kWorkers are running already or the process is
// stopping. Its stack is mapped here rather than by the thread library, which
// would keep the stacks of ended threads for later ones: after a burst, the
// process would hold on to tens of MiB it no longer needs.
void start_worker() {
  if (stopping.load()) return;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  pthread_mutex_lock(&pool_lock);
  Worker* worker = nullptr;
  for (Worker& each : workers) {
    if (!each.in_use) {
      worker = &each;
      break;
    }
  }
  if (worker == nullptr && live_workers == kWorkers && !all_busy.exchange(true)) {
    all_busy_since_ms.store(monotonic_ms());
    log_event(LogLevel::kWarning,
              "all %u workers are busy: new connections wait in the socket's queue until one "
              "is free",
              kWorkers);
  }
  void* stack = MAP_FAILED;
  if (worker != nullptr) {
    // The lowest page stays inaccessible, so that a stack that overflows
    // faults instead of writing over what lies below.
    stack = ::mmap(nullptr, kStackSize + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0);
  }
  if (stack != MAP_FAILED &&
      ::mprotect(static_cast<char*>(stack) + page, kStackSize, PROT_READ | PROT_WRITE) == 0) {
    worker->doing.store(Doing::kAccepting);
    worker->retire.store(false);
    idle_workers.fetch_add(1);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, static_cast<char*>(stack) + page, kStackSize);
    if (pthread_create(&worker->thread, &attributes, work, worker) == 0) {
      worker->in_use = true;
      worker->stack = stack;
      worker->stack_size = kStackSize + page;
      stack = MAP_FAILED;
      ++live_workers;
    } else {
      idle_workers.fetch_sub(1);
    }
    pthread_attr_destroy(&attributes);
  }
  if (stack != MAP_FAILED) ::munmap(stack, kStackSize + page);
  const bool beyond_first = live_workers > kFirstWorkers;
  pthread_mutex_unlock(&pool_lock);
  // The housekeeper starts watching for workers to retire.
  if (beyond_first) pthread_kill(housekeeper, wake_signal);
}

// Gives up an idle place for good, unless it is the last one.
bool leave_idle() {
  unsigned idle = idle_workers.load();
  while (idle > 1) {
    if (idle_workers.compare_exchange_weak(idle, idle - 1)) return true;
  }
  return false;
}

void* work(void* worker_address) {
  Worker& self = *static_cast<Worker*>(worker_address);
  // The wake signal reaches workers only; every other signal the
  // housekeeper takes.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, wake_signal);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
  PageResponder responder;
  for (;;) {
    // Checked before accept() too: the signal may have come just before it.
    if (stopping.load()) {
      idle_workers.fetch_sub(1);
      break;
    }
    if (self.retire.load()) {
      if (leave_idle()) break;
      self.retire.store(false);
    }
    // The peer's address comes with the connection: it is checked against
    // FCGI_WEB_SERVER_ADDRS and named in log lines, at no extra call.
    // (Not cleared first: accept4() fills in the family, and what it gives
    // for that family, on every connection.)
    sockaddr_storage peer;
    socklen_t peer_size = sizeof peer;
    const int client =
        ::accept4(shared_listener, reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking listening socket: wait for the next connection.
        pollfd ready{shared_listener, POLLIN, 0};
        ::poll(&ready, 1, -1);
        continue;
      }
      // The listening socket itself is gone: nothing more will come.
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
          log_event(LogLevel::kError, "the listening socket failed: no more connections");
        }
        idle_workers.fetch_sub(1);
        break;
      }
      // Anything else passes: a signal, an aborted connection, a network
      // error the next connection will not have, descriptors or memory
      // running out. A short pause, so that a lasting one does not spin.
      const int error = errno;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        log_accept_failure(error);
      }
      if (error != EINTR && error != ECONNABORTED) ::poll(nullptr, 0, 100);
      continue;
    }
    self.doing.store(Doing::kServing);
    if (idle_workers.fetch_sub(1) == 1) start_worker();
    if (allowed_peer(peer)) {
      SocketConnection connection(client, peer, self);
      serve_connection(connection, responder, kWorkers);
      if (connection.cut_reason() != nullptr) {
        cut_connections.fetch_add(1);
        cuts.note(peer, connection.cut_reason(), monotonic_ms());
      }
    }
    ::close(client);
    idle_workers.fetch_add(1);
    self.doing.store(Doing::kAccepting);
  }
  self.doing.store(Doing::kEnded);
  pthread_kill(housekeeper, wake_signal);
  return nullptr;
}

// Joins the workers that have ended and unmaps their stacks. Returns how
// many are still running.
unsigned reap_workers() {
  pthread_mutex_lock(&pool_lock);
  bool reaped = false;
  for (Worker& worker : workers) {
    if (!worker.in_use || worker.doing.load() != Doing::kEnded) continue;
    pthread_join(worker.thread, nullptr);
    ::munmap(worker.stack, worker.stack_size);
    served_by_ended_workers += worker.served.load();
    worker.served.store(0);
    worker.in_use = false;
    --live_workers;
    reaped = true;
  }
  const unsigned live = live_workers;
  pthread_mutex_unlock(&pool_lock);
  // Memory that retired workers freed goes back to the system.
  if (reaped && !stopping.load()) malloc_trim(0);
  return live;
}

// Wakes the workers doing any of `what`, to see whether they must leave.
void wake_workers(std::initializer_list<Doing> what) {
  pthread_mutex_lock(&pool_lock);
  for (Worker& worker : workers) {
    if (!worker.in_use) continue;
    const Doing doing = worker.doing.load();
    for (const Doing each : what) {
      if (doing == each) pthread_kill(worker.thread, wake_signal);
    }
  }
  pthread_mutex_unlock(&pool_lock);
}

// Asks up to `count` idle workers to leave, keeping kFirstWorkers besides
// those already asked; returns how many were asked. Those asked before that
// still wait in accept() are woken again: the signal may have come just
// before they entered it.
unsigned retire_workers(unsigned count) {
  pthread_mutex_lock(&pool_lock);
  unsigned staying = 0;
  for (const Worker& worker : workers) {
    if (!worker.in_use) continue;
    if (!worker.retire.load()) {
      ++staying;
    } else if (worker.doing.load() == Doing::kAccepting) {
      pthread_kill(worker.thread, wake_signal);
    }
  }
  if (staying < kFirstWorkers + count)
    count = staying > kFirstWorkers ? staying - kFirstWorkers : 0;
  unsigned asked = 0;
  for (Worker& worker : workers) {
    if (asked == count) break;
    if (!worker.in_use || worker.doing.load() != Doing::kAccepting || worker.retire.load()) {
      continue;
    }
    worker.retire.store(true);
    pthread_kill(worker.thread, wake_signal);
    ++asked;
  }
  pthread_mutex_unlock(&pool_lock);
  return asked;
}

// What `systemctl status` shows and the stop lines report.
struct Figures {
  unsigned busy = 0;
  unsigned idle = 0;
  unsigned in_flight = 0;  // workers on a request, not between two
  std::uint64_t served = 0;
  std::uint64_t refused = 0;
  std::uint64_t cut = 0;
  bool operator==(const Figures&) const = default;
};

Figures current_figures() {
  Figures figures;
  pthread_mutex_lock(&pool_lock);
  figures.served = served_by_ended_workers;
  for (const Worker& worker : workers) {
    if (!worker.in_use) continue;
    figures.served += worker.served.load(std::memory_order_relaxed);
    if (worker.doing.load() == Doing::kServing) ++figures.in_flight;
  }
  const unsigned live = live_workers;
  pthread_mutex_unlock(&pool_lock);
  figures.idle = std::min(idle_workers.load(), live);
  figures.busy = live - figures.idle;
  figures.refused = refused_peers.load();
  figures.cut = cut_connections.load();
  return figures;
}

void notify_status(const Figures& figures, bool ready) {
  char message[256];
  std::snprintf(message, sizeof message,
                "%sSTATUS=Workers: %u busy, %u idle; requests served: %llu; peers refused: %llu; "
                "connections cut: %llu",
                ready ? "READY=1\n" : "", figures.busy, figures.idle,
                static_cast<unsigned long long>(figures.served),
                static_cast<unsigned long long>(figures.refused),
                static_cast<unsigned long long>(figures.cut));
  notify_systemd(message);
}

void notify_stopping(const Figures& figures, bool first) {
  char message[128];
  std::snprintf(message, sizeof message, "%sSTATUS=Stopping: %u request%s in flight",
                first ? "STOPPING=1\n" : "", figures.in_flight, figures.in_flight == 1 ? "" : "s");
  notify_systemd(message);
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGQUIT:
      return "SIGQUIT";
    default:
      return "SIGTERM";
  }
}

// Once a second: the sums of rate-limited lines that are due, the end of a
// spell of every worker busy, and systemd's status when a figure changed.
void report(Figures& reported, std::int64_t now) {
  refusals.flush(now);
  cuts.flush(now);
  answered_503.flush(now);
  flush_accept_failures(now, false);
  if (all_busy.load() && idle_workers.load() > 0 && all_busy.exchange(false)) {
    const std::int64_t lasted = now - all_busy_since_ms.load();
    log_event(LogLevel::kInfo, "workers free again after %lld.%lld s with all busy",
              static_cast<long long>(lasted / 1000), static_cast<long long>(lasted % 1000 / 100));
  }
  const Figures figures = current_figures();
  if (figures == reported) return;
  if (stopping.load()) {
    notify_stopping(figures, false);
  } else {
    notify_status(figures, false);
  }
  reported = figures;
}

// The main thread's work while the workers serve: takes the signals that
// stop the process, retires workers that have been idle a while, reports
// what is going on, and ends once the last worker has.
void housekeep(const sigset_t& signals) {
  IdleHistory history;
  bool watching = false;
  std::int64_t next_sample_ms = 0;
  Figures reported = current_figures();
  notify_status(reported, true);
  std::int64_t next_report_ms = monotonic_ms() + 1000;
  std::int64_t stop_ms = 0;
  for (;;) {
    const unsigned live = reap_workers();
    if (live == 0) break;
    const std::int64_t now = monotonic_ms();
    // Reports stop with the stop: STOPPING=1 said what systemd needs, and
    // what is left is told when the last request has ended.
    if (now >= next_report_ms && !stopping.load()) {
      report(reported, now);
      next_report_ms = now + 1000;
    }
    // How long to wait for the next signal: until the next report at the
    // most; while stopping, as long as it takes, but for the wakes below.
    std::int64_t wait_ms = stopping.load() ? -1 : next_report_ms - now;
    if (stopping.load()) {
      // Workers that wait for a connection or a request leave when woken.
      // One that was between its check and its system call when the signal
      // came has missed it: each is woken again until it has left.
      wake_workers({Doing::kAccepting, Doing::kBetweenRequests});
      wait_ms = 20;
    } else if (live > kFirstWorkers) {
      if (!watching) {
        history.reset();
        watching = true;
        next_sample_ms = now;
      }
      if (now >= next_sample_ms) {
        history.add(idle_workers.load());
        const unsigned retiring = retire_workers(history.surplus());
        history.retired(retiring);
        next_sample_ms = now + 1000;
      }
      wait_ms = std::min(wait_ms, next_sample_ms - now);
    } else {
      watching = false;
    }
    timespec wait{};
    wait.tv_sec = wait_ms / 1000;
    wait.tv_nsec = wait_ms % 1000 * 1000 * 1000;
    const int taken = sigtimedwait(&signals, nullptr, wait_ms < 0 ? nullptr : &wait);
    if ((taken == SIGTERM || taken == SIGINT || taken == SIGQUIT) && !stopping.exchange(true)) {
      stop_ms = monotonic_ms();
      reported = current_figures();
      log_event(LogLevel::kInfo, "stopping on %s: %u request%s in flight", signal_name(taken),
                reported.in_flight, reported.in_flight == 1 ? "" : "s");
      notify_stopping(reported, true);
    }
  }
  // The workers have ended: what the tables still count goes out now, or
  // never (reports stopped with the stop).
  refusals.flush_all();
  cuts.flush_all();
  answered_503.flush_all();
  flush_accept_failures(monotonic_ms(), true);
  if (stopping.load() && stop_ms != 0) {
    const std::int64_t drained = monotonic_ms() - stop_ms;
    const Figures figures = current_figures();
    log_event(LogLevel::kInfo, "stopped: drained in %lld.%lld s, served %llu request%s",
              static_cast<long long>(drained / 1000), static_cast<long long>(drained % 1000 / 100),
              static_cast<unsigned long long>(figures.served), figures.served == 1 ? "" : "s");
  }
}

// The listening socket, for the start line: "unix:/run/varpage/fcgi.sock",
// "127.0.0.1:9000", "[::1]:9000".
void describe_listener(int listener, char (&out)[160]) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  std::snprintf(out, sizeof out, "an inherited socket");
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
  char text[INET6_ADDRSTRLEN];
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text);
    std::snprintf(out, sizeof out, "%s:%u", text, ntohs(ipv4.sin_port));
  } else if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text);
    std::snprintf(out, sizeof out, "[%s]:%u", text, ntohs(ipv6.sin6_port));
  } else if (address.ss_family == AF_UNIX) {
    const auto& local = reinterpret_cast<const sockaddr_un&>(address);
    const std::size_t path_size = size - offsetof(sockaddr_un, sun_path);
    if (size <= offsetof(sockaddr_un, sun_path) || path_size == 0) return;
    if (local.sun_path[0] == '\0') {
      std::snprintf(out, sizeof out, "unix:@%.*s", static_cast<int>(path_size - 1),
                    local.sun_path + 1);
    } else {
      std::snprintf(out, sizeof out, "unix:%.*s", static_cast<int>(path_size), local.sun_path);
    }
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
      if (inet_pton(AF_INET6, text, listed) == 1) {
        // A listed IPv4 address in its mapped form is that IPv4 address:
        // peers reach the comparison with mapped addresses made IPv4.
        const bool mapped = IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(listed));
        if (mapped ? address_size == 4 && std::memcmp(listed + 12, address, 4) == 0
                   : address_size == 16 && std::memcmp(listed, address, 16) == 0) {
          return true;
        }
      }
    }
    rest += length;
  }
  return false;
}

bool find_bad_web_server(const char* allowed, ListEntryText& out) {
  out[0] = '\0';
  if (allowed == nullptr || *allowed == '\0') return false;
  bool any = false;
  for (const char* rest = allowed + std::strspn(allowed, ", "); *rest != '\0';
       rest += std::strspn(rest, ", ")) {
    const std::size_t length = std::strcspn(rest, ", ");
    char text[INET6_ADDRSTRLEN];
    unsigned char address[16];
    const bool fits = length < sizeof text;
    if (fits) {
      std::memcpy(text, rest, length);
      text[length] = '\0';
    }
    if (!fits ||
        (inet_pton(AF_INET, text, address) != 1 && inet_pton(AF_INET6, text, address) != 1)) {
      // Named as given, cut to fit the line; a control character shows as
      // '?', so that the entry cannot begin a line of its own.
      const std::size_t shown = length < sizeof out - 1 ? length : sizeof out - 1;
      for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(rest[i]);
        out[i] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
      }
      out[shown] = '\0';
      return true;
    }
    any = true;
    rest += length;
  }
  // Nothing but separators would let nobody in.
  if (!any) std::snprintf(out, sizeof out, "%s", allowed);
  return !any;
}

void IdleHistory::reset() {
  for (unsigned& idle : samples_) idle = 0;
  next_ = 0;
}

void IdleHistory::add(unsigned idle) {
  samples_[next_] = idle;
  next_ = (next_ + 1) % kIdleSamples;
}

unsigned IdleHistory::surplus() const {
  unsigned fewest = samples_[0];
  for (const unsigned idle : samples_) fewest = std::min(fewest, idle);
  return fewest > 0 ? fewest - 1 : 0;
}

void IdleHistory::retired(unsigned count) {
  for (unsigned& idle : samples_) idle = idle > count ? idle - count : 0;
}

int serve(int listener) {
  start_event_log();
  const char* allowed = std::getenv("FCGI_WEB_SERVER_ADDRS");
  // A list the process cannot read would refuse every peer, the web
  // server's own included, with nothing to say why: better not to start.
  if (ListEntryText bad; find_bad_web_server(allowed, bad)) {
    log_event(LogLevel::kError,
              "FCGI_WEB_SERVER_ADDRS entry \"%s\" is not an IPv4 or IPv6 address: list each web "
              "server's address, separated by commas or spaces (no subnets, no host names); not "
              "starting",
              bad);
    return 1;
  }
  shared_listener = listener;
  if (allowed != nullptr && *allowed != '\0') web_servers = allowed;
  housekeeper = pthread_self();
  wake_signal = SIGRTMIN;
  // Each worker's lookup needs descriptors of its own besides its
  // connection's: the soft limit (often 1024) would run out long before 512
  // workers do, and the hard limit is what the process may have.
  // (One call, prlimit, for reading and setting: every function the program
  // imports is bound when it starts, CGI runs included.)
  rlimit files;
  if (prlimit(0, RLIMIT_NOFILE, nullptr, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    prlimit(0, RLIMIT_NOFILE, &files, nullptr);
  }
  // Every thread would otherwise get a malloc arena of its own, up to eight
  // per core, each reserving 64 MiB of address space for good. The workers
  // allocate little, and mostly from their per-thread caches.
  mallopt(M_ARENA_MAX, 1);

  // Nothing to reload: these must not end the process, as they would.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (const int reload : {SIGHUP, SIGUSR1, SIGUSR2}) sigaction(reload, &ignore, nullptr);
  struct sigaction wake {};
  wake.sa_handler = woken;
  sigemptyset(&wake.sa_mask);
  sigaction(wake_signal, &wake, nullptr);
  // Blocked here, and so in every worker, which inherits the mask: the
  // housekeeper takes them with sigtimedwait. (Workers unblock the wake
  // signal for themselves.)
  sigset_t signals;
  sigemptyset(&signals);
  for (const int each : {SIGTERM, SIGINT, SIGQUIT, wake_signal}) sigaddset(&signals, each);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  char listening[160];
  describe_listener(listener, listening);
  const bool any_peer = allowed == nullptr || *allowed == '\0';
  log_event(LogLevel::kInfo,
            "varpage %s serving FastCGI on %s, up to %u workers, web servers allowed: %s%s",
            VARPAGE_VERSION, listening, kWorkers, any_peer ? "any" : allowed,
            any_peer ? "" : " (FCGI_WEB_SERVER_ADDRS)");
  start_systemd_notify();

  for (unsigned i = 0; i < kFirstWorkers; ++i) start_worker();
  // Returns when the last worker has ended: the process was asked to stop,
  // or the listening socket failed. The socket stays open: under systemd it
  // is shared with the socket unit, and what arrives on it now waits for
  // the next process.
  housekeep(signals);
  return 0;
}

}  // namespace varpage::fastcgi
