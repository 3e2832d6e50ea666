// The host-name row for real, from the system's resolver, with the hosts file
// of tests/own_hosts in place and no network beyond it. Run through
// tests/with_own_hosts.sh; these run on every platform.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_support.h"

namespace varpage::testing {
namespace {

struct HostCase {
  const char* address;
  const char* shown_address;  // the REMOTE_ADDR cell, escaped
  const char* row_name;       // escaped; nullptr for no row
  friend void PrintTo(const HostCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(std::string(c.address));
  }
};

class OwnHostsTest : public ::testing::TestWithParam<HostCase> {
 protected:
  void SetUp() override {
    if (std::getenv("VARPAGE_OWN_HOSTS") == nullptr)
      FAIL() << "run through tests/with_own_hosts.sh, which puts tests/own_hosts in place";
  }
};

TEST_P(OwnHostsTest, RowShowsTheNameOfTheAddressItself) {
  const HostCase& c = GetParam();
  Launch launch;
  launch.environment = {std::string("REMOTE_ADDR=") + c.address};
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document, expected_head(response.expires) +
                                   two_cells("REMOTE_ADDR", c.shown_address) +
                                   (c.row_name ? host_name_row(c.row_name) : "") + kExpectedTail);
}

// A hosts file may give a name longer than any DNS name; it was always
// shown whole.
TEST_F(OwnHostsTest, NameLongerThanDnsAllowsComesOutWhole) {
  Launch launch;
  launch.environment = {"REMOTE_ADDR=192.0.2.9"};
  const Response response = run_and_check_header(launch);
  expect_same_bytes(response.document,
                    expected_head(response.expires) + two_cells("REMOTE_ADDR", "192.0.2.9") +
                        host_name_row(std::string(1100, 'l') + ".test") + kExpectedTail);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, OwnHostsTest,
    ::testing::Values(
        // IPv4 as it always was, short forms included.
        HostCase{"127.0.0.1", "127.0.0.1", "v4-loopback.test"},
        HostCase{"127.1", "127.1", "v4-loopback.test"}, HostCase{"192.0.2.1", "192.0.2.1", nullptr},
        // IPv6, looked up as IPv6: never as 255.255.255.255, which has a name
        // here.
        HostCase{"::1", "::1", "v6-loopback.test"},
        HostCase{"2001:db8::5", "2001:db8::5", "five.v6.test"},
        HostCase{"2001:DB8:0:0:0:0:0:5", "2001:DB8:0:0:0:0:0:5", "five.v6.test"},
        HostCase{"2001:db8::66", "2001:db8::66", "&lt;b&gt;&amp;amp;"},
        HostCase{"2001:db8::6", "2001:db8::6", nullptr},
        // Mapped: the IPv4 address's name, not the mapped form's.
        HostCase{"::ffff:127.0.0.1", "::ffff:127.0.0.1", "v4-loopback.test"},
        HostCase{"::ffff:192.0.2.1", "::ffff:192.0.2.1", nullptr},
        // Neither: looked up as 255.255.255.255, as it always was.
        HostCase{"not an address", "not an address", "all-ones.test"},
        HostCase{"[::1]", "[::1]", "all-ones.test"},
        // A zone names the server's interface; the name is the address's.
        HostCase{"fe80::1%lo", "fe80::1%lo", "link-local.test"}));

}  // namespace
}  // namespace varpage::testing
