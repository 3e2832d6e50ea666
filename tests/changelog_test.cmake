# Turns tests/changelog/CHANGELOG.md into the Debian and RPM changelogs and
# compares them byte for byte with the ones beside it.
#   cmake -DSOURCE_DIR=... -DOUT_DIR=... -P changelog_test.cmake
include("${SOURCE_DIR}/cmake/changelog.cmake")

set(fixture "${SOURCE_DIR}/tests/changelog")
varpage_changelogs("${fixture}/CHANGELOG.md" "Jane Packager <jane@varpage.example.org>" 3 debian rpm newest)
file(MAKE_DIRECTORY "${OUT_DIR}")
file(WRITE "${OUT_DIR}/changelog" "${debian}")
file(WRITE "${OUT_DIR}/rpm-changelog" "${rpm}")

set(failed FALSE)
foreach(name changelog rpm-changelog)
  file(READ "${fixture}/${name}" expected)
  file(READ "${OUT_DIR}/${name}" made)
  if(made STREQUAL expected)
    message("ok: ${name}")
  else()
    message("FAILED: ${name} differs from ${fixture}/${name}:\n${made}")
    set(failed TRUE)
  endif()
endforeach()
if(newest STREQUAL "2.1.0.0")
  message("ok: newest release 2.1.0.0")
else()
  message("FAILED: newest release \"${newest}\", not 2.1.0.0")
  set(failed TRUE)
endif()
# dpkg reads every entry of the Debian one, without a complaint.
find_program(dpkg_parsechangelog dpkg-parsechangelog)
if(dpkg_parsechangelog)
  execute_process(
    COMMAND "${dpkg_parsechangelog}" -l "${OUT_DIR}/changelog" --all --format rfc822
    OUTPUT_VARIABLE parsed
    ERROR_VARIABLE complaints
    RESULT_VARIABLE status)
  string(REGEX MATCHALL "\nVersion: [^\n]*" versions "\n${parsed}")
  if(status EQUAL 0
     AND complaints STREQUAL ""
     AND versions STREQUAL "\nVersion: 2.1.0.0;\nVersion: 2.0.0.0;\nVersion: 1.9.0.0")
    message("ok: dpkg-parsechangelog reads three entries")
  else()
    message("FAILED: dpkg-parsechangelog (${status}): ${complaints}${parsed}")
    set(failed TRUE)
  endif()
else()
  message("(no dpkg-parsechangelog: the Debian changelog is compared, not parsed)")
endif()

if(failed)
  message(FATAL_ERROR "the changelogs made from ${fixture}/CHANGELOG.md are wrong")
endif()
