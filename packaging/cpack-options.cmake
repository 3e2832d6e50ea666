# Read by cpack once it knows which package it makes (CPACK_PROJECT_CONFIG_FILE):
# each package takes the install components laid out its way.

if(CPACK_GENERATOR MATCHES "^(DEB|RPM)$" AND CPACK_PACKAGE_CONTACT STREQUAL "")
  # A distribution package names who made it, in its metadata and changelog.
  message(FATAL_ERROR "A ${CPACK_GENERATOR} package needs its maintainer: configure with "
                      "-DVARPAGE_MAINTAINER=\"Your Name <you@example.org>\" "
                      "(or set DEBFULLNAME and DEBEMAIL) and run cpack again.")
endif()

if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL program deb)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_RPM_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL rpm)
  # Its files lie in /usr and /var/www alike: no one prefix to move.
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  set(CPACK_RPM_SPEC_MORE_DEFINE "Packager: ${CPACK_PACKAGE_CONTACT}")
endif()
