# libgcrypt: the cryptography and hashing of trustctl's list signatures
# (tools/trustctl/sign/). Only trustctl links it, never trustlist.dll or the
# core. Natively it comes from libgcrypt20-dev; for Windows from Debian's
# libgcrypt-mingw-w64-dev and libgpg-error-mingw-w64-dev, linked through their
# import libraries: trustctl.exe then needs libgcrypt-20.dll and
# libgpg-error-0.dll beside it, which the package ships (LGPL: a library the
# user can replace, so not linked statically).
#
# Defines the imported target tl::gcrypt, TL_GCRYPT_RUNTIME_DLLS (Windows: the
# DLLs to ship beside trustctl.exe) and
# tl_gcrypt_dlls_beside(target), which copies those DLLs beside a program
# after it is linked, so that it also runs from the build tree (under Wine).
# The headers are in the default search path of both toolchains (/usr/include,
# the MinGW sysroot's include/), so no include folder is added: an explicit
# one would reorder the system headers.
find_path(TL_GCRYPT_HEADER_DIR gcrypt.h)
find_library(TL_GCRYPT_LIBRARY NAMES gcrypt libgcrypt)
if(NOT TL_GCRYPT_HEADER_DIR OR NOT TL_GCRYPT_LIBRARY)
  message(FATAL_ERROR "libgcrypt (headers and library) is missing: run scripts/setup")
endif()
add_library(tl::gcrypt UNKNOWN IMPORTED)
set_target_properties(tl::gcrypt PROPERTIES IMPORTED_LOCATION ${TL_GCRYPT_LIBRARY})

set(TL_GCRYPT_RUNTIME_DLLS "")
if(WIN32)
  # MinGW keeps the DLLs in bin/ beside the lib/ of their import libraries.
  get_filename_component(tl_gcrypt_lib_dir ${TL_GCRYPT_LIBRARY} DIRECTORY)
  foreach(dll libgpg-error-0.dll libgcrypt-20.dll)
    string(MAKE_C_IDENTIFIER ${dll} var)
    find_file(TL_DLL_${var} ${dll} HINTS ${tl_gcrypt_lib_dir}/../bin
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT TL_DLL_${var})
      message(FATAL_ERROR "${dll} is missing: run scripts/setup")
    endif()
    list(APPEND TL_GCRYPT_RUNTIME_DLLS ${TL_DLL_${var}})
  endforeach()
endif()

function(tl_gcrypt_dlls_beside target)
  foreach(dll IN LISTS TL_GCRYPT_RUNTIME_DLLS)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} $<TARGET_FILE_DIR:${target}>/)
  endforeach()
endfunction()
