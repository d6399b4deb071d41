# The installed layout. TALVEX finds its part database, its sample image and
# its help pages beside its own executable, so everything it runs with goes
# into one program folder; PREFIX/bin only holds links into it.
#
#   PREFIX/lib/talvex/     talvex, talvex-cli, zarq-sim, zelchip.ini,
#                          sample.hex, QV_P.html, QVC_B.html, the stylesheet
#                          and images/ (screenshots, when docs/ has them)
#   PREFIX/bin/            symbolic links to the programs
#   PREFIX/share/...       desktop entry, icons, metainfo, the HEX file
#                          type, man pages, copyright
#   PREFIX/etc/talvex/     talvex.ini, the site defaults for new users'
#                          settings (/etc/talvex/ for PREFIX /usr and for an
#                          absolute program folder)
#
# The installed program folder is read-only data: the program recognises
# it by this layout and keeps every user's settings, root's included, in
# the user's own folder.
#
# Two install components, one Debian package each: `cli` is everything a
# headless station needs (the console program, the emulated target, the
# part database, the site defaults, help and man pages) and pulls in no Qt;
# `window` is the Qt window and its desktop integration, on top of `cli`.
# A plain install takes both.
set(TALVEX_CLI_COMPONENT cli)
set(TALVEX_WINDOW_COMPONENT window)
# The package revision: 1 is the first packaging in two parts, which must
# sort above the single package of the same program version it replaces.
set(TALVEX_PACKAGE_RELEASE 1)
set(TALVEX_PACKAGE_VERSION ${PROJECT_VERSION}-${TALVEX_PACKAGE_RELEASE})
# The AppStream id, reverse-DNS of the domain the package's contact address
# is in; it changes once, with that address, when the project has a home.
set(TALVEX_METAINFO_ID org.example.talvex)

# Folders as a package wants them, whatever the umask of the one installing.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(TALVEX_PROGRAM_FOLDER "lib/talvex" CACHE STRING
    "Program folder, relative to the install prefix or absolute (e.g. /opt/talvex)")

# The program tells its installed folder from a build or a copied folder by
# this layout, so it must know the folder it was configured with.
set_source_files_properties(${CMAKE_SOURCE_DIR}/app/settings_location_posix.cpp
  DIRECTORY ${CMAKE_SOURCE_DIR}/app
  PROPERTIES COMPILE_DEFINITIONS "TALVEX_INSTALLED_PROGRAM_FOLDER=\"${TALVEX_PROGRAM_FOLDER}\"")

# Which component each program (and its link and man page) belongs to.
function(talvex_program_component program out)
  if(program STREQUAL "talvex")
    set(${out} ${TALVEX_WINDOW_COMPONENT} PARENT_SCOPE)
  else()
    set(${out} ${TALVEX_CLI_COMPONENT} PARENT_SCOPE)
  endif()
endfunction()

set(talvex_programs)
foreach(program talvex talvex-cli zarq-sim)
  if(TARGET ${program})
    list(APPEND talvex_programs ${program})
    talvex_program_component(${program} component)
    install(TARGETS ${program} RUNTIME DESTINATION ${TALVEX_PROGRAM_FOLDER}
            COMPONENT ${component})
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/res/zelchip.ini ${CMAKE_SOURCE_DIR}/res/sample.hex
        DESTINATION ${TALVEX_PROGRAM_FOLDER} COMPONENT ${TALVEX_CLI_COMPONENT})
install(FILES ${talvex_help_files} DESTINATION ${TALVEX_PROGRAM_FOLDER}
        COMPONENT ${TALVEX_CLI_COMPONENT})
if(talvex_help_images)
  install(FILES ${talvex_help_images} DESTINATION ${TALVEX_PROGRAM_FOLDER}/images
          COMPONENT ${TALVEX_CLI_COMPONENT})
endif()

