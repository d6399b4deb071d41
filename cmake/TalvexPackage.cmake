# `make package`: Debian packages of the installed layout (TalvexInstall), one
# per install component: talvex-cli for a headless station, and talvex, the
# window, on top of it. Their dependencies come from the libraries the
# programs link (dpkg-shlibdeps); the window program also needs Qt's
# platform plugins, which the Qt libraries only recommend, and F1 opens help
# with xdg-open. The programs are stripped, and their debug information goes
# into a -dbgsym package each, found by build id as Debian's own are.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvex)
set(CPACK_PACKAGE_VENDOR "TALVEX developers")
set(CPACK_PACKAGE_CONTACT "TALVEX developers <talvex@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TALVEX_PACKAGE_RELEASE})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The programs are stripped, and their debug information split off, by
# this script, which also makes the -dbgsym packages.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/debian/split-debug-info.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Both packages, and their -dbgsym packages, come from one source.
set(CPACK_DEBIAN_PACKAGE_SOURCE talvex)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL ${TALVEX_CLI_COMPONENT})
if(TARGET talvex)
  list(APPEND CPACK_COMPONENTS_ALL ${TALVEX_WINDOW_COMPONENT})
endif()

# What both packages say of the programs; CPack puts each summary above it.
set(talvex_package_about
    "TALVEX writes Intel HEX images into the flash of ZaRQ-family
microcontrollers through the chip's built-in serial bootloader: it waits
for the bootloader's identification, checks the part, erases, programs and
verifies the flash, can protect flash units with a key, and starts the
program on the target.")

string(TOUPPER ${TALVEX_CLI_COMPONENT} cli)
set(CPACK_DEBIAN_${cli}_PACKAGE_NAME talvex-cli)
set(CPACK_COMPONENT_${cli}_DESCRIPTION
    "ZaRQ flash programmer for the console, without a window
${talvex_package_about}
.
This package holds the console program talvex-cli for batch files and
production lines, whose exit code tells how a run went, zarq-sim, an
emulated target for dry runs without hardware, the part database, the
help pages and the man pages. It needs no graphical libraries; the
window program is in the package talvex.")
# The single talvex package of older versions held these files.
set(CPACK_DEBIAN_${cli}_PACKAGE_BREAKS "talvex (<< ${TALVEX_PACKAGE_VERSION})")
set(CPACK_DEBIAN_${cli}_PACKAGE_REPLACES "talvex (<< ${TALVEX_PACKAGE_VERSION})")
# The site defaults are a conffile: an administrator's changes survive
# upgrades, and a purge takes them. The maintainer scripts leave users'
# settings alone and clear what older builds left in the program folder.
set(CPACK_DEBIAN_${cli}_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/cmake/debian/conffiles;${CMAKE_SOURCE_DIR}/cmake/debian/postinst;${CMAKE_SOURCE_DIR}/cmake/debian/postrm")

if(TARGET talvex)
  string(TOUPPER ${TALVEX_WINDOW_COMPONENT} window)
  set(CPACK_DEBIAN_${window}_PACKAGE_NAME talvex)
  set(CPACK_COMPONENT_${window}_DESCRIPTION
      "ZaRQ flash programmer, the window
${talvex_package_about}
.
This package holds the window program talvex, its desktop entry with the
Intel HEX file type, so that a file manager opens HEX files with it, and
its AppStream metainfo. The console program, the emulated target and the
part database the window works with are in the package talvex-cli.")
  set(CPACK_DEBIAN_${window}_PACKAGE_DEPENDS
      "talvex-cli (= ${TALVEX_PACKAGE_VERSION}), qt6-qpa-plugins")
  set(CPACK_DEBIAN_${window}_PACKAGE_RECOMMENDS "xdg-utils")
endif()

# The package installs with DESTDIR, so that the install sees the prefix
# /usr itself and puts the site defaults into /etc/talvex/ (TalvexInstall).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)

include(CPack)
