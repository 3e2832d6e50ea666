#include "environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varpage {
namespace {

std::vector<std::string> snapshot_of(std::vector<const char*> block) {
  block.push_back(nullptr);
  std::vector<std::string> result;
  const EnvironmentSnapshot snapshot(block.data());
  for (const char* entry : snapshot.entries()) result.emplace_back(entry);
  return result;
}

TEST(EnvironmentTest, KeepsOrderAndDropsOnlyEntriesStartingWithEquals) {
  EXPECT_EQ(snapshot_of({"B=2", "=C:=C:\\work", "A=1", "", "=", "NOEQUALS", "X==y", "=::=::\\"}),
            (std::vector<std::string>{"B=2", "A=1", "", "NOEQUALS", "X==y"}));
}

TEST(EnvironmentTest, EmptyAndMissingBlocksGiveEmptyLists) {
  EXPECT_TRUE(snapshot_of({}).empty());
  EXPECT_TRUE(EnvironmentSnapshot(nullptr).entries().empty());
}

}  // namespace
}  // namespace varpage
