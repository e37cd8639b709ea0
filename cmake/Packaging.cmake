# The packages users download, made by CPack from the runtime component alone (library
# users build from source); the version is the one project() states, and
# packaging/changelog's first entry must name it (the package test checks).
#   Linux:   `cpack -G DEB` in the build folder writes pbo_VERSION_ARCH.deb, installed under
#            /usr, clean under lintian.
#   Windows: `cpack -G ZIP` in the (mingw-w64) build folder writes pbo-VERSION-win64.zip,
#            one folder holding pbo.exe and its texts.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The pbo developers")
set(CPACK_PACKAGE_CONTACT "The pbo developers <pbo-developers@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
  endif()
  # The zip holds one folder of that name, so that unpacking it makes nothing else.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary line first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "pbo unpacks a PBO archive into a folder beside it and packs a folder into an
archive. Compressed entries are expanded and verified against their checksum,
and binarized mission files come out as class-structured text. It prints
nothing unless PBO_VERBOSE=1 asks it to say why; its exit code tells the
result.")
find_program(PBO_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(PBO_DPKG_SHLIBDEPS)
if(PBO_DPKG_SHLIBDEPS AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev the package still states what a C++ program needs at run time.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

# Debian strips a program's compiler notes (.comment, .note) as well as its symbols; CPack's
# stripping leaves them, so a script does it between CPack's install and the packing.
find_program(PBO_OBJCOPY NAMES ${CMAKE_OBJCOPY} objcopy)
mark_as_advanced(PBO_OBJCOPY)
if(PBO_OBJCOPY AND NOT WIN32)
  set(CPACK_PBO_OBJCOPY ${PBO_OBJCOPY})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StripNotes.cmake)
endif()

include(CPack)
