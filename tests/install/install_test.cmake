# `cmake --install` into a fresh prefix puts the tool and its manual page where users look
# for them, and the installed tool extracts the bundled sample.
#   -DBUILD_DIR= the build folder  -DCONFIG= its configuration  -DSAMPLE= samples/Island.pbo
#   -DWORK= a scratch folder  -DEXE_SUFFIX= ".exe" on Windows
include(${CMAKE_CURRENT_LIST_DIR}/helpers.cmake)

fresh_folder("${WORK}")
set(prefix "${WORK}/prefix")
run_or_fail("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")

expect_file("${prefix}/bin/pbo${EXE_SUFFIX}")
expect_file("${prefix}/share/man/man1/pbo.1")
expect_file("${prefix}/share/doc/pbo/copyright")
expect_sample_extracts("${prefix}/bin/pbo${EXE_SUFFIX}" "${SAMPLE}" "${WORK}/run")

file(REMOVE_RECURSE "${WORK}")
