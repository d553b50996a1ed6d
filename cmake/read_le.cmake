# read_le(HEX OFFSET BYTES OUT): the little-endian unsigned value of BYTES bytes
# at OFFSET of a hex dump (file(READ ... HEX)); shared by the PE checks.
function(read_le hex offset bytes out)
  set(value 0)
  math(EXPR last "${bytes} - 1")
  foreach(i RANGE ${last} 0 -1)
    math(EXPR pos "(${offset} + ${i}) * 2")
    string(SUBSTRING "${hex}" ${pos} 2 byte)
    math(EXPR value "(${value} << 8) + 0x${byte}")
  endforeach()
  set(${out} ${value} PARENT_SCOPE)
endfunction()
