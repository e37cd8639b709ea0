# `cmake --install` into a fresh prefix puts the tool, its manual page and the guides where
# users look for them, and the installed tool extracts the bundled sample.
#   -DBUILD_DIR= the build folder  -DCONFIG= its configuration  -DSAMPLE= samples/Island.pbo
#   -DWORK= a scratch folder  -DEXE_SUFFIX= ".exe" on Windows
include(${CMAKE_CURRENT_LIST_DIR}/helpers.cmake)

fresh_folder("${WORK}")
set(prefix "${WORK}/prefix")
run_or_fail("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")

if(EXE_SUFFIX STREQUAL ".exe")
  # Windows: one folder, the program at its top beside the texts.
  set(tool "${prefix}/pbo.exe")
  set(texts README.txt LICENSE.txt format.txt security.txt)
else()
  set(tool "${prefix}/bin/pbo")
  set(texts share/man/man1/pbo.1.gz share/doc/pbo/copyright share/doc/pbo/changelog.gz
            share/doc/pbo/format.md share/doc/pbo/security.md)
endif()
expect_file("${tool}")
foreach(text IN LISTS texts)
  expect_file("${prefix}/${text}")
endforeach()
expect_sample_extracts("${tool}" "${SAMPLE}" "${WORK}/run")

file(REMOVE_RECURSE "${WORK}")