# Where the site defaults go, for the install scripts of both components:
# the prefix is only known at install time (cmake --install --prefix, the
# package's /usr).
set(talvex_site_folder_code [[
  string(REGEX REPLACE "/+$" "" talvex_prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${talvex_program_folder}" OR talvex_prefix STREQUAL "/usr")
    set(talvex_site_folder "/etc/talvex")
  else()
    set(talvex_site_folder "${talvex_prefix}/etc/talvex")
  endif()
]])

# The site defaults, where the program looks for them from its own folder:
# PREFIX/lib/talvex/ finds PREFIX/etc/talvex/. A file already there is the
# administrator's: a repeated install leaves it as it is, and the package
# marks it a conffile.
install(CODE "set(talvex_site_source \"${CMAKE_SOURCE_DIR}/res/talvex.ini\")
set(talvex_program_folder \"${TALVEX_PROGRAM_FOLDER}\")
${talvex_site_folder_code}" COMPONENT ${TALVEX_CLI_COMPONENT})
install(CODE [[
  if(EXISTS "$ENV{DESTDIR}${talvex_site_folder}/talvex.ini")
    message(STATUS "Kept: $ENV{DESTDIR}${talvex_site_folder}/talvex.ini (site defaults already there)")
  else()
    # file(INSTALL) puts DESTDIR in front by itself.
    file(INSTALL DESTINATION "${talvex_site_folder}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "${talvex_site_source}")
  endif()
]] COMPONENT ${TALVEX_CLI_COMPONENT})

# Links made once here and installed as links: relative, so that the tree
# can be moved (DESTDIR, a package) and still point into its own folder.
if(IS_ABSOLUTE "${TALVEX_PROGRAM_FOLDER}")
  set(link_base "${TALVEX_PROGRAM_FOLDER}")
else()
  set(link_base "../${TALVEX_PROGRAM_FOLDER}")
endif()
set(link_dir ${CMAKE_BINARY_DIR}/install-links)
file(REMOVE_RECURSE ${link_dir})
file(MAKE_DIRECTORY ${link_dir})
foreach(program ${talvex_programs})
  file(CREATE_LINK "${link_base}/${program}" ${link_dir}/${program} SYMBOLIC)
  talvex_program_component(${program} component)
  install(FILES ${link_dir}/${program} DESTINATION bin COMPONENT ${component})
endforeach()

# Man pages, compressed as Debian wants them; man reads them either way.
# They name the program folder and the site defaults, which follow the
# prefix, so the pages are written out at install time: the sources say
# /usr/lib/talvex and /etc/talvex, the package's own places.
find_program(GZIP_PROGRAM gzip)
set(talvex_man_page_code [[
  if(IS_ABSOLUTE "${talvex_program_folder}")
    set(talvex_folder "${talvex_program_folder}")
  else()
    set(talvex_folder "${talvex_prefix}/${talvex_program_folder}")
  endif()
  # Installs into different places may run at once, as the tests' do: each
  # writes its pages into a folder of its own.
  string(SHA1 talvex_man_key "$ENV{DESTDIR}${talvex_prefix}")
  string(SUBSTRING "${talvex_man_key}" 0 12 talvex_man_key)
  file(MAKE_DIRECTORY "${talvex_man_work}/${talvex_man_key}")
  get_filename_component(name "${talvex_man_source}" NAME)
  file(READ "${talvex_man_source}" page)
  string(REPLACE "/usr/lib/talvex" "${talvex_folder}" page "${page}")
  string(REPLACE "/etc/talvex" "${talvex_site_folder}" page "${page}")
  file(WRITE "${talvex_man_work}/${talvex_man_key}/${name}" "${page}")
  execute_process(COMMAND "${talvex_gzip}" -9 -n -f "${talvex_man_work}/${talvex_man_key}/${name}"
                  RESULT_VARIABLE gzip_failed)
  if(gzip_failed)
    message(FATAL_ERROR "gzip could not compress ${talvex_man_work}/${talvex_man_key}/${name}")
  endif()
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/man/man1" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${talvex_man_work}/${talvex_man_key}/${name}.gz")
]])
foreach(program ${talvex_programs})
  set(man_source ${CMAKE_SOURCE_DIR}/res/man/${program}.1)
  if(NOT EXISTS ${man_source} OR NOT GZIP_PROGRAM)
    continue()
  endif()
  # Each page goes with its program's package, so each page works out the
  # folders itself: the other component's steps may not run.
  talvex_program_component(${program} component)
  install(CODE "set(talvex_man_source \"${man_source}\")
set(talvex_man_work \"${CMAKE_BINARY_DIR}/man\")
set(talvex_gzip \"${GZIP_PROGRAM}\")
set(talvex_program_folder \"${TALVEX_PROGRAM_FOLDER}\")
${talvex_site_folder_code}
${talvex_man_page_code}" COMPONENT ${component})
endforeach()

# The desktop entry, its icon, the Intel HEX file type its "Open with"
# needs (the system's MIME database knows none) and the metainfo software
# centres list it by only come with the window program.
if(TARGET talvex)
  install(FILES ${CMAKE_SOURCE_DIR}/res/talvex.desktop DESTINATION share/applications
          COMPONENT ${TALVEX_WINDOW_COMPONENT})
  install(FILES ${CMAKE_SOURCE_DIR}/res/talvex-ihex.xml DESTINATION share/mime/packages
          RENAME talvex.xml COMPONENT ${TALVEX_WINDOW_COMPONENT})
  install(FILES ${CMAKE_SOURCE_DIR}/res/${TALVEX_METAINFO_ID}.metainfo.xml
          DESTINATION share/metainfo COMPONENT ${TALVEX_WINDOW_COMPONENT})

  # Whatever icons res/ holds: PNG files go into the hicolor size their own
  # header states (so a misnamed file cannot land in the wrong size), one
  # SVG into scalable/. No icon is no failure: the menu shows a generic one.
  file(GLOB icon_candidates
       ${CMAKE_SOURCE_DIR}/res/icons/talvex*.png ${CMAKE_SOURCE_DIR}/res/talvex*.png)
  set(hicolor_sizes 16 22 24 32 36 48 64 72 96 128 192 256 512)
  set(icon_sizes_taken)
  foreach(icon ${icon_candidates})
    file(READ ${icon} header OFFSET 0 LIMIT 24 HEX)
    string(LENGTH "${header}" header_length)
    if(NOT header_length EQUAL 48 OR NOT header MATCHES "^89504e470d0a1a0a........49484452")
      message(WARNING "Not installed as an icon (no PNG header): ${icon}")
      continue()
    endif()
    string(SUBSTRING "${header}" 32 8 width_hex)
    string(SUBSTRING "${header}" 40 8 height_hex)
    math(EXPR width "0x${width_hex}")
    math(EXPR height "0x${height_hex}")
    if(NOT width EQUAL height OR NOT width IN_LIST hicolor_sizes OR width IN_LIST icon_sizes_taken)
      message(STATUS "Icon not installed (size ${width}x${height} not wanted): ${icon}")
      continue()
    endif()
    list(APPEND icon_sizes_taken ${width})
    install(FILES ${icon} DESTINATION share/icons/hicolor/${width}x${width}/apps
            RENAME talvex.png COMPONENT ${TALVEX_WINDOW_COMPONENT})
  endforeach()
  file(GLOB svg_icons ${CMAKE_SOURCE_DIR}/res/icons/talvex*.svg ${CMAKE_SOURCE_DIR}/res/talvex*.svg)
  if(svg_icons)
    list(GET svg_icons 0 svg_icon)
    install(FILES ${svg_icon} DESTINATION share/icons/hicolor/scalable/apps RENAME talvex.svg
            COMPONENT ${TALVEX_WINDOW_COMPONENT})
  endif()
endif()

# What every Debian package carries, once per package; harmless in any
# other prefix. The lintian overrides say why each tag is expected.
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog
               @ONLY)
set(changelog_gz ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
if(GZIP_PROGRAM)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${CMAKE_BINARY_DIR}/doc/changelog > ${changelog_gz}
    DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog)
  add_custom_target(package_docs ALL DEPENDS ${changelog_gz})
endif()
set(talvex_doc_packages "talvex-cli:${TALVEX_CLI_COMPONENT}")
if(TARGET talvex)
  list(APPEND talvex_doc_packages "talvex:${TALVEX_WINDOW_COMPONENT}")
endif()
foreach(entry ${talvex_doc_packages})
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 package)
  list(GET entry 1 component)
  if(GZIP_PROGRAM)
    install(FILES ${changelog_gz} DESTINATION share/doc/${package} COMPONENT ${component})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION share/doc/${package}
          COMPONENT ${component})
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/${package}.lintian-overrides
          DESTINATION share/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()
