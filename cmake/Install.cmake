# What `cmake --install` puts where, and the CMake package that lets other projects link the
# codec, the archive code and the mission converter.
#
# Two install components keep the two audiences apart:
#   runtime      the tool, its manual page and the copyright notice (what the Debian package
#                carries);
#   development  the static libraries, the public headers in include/pbo/ and the package
#                files behind find_package(pbo).
# A plain `cmake --install` installs both.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# A project that adds pbo with add_subdirectory gets pbo::pbo but none of these rules.
option(PBO_INSTALL "Generate the install rules and the Debian package" ${PBO_TOP_LEVEL})

# The public surface: the codec, the mission converter and the archive modes. Every other
# header stays internal to its subsystem.
set(PBO_PUBLIC_HEADERS lzss/lzss.h mission/mission.h archive/archive.h)

# Users include the headers as <pbo/NAME.h>, from the build tree (add_subdirectory) as well
# as from an installed copy; the build tree gets its own copy of the folder for that.
set(PBO_HEADER_FOLDER ${PROJECT_BINARY_DIR}/include/pbo)
set(PBO_HEADER_COPIES "")
foreach(header IN LISTS PBO_PUBLIC_HEADERS)
  get_filename_component(headerName ${header} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${header} ${PBO_HEADER_FOLDER}/${headerName} COPYONLY)
  list(APPEND PBO_HEADER_COPIES ${PBO_HEADER_FOLDER}/${headerName})
endforeach()

# pbo::pbo, the one target library users link. Its CMake name differs from the executable's.
add_library(pbo_library INTERFACE)
add_library(pbo::pbo ALIAS pbo_library)
set_target_properties(pbo_library PROPERTIES EXPORT_NAME pbo)
target_link_libraries(pbo_library INTERFACE pbo_lzss pbo_mission pbo_archive pbo_platform)
target_include_directories(pbo_library INTERFACE
  $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(pbo_library INTERFACE cxx_std_17)

# Installed, the subsystem libraries keep the names their build-tree aliases have.
set_target_properties(pbo_lzss PROPERTIES EXPORT_NAME lzss)
set_target_properties(pbo_mission PROPERTIES EXPORT_NAME mission)
set_target_properties(pbo_archive PROPERTIES EXPORT_NAME archive)
set_target_properties(pbo_platform PROPERTIES EXPORT_NAME platform)

if(NOT PBO_INSTALL)
  return()
endif()

install(TARGETS pbo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/man/pbo.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

set(PBO_PACKAGE_FOLDER ${CMAKE_INSTALL_LIBDIR}/cmake/pbo)
install(TARGETS pbo_library pbo_lzss pbo_mission pbo_archive pbo_platform
        EXPORT pboTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PBO_HEADER_COPIES}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pbo COMPONENT development)
install(EXPORT pboTargets NAMESPACE pbo:: FILE pboTargets.cmake
        DESTINATION ${PBO_PACKAGE_FOLDER} COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pboConfig.cmake.in
  ${PROJECT_BINARY_DIR}/pboConfig.cmake
  INSTALL_DESTINATION ${PBO_PACKAGE_FOLDER})
# The public headers may change their contracts with a new major version only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/pboConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/pboConfig.cmake ${PROJECT_BINARY_DIR}/pboConfigVersion.cmake
        DESTINATION ${PBO_PACKAGE_FOLDER} COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
