// The built program, started with an exact environment; its standard output
// is compared byte for byte. These run on every platform.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_support.h"

namespace varpage::testing {
namespace {

TEST(EndToEndTest, EnvironmentComesOutAsAnExactDocument) {
  Launch launch;
  launch.environment = {"B=2",
                        "A=<script>alert(1)</script>&amp;",
                        "NOEQUALS",
                        "X=a=b",
                        "=C:=C:\\work",
                        "Q=%s%n\"'\\",
                        "V=line\nnext\r\nend"};
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document,
            expected_head(response.expires) + two_cells("B", "2") +
                two_cells("A", "&lt;script&gt;alert(1)&lt;/script&gt;&amp;amp;") +
                one_cell("NOEQUALS") + two_cells("X", "a=b") + two_cells("Q", "%s%n\"'\\") +
                two_cells("V", "line\r\nnext\r\r\nend") + kExpectedTail);
}

TEST(EndToEndTest, EmptyEnvironmentGivesATableWithoutRows) {
  const Response response = run_and_check_header(Launch{});
  EXPECT_EQ(response.document, expected_head(response.expires) + kExpectedTail);
}

TEST(EndToEndTest, ArgumentsChangeNothing) {
  Launch launch;
  launch.environment = {"A=1"};
  launch.arguments = {"--help", "-v", "%s%n"};
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document,
            expected_head(response.expires) + two_cells("A", "1") + kExpectedTail);
}

TEST(EndToEndTest, LoopbackClientGetsItsHostNameAsTheLastRow) {
  const std::string name = hosts_file_name_of_loopback();
  if (name.empty()) GTEST_SKIP() << "/etc/hosts gives 127.0.0.1 no name";
  Launch launch;
  launch.environment = {"REMOTE_ADDR=127.0.0.1", "X_PROBE=<b>&"};
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document,
            expected_head(response.expires) + two_cells("REMOTE_ADDR", "127.0.0.1") +
                two_cells("X_PROBE", "&lt;b&gt;&amp;") + host_name_row(name) + kExpectedTail);
}

// Run with the clock set past 2038-01-19 03:14:07, where 32 bits of seconds
// end; VARPAGE_TEST_CLOCK_AFTER names a time the clock is known to be past.
TEST(EndToEndTest, DatesAfter2038ComeOutRight) {
  const char* clock_after = std::getenv("VARPAGE_TEST_CLOCK_AFTER");
  if (clock_after == nullptr) {
    const char* why = std::getenv("VARPAGE_TEST_NO_CLOCK");
    GTEST_SKIP() << "the clock is not set past 2038 for this run"
                 << (why != nullptr ? std::string(": ") + why : std::string());
  }
  // The check of the program's dates is only as good as the test's own clock.
  ASSERT_GE(clock_now(), std::atoll(clock_after));
  // The program gets the faked clock the way the test did, and shows it.
  // (libfaketime adds FAKETIME_SHARED as it loads; passed on, the program
  // shares the test's clock instead of adding a variable of its own.)
  Launch launch;
  launch.environment = {"A=1"};
  std::string rows = two_cells("A", "1");
  for (const char* name : {"LD_PRELOAD", "FAKETIME", "FAKETIME_SHARED"}) {
    const char* value = std::getenv(name);
    ASSERT_NE(value, nullptr) << name;
    launch.environment.push_back(std::string(name) + "=" + value);
    rows += two_cells(name, value);
  }
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document, expected_head(response.expires) + rows + kExpectedTail);
}

}  // namespace
}  // namespace varpage::testing
