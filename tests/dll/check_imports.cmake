# Fails unless every binary in FILES
# - imports system DLLs only: a MinGW runtime DLL (libstdc++, libgcc_s,
#   libwinpthread, libssp) in the list means the static runtime flags were lost.
#   BESIDE names the DLLs that ship beside the binaries and so may be imported
#   too (trustctl.exe: libgcrypt's, cmake/gcrypt.cmake);
# - carries the DllCharacteristics DYNAMIC_BASE (0x40), HIGH_ENTROPY_VA (0x20)
#   and NX_COMPAT (0x100), and keeps its relocations (ASLR needs them);
# - has no section that is both writable and executable (read from the section
#   table itself, not from objdump's mapping of the flags).
set(allowed kernel32.dll advapi32.dll user32.dll msvcrt.dll ucrtbase.dll ntdll.dll)
foreach(dll IN LISTS BESIDE)
  get_filename_component(name ${dll} NAME)
  string(TOLOWER ${name} name)
  list(APPEND allowed ${name})
endforeach()
set(required_dll_characteristics 0x20 0x40 0x100)

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/read_le.cmake)

foreach(file IN LISTS FILES)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${file}")
  endif()

  string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
  if(NOT names)
    message(FATAL_ERROR "${file}: no import table found")
  endif()
  foreach(entry IN LISTS names)
    string(REPLACE "DLL Name: " "" dll "${entry}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" lower)
    if(lower MATCHES "^api-ms-win-")
      continue()
    endif()
    list(FIND allowed "${lower}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${file} imports ${dll}, which is not a system DLL nor shipped beside it")
    endif()
    message(STATUS "${file}: ${dll}")
  endforeach()

  if(NOT dump MATCHES "DllCharacteristics[ \t]+([0-9a-fA-F]+)")
    message(FATAL_ERROR "${file}: no DllCharacteristics in the optional header")
  endif()
  set(dll_characteristics "0x${CMAKE_MATCH_1}")
  foreach(flag IN LISTS required_dll_characteristics)
    math(EXPR has "${dll_characteristics} & ${flag}")
    if(has EQUAL 0)
      message(FATAL_ERROR "${file}: DllCharacteristics ${dll_characteristics} lacks ${flag}")
    endif()
  endforeach()
  if(dump MATCHES "relocations stripped")
    message(FATAL_ERROR "${file}: relocations stripped, the image cannot be moved")
  endif()

  # PE header at e_lfanew (0x3c); the section table follows the 24 bytes of
  # signature and file header and the optional header; 40 bytes per section,
  # name at 0, characteristics at 36.
  file(READ ${file} hex LIMIT 4096 HEX)
  read_le("${hex}" 60 4 pe)
  read_le("${hex}" "${pe} + 6" 2 sections)
  read_le("${hex}" "${pe} + 20" 2 optional_size)
  math(EXPR table "${pe} + 24 + ${optional_size}")
  if(sections EQUAL 0 OR table GREATER 4000)
    message(FATAL_ERROR "${file}: no section table where the header says")
  endif()
  math(EXPR last "${sections} - 1")
  foreach(i RANGE ${last})
    math(EXPR header "${table} + ${i} * 40")
    read_le("${hex}" "${header} + 36" 4 characteristics)
    math(EXPR execute "${characteristics} & 0x20000000")
    math(EXPR write "${characteristics} & 0x80000000")
    if(NOT execute EQUAL 0 AND NOT write EQUAL 0)
      math(EXPR name_pos "${header} * 2")
      string(SUBSTRING "${hex}" ${name_pos} 16 name)
      message(FATAL_ERROR "${file}: section ${i} (name bytes ${name}) is writable and executable")
    endif()
  endforeach()
  message(STATUS "${file}: DllCharacteristics ${dll_characteristics}, ${sections} sections, none W+X")
endforeach()
