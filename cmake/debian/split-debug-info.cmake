# Run by CPack on the staged packages, before it builds them. Strips the
# programs as Debian's own packages are stripped (no debug information, no
# .comment section with the compilers' version strings) and keeps what was
# taken out: each program's debug information, named by its build id, goes
# into a -dbgsym package beside the packages (PACKAGE-dbgsym_VERSION_ARCH.ddeb,
# which gdb and debuginfod find as they find Debian's), and stays unpacked
# in debug/ of the build folder.
#
# CPack's own debug packages are not used: those of CMake 3.25 list absolute
# build paths in their md5sums and carry no copyright file.
find_program(talvex_objcopy objcopy REQUIRED)
find_program(talvex_readelf readelf REQUIRED)
find_program(talvex_dpkg dpkg REQUIRED)
find_program(talvex_dpkg_deb dpkg-deb REQUIRED)

execute_process(COMMAND "${talvex_dpkg}" --print-architecture
                OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed ERROR_VARIABLE reason)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "Splitting off the debug information failed: ${command}: ${reason}")
  endif()
endfunction()

foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(staged "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  set(dbgsym "${CPACK_PACKAGE_DIRECTORY}/debug/${package}-dbgsym")
  file(REMOVE_RECURSE "${dbgsym}")
  set(build_ids)
  file(GLOB programs "${staged}/usr/lib/talvex/*")
  foreach(program ${programs})
    get_filename_component(name "${program}" NAME)
    if(NOT name MATCHES "^(talvex|talvex-cli|zarq-sim)$")
      continue()
    endif()
    execute_process(COMMAND "${talvex_readelf}" -n "${program}" OUTPUT_VARIABLE notes
                    COMMAND_ERROR_IS_FATAL ANY)
    if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
      message(FATAL_ERROR "${program} has no build id to name its debug information by")
    endif()
    list(APPEND build_ids "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
    set(debug_dir "${dbgsym}/usr/lib/debug/.build-id/${CMAKE_MATCH_1}")
    set(debug_file "${debug_dir}/${CMAKE_MATCH_2}.debug")
    file(MAKE_DIRECTORY "${debug_dir}")
    run("${talvex_objcopy}" --only-keep-debug --compress-debug-sections "${program}" "${debug_file}")
    file(CHMOD "${debug_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    run("${talvex_objcopy}" --remove-section=.comment --remove-section=.note --strip-unneeded
        "--add-gnu-debuglink=${debug_file}" "${program}")
  endforeach()
  if(NOT build_ids)
    continue()
  endif()

  # The package of the debug information, as dh_strip would make it.
  file(MAKE_DIRECTORY "${dbgsym}/DEBIAN" "${dbgsym}/usr/share/doc")
  file(CREATE_LINK "${package}" "${dbgsym}/usr/share/doc/${package}-dbgsym" SYMBOLIC)
  list(JOIN build_ids " " build_id_field)
  file(WRITE "${dbgsym}/DEBIAN/control"
"Package: ${package}-dbgsym
Source: talvex
Version: ${version}
Architecture: ${arch}
Maintainer: ${CPACK_PACKAGE_CONTACT}
Priority: optional
Section: debug
Depends: ${package} (= ${version})
Auto-Built-Package: debug-symbols
Build-Ids: ${build_id_field}
Description: debug symbols for ${package}
")
  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${dbgsym}" "${dbgsym}/usr/*")
  set(md5sums "")
  foreach(file ${debug_files})
    if(IS_SYMLINK "${dbgsym}/${file}")
      continue()
    endif()
    file(MD5 "${dbgsym}/${file}" sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE "${dbgsym}/DEBIAN/md5sums" "${md5sums}")
  file(CHMOD "${dbgsym}/DEBIAN/control" "${dbgsym}/DEBIAN/md5sums"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  run("${talvex_dpkg_deb}" --build --root-owner-group "${dbgsym}"
      "${CPACK_PACKAGE_DIRECTORY}/${package}-dbgsym_${version}_${arch}.ddeb")
  # The unpacked tree stays for a debugger pointed at it; its control files
  # belong to the package only.
  file(REMOVE_RECURSE "${dbgsym}/DEBIAN")
endforeach()
