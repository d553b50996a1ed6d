# The toolchain of the shipped Windows x64 binaries: clang and lld for the
# MinGW-w64 target, over the MinGW-w64 headers and import libraries and the
# libstdc++, libgcc, libssp and winpthread of Debian's
# g++-mingw-w64-x86-64-posix. Everything else (system name, search roots, the
# static runtime, the Wine emulator) is the GNU toolchain file's, which stays
# what a product team's own MinGW build uses (tests/package/consumer).
#
# Why clang and lld: the debuggers that open a dump of a Windows service read
# CodeView symbols from a PDB, found through the CodeView (RSDS) record in the
# image's debug directory. GNU ld writes neither; lld writes both
# (--pdb=). The objects carry CodeView for the PDB and DWARF for gdb, so the
# GNU debug files of the release stay as they were.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

set(TL_MINGW_SYSROOT /usr/${TL_MINGW_PREFIX})
# The GCC of the MinGW-w64 packages knows where its own libraries are; clang 14
# does not find them on its own (Debian names the folder "12-posix").
execute_process(COMMAND ${TL_MINGW_PREFIX}-g++-posix -print-libgcc-file-name
  OUTPUT_VARIABLE tl_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE tl_rc)
if(NOT tl_rc EQUAL 0 OR NOT EXISTS "${tl_libgcc}")
  message(FATAL_ERROR "${TL_MINGW_PREFIX}-g++-posix is missing: run scripts/setup")
endif()
get_filename_component(TL_MINGW_GCC_DIR "${tl_libgcc}" DIRECTORY)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TL_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TL_MINGW_PREFIX})
# GNU binutils of the target for archives and the release's debug split.
set(CMAKE_AR ${TL_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TL_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${TL_MINGW_PREFIX}-objcopy CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TL_MINGW_PREFIX}-objdump CACHE FILEPATH "")

# The sysroot keeps the host's /usr/include out of the search; libstdc++'s
# headers are named explicitly in place of clang's own guess.
set(tl_common "--sysroot=${TL_MINGW_SYSROOT}")
set(tl_cxx_include "-nostdinc++")
foreach(dir include/c++ include/c++/${TL_MINGW_PREFIX} include/c++/backward)
  string(APPEND tl_cxx_include " -isystem ${TL_MINGW_GCC_DIR}/${dir}")
endforeach()
# Both debug formats: CodeView for the PDB, DWARF for the GNU debug files.
# (-g alone gives one of them, depending on the order of the flags.)
set(CMAKE_C_FLAGS_INIT "${tl_common} -gcodeview -gdwarf")
set(CMAKE_CXX_FLAGS_INIT "${tl_common} ${tl_cxx_include} -gcodeview -gdwarf")

# lld; the runtime libraries that GCC's driver adds by itself and clang's does
# not: winpthread (libstdc++'s threads) and libssp (stack protector and the
# checked functions of _FORTIFY_SOURCE, see hardening.cmake). -static (from
# the GNU file) makes each the static archive. They can stand before the
# objects: lld, unlike GNU ld, resolves from an archive whatever comes later.
# (CMake's Windows platform files overwrite *_STANDARD_LIBRARIES_INIT.)
# The compile flags reach the link line too; there they are not warned about.
set(tl_link "${tl_common} -fuse-ld=lld -L${TL_MINGW_GCC_DIR} -lssp -lpthread -Qunused-arguments")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT} ${tl_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT} ${tl_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_MODULE_LINKER_FLAGS_INIT} ${tl_link}")

# Targets that ship get a PDB of their own (see trustlist_install.cmake).
set(TL_WRITES_PDB ON)
