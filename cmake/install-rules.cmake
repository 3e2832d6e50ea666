# Where `cmake --install` puts the program, and the packages CPack makes.

include(GNUInstallDirs)

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

install(TARGETS varpage RUNTIME DESTINATION "${VARPAGE_CGI_BIN_DIR}")

# systemd units that run the same program as a FastCGI server (Linux only),
# installed disabled. The service names the program where this install puts
# it, so its path is filled in when installing: CPack and `--prefix` choose
# the prefix only then.
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
    set(program \"${VARPAGE_CGI_BIN_DIR}/varpage\")
    if(NOT IS_ABSOLUTE \"\${program}\")
      set(program \"\${CMAKE_INSTALL_PREFIX}/\${program}\")
    endif()
    set(VARPAGE_PROGRAM \"\${program}\")
    configure_file(\"${service_in}\" \"${service_out}\" @ONLY)")
  install(FILES "${service_out}" DESTINATION "${VARPAGE_SYSTEMD_UNIT_DIR}")
endif()

if(WIN32)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/README-windows.txt" DESTINATION .
          RENAME README.txt)
endif()

set(CPACK_PACKAGE_NAME varpage)
set(CPACK_PACKAGE_VENDOR "The varpage developers")
set(CPACK_PACKAGE_CONTACT "The varpage developers <varpage@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "CGI program that shows the environment a web server hands its programs")
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
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd | apache2 | httpd-cgi")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
else()
  set(CPACK_GENERATOR DEB)
endif()

include(CPack)
