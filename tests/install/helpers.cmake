# Steps shared by the install tests, which run as `cmake -P` scripts so that they need no
# shell. Every check stops the script with FATAL_ERROR, which CTest reports as a failure.

# Makes folder exist and be empty.
function(fresh_folder folder)
  file(REMOVE_RECURSE "${folder}")
  file(MAKE_DIRECTORY "${folder}")
endfunction()

# Runs the command given as arguments. Stops with its output unless it exits with 0; else
# leaves its standard output in the caller's variable `output`.
function(run_or_fail)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code STREQUAL "0")
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nexited with ${code}:\n${out}${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect_file path)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "expected a file at ${path}")
  endif()
endfunction()

# Compares bytes exactly: CMake's plain file(READ) does not keep every byte as it is.
function(expect_bytes path expected)
  file(READ "${path}" actual HEX)
  string(HEX "${expected}" expectedHex)
  if(NOT actual STREQUAL expectedHex)
    message(FATAL_ERROR "${path} holds the bytes\n${actual}\ninstead of\n${expectedHex}")
  endif()
endfunction()

# Runs `PBO -x Island.pbo` on a copy of the bundled sample in folder and checks what a user
# would see: exit code 0, nothing printed, and the sample's five entries on disk, among
# them the repaired leading spaces and the mission converted to text.
function(expect_sample_extracts pbo sample folder)
  fresh_folder("${folder}")
  file(COPY "${sample}" DESTINATION "${folder}")
  execute_process(COMMAND "${pbo}" -x Island.pbo WORKING_DIRECTORY "${folder}"
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code STREQUAL "0" OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message(FATAL_ERROR "${pbo} -x Island.pbo exited with ${code}, printing [${out}${err}]")
  endif()

  set(island "${folder}/Island")
  foreach(entry config/island.cpp readme.txt scripts/init.sqf sound/wind.ogg
                missions/demo/mission.zem)
    expect_file("${island}/${entry}")
  endforeach()
  file(SIZE "${island}/sound/wind.ogg" oggSize)
  if(NOT oggSize EQUAL 600)
    message(FATAL_ERROR "sound/wind.ogg has ${oggSize} bytes instead of 600")
  endif()
  file(READ "${island}/readme.txt" readmeStart LIMIT 4 HEX)
  if(NOT readmeStart STREQUAL "20202020")
    message(FATAL_ERROR "readme.txt does not begin with its four spaces but ${readmeStart}")
  endif()
  string(CONCAT missionText "class Mission\r\n{\r\n\tday=3.000000;\r\n\tcount=-10;\r\n"
         "\tlist[]={\"a\"\"b\",1.500000,{7,\"Mission\"}};\r\n};\r\n")
  expect_bytes("${island}/missions/demo/mission.zem" "${missionText}")
endfunction()
