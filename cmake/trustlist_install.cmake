# What `cmake --install` lays out, and the packages CPack makes of it
# (scripts/package). Included at the end of the top CMakeLists.txt, when every
# target exists.
#
# windows: the tree a product team drops in (trustlist-X.Y.Z-win64.zip)
#   bin/        trustlist.dll, VeltrixClt.dll, trustctl.exe, stripped; each
#               with a CodeView record naming its PDB (GUID and age); beside
#               them libgcrypt-20.dll and libgpg-error-0.dll, which trustctl.exe
#               imports (cmake/gcrypt.cmake), as Debian's MinGW packages build them
#   debug/      NAME.debug for each of them, named by its GNU debug link (gdb),
#               and NAME.pdb, the PDB the CodeView record names (WinDbg,
#               Visual Studio)
#   symbols/    NAME.pdb/<GUID><AGE>/NAME.pdb: the PDBs in symbol-store layout,
#               to be copied onto a symbol server as they are
#   include/    trustlist/trustlist.h
#   lib/        libtrustlist.dll.a, trustlist.lib: import by ordinal
#   lib/cmake/trustlist/   trustlistConfig.cmake + version: trustlist::trustlist
#   share/doc/trustlist/   README.md, caller.c, docs/*.md, examples/fleet/
# native: trustctl and its man page (trustctl_X.Y.Z_ARCH.deb)
#   bin/trustctl, share/man/man1/trustctl.1
#
# release_files builds exactly what is installed (scripts/package builds it
# instead of everything); the stripped copies and debug files are made in
# <build>/release/ after each link, the build tree's binaries keep their
# debug information. PDBs need lld (TL_WRITES_PDB, set by the clang toolchain
# file); a GNU-linked build ships without them.
include(CMakePackageConfigHelpers)
add_custom_target(release_files)

