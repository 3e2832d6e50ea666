#include "response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace varpage {
namespace {

using testing::FakeLookup;
using testing::StringSink;

std::string response_at(std::int64_t now) {
  StringSink sink;
  FakeLookup lookup;
  {
    OutputStream out(sink);
    write_response(out, std::vector<const char*>{"A=1"}, now, lookup);
  }
  return sink.text;
}

struct ClockCase {
  std::int64_t now;
  const char* last_modified;
  const char* expires;
  friend void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.now; }
};

class ResponseTest : public ::testing::TestWithParam<ClockCase> {};

// The header's dates lie a minute either side of the clock, no shared cache
// may keep the page, the page's Expires date is the header's, and the
// document follows the empty line.
TEST_P(ResponseTest, HeaderThenDocumentWithTheSameExpiresDate) {
  const ClockCase& c = GetParam();
  EXPECT_EQ(response_at(c.now),
            std::string("Content-type: text/html\r\n") + "Last-Modified: " + c.last_modified +
                "\r\n" + "Expires: " + c.expires + "\r\n" + "Cache-Control: private\r\n\r\n" +
                testing::expected_head(c.expires) + testing::two_cells("A", "1") +
                testing::kExpectedTail);
}

INSTANTIATE_TEST_SUITE_P(Clocks, ResponseTest,
                         ::testing::Values(ClockCase{1000000000, "Sun, 09 Sep 2001 01:45:40 GMT",
                                                     "Sun, 09 Sep 2001 01:47:40 GMT"},
                                           // Day name, day, month and year all follow the calendar.
                                           ClockCase{1230767970, "Wed, 31 Dec 2008 23:58:30 GMT",
                                                     "Thu, 01 Jan 2009 00:00:30 GMT"}));

}  // namespace
}  // namespace varpage
