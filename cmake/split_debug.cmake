# Build-time step: makes the shipped copy of a binary, stripped, and its
# debug file, and links the two with a GNU debug link (the debug file's name
# and CRC-32) by which a debugger finds the symbols. The binary in the build
# tree keeps its debug information.
#   cmake -DOBJCOPY=<objcopy> -DBINARY=<binary> -DSTRIPPED=<stripped copy>
#         -DDEBUG_FILE=<debug file> -P split_debug.cmake
foreach(v OBJCOPY BINARY STRIPPED DEBUG_FILE)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "split_debug.cmake: ${v} is not set")
  endif()
endforeach()
get_filename_component(out_dir "${STRIPPED}" DIRECTORY)
get_filename_component(debug_dir "${DEBUG_FILE}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}" "${debug_dir}")
# Written under temporary names first: an interrupted step never leaves a
# stripped copy that looks finished.
foreach(step
    "--only-keep-debug;${BINARY};${DEBUG_FILE}.tmp"
    "--strip-all;${BINARY};${STRIPPED}.tmp")
  execute_process(COMMAND "${OBJCOPY}" ${step} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objcopy ${step} failed: ${err}")
  endif()
endforeach()
# The link records the debug file's own name, so it gets that name first.
file(RENAME "${DEBUG_FILE}.tmp" "${DEBUG_FILE}")
execute_process(COMMAND "${OBJCOPY}" "--add-gnu-debuglink=${DEBUG_FILE}" "${STRIPPED}.tmp"
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy --add-gnu-debuglink failed: ${err}")
endif()
# objcopy gives the debug file the binary's mode; it is data, not a program.
file(CHMOD "${DEBUG_FILE}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME "${STRIPPED}.tmp" "${STRIPPED}")
