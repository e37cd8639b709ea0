# The Debian package: `cpack -G DEB` in the build folder writes pbo_VERSION_ARCH.deb holding
# the runtime component only (tool, manual page, copyright), installed under /usr. The
# version is the one project() states; nothing else names it.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The pbo developers")
set(CPACK_PACKAGE_CONTACT "The pbo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
endif()

# Only the runtime component goes in: library users build from source.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary line first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "pbo unpacks a PBO archive into a folder beside it and packs a folder into an
archive. Compressed entries are expanded and verified against their checksum,
and binarized mission files come out as class-structured text. It prints
nothing; its exit code tells the result.")
find_program(PBO_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(PBO_DPKG_SHLIBDEPS)
if(PBO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev the package still states what a C++ program needs at run time.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
