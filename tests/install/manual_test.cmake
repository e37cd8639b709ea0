# The manual page renders without a single warning: groff checks every macro, request and
# escape with -ww, and -z discards the output, so anything on standard error is a fault.
#   -DPAGE= man/pbo.1
find_program(GROFF groff)
if(NOT GROFF)
  message("SKIPPED: groff is not installed (Debian: apt-get install groff-base)")
  return()
endif()
execute_process(COMMAND "${GROFF}" -man -ww -z "${PAGE}"
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE warnings)
if(NOT code STREQUAL "0" OR NOT warnings STREQUAL "" OR NOT out STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${PAGE} exited with ${code}:\n${out}${warnings}")
endif()
