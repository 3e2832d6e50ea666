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

TEST(ResponseTest, HeaderDatesLieAMinuteEitherSideOfTheClock) {
  const std::string response = response_at(1000000000);
  EXPECT_EQ(response.substr(0, response.find("<!DOCTYPE")),
            "Content-type: text/html\r\n"
            "Last-Modified: Sun, 09 Sep 2001 01:45:40 GMT\r\n"
            "Expires: Sun, 09 Sep 2001 01:47:40 GMT\r\n"
            "\r\n");
  EXPECT_NE(response.find("<meta http-equiv=\"Expires\" content=\"Sun, 09 Sep 2001 01:47:40 GMT\" "
                          "/>\r\n"),
            std::string::npos);
}

TEST(ResponseTest, DatesFollowTheCalendarAcrossAYearEnd) {
  const std::string response = response_at(1230767970);
  EXPECT_EQ(response.substr(0, response.find("<!DOCTYPE")),
            "Content-type: text/html\r\n"
            "Last-Modified: Wed, 31 Dec 2008 23:58:30 GMT\r\n"
            "Expires: Thu, 01 Jan 2009 00:00:30 GMT\r\n"
            "\r\n");
}

TEST(ResponseTest, DocumentFollowsTheHeaderAndEndsWithoutALineEnd) {
  const std::string response = response_at(1000000000);
  EXPECT_NE(response.find("\r\n\r\n<!DOCTYPE HTML PUBLIC"), std::string::npos);
  EXPECT_TRUE(response.ends_with("</tbody>\r\n</table>\r\n</body>\r\n</html>"));
}

}  // namespace
}  // namespace varpage
