# `make package`: a Debian package of the installed layout (TalvexInstall).
# Its dependencies come from the libraries the programs link (dpkg-shlibdeps);
# the window program also needs Qt's platform plugins, which the Qt
# libraries only recommend, and F1 opens help with xdg-open.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvex)
set(CPACK_PACKAGE_VENDOR "TALVEX developers")
set(CPACK_PACKAGE_CONTACT "TALVEX developers <talvex@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "flash programmer for ZaRQ microcontrollers over their serial bootloader")
# The extended description; CPack puts the summary above it.
set(CPACK_PACKAGE_DESCRIPTION
    "TALVEX writes Intel HEX images into the flash of ZaRQ-family
microcontrollers through the chip's built-in serial bootloader: it waits
for the bootloader's identification, checks the part, erases, programs and
verifies the flash, can protect flash units with a key, and starts the
program on the target.
.
The package holds the window program (where built), the console program
talvex-cli for batch files and production lines, whose exit code tells how
a run went, and zarq-sim, an emulated target for dry runs without
hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TARGET talvex)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
endif()

# The package installs with DESTDIR, so that the install sees the prefix
# /usr itself and puts the site defaults into /etc/talvex/ (TalvexInstall).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
# The site defaults are a conffile: an administrator's changes survive
# upgrades, and a purge takes them. The maintainer scripts leave users'
# settings alone and clear what older builds left in the program folder.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/cmake/debian/conffiles;${CMAKE_SOURCE_DIR}/cmake/debian/postinst;${CMAKE_SOURCE_DIR}/cmake/debian/postrm")

include(CPack)
