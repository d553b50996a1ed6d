# Install-time step: moves the debug information of installed binaries into
# files of their own and leaves each binary stripped, with a GNU debug link
# (the debug file's name and CRC-32) by which a debugger finds its symbols.
# Included from an install(CODE) with:
#   TL_OBJCOPY      objcopy for the binaries' format
#   TL_BINARIES     installed binaries, relative to the install prefix
#   TL_DEBUG_DIR    folder of the debug files, relative to the install prefix
# A binary installed afresh carries its debug information again, so the
# split is made on every install.
set(_tl_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${_tl_root}/${TL_DEBUG_DIR}")
foreach(_tl_bin IN LISTS TL_BINARIES)
  get_filename_component(_tl_name "${_tl_bin}" NAME)
  set(_tl_file "${_tl_root}/${_tl_bin}")
  set(_tl_debug "${_tl_root}/${TL_DEBUG_DIR}/${_tl_name}.debug")
  message(STATUS "Splitting debug information: ${_tl_debug}")
  foreach(_tl_step
      "--only-keep-debug;${_tl_file};${_tl_debug}"
      "--strip-all;${_tl_file}"
      "--add-gnu-debuglink=${_tl_debug};${_tl_file}")
    execute_process(COMMAND "${TL_OBJCOPY}" ${_tl_step}
      RESULT_VARIABLE _tl_rc ERROR_VARIABLE _tl_err)
    if(NOT _tl_rc EQUAL 0)
      message(FATAL_ERROR "objcopy ${_tl_step} failed: ${_tl_err}")
    endif()
  endforeach()
  # objcopy gives the debug file the binary's mode; it is data, not a program.
  file(CHMOD "${_tl_debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_tl_debug}")
endforeach()
