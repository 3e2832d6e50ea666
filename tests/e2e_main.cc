#include <gtest/gtest.h>

#include <cstdio>

#include "e2e_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc == 2) {
    varpage::testing::program_path() = argv[1];
  } else if (!GTEST_FLAG_GET(list_tests)) {
    std::fprintf(stderr, "usage: %s [gtest options] PATH-TO-VARPAGE\n", argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
