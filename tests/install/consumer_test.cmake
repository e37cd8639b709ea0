# Another project finds the installed library with find_package(pbo), links pbo::pbo,
# compiles each public header alone and runs: the codec round trip, and a folder packed and
# extracted again through the archive modes. The README's library example is main.cpp.
#   -DBUILD_DIR= -DCONFIG= -DSOURCE_DIR= -DWORK= -DGENERATOR= -DMAKE_PROGRAM= -DCXX_COMPILER=
#   -DCXX_FLAGS= -DLINKER_FLAGS= (what the library was built with, e.g. sanitizers)
include(${CMAKE_CURRENT_LIST_DIR}/helpers.cmake)
set(consumer "${CMAKE_CURRENT_LIST_DIR}/consumer")

# The README shows main.cpp word for word, between two markers.
file(READ "${SOURCE_DIR}/README.md" readme)
string(REGEX MATCH "<!-- consumer-example:begin -->\n```cpp\n(.*)```\n<!-- consumer-example:end -->"
       found "${readme}")
file(READ "${consumer}/main.cpp" mainSource)
if(NOT CMAKE_MATCH_1 STREQUAL mainSource)
  message(FATAL_ERROR "README.md's library example differs from ${consumer}/main.cpp")
endif()

fresh_folder("${WORK}")
set(prefix "${WORK}/prefix")
run_or_fail("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")
run_or_fail("${CMAKE_COMMAND}" -S "${consumer}" -B "${WORK}/build" -G "${GENERATOR}"
            "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
            "-DCMAKE_BUILD_TYPE=${CONFIG}" "-DCMAKE_PREFIX_PATH=${prefix}"
            "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run_or_fail("${CMAKE_COMMAND}" --build "${WORK}/build" --config "${CONFIG}")

# Multi-configuration generators put programs in a folder per configuration.
set(programs "${WORK}/build")
if(IS_DIRECTORY "${WORK}/build/${CONFIG}")
  set(programs "${WORK}/build/${CONFIG}")
endif()

run_or_fail("${programs}/round_trip")
if(NOT output MATCHES "intact")
  message(FATAL_ERROR "round_trip printed: ${output}")
endif()

set(data "${WORK}/data")
file(WRITE "${data}/demo/config.cpp" "    class A { x = 1; };\n    class B { x = 1; };\n")
file(WRITE "${data}/demo/sound/wind.ogg" "OggS stored as it is")
run_or_fail("${programs}/pack_and_extract" "${data}/demo" "${data}/out/")
foreach(file config.cpp sound/wind.ogg)
  run_or_fail("${CMAKE_COMMAND}" -E compare_files "${data}/demo/${file}" "${data}/out/${file}")
endforeach()

file(REMOVE_RECURSE "${WORK}")
