# CHANGELOG.md, in the Keep a Changelog style, turned into the changelogs
# Debian and RPM packages carry. Functions only: release-files.cmake calls them
# at configure time, tests/changelog_test.cmake on a fixture.

# CMake lists split at ';' and not inside brackets: text on its way through a
# list carries these three as bytes Markdown never holds.
string(ASCII 1 varpage_semicolon)
string(ASCII 2 varpage_open_bracket)
string(ASCII 3 varpage_close_bracket)
macro(varpage_list_safe var)
  string(REPLACE ";" "${varpage_semicolon}" ${var} "${${var}}")
  string(REPLACE "[" "${varpage_open_bracket}" ${var} "${${var}}")
  string(REPLACE "]" "${varpage_close_bracket}" ${var} "${${var}}")
endmacro()
macro(varpage_list_unsafe var)
  string(REPLACE "${varpage_semicolon}" ";" ${var} "${${var}}")
  string(REPLACE "${varpage_open_bracket}" "[" ${var} "${${var}}")
  string(REPLACE "${varpage_close_bracket}" "]" ${var} "${${var}}")
endmacro()

# Word-wraps TEXT to 78 columns, the first line after FIRST, the others after
# REST, and appends the lines to the variable named by OUT.
function(varpage_wrap out text first rest)
  varpage_list_safe(text)
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
  varpage_list_unsafe(result)
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
# RPM %changelog, signed by MAINTAINER ("Name <address>"), and NEWEST_OUT to
# the newest release's version. The Unreleased section is no release and is
# left out.
function(varpage_changelogs markdown maintainer rpm_release debian_out rpm_out newest_out)
  file(READ "${markdown}" content)
  # One list element per line.
  varpage_list_safe(content)
  string(REPLACE "\n" ";" lines "${content}")

  set(debian "")
  set(rpm "")
  set(version "")
  set(newest "")
  set(item "")
  # A heading after the last line closes the last item and release.
  list(APPEND lines "## end")
  foreach(line IN LISTS lines)
    varpage_list_unsafe(line)
    # A list item continues on lines indented under it.
    if(NOT item STREQUAL "" AND line MATCHES "^  +([^ ].*)$")
      string(APPEND item " ${CMAKE_MATCH_1}")
      continue()
    endif()
    if(NOT item STREQUAL "")
      string(REPLACE "`" "" item "${item}")
      varpage_wrap(debian "${item}" "  * " "    ")
      # rpmbuild expands macros in %changelog: a '%' of the text is written twice.
      string(REPLACE "%" "%%" rpm_item "${item}")
      varpage_wrap(rpm "${rpm_item}" "- " "  ")
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

  string(REGEX REPLACE "\n+$" "\n" debian "${debian}")
  string(REGEX REPLACE "\n+$" "\n" rpm "${rpm}")
  set(${debian_out} "${debian}" PARENT_SCOPE)
  set(${rpm_out} "${rpm}" PARENT_SCOPE)
  set(${newest_out} "${newest}" PARENT_SCOPE)
endfunction()
