#include "fastcgi_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

namespace varpage::fastcgi {
namespace {

sockaddr_storage peer(const std::string& text) {
  sockaddr_storage storage{};
  if (text == "unix") {
    storage.ss_family = AF_UNIX;
  } else if (text.find(':') == std::string::npos) {
    auto& in = reinterpret_cast<sockaddr_in&>(storage);
    in.sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &in.sin_addr), 1) << text;
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr), 1) << text;
  }
  return storage;
}

TEST(WebServerAllowedTest, OnlyListedAddressesAreServed) {
  const struct {
    const char* allowed;
    const char* peer;
    bool served;
  } cases[] = {
      {nullptr, "192.0.2.7", true},
      {"", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.8", false},
      {"192.0.2.1,192.0.2.7", "192.0.2.7", true},
      {"192.0.2.1, 192.0.2.7 ,", "192.0.2.7", true},
      {"192.0.2.70", "192.0.2.7", false},
      {"192.0.2.7", "::ffff:192.0.2.7", true},
      // The start accepts a mapped entry: it must admit its IPv4 address.
      {"::ffff:192.0.2.7", "192.0.2.7", true},
      {"::ffff:192.0.2.7", "::ffff:192.0.2.7", true},
      {"::ffff:192.0.2.7", "192.0.2.8", false},
      {"2001:db8::1", "2001:db8::1", true},
      {"2001:db8::1", "2001:db8::2", false},
      {"2001:db8::1", "192.0.2.7", false},
      {"example.org", "192.0.2.7", false},
      {"192.0.2.7/24", "192.0.2.7", false},
      {"192.0.2.7", "unix", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(web_server_allowed(c.allowed, peer(c.peer)), c.served)
        << (c.allowed ? c.allowed : "(unset)") << " / " << c.peer;
  }
}

// A list the process could not read would refuse every peer: the first
// entry that is no address stops the start, named as it stands.
TEST(FindBadWebServerTest, NamesTheFirstEntryThatIsNoAddress) {
  const struct {
    const char* allowed;
    const char* bad;  // nullptr: the list is fine
  } cases[] = {
      {nullptr, nullptr},
      {"", nullptr},
      {"127.0.0.1", nullptr},
      {"127.0.0.1, ::1", nullptr},
      {" 192.0.2.7,,2001:db8::1 , ", nullptr},
      {"::ffff:192.0.2.7", nullptr},
      {"192.0.2.0/24", "192.0.2.0/24"},
      {"127.0.0.1 web.example.org", "web.example.org"},
      {"127.0.0.1;::1", "127.0.0.1;::1"},
      {"127.0.0.1,localhost,::1", "localhost"},
      {"192.0.2.300", "192.0.2.300"},
      {"fe80::1%eth0", "fe80::1%eth0"},
      {" , ", " , "},
      // A line end would let the entry forge a line of its own.
      {"127.0.0.1\n<0>forged", "127.0.0.1?<0>forged"},
      {"\t127.0.0.1", "?127.0.0.1"},
      // Longer than any address: named, cut to the 127 bytes a line shows.
      {"2001:0db8:0000:0000:0000:0000:0000:0001:0000:0000:0000:0000:0000:0000:0000:0000:"
       "0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000",
       "2001:0db8:0000:0000:0000:0000:0000:0001:0000:0000:0000:0000:0000:0000:0000:0000:"
       "0000:0000:0000:0000:0000:0000:0000:0000:0000:00"},
  };
  for (const auto& c : cases) {
    ListEntryText bad;
    const bool found = find_bad_web_server(c.allowed, bad);
    EXPECT_EQ(found, c.bad != nullptr) << (c.allowed ? c.allowed : "(unset)");
    if (found && c.bad != nullptr) {
      EXPECT_STREQ(bad, c.bad);
    }
  }
}

// Workers may leave only once they have been idle for a whole window of
// samples, and one of them stays.
TEST(IdleHistoryTest, SurplusIsWhatStayedIdleAllAlongButOne) {
  struct Run {
    unsigned samples;
    unsigned idle;
  };
  const unsigned n = kIdleSamples;
  const struct {
    const char* what;
    std::vector<Run> runs;
    unsigned retired;
    unsigned surplus;
  } cases[] = {
      {"nothing sampled", {}, 0, 0},
      {"window not full yet", {{n - 1, 100}}, 0, 0},
      {"a full window", {{n, 100}}, 0, 99},
      {"one busy moment", {{n, 100}, {1, 3}, {5, 100}}, 0, 2},
      {"busy moment has passed", {{1, 3}, {n, 100}}, 0, 99},
      {"busy moment not yet passed", {{1, 3}, {n - 1, 100}}, 0, 2},
      {"never idle", {{n, 0}}, 0, 0},
      {"one idle is kept", {{n, 1}}, 0, 0},
      {"retired ones are not counted again", {{n, 100}}, 40, 59},
      {"more retired than sampled", {{n, 100}, {1, 30}}, 40, 0},
  };
  for (const auto& c : cases) {
    IdleHistory history;
    history.reset();
    for (const Run& run : c.runs) {
      for (unsigned i = 0; i < run.samples; ++i) history.add(run.idle);
    }
    history.retired(c.retired);
    EXPECT_EQ(history.surplus(), c.surplus) << c.what;
  }
}

}  // namespace
}  // namespace varpage::fastcgi
