# Where `cmake --install` puts the program, and the packages CPack makes.
#
# The install rules come in components, because each package lays the same
# files out its own way:
#   program  the program, in VARPAGE_CGI_BIN_DIR         (cmake --install, .deb, zip)
#   docs     licence and changelog as upstream ships them,
#            and on Linux the manual                      (cmake --install, zip)
#   deb      Debian's copyright and changelog.gz, the
#            manual gzipped, lintian's overrides          (.deb only)
#   rpm      program, licence, changelog and the manual
#            where Fedora and RHEL put them               (RPM only)
# packaging/cpack-options.cmake picks the components for each package. A rule
# that names no component goes with the program.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME program)

if(WIN32)
  set(default_cgi_bin_dir ".")
else()
  # Debian's and most distributions' CGI directory. Not CMAKE_INSTALL_LIBDIR:
  # that is multiarch on Debian, and servers look in lib/cgi-bin.
  set(default_cgi_bin_dir "lib/cgi-bin")
endif()
set(VARPAGE_CGI_BIN_DIR
    "${default_cgi_bin_dir}"
    CACHE STRING "Where the program is installed: relative to the prefix, or absolute")

install(
  TARGETS varpage
  RUNTIME DESTINATION "${VARPAGE_CGI_BIN_DIR}"
  COMPONENT program)