if(WIN32)
  if(NOT (TARGET trustlist AND TARGET VeltrixClt AND TARGET trustctl))
    return()
  endif()
  # The import libraries come from the same .def the DLL is linked with, so
  # they know the entry points by the same names and ordinals. NONAME there
  # makes dlltool import by ordinal, as the DLL exports no names. The GNU
  # archive it writes is read by MSVC-style linkers as well; trustlist.lib is
  # the same archive under the name those look for.
  find_program(TL_DLLTOOL NAMES ${TL_MINGW_PREFIX}-dlltool REQUIRED)
  set(tl_def ${PROJECT_SOURCE_DIR}/src/entry/win32/trustlist.def)
  set(tl_implib_dir ${PROJECT_BINARY_DIR}/importlib)
  add_custom_command(
    OUTPUT ${tl_implib_dir}/libtrustlist.dll.a ${tl_implib_dir}/trustlist.lib
    COMMAND ${CMAKE_COMMAND} -E make_directory ${tl_implib_dir}
    COMMAND ${TL_DLLTOOL} -m i386:x86-64 -d ${tl_def} -D trustlist.dll
            -l ${tl_implib_dir}/libtrustlist.dll.a
    COMMAND ${CMAKE_COMMAND} -E copy ${tl_implib_dir}/libtrustlist.dll.a
            ${tl_implib_dir}/trustlist.lib
    DEPENDS ${tl_def}
    COMMENT "Import libraries of trustlist.dll (by ordinal)")
  add_custom_target(trustlist_import_libs ALL
    DEPENDS ${tl_implib_dir}/libtrustlist.dll.a ${tl_implib_dir}/trustlist.lib)
  add_dependencies(release_files trustlist_import_libs)

  # The shipped binaries: stripped copies made after each link, with their
  # debug files beside in a folder of their own.
  set(tl_release_dir ${PROJECT_BINARY_DIR}/release)
  foreach(pair trustlist:trustlist.dll VeltrixClt:VeltrixClt.dll trustctl:trustctl.exe)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 target)
    list(GET pair 1 name)
    set(bin ${tl_release_dir}/bin/${name})
    set(debug ${tl_release_dir}/debug/${name}.debug)
    add_custom_command(
      OUTPUT ${bin} ${debug}
      COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DBINARY=$<TARGET_FILE:${target}>
              -DSTRIPPED=${bin} -DDEBUG_FILE=${debug} -P ${CMAKE_CURRENT_LIST_DIR}/split_debug.cmake
      DEPENDS ${target} $<TARGET_FILE:${target}> ${CMAKE_CURRENT_LIST_DIR}/split_debug.cmake
      COMMENT "Stripped ${target} and its debug file")
    set(outputs ${bin} ${debug})
    if(TL_WRITES_PDB)
      # The PDB beside the linked binary; the record names it without a path.
      set(pdb $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb)
      target_link_options(${target} PRIVATE "LINKER:--pdb=${pdb}"
                          "LINKER:--Xlink=-pdbaltpath:%_PDB%")
      get_filename_component(base ${name} NAME_WE)
      set(release_pdb ${tl_release_dir}/debug/${base}.pdb)
      add_custom_command(
        OUTPUT ${release_pdb}
        COMMAND ${CMAKE_COMMAND} -DBINARY=${bin} -DPDB=${pdb} -DRELEASE=${tl_release_dir}
                -P ${CMAKE_CURRENT_LIST_DIR}/pdb_release.cmake
        DEPENDS ${bin} ${CMAKE_CURRENT_LIST_DIR}/pdb_release.cmake
        COMMENT "PDB of ${target}: debug/ and symbol-store layout")
      list(APPEND outputs ${release_pdb})
      install(FILES ${release_pdb} DESTINATION debug)
    endif()
    add_custom_target(${target}_stripped ALL DEPENDS ${outputs})
    add_dependencies(release_files ${target}_stripped)
    install(PROGRAMS ${bin} DESTINATION bin)
    install(FILES ${debug} DESTINATION debug)
  endforeach()
  if(TL_WRITES_PDB)
    install(DIRECTORY ${tl_release_dir}/symbols/ DESTINATION symbols)
  endif()
  # Signed with the rest by scripts/package, which signs every PE file of bin/.
  install(PROGRAMS ${TL_GCRYPT_RUNTIME_DLLS} DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/include/trustlist/trustlist.h DESTINATION include/trustlist)
  install(FILES ${tl_implib_dir}/libtrustlist.dll.a ${tl_implib_dir}/trustlist.lib DESTINATION lib)

  set(tl_config_dir ${PROJECT_BINARY_DIR}/cmake-config)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/trustlistConfig.cmake.in
                 ${tl_config_dir}/trustlistConfig.cmake @ONLY)
  # Not ARCH_INDEPENDENT: the version file compares the pointer size too, as
  # the DLL is 64-bit only.
  write_basic_package_version_file(${tl_config_dir}/trustlistConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${tl_config_dir}/trustlistConfig.cmake ${tl_config_dir}/trustlistConfigVersion.cmake
          DESTINATION lib/cmake/trustlist)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/examples/caller.c
          DESTINATION share/doc/trustlist)
  # The manuals the README links to, and the fleet example the trustctl manual
  # links to, where those links expect them.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/trustlist/docs
          FILES_MATCHING PATTERN "*.md")
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/fleet/ DESTINATION share/doc/trustlist/examples/fleet)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME trustlist)
  set(CPACK_PACKAGE_FILE_NAME trustlist-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "User trust lists for Windows x64")
else()
  if(NOT TARGET trustctl)
    return()
  endif()
  # The man page is written from `trustctl --help` whenever trustctl is
  # rebuilt, so the two never say different things.
  set(tl_man ${PROJECT_BINARY_DIR}/man/trustctl.1)
  add_custom_command(
    OUTPUT ${tl_man}
    COMMAND ${CMAKE_COMMAND} -DTRUSTCTL=$<TARGET_FILE:trustctl> -DVERSION=${PROJECT_VERSION}
            -DOUT=${tl_man} -P ${CMAKE_CURRENT_LIST_DIR}/trustctl_man.cmake
    DEPENDS trustctl ${CMAKE_CURRENT_LIST_DIR}/trustctl_man.cmake
    COMMENT "Man page trustctl.1 from trustctl --help")
  add_custom_target(trustctl_man ALL DEPENDS ${tl_man})
  add_dependencies(release_files trustctl trustctl_man)
  if(NOT TL_FUZZ)
    find_program(TL_GROFF groff)
    if(TL_GROFF)
      add_test(NAME trustctl_man_page_is_help
        COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/man_page_test.sh ${CMAKE_COMMAND}
                ${CMAKE_CURRENT_LIST_DIR}/trustctl_man.cmake $<TARGET_FILE:trustctl> ${tl_man}
                ${PROJECT_VERSION})
    endif()
  endif()

  install(TARGETS trustctl RUNTIME DESTINATION bin)
  install(FILES ${tl_man} DESTINATION share/man/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME trustctl)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "inspect, verify, compare and prepare trust list containers")
endif()

# One version for every package: project(VERSION) in the top CMakeLists.txt.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brenmoor")
set(CPACK_PACKAGE_CONTACT "Brenmoor trustlist maintainers <trustlist@brenmoor.invalid>")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
