// The built program, started with an exact environment; its standard output
// is compared byte for byte. These run on every platform.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace varpage::testing
