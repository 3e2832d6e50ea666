#include "event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace varpage::fastcgi {
namespace {

// A RateLimitedLog's lines, read back from a pipe put in standard error's
// place for the test.
class RateLimitedLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    read_end_ = ends[0];
    ::fcntl(read_end_, F_SETFL, O_NONBLOCK);
    saved_error_ = ::dup(STDERR_FILENO);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[1]);
    ::unsetenv("JOURNAL_STREAM");
    start_event_log();
  }

  void TearDown() override {
    ::dup2(saved_error_, STDERR_FILENO);
    ::close(saved_error_);
    ::close(read_end_);
  }

  // 10.0.X.Y for `n`: distinct for every n below 65536.
  static sockaddr_storage peer(unsigned n) {
    sockaddr_storage storage{};
    auto& in = reinterpret_cast<sockaddr_in&>(storage);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(0x0a000000u | n);
    return storage;
  }

  // The lines written since the last call, the pipe emptied (it holds
  // 64 KiB: tests that write more call this as they go).
  std::vector<std::string> lines() {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(read_end_, buffer, sizeof buffer);
      if (got <= 0) break;
      text_.append(buffer, static_cast<std::size_t>(got));
    }
    std::vector<std::string> out;
    std::size_t at = 0;
    for (std::size_t end; (end = text_.find('\n', at)) != std::string::npos; at = end + 1) {
      out.push_back(text_.substr(at, end - at));
    }
    text_.erase(0, at);
    return out;
  }

  // How many events `line` reports: 1 for a first one, N for a sum. Fails
  // on a line of another shape.
  static unsigned long long events_in(const std::string& line) {
    const std::size_t start = line.find("warning: refused ");
    EXPECT_NE(start, std::string::npos) << line;
    if (start == std::string::npos) return 0;
    const char* rest = line.c_str() + start + std::strlen("warning: refused ");
    if (std::strncmp(rest, "a connection from 10.0.", 23) == 0) return 1;
    char* after = nullptr;
    const unsigned long long count = std::strtoull(rest, &after, 10);
    const bool sum = std::strncmp(after, " more connection", 16) == 0 ||
                     std::strncmp(after, " connection", 11) == 0;
    EXPECT_TRUE(count > 0 && sum) << line;
    return count;
  }

  static constexpr const char* kReason = "not listed in FCGI_WEB_SERVER_ADDRS";
  RateLimitedLog log_{"refused", "connection"};

 private:
  int read_end_ = -1;
  int saved_error_ = -1;
  std::string text_;
};

TEST_F(RateLimitedLogTest, PastSixtyFourAddressesTheRestAreCountedTogether) {
  for (int round = 0; round < 2; ++round) {
    for (unsigned n = 0; n < 1000; ++n) log_.note(peer(n), kReason, 1000);
  }
  // At once: the first 64 addresses a line each, and the first of the rest.
  std::vector<std::string> first = lines();
  ASSERT_EQ(first.size(), 65u);
  EXPECT_NE(first[64].find("warning: refused 1 connection from other addresses (over 64 at "
                           "once): not listed in FCGI_WEB_SERVER_ADDRS"),
            std::string::npos)
      << first[64];
  log_.flush(60999);
  EXPECT_TRUE(lines().empty()) << "a sum before its minute";
  log_.flush(61000);
  const std::vector<std::string> sums = lines();
  ASSERT_EQ(sums.size(), 65u);
  EXPECT_NE(sums[64].find("warning: refused 1 more connection from 10.0.0.63 in the last minute: "),
            std::string::npos)
      << sums[64];
  EXPECT_NE(sums[0].find("warning: refused 1871 connections from other addresses"),
            std::string::npos)
      << sums[0];
  log_.flush_all();
  EXPECT_TRUE(lines().empty()) << "a count told twice";
  unsigned long long told = 0;
  for (const auto& line : first) told += events_in(line);
  for (const auto& line : sums) told += events_in(line);
  EXPECT_EQ(told, 2000u);
}

// A place is taken over only from an address a minute quiet with nothing
// owed: an address whose count is still to be told keeps its place.
TEST_F(RateLimitedLogTest, OnlyQuietEntriesGiveUpTheirPlace) {
  unsigned long long events = 0;
  for (unsigned n = 0; n < 64; ++n, ++events) log_.note(peer(n), kReason, 0);
  // Not a minute on: a newcomer finds no place.
  log_.note(peer(1000), kReason, 30000);
  ++events;
  log_.note(peer(0), kReason, 59000);
  ++events;
  std::vector<std::string> all = lines();
  ASSERT_EQ(all.size(), 65u);
  // A minute on, 64 newcomers: 63 take the places of the quiet addresses;
  // the last finds none (10.0.0.0 owes its count), and is counted with the
  // rest, told a minute after their last line.
  for (unsigned n = 2000; n < 2064; ++n, ++events) log_.note(peer(n), kReason, 60500);
  std::vector<std::string> now = lines();
  ASSERT_EQ(now.size(), 63u);
  EXPECT_NE(now[62].find("refused a connection from 10.0.8.14: "), std::string::npos) << now[62];
  all.insert(all.end(), now.begin(), now.end());
  log_.flush(60500);
  now = lines();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_NE(now[0].find("refused 1 more connection from 10.0.0.0 in the last minute"),
            std::string::npos)
      << now[0];
  all.insert(all.end(), now.begin(), now.end());
  log_.flush(90000);
  now = lines();
  ASSERT_EQ(now.size(), 1u);
  EXPECT_NE(now[0].find("refused 1 connection from other addresses"), std::string::npos) << now[0];
  all.insert(all.end(), now.begin(), now.end());
  log_.flush_all();
  now = lines();
  all.insert(all.end(), now.begin(), now.end());
  unsigned long long told = 0;
  for (const auto& line : all) told += events_in(line);
  EXPECT_EQ(told, events);
}

// Ten minutes of newcomers, 100 a second, and the housekeeper's flush each
// second: every event told once, and the lines a minute stay bounded (a
// place gives a line at most once a minute, first or sum, and so do the
// rest together), however many addresses come.
TEST_F(RateLimitedLogTest, LinesAMinuteStayBoundedAndNothingIsLost) {
  unsigned long long events = 0, told = 0;
  std::size_t in_minute = 0, most_in_a_minute = 0;
  unsigned n = 0;
  for (std::int64_t second = 0; second < 600; ++second) {
    const std::int64_t now_ms = second * 1000;
    for (int i = 0; i < 100; ++i, ++events) log_.note(peer(n++ % 50000), kReason, now_ms);
    log_.flush(now_ms);
    for (const auto& line : lines()) {
      told += events_in(line);
      ++in_minute;
    }
    if (second % 60 == 59) {
      most_in_a_minute = std::max(most_in_a_minute, in_minute);
      in_minute = 0;
    }
  }
  log_.flush_all();
  for (const auto& line : lines()) told += events_in(line);
  EXPECT_EQ(told, events);
  EXPECT_LE(most_in_a_minute, 64u + 1);
}

}  // namespace
}  // namespace varpage::fastcgi
