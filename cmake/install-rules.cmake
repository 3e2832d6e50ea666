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
  # Named for the Windows the program runs on, as Windows downloads are.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
else()
  set(CPACK_GENERATOR DEB)
endif()

include(CPack)
