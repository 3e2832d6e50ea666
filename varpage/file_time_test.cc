#include "file_time.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace varpage {
namespace {

struct FileTimeCase {
  std::uint64_t file_time;
  std::int64_t seconds;
};

class FileTimeTest : public ::testing::TestWithParam<FileTimeCase> {};

TEST_P(FileTimeTest, ConvertsToSecondsSince1970) {
  EXPECT_EQ(seconds_since_1970(GetParam().file_time), GetParam().seconds);
}

// A 32-bit count of seconds ends at 2038-01-19 03:14:07; the conversion must
// carry on past it.
INSTANTIATE_TEST_SUITE_P(
    Instants, FileTimeTest,
    ::testing::Values(FileTimeCase{116444736000000000, 0},           // 1970-01-01 00:00:00
                      FileTimeCase{116444736009999999, 0},           // rounded down
                      FileTimeCase{126444736000000000, 1000000000},  // 2001-09-09 01:46:40
                      FileTimeCase{137919572470000000, 2147483647},  // 2038-01-19 03:14:07
                      FileTimeCase{137919572480000000, 2147483648},  // one second later
                      FileTimeCase{139848336000000000, 2340360000},  // 2044-02-29 12:00:00
                      FileTimeCase{0, -11644473600}));               // 1601-01-01 00:00:00

}  // namespace
}  // namespace varpage
