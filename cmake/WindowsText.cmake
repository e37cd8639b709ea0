# Writes a text of the source tree as a Windows user reads it: CR LF line ends, and a
# manual page rendered by groff as plain ASCII, with no bold, underline or escape codes.
#   cmake -DIN=<file> -DOUT=<file> [-DGROFF=<groff>] -P WindowsText.cmake
# IN ending in .1 is taken as a manual page and needs GROFF.
if(IN MATCHES "\\.1$")
  # -P-cbou: no escape sequences and no overstriking of any kind; 78 columns, ragged right,
  # no hyphenation, as a text editor shows text best.
  execute_process(COMMAND "${GROFF}" -man -Tascii -P-cbou -rLL=78n -rHY=0 -dAD=l "${IN}"
                  RESULT_VARIABLE code OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
  if(NOT code STREQUAL "0" OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "${GROFF} could not render ${IN}:\n${warnings}")
  endif()
else()
  file(READ "${IN}" text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
