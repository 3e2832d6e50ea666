# The files a package carries besides the program, made from the two files a
# developer edits: LICENSE and CHANGELOG.md. Nothing here is written by hand
# twice, so a package can never disagree with the repository.

# The copyright line of LICENSE ("Copyright (c) 2026 The varpage developers"),
# for the Debian copyright file and the Windows version resource.
file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" varpage_copyright_line REGEX "^Copyright ")
if(NOT varpage_copyright_line MATCHES "^Copyright \\(c\\) ([0-9][-0-9, ]*[0-9]) (.+)$")
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) YEARS HOLDERS\" line")
endif()
set(VARPAGE_COPYRIGHT_YEARS "${CMAKE_MATCH_1}")
set(VARPAGE_AUTHORS "${CMAKE_MATCH_2}")
set(VARPAGE_COPYRIGHT "Copyright (c) ${VARPAGE_COPYRIGHT_YEARS} ${VARPAGE_AUTHORS}")
set(VARPAGE_LICENSE_NAME "MIT License")

set_property(
  DIRECTORY "${PROJECT_SOURCE_DIR}"
  APPEND
  PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/CHANGELOG.md")

include(${CMAKE_CURRENT_LIST_DIR}/changelog.cmake)

# Writes a file only when its text changes, so a reconfigure touches nothing.
function(varpage_write_if_changed path text)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

set(maintainer_form "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
# The default, from the variables Debian's tools read: DEBEMAIL alone may
# already be "Name <address>".
set(VARPAGE_MAINTAINER_DEFAULT "")
if("$ENV{DEBEMAIL}" MATCHES "${maintainer_form}")
  set(VARPAGE_MAINTAINER_DEFAULT "$ENV{DEBEMAIL}")
elseif(NOT "$ENV{DEBFULLNAME}" STREQUAL "" AND NOT "$ENV{DEBEMAIL}" STREQUAL "")
  set(VARPAGE_MAINTAINER_DEFAULT "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
endif()
if(NOT VARPAGE_MAINTAINER_DEFAULT STREQUAL "" AND NOT VARPAGE_MAINTAINER_DEFAULT MATCHES
                                                  "${maintainer_form}")
  # Only packages need it: a build goes on without.
  message(WARNING "DEBFULLNAME and DEBEMAIL do not make a \"Name <address>\"; "
                  "set VARPAGE_MAINTAINER to make packages")
  set(VARPAGE_MAINTAINER_DEFAULT "")
endif()
set(VARPAGE_MAINTAINER
    "${VARPAGE_MAINTAINER_DEFAULT}"
    CACHE STRING "Who makes the packages, \"Name <address>\" (default: $DEBFULLNAME <$DEBEMAIL>)")
if(NOT VARPAGE_MAINTAINER STREQUAL "" AND NOT VARPAGE_MAINTAINER MATCHES "${maintainer_form}")
  set(wrong "${VARPAGE_MAINTAINER}")
  # Not kept, so the next configure starts from the default again.
  unset(VARPAGE_MAINTAINER CACHE)
  message(FATAL_ERROR "VARPAGE_MAINTAINER reads \"Name <address>\", not \"${wrong}\"")
endif()

set(VARPAGE_RPM_RELEASE 1)
set(release_dir "${PROJECT_BINARY_DIR}/release")
file(MAKE_DIRECTORY "${release_dir}")

# The Debian copyright file, in the machine-readable format, with the licence
# text of LICENSE below its copyright line.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" license_text)
string(REGEX REPLACE "^.*\nCopyright [^\n]*\n\n" "" license_terms "${license_text}")
string(REGEX REPLACE "\n+$" "" license_terms "${license_terms}")
string(REGEX REPLACE "\n\n" "\n.\n" license_terms "${license_terms}")
string(REGEX REPLACE "\n" "\n " license_terms "${license_terms}")
varpage_write_if_changed(
  "${release_dir}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${VARPAGE_COPYRIGHT_YEARS} ${VARPAGE_AUTHORS}
License: Expat
 ${license_terms}
")

# The changelogs name the maintainer, so there are none without one; the
# packages' configuration then says what is missing. Only the Debian package
# and the RPM carry them.
if(NOT WIN32 AND NOT VARPAGE_MAINTAINER STREQUAL "")
  varpage_changelogs("${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${VARPAGE_MAINTAINER}" "${VARPAGE_RPM_RELEASE}"
                     debian_changelog rpm_changelog newest_release)
  if(NOT newest_release STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "CHANGELOG.md: the newest release is \"${newest_release}\", "
                        "the project's version is ${PROJECT_VERSION}")
  endif()
  varpage_write_if_changed("${release_dir}/changelog" "${debian_changelog}")
  varpage_write_if_changed("${release_dir}/rpm-changelog" "${rpm_changelog}")
  # Debian wants it at the highest compression and without a time stamp, so
  # the same sources make the same package. Made again only when the
  # changelog was.
  if("${release_dir}/changelog" IS_NEWER_THAN "${release_dir}/changelog.gz")
    execute_process(
      COMMAND gzip -9n -c
      INPUT_FILE "${release_dir}/changelog"
      OUTPUT_FILE "${release_dir}/changelog.gz"
      RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip -9n failed on ${release_dir}/changelog: ${gzip_result}")
    endif()
  endif()
endif()
