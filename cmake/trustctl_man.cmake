# Writes the man page trustctl.1 from what `trustctl --help` prints, so the
# page always says what the tool says. Run at build time after trustctl links:
#   cmake -DTRUSTCTL=<trustctl> -DVERSION=<X.Y.Z> -DOUT=<trustctl.1> -P trustctl_man.cmake
#
# The help text goes in unfilled (.nf), line for line. Every character that
# roff would read as markup is escaped, so that the page renders back to the
# very bytes of the help text: a backslash, '-' (roff would print a hyphen,
# not the minus an option needs), both quote characters that groff turns
# typographic, and a '.' or '\'' at the start of a line (a request). Tab stops
# are every 8 columns, as on a terminal.
foreach(v TRUSTCTL VERSION OUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "trustctl_man.cmake: ${v} is not set")
  endif()
endforeach()

execute_process(COMMAND "${TRUSTCTL}" --help
  OUTPUT_VARIABLE help RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "trustctl --help failed (${rc}): ${err}")
endif()

# One-line summary for the NAME section (what whatis and apropos show): the
# help's first line when it reads "trustctl: summary", else a fixed one.
string(REGEX MATCH "^trustctl: ([^\n]*)" first "${help}")
if(first)
  set(summary "${CMAKE_MATCH_1}")
else()
  set(summary "trust list container tool")
endif()

# Escapes one piece of text for roff; the backslash first, as later
# replacements add backslashes of their own.
function(roff_escape text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REPLACE "'" "\\(aq" text "${text}")
  string(REPLACE "`" "\\(ga" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

roff_escape("${summary}" summary)
string(REGEX REPLACE "\n$" "" help "${help}")
roff_escape("${help}" body)
# A control character ('.' or an apostrophe, now \(aq) only counts at the
# start of a line; the zero-width \& in front makes it text.
string(REGEX REPLACE "(^|\n)\\." "\\1\\\\&." body "${body}")

set(page ".TH TRUSTCTL 1 \"\" \"trustlist ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\ntrustctl \\- ${summary}\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n.ta T 8n\n${body}\n.fi\n")
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
