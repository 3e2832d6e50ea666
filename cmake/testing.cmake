# GoogleTest, and how its test programs are registered with CTest.

set(VARPAGE_GTEST_SOURCE_DIR
    /usr/src/googletest
    CACHE PATH "GoogleTest sources, used where no installed GoogleTest fits the target")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest CONFIG QUIET)
endif()
if(NOT GTest_FOUND)
  # Said here, before add_subdirectory would stop with no word of what is
  # missing or where it comes from.
  if(NOT EXISTS "${VARPAGE_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(
      FATAL_ERROR
        "GoogleTest, which the tests need, is not installed: no GoogleTest package "
        "was found, and no sources are at ${VARPAGE_GTEST_SOURCE_DIR}.\n"
        "On Debian or Ubuntu: apt-get install googletest libgtest-dev\n"
        "(googletest holds the sources the Windows builds compile; libgtest-dev the "
        "native libraries.) Or point VARPAGE_GTEST_SOURCE_DIR at GoogleTest's sources, "
        "or configure with -DBUILD_TESTING=OFF to build the program alone.")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VARPAGE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

include(GoogleTest)

# Tests that run a cross-built program need the emulator (Wine): the label
# lets a machine that cannot run it leave them out and say so.
function(varpage_runs_emulated)
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${ARGN} PROPERTIES LABELS emulated)
  endif()
endfunction()

# Native test programs are split into one CTest test per case. A cross-built
# one runs whole under CMAKE_CROSSCOMPILING_EMULATOR: starting the emulator
# once per case would cost more than the cases.
function(varpage_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    varpage_runs_emulated(${target})
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()
