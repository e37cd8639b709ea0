# CPack runs this after installing the package's files into its staging folder: removes the
# compiler's notes from the programs there, as Debian's own packages are stripped.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_PBO_OBJCOPY}" --remove-section=.comment --remove-section=.note
                          "${program}" RESULT_VARIABLE code)
  if(NOT code STREQUAL "0")
    message(FATAL_ERROR "${CPACK_PBO_OBJCOPY} could not strip ${program}")
  endif()
endforeach()
