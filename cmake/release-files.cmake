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

# Word-wraps TEXT to 78 columns, the first line after FIRST, the others after
# REST, and appends the lines to the variable named by OUT.
function(varpage_wrap out text first rest)
  string(REGEX REPLACE "[ \t]+" ";" words "${text}")
  set(line "${first}")
  set(line_has_word FALSE)
  set(result "")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if(line_has_word AND length GREATER 78)
      string(APPEND result "${line}\n")
      set(line "${rest}${word}")
    elseif(line_has_word)
      string(APPEND line " ${word}")
    else()
      string(APPEND line "${word}")
    endif()
    set(line_has_word TRUE)
  endforeach()
  string(APPEND result "${line}\n")
  set(${out} "${${out}}${result}" PARENT_SCOPE)
endfunction()

# The day of the week of a date, as Debian and RPM changelogs name it.
function(varpage_weekday out year month day)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  if(month LESS 3)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR weekday "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
  set(names Sun Mon Tue Wed Thu Fri Sat)
  list(GET names ${weekday} name)
  set(${out} "${name}" PARENT_SCOPE)
endfunction()

# Reads CHANGELOG.md and sets, in the caller's scope, DEBIAN_OUT and RPM_OUT to
# the same releases, newest first, as a Debian changelog and as the body of an
# RPM %changelog, signed by MAINTAINER ("Name <address>"). The Unreleased
# section is no release and is left out.
function(varpage_changelogs markdown maintainer rpm_release debian_out rpm_out)
  file(READ "${markdown}" content)
  # One list element per line. A ';' in the text would split an element, so
  # it travels as a byte that Markdown never holds.
  string(ASCII 1 semicolon)
  string(REPLACE ";" "${semicolon}" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")

  set(debian "")
  set(rpm "")
  set(version "")
  set(newest "")
  set(item "")
  # A heading after the last line closes the last item and release.
  list(APPEND lines "## end")
  foreach(line IN LISTS lines)
    string(REPLACE "${semicolon}" ";" line "${line}")
    # A list item continues on lines indented under it.
    if(NOT item STREQUAL "" AND line MATCHES "^  +([^ ].*)$")
      string(APPEND item " ${CMAKE_MATCH_1}")
      continue()
    endif()
    if(NOT item STREQUAL "")
      string(REPLACE "`" "" item "${item}")
      varpage_wrap(debian "${item}" "  * " "    ")
      varpage_wrap(rpm "${item}" "- " "  ")
      set(item "")
    endif()

    if(line MATCHES "^## ")
      if(NOT version STREQUAL "")
        string(APPEND debian "\n -- ${maintainer}  ${debian_date}\n\n")
        string(APPEND rpm "\n")
      endif()
      set(version "")
      if(line MATCHES "^## \\[([0-9.]+)\\] - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
        set(version "${CMAKE_MATCH_1}")
        set(year "${CMAKE_MATCH_2}")
        set(month_number "${CMAKE_MATCH_3}")
        set(day "${CMAKE_MATCH_4}")
        math(EXPR month_number "${month_number}")
        math(EXPR day "${day}")
        if(month_number LESS 1
           OR month_number GREATER 12
           OR day LESS 1
           OR day GREATER 31)
          message(FATAL_ERROR "CHANGELOG.md: no such date in \"${line}\"")
        endif()
        varpage_weekday(weekday ${year} ${month_number} ${day})
        set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
        math(EXPR month_index "${month_number} - 1")
        list(GET months ${month_index} month)
        if(day LESS 10)
          set(day2 "0${day}")
        else()
          set(day2 "${day}")
        endif()
        # Releases carry a date, not a time: noon UTC.
        set(debian_date "${weekday}, ${day2} ${month} ${year} 12:00:00 +0000")
        if(newest STREQUAL "")
          set(newest "${version}")
        endif()
        string(APPEND debian "varpage (${version}) unstable; urgency=medium\n")
        string(APPEND rpm "* ${weekday} ${month} ${day2} ${year} ${maintainer} - ${version}-${rpm_release}\n")
      elseif(NOT line MATCHES "^## (\\[Unreleased\\]|end)$")
        message(FATAL_ERROR "CHANGELOG.md: a release heading reads \"## [VERSION] - YYYY-MM-DD\", not \"${line}\"")
      endif()
    elseif(version STREQUAL "")
      # The title, the introduction and the Unreleased section.
    elseif(line MATCHES "^### (.+)$")
      string(APPEND debian "\n  ${CMAKE_MATCH_1}:\n")
      string(APPEND rpm "${CMAKE_MATCH_1}:\n")
    elseif(line MATCHES "^- (.+)$")
      set(item "${CMAKE_MATCH_1}")
    elseif(NOT line STREQUAL "")
      message(FATAL_ERROR "CHANGELOG.md: under ${version}, a line that is neither a heading nor a list item: \"${line}\"")
    endif()
  endforeach()

  if(NOT newest STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "CHANGELOG.md: the newest release is \"${newest}\", the project's version is ${PROJECT_VERSION}")
  endif()
  string(REGEX REPLACE "\n+$" "\n" debian "${debian}")
  string(REGEX REPLACE "\n+$" "\n" rpm "${rpm}")
  set(${debian_out} "${debian}" PARENT_SCOPE)
  set(${rpm_out} "${rpm}" PARENT_SCOPE)
endfunction()

set(VARPAGE_MAINTAINER_DEFAULT "")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(VARPAGE_MAINTAINER_DEFAULT "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
endif()
set(VARPAGE_MAINTAINER
    "${VARPAGE_MAINTAINER_DEFAULT}"
    CACHE STRING "Who makes the packages, \"Name <address>\" (default: $DEBFULLNAME <$DEBEMAIL>)")
if(NOT VARPAGE_MAINTAINER STREQUAL "" AND NOT VARPAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "VARPAGE_MAINTAINER reads \"Name <address>\", not \"${VARPAGE_MAINTAINER}\"")
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
                     debian_changelog rpm_changelog)
  varpage_write_if_changed("${release_dir}/changelog" "${debian_changelog}")
  varpage_write_if_changed("${release_dir}/rpm-changelog" "${rpm_changelog}")
  # Debian wants it at the highest compression and without a time stamp, so
  # the same sources make the same package.
  execute_process(
    COMMAND gzip -9n -c
    INPUT_FILE "${release_dir}/changelog"
    OUTPUT_FILE "${release_dir}/changelog.gz"
    RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip -9n failed on ${release_dir}/changelog: ${gzip_result}")
  endif()
endif()
