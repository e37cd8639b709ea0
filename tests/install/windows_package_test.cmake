# The Windows download as a user gets it: `cpack -G ZIP` in the mingw-w64 build makes
# pbo-VERSION-win64.zip there, one folder holding pbo.exe beside its texts; every text has
# CR LF line ends and no formatting codes; and the pbo.exe in it, run under Wine on the
# bundled sample, writes the very files the Linux pbo writes.
#   -DWINDOWS_BUILD= the mingw-w64 build folder  -DLINUX_PBO= a Linux pbo  -DWINE= wine
#   -DWORK= a scratch folder
# The caller sets up Wine's environment (WINEPREFIX and the like); scripts/windows-test.sh
# runs this after the suites.
include(${CMAKE_CURRENT_LIST_DIR}/helpers.cmake)
include(${WINDOWS_BUILD}/CPackConfig.cmake)  # CPACK_PACKAGE_FILE_NAME and the like
get_filename_component(cmakeFolder "${CMAKE_COMMAND}" DIRECTORY)
set(sample "${CMAKE_CURRENT_LIST_DIR}/../../samples/Island.pbo")

# The zip stays in the build folder, for users to take.
fresh_folder("${WORK}")
set(zip "${WINDOWS_BUILD}/${CPACK_PACKAGE_FILE_NAME}.zip")
file(REMOVE "${zip}")
run_or_fail("${cmakeFolder}/cpack" -G ZIP --config "${WINDOWS_BUILD}/CPackConfig.cmake"
            -B "${WINDOWS_BUILD}")
if(NOT CPACK_PACKAGE_FILE_NAME MATCHES "^pbo-${CPACK_PACKAGE_VERSION}-win(64|32)$"
   OR NOT EXISTS "${zip}")
  message(FATAL_ERROR "no ${zip} (pbo-VERSION-win64.zip) was made")
endif()

file(MAKE_DIRECTORY "${WORK}/unpacked")
run_or_fail("${CMAKE_COMMAND}" -E chdir "${WORK}/unpacked" "${CMAKE_COMMAND}" -E tar xf "${zip}")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${WORK}/unpacked" "${WORK}/unpacked/*")
list(SORT files)
set(folder "${CPACK_PACKAGE_FILE_NAME}")
set(texts LICENSE.txt README.txt format.txt manual.txt security.txt)
set(expected "")
foreach(file IN ITEMS ${texts} pbo.exe)
  list(APPEND expected "${folder}/${file}")
endforeach()
list(SORT expected)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "the zip holds [${files}] instead of [${expected}]")
endif()

foreach(text IN LISTS texts)
  file(READ "${WORK}/unpacked/${folder}/${text}" content HEX)
  # 0A only after 0D; no backspace (08, overstriking) and no escape (1B, colours).
  string(REGEX MATCH "^(..)*(([^0].|0[^d])0a|08|1b)" fault "${content}")
  if(fault OR NOT content MATCHES "0d0a$")
    message(FATAL_ERROR "${text} is not plain text with CR LF line ends")
  endif()
endforeach()
file(STRINGS "${WORK}/unpacked/${folder}/manual.txt" macros REGEX "^\\.[A-Z]|\\\\f")
if(macros)
  message(FATAL_ERROR "manual.txt holds manual page markup: ${macros}")
endif()

# The same sample, extracted by the Linux pbo and by the pbo.exe of the zip.
foreach(side linux windows)
  fresh_folder("${WORK}/${side}")
  file(COPY "${sample}" DESTINATION "${WORK}/${side}")
endforeach()
set(exe "${WORK}/unpacked/${folder}/pbo.exe")
foreach(side linux windows)
  if(side STREQUAL "linux")
    set(command "${LINUX_PBO}")
  else()
    set(command "${WINE}" "${exe}")
  endif()
  execute_process(COMMAND ${command} -x Island.pbo WORKING_DIRECTORY "${WORK}/${side}"
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code STREQUAL "0" OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message(FATAL_ERROR "${command} -x Island.pbo exited with ${code}, printing [${out}${err}]")
  endif()
  file(GLOB_RECURSE ${side}Files LIST_DIRECTORIES false RELATIVE "${WORK}/${side}/Island"
       "${WORK}/${side}/Island/*")
  list(SORT ${side}Files)
endforeach()
if(NOT linuxFiles OR NOT linuxFiles STREQUAL windowsFiles)
  message(FATAL_ERROR "pbo.exe extracted [${windowsFiles}], the Linux pbo [${linuxFiles}]")
endif()
foreach(file IN LISTS linuxFiles)
  run_or_fail("${CMAKE_COMMAND}" -E compare_files "${WORK}/linux/Island/${file}"
              "${WORK}/windows/Island/${file}")
endforeach()
list(LENGTH linuxFiles count)
message("The zip's pbo.exe extracted the sample's ${count} files as the Linux pbo does")

file(REMOVE_RECURSE "${WORK}")
