# Build-time step: places the PDB of a shipped binary twice in the release,
#   <RELEASE>/debug/NAME.pdb                            beside the GNU debug file
#   <RELEASE>/symbols/NAME.pdb/<GUID><AGE>/NAME.pdb     symbol-store layout
# where GUID and AGE come from the CodeView (RSDS) record in the binary's
# debug directory, the record a debugger reads to ask a symbol server for the
# PDB: the GUID as 32 upper-case hex digits (its first three fields in their
# natural order, the last eight bytes as stored), the age in upper-case hex
# without leading zeros, as symstore names the folder. The record must name
# the PDB by its file name alone (lld's /pdbaltpath:%_PDB%), so that no
# build-machine path ships.
#   cmake -DBINARY=<shipped binary> -DPDB=<pdb the linker wrote>
#         -DRELEASE=<release folder> -P pdb_release.cmake
foreach(v BINARY PDB RELEASE)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "pdb_release.cmake: ${v} is not set")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/read_le.cmake)

# `bytes` bytes of the file at `offset`, as hex.
function(read_hex offset bytes out)
  file(READ "${BINARY}" hex OFFSET ${offset} LIMIT ${bytes} HEX)
  string(LENGTH "${hex}" got)
  math(EXPR want "${bytes} * 2")
  if(NOT got EQUAL want)
    message(FATAL_ERROR "${BINARY}: ends inside its headers")
  endif()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# PE header at e_lfanew; the optional header follows the 24 bytes of
# signature and file header. PE32+ (magic 0x20b): the data directories start
# at 112; the debug directory is entry 6 (RVA, size).
read_hex(0 4096 head)
read_le("${head}" 60 4 pe)
read_le("${head}" "${pe} + 6" 2 section_count)
read_le("${head}" "${pe} + 20" 2 optional_size)
read_le("${head}" "${pe} + 24" 2 magic)
if(NOT magic EQUAL 0x20b)
  message(FATAL_ERROR "${BINARY}: not a PE32+ image")
endif()
read_le("${head}" "${pe} + 24 + 112 + 6 * 8" 4 debug_rva)
read_le("${head}" "${pe} + 24 + 112 + 6 * 8 + 4" 4 debug_size)
if(debug_rva EQUAL 0 OR debug_size EQUAL 0)
  message(FATAL_ERROR "${BINARY}: no debug directory")
endif()

# The file offset of the debug directory: the section holding its RVA.
math(EXPR table "${pe} + 24 + ${optional_size}")
math(EXPR last_section "${section_count} - 1")
set(debug_offset "")
foreach(i RANGE ${last_section})
  math(EXPR header "${table} + ${i} * 40")
  read_le("${head}" "${header} + 8" 4 virtual_size)
  read_le("${head}" "${header} + 12" 4 virtual_address)
  read_le("${head}" "${header} + 20" 4 raw_pointer)
  if(debug_rva GREATER_EQUAL virtual_address)
    math(EXPR into "${debug_rva} - ${virtual_address}")
    if(into LESS virtual_size)
      math(EXPR debug_offset "${raw_pointer} + ${into}")
      break()
    endif()
  endif()
endforeach()
if(debug_offset STREQUAL "")
  message(FATAL_ERROR "${BINARY}: the debug directory lies in no section")
endif()

# Entries of 28 bytes: type at 12 (2 = CodeView), size at 16, file offset at
# 24. Exactly one CodeView entry, an RSDS record: "RSDS", GUID, age, name.
read_hex(${debug_offset} ${debug_size} entries)
math(EXPR entry_count "${debug_size} / 28")
math(EXPR last_entry "${entry_count} - 1")
set(record "")
foreach(i RANGE ${last_entry})
  math(EXPR at "${i} * 28")
  read_le("${entries}" "${at} + 12" 4 type)
  if(type EQUAL 2)
    if(NOT record STREQUAL "")
      message(FATAL_ERROR "${BINARY}: more than one CodeView record")
    endif()
    read_le("${entries}" "${at} + 16" 4 record_size)
    read_le("${entries}" "${at} + 24" 4 record_offset)
    if(record_size LESS 25)
      message(FATAL_ERROR "${BINARY}: CodeView record of ${record_size} bytes")
    endif()
    read_hex(${record_offset} ${record_size} record)
  endif()
endforeach()
if(record STREQUAL "")
  message(FATAL_ERROR "${BINARY}: no CodeView record in its debug directory")
endif()
string(SUBSTRING "${record}" 0 8 signature)
if(NOT signature STREQUAL "52534453")
  message(FATAL_ERROR "${BINARY}: CodeView record is not RSDS")
endif()

# GUID: Data1 (4 bytes), Data2, Data3 (2 each) little-endian, then 8 bytes.
set(guid "")
foreach(field "4;4" "8;2" "10;2")
  list(GET field 0 at)
  list(GET field 1 bytes)
  read_le("${record}" ${at} ${bytes} value)
  math(EXPR digits "${bytes} * 2")
  math(EXPR value "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${value}" 2 -1 value)
  string(LENGTH "${value}" have)
  while(have LESS digits)
    string(PREPEND value "0")
    math(EXPR have "${have} + 1")
  endwhile()
  string(APPEND guid "${value}")
endforeach()
string(SUBSTRING "${record}" 24 16 tail)
string(APPEND guid "${tail}")
string(TOUPPER "${guid}" guid)
read_le("${record}" 20 4 age)
math(EXPR age "${age}" OUTPUT_FORMAT HEXADECIMAL)
string(SUBSTRING "${age}" 2 -1 age)
string(TOUPPER "${age}" age)

# The name: from byte 24 up to its terminating zero.
set(pdb_name "")
math(EXPR name_end "${record_size} - 1")
foreach(i RANGE 24 ${name_end})
  read_le("${record}" ${i} 1 byte)
  if(byte EQUAL 0)
    break()
  endif()
  string(ASCII ${byte} char)
  string(APPEND pdb_name "${char}")
endforeach()
get_filename_component(expected "${PDB}" NAME)
if(NOT pdb_name STREQUAL expected)
  message(FATAL_ERROR "${BINARY}: CodeView record names \"${pdb_name}\", not ${expected}")
endif()

# A stale symbol-store folder of an earlier link would ship a PDB that matches
# no binary: the folder of this name is made anew.
set(store "${RELEASE}/symbols/${pdb_name}")
file(REMOVE_RECURSE "${store}")
file(MAKE_DIRECTORY "${store}/${guid}${age}" "${RELEASE}/debug")
file(COPY_FILE "${PDB}" "${store}/${guid}${age}/${pdb_name}")
file(COPY_FILE "${PDB}" "${RELEASE}/debug/${pdb_name}")
message(STATUS "${pdb_name}: ${guid}${age}")
