# Cross build for Windows x64 with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TL_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TL_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime everywhere: nothing built here needs a MinGW DLL at run time.
# DLLs link the runtime the way programs do (-static), so that only the members
# in use come in: pulling all of winpthread in with --whole-archive would bring
# its own VERSIONINFO resource, which clashes with ours (".rsrc merge failure:
# duplicate leaf") and wins. A test checks each DLL's import list.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Windows programs run under Wine, in a prefix of the build's own (see scripts/test).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
