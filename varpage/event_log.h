// What a FastCGI process tells its administrator: one line on standard error
// for each event worth acting on or knowing (start, a refused peer, every
// worker busy, a peer cut off, a stop), never one per request. Under systemd
// standard error is the journal, and each line then carries its syslog
// priority. POSIX only: CGI runs write nothing on standard error.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace varpage::fastcgi {

enum class LogLevel : unsigned char { kError, kWarning, kInfo };

// Reads how standard error is to be written: when JOURNAL_STREAM names its
// device and inode, lines start with "<N>" for the journal; otherwise with
// "varpage[PID]: " and the level. Call once, before any line.
void start_event_log();

// Writes one line, when standard error takes it at once. A line it would
// have to wait for (a full pipe nobody reads, a stalled journal) is dropped
// and counted instead, and the count goes out with the next line that gets
// through: whoever logs is never held up. Safe from any thread.
void log_event(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Lines dropped so far, for the tests.
std::uint64_t dropped_event_lines();

// The peer's address as text for a log line: "127.0.0.1", "::1", or
// "a local peer" for a unix socket. Mapped IPv4 addresses show as IPv4.
using PeerText = char[64];
void describe_peer(const sockaddr_storage& peer, PeerText& out);

// Events that may come in floods (refused peers, peers cut off) give one
// warning for the first from an address, then at most one a minute for that
// address with how many came since. Each kind of event keeps its own table.
class RateLimitedLog {
 public:
  // `verb` says what was done and `what` to what ("refused", "connection"):
  // the lines read "refused a connection from 127.0.0.2: REASON" and
  // "refused 57 more connections from 127.0.0.2 in the last minute: REASON"
  // (the last one's reason).
  constexpr RateLimitedLog(const char* verb, const char* what) : verb_(verb), what_(what) {}

  // One event from `peer` at `now_ms` (a monotonic clock). `reason` must
  // stay valid for good: a string literal.
  void note(const sockaddr_storage& peer, const char* reason, std::int64_t now_ms);

  // Writes the sums that have waited a minute or more. The housekeeper calls
  // it once a second, so a burst that stops is still reported.
  void flush(std::int64_t now_ms);

  // Writes every sum still owed, due or not: the process is about to end,
  // and a count left in the table would be lost.
  void flush_all();

 private:
  struct Entry {
    PeerText peer;
    const char* reason;        // the last event's
    std::int64_t line_ms;      // when the last line for this address went out
    unsigned long long since;  // events since then
  };
  static constexpr std::size_t kEntries = 64;

  void write_sum(Entry& entry);
  void write_others();

  const char* const verb_;
  const char* const what_;
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  Entry entries_[kEntries] = {};
  std::size_t used_ = 0;
  // Events from addresses that found no place, counted together.
  unsigned long long others_since_ = 0;
  const char* others_reason_ = "";
  std::int64_t others_line_ms_ = 0;
  bool others_told_ = false;
};

}  // namespace varpage::fastcgi
