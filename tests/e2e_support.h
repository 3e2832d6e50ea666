// Helpers for the tests that run the built program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "launcher.h"
#include "platform.h"
#include "test_support.h"

namespace varpage::testing {

// The program under test, from the command line.
inline std::string& program_path() {
  static std::string path;
  return path;
}

// The platform's 64-bit clock: std::chrono's would wrap after 2038 in a
// 32-bit Windows build, as its time_t does.
inline std::int64_t clock_now() { return clock_seconds(); }

// Reads "Sun, 09 Sep 2001 01:45:40 GMT" back into seconds since 1970, or
// nothing when the text is not exactly of that form, day name included.
inline std::optional<std::int64_t> parse_http_date(const std::string& text) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29) return std::nullopt;
  char day_name[4], month_name[4];
  int day, year, hour, minute, second, consumed = 0;
  if (std::sscanf(text.c_str(), "%3s, %2d %3s %4d %2d:%2d:%2d GMT%n", day_name, &day, month_name,
                  &year, &hour, &minute, &second, &consumed) != 7 ||
      consumed != 29)
    return std::nullopt;
  unsigned month = 0;
  while (month < 12 && std::strcmp(months[month], month_name) != 0) ++month;
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{month + 1},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (month == 12 || !date.ok()) return std::nullopt;
  const sys_days days_since_epoch{date};
  if (std::strcmp(days[weekday{days_since_epoch}.c_encoding()], day_name) != 0) return std::nullopt;
  return days_since_epoch.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 + second;
}

// For outputs too large to print whole: names the first byte that differs.
inline void expect_same_bytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return;
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const std::size_t from = at < 40 ? 0 : at - 40;
  ADD_FAILURE() << "sizes " << actual.size() << " and " << expected.size()
                << ", first difference at byte " << at
                << "\n  actual:   " << ::testing::PrintToString(actual.substr(from, 80))
                << "\n  expected: " << ::testing::PrintToString(expected.substr(from, 80));
}

// Takes out the rows of variables that the platform, not the test, put into
// the environment.
inline std::string without_platform_rows(std::string document) {
  const std::string row_start = "\t<tr>\r\n\t\t<td>";
  const std::string row_end = "\t</tr>\r\n";
  std::size_t at = 0;
  while ((at = document.find(row_start, at)) != std::string::npos) {
    const std::size_t name_start = at + row_start.size();
    const std::size_t name_end = document.find("</td>", name_start);
    const std::size_t end = document.find(row_end, name_start);
    if (name_end == std::string::npos || end == std::string::npos) break;
    if (added_by_platform(document.substr(name_start, name_end - name_start))) {
      document.erase(at, end + row_end.size() - at);
    } else {
      at = end;
    }
  }
  return document;
}

struct Response {
  std::string document;  // standard output from the first byte after the header
  std::string expires;   // the header's Expires date
};

// Runs the program and checks what every run must show: exit status 0,
// nothing on standard error, a well-formed header whose dates lie a minute
// either side of the clock and which keeps the page out of shared caches.
inline Response run_and_check_header(const Launch& launch) {
  Response response;
  std::string* expires = &response.expires;
  const std::int64_t before = clock_now();
  const Outcome outcome = varpage::testing::launch(program_path(), launch);
  const std::int64_t after = clock_now();
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");

  const std::string& out = outcome.out;
  const std::string content_type = "Content-type: text/html\r\n";
  const std::string last_modified = "Last-Modified: ";
  const std::string expires_field = "\r\nExpires: ";
  const std::string header_end = "\r\nCache-Control: private\r\n\r\n";
  const std::size_t header_size = content_type.size() + last_modified.size() + 29 +
                                  expires_field.size() + 29 + header_end.size();
  if (out.size() < header_size) {
    ADD_FAILURE() << "output too short for a header: " << ::testing::PrintToString(out);
    return response;
  }
  EXPECT_EQ(out.substr(0, content_type.size()), content_type);
  std::size_t at = content_type.size();
  EXPECT_EQ(out.substr(at, last_modified.size()), last_modified);
  at += last_modified.size();
  const std::string modified_date = out.substr(at, 29);
  at += 29;
  EXPECT_EQ(out.substr(at, expires_field.size()), expires_field);
  at += expires_field.size();
  *expires = out.substr(at, 29);
  at += 29;
  EXPECT_EQ(out.substr(at, header_end.size()), header_end);

  const auto modified_time = parse_http_date(modified_date);
  const auto expires_time = parse_http_date(*expires);
  EXPECT_TRUE(modified_time.has_value()) << modified_date;
  EXPECT_TRUE(expires_time.has_value()) << *expires;
  if (modified_time && expires_time) {
    EXPECT_EQ(*expires_time - *modified_time, 120);
    EXPECT_GE(*expires_time, before + 60);
    EXPECT_LE(*expires_time, after + 60);
  }
  response.document = without_platform_rows(out.substr(header_size));
  return response;
}

// The first name /etc/hosts gives 127.0.0.1, which is the one a reverse
// lookup answers with; empty when it has none.
inline std::string hosts_file_name_of_loopback() {
  std::FILE* hosts = std::fopen("/etc/hosts", "r");
  if (hosts == nullptr) return "";
  char line[1024];
  std::string name;
  while (name.empty() && std::fgets(line, sizeof line, hosts) != nullptr) {
    char address[64], first_name[256];
    if (std::sscanf(line, "%63s %255s", address, first_name) == 2 &&
        std::strcmp(address, "127.0.0.1") == 0)
      name = first_name;
  }
  std::fclose(hosts);
  return name;
}

}  // namespace varpage::testing
