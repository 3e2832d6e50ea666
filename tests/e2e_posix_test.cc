// End-to-end cases that need POSIX: environments that only execve can hand
// over, broken standard outputs, and a resolver cut off from any network.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "e2e_support.h"

namespace varpage::testing {
namespace {

TEST(EndToEndPosixTest, RawEntriesAreListedByTheirOwnRules) {
  const std::string name = hosts_file_name_of_loopback();
  // Looked up for real: only where /etc/hosts answers it.
  if (name.empty()) GTEST_SKIP() << "/etc/hosts gives 127.0.0.1 no name";
  Launch launch;
  launch.environment = {"=hidden=1",
                        "LATIN=\xE9t\xE9 \x80\xFF",
                        "UTF8=\xC3\xA9t\xC3\xA9",
                        "\xFF\xFE=high",
                        "=",
                        "JUST",
                        "==x",
                        "",
                        "AFTER_EMPTY=not listed",
                        "remote_addr=127.0.0.1"};
  const Response response = run_and_check_header(launch);
  // Entries that begin with '=' are dropped; the empty entry ends the listing
  // but the search for the client address goes on past it.
  EXPECT_EQ(response.document,
            expected_head(response.expires) + two_cells("LATIN", "\xE9t\xE9 \x80\xFF") +
                two_cells("UTF8", "\xC3\xA9t\xC3\xA9") + two_cells("\xFF\xFE", "high") +
                one_cell("JUST") + host_name_row(name) + kExpectedTail);
}

class OfflineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/unshare";
    Launch probe;
    probe.wrapper = {"/usr/bin/unshare", "-n", "--"};
    probe.environment = {"A=1"};
    const Outcome outcome = launch(program_path(), probe);
    if (!outcome.exited || outcome.exit_code != 0)
      GTEST_SKIP() << "cannot make an empty network namespace here: " << outcome.err;
  }
};

// Addresses that /etc/hosts does not hold are looked up with no network at
// all, so no query ever leaves the machine.
TEST_F(OfflineTest, AddressWithoutANameGivesNoRow) {
  for (const char* address : {"192.0.2.1", "not an address", "999.1.1.1"}) {
    Launch launch;
    launch.wrapper = {"/usr/bin/unshare", "-n", "--"};
    launch.environment = {std::string("REMOTE_ADDR=") + address};
    const Response response = run_and_check_header(launch);
    EXPECT_EQ(response.document,
              expected_head(response.expires) + two_cells("REMOTE_ADDR", address) + kExpectedTail)
        << address;
  }
}

TEST_F(OfflineTest, EmptyAddressGivesNoRow) {
  Launch launch;
  launch.wrapper = {"/usr/bin/unshare", "-n", "--"};
  launch.environment = {"REMOTE_ADDR=", "REMOTE_ADDR=127.0.0.1"};
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document, expected_head(response.expires) + two_cells("REMOTE_ADDR", "") +
                                   two_cells("REMOTE_ADDR", "127.0.0.1") + kExpectedTail);
}

// An environment of about `total` bytes in values of `value_size` bytes, with
// markup and line ends sprinkled through it.
std::vector<std::string> big_environment(std::size_t total, std::size_t value_size,
                                         std::string* rows) {
  std::vector<std::string> environment;
  for (std::size_t i = 0; i * value_size < total; ++i) {
    std::string value, escaped;
    for (std::size_t j = 0; j < value_size; ++j) {
      const char byte = "abc&<>=\n;xyz"[(i * 7 + j * 13) % 12];
      value += byte;
      escaped += byte == '&'    ? "&amp;"
                 : byte == '<'  ? "&lt;"
                 : byte == '>'  ? "&gt;"
                 : byte == '\n' ? "\r\n"
                                : std::string(1, byte);
    }
    const std::string name = "BIG" + std::to_string(i);
    environment.push_back(name + "=" + value);
    *rows += two_cells(name, escaped);
  }
  return environment;
}

TEST(EndToEndPosixTest, EnvironmentNearTheKernelLimitComesOutWhole) {
  std::string rows;
  Launch launch;
  // Each string may hold 128 KiB with its terminator; all of them about 2 MiB.
  launch.environment = big_environment(1800 * 1024, 128 * 1024 - 16, &rows);
  const Response response = run_and_check_header(launch);
  expect_same_bytes(response.document, expected_head(response.expires) + rows + kExpectedTail);
}

TEST(EndToEndPosixTest, ReaderTakingOneByteAtATimeGetsTheWholePage) {
  Launch launch;
  launch.environment = {"A=<1>", "B=2\n3"};
  launch.slow_bytes = 1 << 20;
  const Response response = run_and_check_header(launch);
  EXPECT_EQ(response.document, expected_head(response.expires) + two_cells("A", "&lt;1&gt;") +
                                   two_cells("B", "2\r\n3") + kExpectedTail);
}

// A non-blocking pipe that fills up: the program waits for the reader
// instead of losing what does not fit.
TEST(EndToEndPosixTest, FullNonBlockingPipeStillGetsTheWholePage) {
  std::string rows;
  Launch launch;
  launch.environment = big_environment(512 * 1024, 16 * 1024, &rows);
  launch.non_blocking = true;
  launch.slow_bytes = 4096;
  const Response response = run_and_check_header(launch);
  expect_same_bytes(response.document, expected_head(response.expires) + rows + kExpectedTail);
}

struct FaultCase {
  const char* name;
  StdoutMode mode;
  std::size_t hang_up_after;
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class BrokenStdoutTest : public ::testing::TestWithParam<FaultCase> {};

// Whatever happens to standard output, the run ends normally and quietly.
TEST_P(BrokenStdoutTest, ExitsZeroAndSaysNothing) {
  std::string rows;
  Launch launch;
  launch.environment = big_environment(1024 * 1024, 16 * 1024, &rows);
  // With a lookup to make after the table, where /etc/hosts answers it.
  if (!hosts_file_name_of_loopback().empty()) launch.environment.push_back("REMOTE_ADDR=127.0.0.1");
  launch.stdout_mode = GetParam().mode;
  launch.hang_up_after = GetParam().hang_up_after;
  const Outcome outcome = varpage::testing::launch(program_path(), launch);
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_TRUE(outcome.exited) << "killed by a signal";
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenStdoutTest,
    ::testing::Values(FaultCase{"Closed", StdoutMode::kClosed, 0},
                      FaultCase{"DevFull", StdoutMode::kDevFull, 0},
                      FaultCase{"ReaderGoneAtOnce", StdoutMode::kHangUpEarly, 0},
                      FaultCase{"ReaderGoneMidPage", StdoutMode::kHangUpEarly, 100000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace varpage::testing