# systemd units that run the same program as a FastCGI server (Linux only),
# installed disabled. The service names the program where this install puts
# it, so its path is filled in when installing: CPack and `--prefix` choose
# the prefix only then. (No plain name such as "program" for its variable:
# the install script compares component names with if(), which would read
# it.)
if(NOT WIN32)
  set(VARPAGE_SYSTEMD_UNIT_DIR
      "lib/systemd/system"
      CACHE STRING "Where the systemd units are installed: relative to the prefix, or absolute")
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/systemd/varpage.socket"
          DESTINATION "${VARPAGE_SYSTEMD_UNIT_DIR}")
  set(service_in "${PROJECT_SOURCE_DIR}/packaging/systemd/varpage.service.in")
  set(service_out "${PROJECT_BINARY_DIR}/packaging/varpage.service")
  install(
    CODE "
    set(VARPAGE_PROGRAM \"${VARPAGE_CGI_BIN_DIR}/varpage\")
    if(NOT IS_ABSOLUTE \"\${VARPAGE_PROGRAM}\")
      set(VARPAGE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/\${VARPAGE_PROGRAM}\")
    endif()
    configure_file(\"${service_in}\" \"${service_out}\" @ONLY)")
  install(FILES "${service_out}" DESTINATION "${VARPAGE_SYSTEMD_UNIT_DIR}")
  # Drop-ins that put the units on TCP, for a backend of a web server on
  # another machine. Not where systemd reads them: each names addresses the
  # administrator must put in, so docs/servers.md has them copied to /etc.
  foreach(unit socket service)
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/systemd/varpage.${unit}.d/tcp.conf"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/varpage/systemd/varpage.${unit}.d")
  endforeach()
endif()

if(WIN32)
  # Beside the program, under names Windows opens with a double click, and
  # with CR LF line ends, which older Notepads need to show lines at all.
  configure_file("${PROJECT_SOURCE_DIR}/packaging/README-windows.txt"
                 "${PROJECT_BINARY_DIR}/packaging/README.txt" @ONLY NEWLINE_STYLE CRLF)
  configure_file("${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_BINARY_DIR}/packaging/LICENSE.txt" @ONLY
                 NEWLINE_STYLE CRLF)
  install(
    FILES "${PROJECT_BINARY_DIR}/packaging/README.txt" "${PROJECT_BINARY_DIR}/packaging/LICENSE.txt"
    DESTINATION .
    COMPONENT docs)
else()
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT docs)

  # The manual, varpage(8). Its footer names the version and the day that
  # version was released, as CHANGELOG.md dates it: the same sources make the
  # same page, whenever they are built.
  string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
  file(STRINGS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" release_heading
       REGEX "^## \\[${version_pattern}\\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
  if(NOT release_heading MATCHES " - ([0-9-]+)$")
    message(FATAL_ERROR "CHANGELOG.md has no heading \"## [${PROJECT_VERSION}] - YYYY-MM-DD\": "
                        "the manual's footer carries the date of the version it describes")
  endif()
  set(VARPAGE_MANUAL_DATE "${CMAKE_MATCH_1}")
  set(manual "${PROJECT_BINARY_DIR}/docs/varpage.8")
  configure_file("${PROJECT_SOURCE_DIR}/docs/varpage.8.in" "${manual}" @ONLY)
  # The packages carry it gzipped at the highest compression, with no name
  # and no time stamp, as Debian wants it; made again only when the page
  # changed (configure_file leaves an unchanged page untouched).
  if("${manual}" IS_NEWER_THAN "${manual}.gz")
    execute_process(
      COMMAND gzip -9n -c
      INPUT_FILE "${manual}"
      OUTPUT_FILE "${manual}.gz"
      RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip -9n failed on ${manual}: ${gzip_result}")
    endif()
  endif()
  install(FILES "${manual}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8" COMPONENT docs)
  install(
    FILES "${manual}.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man8"
    COMPONENT deb
    EXCLUDE_FROM_ALL)
  install(
    FILES "${PROJECT_SOURCE_DIR}/packaging/varpage.lintian-overrides"
    DESTINATION share/lintian/overrides
    RENAME varpage
    COMPONENT deb
    EXCLUDE_FROM_ALL)
  install(
    FILES "${manual}.gz"
    DESTINATION /usr/share/man/man8
    COMPONENT rpm
    EXCLUDE_FROM_ALL)

  install(
    FILES "${PROJECT_BINARY_DIR}/release/copyright" "${PROJECT_BINARY_DIR}/release/changelog.gz"
    DESTINATION "share/doc/${PROJECT_NAME}"
    COMPONENT deb
    EXCLUDE_FROM_ALL)

  # Absolute: the RPM's layout does not follow the install prefix.
  install(
    TARGETS varpage
    RUNTIME DESTINATION /var/www/cgi-bin
    COMPONENT rpm
    EXCLUDE_FROM_ALL)
  install(
    FILES "${PROJECT_SOURCE_DIR}/LICENSE"
    DESTINATION "/usr/share/licenses/${PROJECT_NAME}"
    COMPONENT rpm
    EXCLUDE_FROM_ALL)
  install(
    FILES "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
    DESTINATION "/usr/share/doc/${PROJECT_NAME}"
    COMPONENT rpm
    EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME varpage)
set(CPACK_PACKAGE_VENDOR "${VARPAGE_AUTHORS}")
set(CPACK_PACKAGE_CONTACT "${VARPAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "varpage answers every request with an HTML page listing the environment\n\
the web server started it with, name and value, escaped, in the order the\n\
server set them, and the client's host name where a reverse lookup of\n\
REMOTE_ADDR finds one. Use it behind lighttpd, Apache httpd, nginx with\n\
fcgiwrap or any CGI-capable server to see exactly what the server passes.\n\
Started with a listening socket as standard input it serves the same page\n\
over FastCGI; the systemd units varpage.socket and varpage.service (not\n\
enabled) run it that way.\n\
The page shows request headers and the server's environment: do not expose\n\
it publicly.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack-options.cmake")
# A package made of components is still one package.
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd | apache2 | httpd-cgi")

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE "${VARPAGE_RPM_RELEASE}")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_CHANGELOG_FILE "${PROJECT_BINARY_DIR}/release/rpm-changelog")
# Named here, the program is an ordinary executable and the rest licence and
# documentation: CPack would otherwise mark a file installed to an absolute
# path as %config.
set(CPACK_RPM_USER_FILELIST
    "%attr(0755,root,root) /var/www/cgi-bin/varpage" "%license /usr/share/licenses/${PROJECT_NAME}/LICENSE"
    "%doc /usr/share/doc/${PROJECT_NAME}/CHANGELOG.md" "%doc /usr/share/man/man8/varpage.8.gz")
# Directories the system and the web server own; the package owns only its
# files in them.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /var /var/www /var/www/cgi-bin /usr/share/licenses
                                                  /usr/share/man /usr/share/man/man8)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # Named for the Windows the program runs on, as Windows downloads are.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
endif()

# The source tarball: what the repository holds, without builds, version
# control or editors' files. The patterns start at the source directory, so a
# checkout that itself lies under some .../build/... is packed all the same.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}")
string(REGEX REPLACE "([][+.*?()^$|\\])" "\\\\\\1" source_dir "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_IGNORE_FILES
    "^${source_dir}/build/"
    "^${source_dir}/\\.git(/|$)"
    "^${source_dir}/\\.(vscode|idea|cache)/"
    "~$"
    "/\\.#[^/]*$"
    "/#[^/]*#$"
    "\\.sw[a-p]$"
    "\\.orig$"
    "\\.rej$"
    "/(crash|leak|timeout)-[^/]*$")

# CPack writes these values into files of CMake code; this keeps the
# backslashes and newlines above as they are.
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
