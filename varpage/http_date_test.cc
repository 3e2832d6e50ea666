#include "http_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace varpage {
namespace {

struct DateCase {
  std::int64_t seconds;
  const char* expected;
  friend void PrintTo(const DateCase& c, std::ostream* os) { *os << c.seconds; }
};

class HttpDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(HttpDateTest, RendersUtcWithEnglishNames) {
  HttpDateBuffer buffer;
  std::memset(buffer, 'x', sizeof buffer);
  format_http_date(GetParam().seconds, buffer);
  EXPECT_STREQ(buffer, GetParam().expected);
  EXPECT_EQ(std::strlen(buffer), 29u);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, HttpDateTest,
    ::testing::Values(
        DateCase{999999940, "Sun, 09 Sep 2001 01:45:40 GMT"},
        DateCase{1000000060, "Sun, 09 Sep 2001 01:47:40 GMT"},
        // Day name, day, month and year all roll over together.
        DateCase{1230767910, "Wed, 31 Dec 2008 23:58:30 GMT"},
        DateCase{1230768030, "Thu, 01 Jan 2009 00:00:30 GMT"},
        // Leading zeros on day, hour, minute and second.
        DateCase{999673389, "Wed, 05 Sep 2001 07:03:09 GMT"},
        // Leap days, and a century year that is not a leap year.
        DateCase{951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        DateCase{1709208000, "Thu, 29 Feb 2024 12:00:00 GMT"},
        DateCase{4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
        // Either side of the end of 32-bit time, and well past it.
        DateCase{2147483647, "Tue, 19 Jan 2038 03:14:07 GMT"},
        DateCase{2147483648, "Tue, 19 Jan 2038 03:14:08 GMT"},
        DateCase{32503680000, "Wed, 01 Jan 3000 00:00:00 GMT"},
        // The epoch and the minute before it.
        DateCase{0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        DateCase{-30, "Wed, 31 Dec 1969 23:59:30 GMT"},
        // Clocks beyond four-digit years are held at the bounds.
        DateCase{253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
        DateCase{std::numeric_limits<std::int64_t>::max(), "Fri, 31 Dec 9999 23:59:59 GMT"},
        DateCase{-62135596800, "Mon, 01 Jan 0001 00:00:00 GMT"},
        DateCase{std::numeric_limits<std::int64_t>::min(), "Mon, 01 Jan 0001 00:00:00 GMT"}));

}  // namespace
}  // namespace varpage
