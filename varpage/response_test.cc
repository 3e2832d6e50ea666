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

// The reverse lookup comes before the first byte reaches the sink, once, for
// a page of any size: a process that dies while the resolver takes its time
// has then sent nothing. What it answers still ends the table, byte for byte.
TEST(ResponseLookupTest, LookupEndsBeforeTheFirstByteAtAnySize) {
  struct WatchingLookup final : HostLookup {
    explicit WatchingLookup(const StringSink& sink) : sink(sink) {}
    ClientAddress parse_address(const char* text) override { return inner.parse_address(text); }
    const char* host_name(const ClientAddress& address) override {
      written_then.push_back(sink.text.size());
      return inner.host_name(address);
    }
    const StringSink& sink;
    FakeLookup inner{{{"192.0.2.1", "client.example"}}};
    std::vector<std::size_t> written_then;
  };
  const struct {
    const char* remote_addr;  // the entry, or nullptr for none
    const char* name;         // the host row's name, or nullptr for no row
  } addresses[] = {
      {"REMOTE_ADDR=192.0.2.1", "client.example"},
      {"remote_addr=192.0.2.1", "client.example"},
      {"REMOTE_ADDR=192.0.2.2", nullptr},
  };
  for (const auto& a : addresses) {
    for (const std::size_t size : {std::size_t{10}, std::size_t{300000}, std::size_t{3000000}}) {
      const std::string big = "BIG=" + std::string(size, '&');
      const std::vector<const char*> environment = {a.remote_addr, big.c_str()};
      StringSink sink;
      WatchingLookup lookup(sink);
      {
        OutputStream out(sink);
        write_response(out, environment, 1000000000, lookup);
      }
      const std::string what = std::string(a.remote_addr) + ", " + std::to_string(size);
      EXPECT_EQ(lookup.written_then, std::vector<std::size_t>{0}) << what;
      EXPECT_EQ(lookup.inner.parsed, std::vector<std::string>{a.remote_addr + 12}) << what;
      const std::string expected =
          std::string(
              "Content-type: text/html\r\nLast-Modified: Sun, 09 Sep 2001 01:45:40 GMT\r\n") +
          "Expires: Sun, 09 Sep 2001 01:47:40 GMT\r\nCache-Control: private\r\n\r\n" +
          testing::expected_head("Sun, 09 Sep 2001 01:47:40 GMT") +
          testing::two_cells(std::string(a.remote_addr, 11), a.remote_addr + 12) +
          testing::two_cells("BIG",
                             [&] {
                               std::string escaped;
                               for (std::size_t i = 0; i < size; ++i) escaped += "&amp;";
                               return escaped;
                             }()) +
          (a.name != nullptr ? testing::host_name_row(a.name) : "") + testing::kExpectedTail;
      EXPECT_TRUE(sink.text == expected) << what;
    }
  }
  // No address, no lookup.
  StringSink sink;
  WatchingLookup lookup(sink);
  {
    OutputStream out(sink);
    write_response(out, std::vector<const char*>{"A=1"}, 1000000000, lookup);
  }
  EXPECT_TRUE(lookup.written_then.empty());
}

}  // namespace
}  // namespace varpage
