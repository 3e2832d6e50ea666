#include "event_log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varpage::fastcgi {
namespace {

// Every line is formatted under this lock and written whole, so lines from
// several threads never interleave. Nothing in here waits: the write is
// made only when standard error is ready for it.
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
bool journal = false;          // under log_lock from here on
bool error_is_socket = false;  // likewise
// Whether standard error was open at start. If not, descriptor 2 is free,
// and the next socket or file the process opens takes it: a line written
// there would land in a peer's FastCGI stream.
bool error_is_open = false;  // likewise
unsigned long long dropped = 0;
char prefix[32];  // "varpage[PID]: "

// A line at the most; longer ones are cut (the addresses and texts that go
// into them are far shorter).
constexpr std::size_t kLineSize = 1024;

// Whether `line` went out whole, without waiting.
bool write_now(const char* line, std::size_t size) {
  if (!error_is_open) return false;
  pollfd ready{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return false;
  // A socket (the journal's stream) can be told not to wait; a pipe with
  // room for the line takes it at once, since lines are far shorter than
  // the pipe's atomic size; a file or terminal always does.
  const ssize_t written = error_is_socket
                              ? ::send(STDERR_FILENO, line, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : ::write(STDERR_FILENO, line, size);
  return written == static_cast<ssize_t>(size);
}

}  // namespace

void start_event_log() {
  pthread_mutex_lock(&log_lock);
  struct stat error_file;
  const bool open = ::fstat(STDERR_FILENO, &error_file) == 0;
  error_is_open = open;
  error_is_socket = open && S_ISSOCK(error_file.st_mode);
  // systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connects
  // standard error to; a process whose standard error went elsewhere (a
  // shell redirect in between) must not send it priority prefixes.
  journal = false;
  if (const char* stream = std::getenv("JOURNAL_STREAM"); stream != nullptr && open) {
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2) {
      journal = device == error_file.st_dev && inode == error_file.st_ino;
    }
  }
  std::snprintf(prefix, sizeof prefix, "varpage[%ld]: ", static_cast<long>(::getpid()));
  pthread_mutex_unlock(&log_lock);
}

void log_event(LogLevel level, const char* format, ...) {
  static constexpr const char* kPriorities[] = {"<3>", "<4>", "<6>"};
  static constexpr const char* kWords[] = {"error: ", "warning: ", "info: "};
  const auto index = static_cast<unsigned>(level);
  pthread_mutex_lock(&log_lock);
  char line[kLineSize];
  int used = journal ? std::snprintf(line, sizeof line, "%s", kPriorities[index])
                     : std::snprintf(line, sizeof line, "%s%s", prefix, kWords[index]);
  va_list arguments;
  va_start(arguments, format);
  used +=
      std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used), format, arguments);
  va_end(arguments);
  // Room is kept for the count of dropped lines and the line end.
  constexpr int kTail = 48;
  if (used > static_cast<int>(sizeof line) - kTail) used = static_cast<int>(sizeof line) - kTail;
  if (dropped > 0) {
    used += std::snprintf(line + used, kTail, " (%llu earlier line%s dropped)", dropped,
                          dropped == 1 ? "" : "s");
  }
  line[used++] = '\n';
  if (write_now(line, static_cast<std::size_t>(used))) {
    dropped = 0;
  } else {
    ++dropped;
  }
  pthread_mutex_unlock(&log_lock);
}

std::uint64_t dropped_event_lines() {
  pthread_mutex_lock(&log_lock);
  const unsigned long long count = dropped;
  pthread_mutex_unlock(&log_lock);
  return count;
}

void describe_peer(const sockaddr_storage& peer, PeerText& out) {
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, out, sizeof out);
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr& address = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
      inet_ntop(AF_INET, address.s6_addr + 12, out, sizeof out);
    } else {
      inet_ntop(AF_INET6, &address, out, sizeof out);
    }
  } else {
    std::snprintf(out, sizeof out, "a local peer");
  }
}

void RateLimitedLog::note(const sockaddr_storage& peer, const char* reason, std::int64_t now_ms) {
  PeerText text;
  describe_peer(peer, text);
  pthread_mutex_lock(&lock_);
  Entry* entry = nullptr;
  for (std::size_t i = 0; i < used_ && entry == nullptr; ++i) {
    if (std::strcmp(entries_[i].peer, text) == 0) entry = &entries_[i];
  }
  if (entry != nullptr) {
    entry->since += 1;
    entry->reason = reason;
    if (now_ms - entry->line_ms >= 60 * 1000) {
      write_sum(*entry);
      entry->line_ms = now_ms;
    }
    pthread_mutex_unlock(&lock_);
    return;
  }
  // A new address takes a free place, or that of one whose last line is a
  // minute old with nothing owed since. Past that, while every place is in
  // use, the newcomers are counted together: a peer with many addresses
  // (an IPv6 prefix) gets no line each.
  if (used_ < kEntries) {
    entry = &entries_[used_++];
  } else {
    for (Entry& each : entries_) {
      if (each.since == 0 && now_ms - each.line_ms >= 60 * 1000) {
        entry = &each;
        break;
      }
    }
  }
  if (entry == nullptr) {
    others_since_ += 1;
    others_reason_ = reason;
    if (!others_told_ || now_ms - others_line_ms_ >= 60 * 1000) {
      write_others();
      others_told_ = true;
      others_line_ms_ = now_ms;
    }
    pthread_mutex_unlock(&lock_);
    return;
  }
  std::memcpy(entry->peer, text, sizeof text);
  entry->reason = reason;
  entry->line_ms = now_ms;
  entry->since = 0;
  log_event(LogLevel::kWarning, "%s a %s from %s: %s", verb_, what_, text, reason);
  pthread_mutex_unlock(&lock_);
}

void RateLimitedLog::flush(std::int64_t now_ms) {
  pthread_mutex_lock(&lock_);
  if (others_since_ > 0 && now_ms - others_line_ms_ >= 60 * 1000) {
    write_others();
    others_line_ms_ = now_ms;
  }
  for (std::size_t i = 0; i < used_; ++i) {
    if (entries_[i].since > 0 && now_ms - entries_[i].line_ms >= 60 * 1000) {
      write_sum(entries_[i]);
      entries_[i].line_ms = now_ms;
    }
  }
  pthread_mutex_unlock(&lock_);
}

void RateLimitedLog::flush_all() {
  pthread_mutex_lock(&lock_);
  for (std::size_t i = 0; i < used_; ++i) write_sum(entries_[i]);
  write_others();
  pthread_mutex_unlock(&lock_);
}

void RateLimitedLog::write_sum(Entry& entry) {
  if (entry.since == 0) return;
  log_event(LogLevel::kWarning, "%s %llu more %s%s from %s in the last minute: %s", verb_,
            entry.since, what_, entry.since == 1 ? "" : "s", entry.peer, entry.reason);
  entry.since = 0;
}

void RateLimitedLog::write_others() {
  if (others_since_ == 0) return;
  log_event(LogLevel::kWarning, "%s %llu %s%s from other addresses (over %zu at once): %s", verb_,
            others_since_, what_, others_since_ == 1 ? "" : "s", kEntries, others_reason_);
  others_since_ = 0;
}

}  // namespace varpage::fastcgi
