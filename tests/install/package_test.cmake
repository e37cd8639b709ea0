# `cpack -G DEB` makes pbo_VERSION_ARCH.deb holding exactly the tool, its compressed manual
# page (its footer showing the version), the copyright, the changelog of this version and
# the two guides (no library files);
# lintian, where it is installed, finds no error and no warning in it; and the packaged
# tool runs.
#   -DCPACK= the cpack program  -DBUILD_DIR= the build folder  -DCONFIG= its configuration
#   -DVERSION= the project version  -DSAMPLE= samples/Island.pbo  -DWORK= a scratch folder
include(${CMAKE_CURRENT_LIST_DIR}/helpers.cmake)

find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIPPED: dpkg-deb is not installed, so no Debian package can be checked")
  return()
endif()

fresh_folder("${WORK}")
run_or_fail("${CPACK}" -G DEB -C "${CONFIG}" --config "${BUILD_DIR}/CPackConfig.cmake"
            -B "${WORK}/out")
file(GLOB packages "${WORK}/out/*.deb")
run_or_fail("${DPKG_DEB}" --field "${packages}" Architecture)
string(STRIP "${output}" architecture)
set(package "${WORK}/out/pbo_${VERSION}_${architecture}.deb")
if(NOT packages STREQUAL package)
  message(FATAL_ERROR "expected ${package} alone, found: ${packages}")
endif()

run_or_fail("${DPKG_DEB}" --field "${package}" Package Version)
if(NOT output STREQUAL "Package: pbo\nVersion: ${VERSION}\n")
  message(FATAL_ERROR "control fields:\n${output}")
endif()

# The regular files, by path: `dpkg-deb -c` prints one tar listing line per member.
run_or_fail("${DPKG_DEB}" -c "${package}")
string(REGEX MATCHALL "\n-[^\n]* \\./[^\n]*" fileLines "\n${output}")
set(files "")
foreach(line IN LISTS fileLines)
  string(REGEX REPLACE ".* \\./" "/" path "${line}")
  list(APPEND files "${path}")
endforeach()
list(SORT files)
set(expected /usr/bin/pbo /usr/share/doc/pbo/changelog.gz /usr/share/doc/pbo/copyright
             /usr/share/doc/pbo/format.md /usr/share/doc/pbo/security.md
             /usr/share/man/man1/pbo.1.gz)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "the package holds [${files}] instead of [${expected}]:\n${output}")
endif()

# The packaged tool's informational tags (I:) are left to the README's account of them.
# lintian leaves files of its own in the temporary folder: it gets one in WORK.
find_program(LINTIAN lintian)
if(LINTIAN)
  file(MAKE_DIRECTORY "${WORK}/lintian")
  run_or_fail("${CMAKE_COMMAND}" -E env "TMPDIR=${WORK}/lintian" "${LINTIAN}"
              --fail-on error,warning "${package}")
else()
  message("lintian is not installed (make test installs it): the package's layout is "
          "checked, not its policy")
endif()

run_or_fail("${DPKG_DEB}" -x "${package}" "${WORK}/root")
# dpkg names this version from the changelog's first entry.
run_or_fail(gzip -dc "${WORK}/root/usr/share/doc/pbo/changelog.gz")
if(NOT output MATCHES "^pbo \\(${VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${VERSION}")
endif()
# The manual page's footer shows the version, which CMakeLists.txt alone states.
run_or_fail(gzip -dc "${WORK}/root/usr/share/man/man1/pbo.1.gz")
if(NOT output MATCHES "^\\.TH PBO 1 [^ \n]+ \"pbo ${VERSION}\" ")
  string(REGEX MATCH "^[^\n]*" firstLine "${output}")
  message(FATAL_ERROR "the manual page begins with [${firstLine}], without version ${VERSION}")
endif()
expect_sample_extracts("${WORK}/root/usr/bin/pbo" "${SAMPLE}" "${WORK}/run")

file(REMOVE_RECURSE "${WORK}")
