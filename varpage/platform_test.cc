// The system lookup's reading of REMOTE_ADDR texts, on whichever platform the
// tests are built for. No name is looked up here: which family an address
// falls into decides what the resolver is asked, and that needs no resolver.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace varpage {
namespace {

using testing::describe;

struct ParseCase {
  const char* text;
  const char* address;  // as describe() writes it
  friend void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(std::string(c.text));
  }
};

class SystemParseTest : public ::testing::TestWithParam<ParseCase> {
 protected:
  // Windows wants its socket library started before any call into it.
  static void SetUpTestSuite() { ASSERT_TRUE(start_platform()); }
  static void TearDownTestSuite() { stop_platform(); }
};

TEST_P(SystemParseTest, TextGivesTheAddressToLookUp) {
  SystemHostLookup lookup;
  EXPECT_EQ(describe(lookup.parse_address(GetParam().text)), GetParam().address);
}

constexpr char kAllOnes[] = "255.255.255.255";

INSTANTIATE_TEST_SUITE_P(
    Ipv4, SystemParseTest,
    ::testing::Values(ParseCase{"127.0.0.1", "127.0.0.1"}, ParseCase{"192.0.2.7", "192.0.2.7"},
                      // Short forms are the platform conversion's own, as before.
                      ParseCase{"127.1", "127.0.0.1"}, ParseCase{"10.1.2", "10.1.0.2"},
                      ParseCase{"255.255.255.255", kAllOnes}));

INSTANTIATE_TEST_SUITE_P(
    Ipv6, SystemParseTest,
    ::testing::Values(ParseCase{"::1", "0000:0000:0000:0000:0000:0000:0000:0001"},
                      ParseCase{"2001:db8::5", "2001:0db8:0000:0000:0000:0000:0000:0005"},
                      ParseCase{"2001:DB8:0:0:0:0:0:5", "2001:0db8:0000:0000:0000:0000:0000:0005"},
                      ParseCase{"fe80::1:2", "fe80:0000:0000:0000:0000:0000:0001:0002"},
                      ParseCase{"::", "0000:0000:0000:0000:0000:0000:0000:0000"},
                      // Only the mapped prefix means IPv4; the old "compatible" form and
                      // a near miss stay IPv6.
                      ParseCase{"::127.0.0.1", "0000:0000:0000:0000:0000:0000:7f00:0001"},
                      ParseCase{"::fffe:127.0.0.1", "0000:0000:0000:0000:0000:fffe:7f00:0001"},
                      // The mapped prefix is all twelve bytes, not only its ffff.
                      ParseCase{"2001:db8::ffff:127.0.0.1",
                                "2001:0db8:0000:0000:0000:ffff:7f00:0001"},
                      ParseCase{"::1:ffff:127.0.0.1", "0000:0000:0000:0000:0001:ffff:7f00:0001"},
                      // The longest text of an address.
                      ParseCase{"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255",
                                "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
                      ParseCase{"64:ff9b::192.0.2.7", "0064:ff9b:0000:0000:0000:0000:c000:0207"},
                      // The name belongs to the address, whatever the zone.
                      ParseCase{"fe80::1%1", "fe80:0000:0000:0000:0000:0000:0000:0001"},
                      ParseCase{"fe80::1%eth0", "fe80:0000:0000:0000:0000:0000:0000:0001"}));

INSTANTIATE_TEST_SUITE_P(Mapped, SystemParseTest,
                         ::testing::Values(ParseCase{"::ffff:127.0.0.1", "127.0.0.1"},
                                           ParseCase{"::FFFF:192.0.2.7", "192.0.2.7"},
                                           ParseCase{"::ffff:c000:207", "192.0.2.7"},
                                           ParseCase{"0:0:0:0:0:ffff:10.0.0.1", "10.0.0.1"},
                                           ParseCase{"::ffff:10.0.0.100", "10.0.0.100"}));

// Text that is neither is converted as dotted IPv4 is, and gives all ones.
INSTANTIATE_TEST_SUITE_P(
    Neither, SystemParseTest,
    ::testing::Values(ParseCase{"not an address", kAllOnes}, ParseCase{"999.1.1.1", kAllOnes},
                      ParseCase{":::", kAllOnes}, ParseCase{"1:2:3:4:5:6:7:8:9", kAllOnes},
                      ParseCase{"12345::1", kAllOnes}, ParseCase{"::ffff:127.0.0.256", kAllOnes},
                      ParseCase{"::1.2.3", kAllOnes},
                      // Forms some parsers take and others do not: brackets,
                      // a port, blanks, a dotted part with a leading zero.
                      ParseCase{"[::1]", kAllOnes}, ParseCase{"[::1]:80", kAllOnes},
                      ParseCase{" ::1", kAllOnes}, ParseCase{"::1 ", kAllOnes},
                      ParseCase{"::g", kAllOnes}, ParseCase{"::ffff:127.0.0.01", kAllOnes},
                      ParseCase{"::ffff:01.2.3.4", kAllOnes}, ParseCase{"%lo", kAllOnes},
                      ParseCase{"::1%", "0000:0000:0000:0000:0000:0000:0000:0001"},
                      ParseCase{"0000:0000:0000:0000:0000:0000:0000:0000:0001", kAllOnes},
                      // 63 characters fill the address part's buffer with its
                      // terminating zero; 64 are one too many.
                      ParseCase{"0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:"
                                "001",
                                kAllOnes},
                      ParseCase{"0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:"
                                "0001",
                                kAllOnes},
                      // Far longer than any address: 139 characters that could
                      // all belong to one.
                      ParseCase{"0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:"
                                "0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:"
                                "0:0:0:0:0:0:0:0:0:1",
                                kAllOnes}));

}  // namespace
}  // namespace varpage
