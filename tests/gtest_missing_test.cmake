# Configures the project where GoogleTest cannot be found, as on a machine
# without its packages (no installed package is looked for, and the sources
# are pointed at a folder that does not exist), and checks that CMake says
# which packages to install instead of failing on a missing directory; and
# that the way out it offers, a build without the tests, configures.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX=... -P gtest_missing_test.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(missing "${WORK_DIR}/no-googletest")

set(failed FALSE)
# configure NAME BUILD_TESTING: sets ${NAME}_status and ${NAME}_output.
function(configure name testing)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/${name}" -G "${GENERATOR}"
            "-DCMAKE_CXX_COMPILER=${CXX}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
            "-DVARPAGE_GTEST_SOURCE_DIR=${missing}" "-DBUILD_TESTING=${testing}"
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    RESULT_VARIABLE status)
  set(${name}_status "${status}" PARENT_SCOPE)
  set(${name}_output "${out}${err}" PARENT_SCOPE)
endfunction()

configure(with_tests ON)
# CMake wraps long messages: compare with the line ends and indentation gone.
string(REGEX REPLACE "[ \n]+" " " said "${with_tests_output}")
if(with_tests_status EQUAL 0)
  message("FAILED: configuring with the tests and without GoogleTest succeeded")
  set(failed TRUE)
endif()
foreach(
  needle
  "apt-get install googletest libgtest-dev"
  "no sources are at ${missing}"
  "-DBUILD_TESTING=OFF")
  string(FIND "${said}" "${needle}" at)
  if(at EQUAL -1)
    message("FAILED: configuring without GoogleTest does not say \"${needle}\"")
    set(failed TRUE)
  else()
    message("ok: configuring without GoogleTest says \"${needle}\"")
  endif()
endforeach()
string(FIND "${said}" "not an existing directory" at)
if(at EQUAL -1)
  message("ok: it stops before add_subdirectory")
else()
  message("FAILED: it still stops on the missing directory")
  set(failed TRUE)
endif()

configure(without_tests OFF)
if(without_tests_status EQUAL 0)
  message("ok: -DBUILD_TESTING=OFF configures without GoogleTest")
else()
  message("FAILED: -DBUILD_TESTING=OFF without GoogleTest: ${without_tests_output}")
  set(failed TRUE)
endif()

if(failed)
  message(FATAL_ERROR "configuring without GoogleTest: see above")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
