# What `cmake --install` puts where, and the CMake package that lets other projects link the
# codec, the archive code and the mission converter.
#
# Two install components keep the two audiences apart:
#   runtime      the tool, its manual page and the texts users read (what the Debian package
#                and the Windows download carry): on Linux and the like the manual page
#                compressed, and in share/doc/pbo the copyright, the changelog and the format
#                and security guides; on Windows pbo.exe at the top of the folder, beside
#                README.txt, LICENSE.txt, manual.txt, format.txt and security.txt;
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

# The texts for users, made at build time in one folder.
set(PBO_USER_FILES ${PROJECT_BINARY_DIR}/user-files)
set(PBO_GUIDES ${PROJECT_SOURCE_DIR}/docs/format.md ${PROJECT_SOURCE_DIR}/docs/security.md)

# The manual page as installed: its footer shows the version.
set(PBO_MANUAL_PAGE ${PBO_USER_FILES}/page/pbo.1)
add_custom_command(OUTPUT ${PBO_MANUAL_PAGE}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/man/pbo.1 -DOUT=${PBO_MANUAL_PAGE}
          -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/ManualPage.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/man/pbo.1 ${CMAKE_CURRENT_LIST_DIR}/ManualPage.cmake
  COMMENT "Writing the manual page of version ${PROJECT_VERSION}" VERBATIM)

if(WIN32)
  # Windows users open texts with a double click: .txt names, CR LF line ends, and the
  # manual rendered as plain text (groff runs on the build machine, also in cross builds).
  find_program(PBO_GROFF groff NO_CMAKE_FIND_ROOT_PATH)
  mark_as_advanced(PBO_GROFF)
  # Windows users get a README of their own: the project's speaks of make and apt-get.
  set(texts ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt=README.txt
            ${PROJECT_SOURCE_DIR}/LICENSE=LICENSE.txt ${PROJECT_SOURCE_DIR}/docs/format.md=format.txt
            ${PROJECT_SOURCE_DIR}/docs/security.md=security.txt)
  if(PBO_GROFF)
    list(APPEND texts ${PBO_MANUAL_PAGE}=manual.txt)
  else()
    message(WARNING "groff not found: the Windows download goes without manual.txt")
  endif()
  set(windowsTexts "")
  foreach(pair IN LISTS texts)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    add_custom_command(OUTPUT ${PBO_USER_FILES}/${name}
      COMMAND ${CMAKE_COMMAND} -DIN=${source} -DOUT=${PBO_USER_FILES}/${name}
              -DGROFF=${PBO_GROFF} -P ${CMAKE_CURRENT_LIST_DIR}/WindowsText.cmake
      DEPENDS ${source} ${CMAKE_CURRENT_LIST_DIR}/WindowsText.cmake
      COMMENT "Writing ${name} for Windows" VERBATIM)
    list(APPEND windowsTexts ${PBO_USER_FILES}/${name})
  endforeach()
  add_custom_target(pbo_user_files ALL DEPENDS ${windowsTexts})
  install(TARGETS pbo RUNTIME DESTINATION . COMPONENT runtime)
  install(FILES ${windowsTexts} DESTINATION . COMPONENT runtime)
else()
  # Debian wants the manual page and the changelog compressed with gzip -9n: no name and
  # no time stamp inside, so the same sources always give the same package.
  find_program(PBO_GZIP gzip)
  mark_as_advanced(PBO_GZIP)
  set(manualPage ${PBO_MANUAL_PAGE})
  set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
  if(PBO_GZIP)
    foreach(source IN ITEMS ${manualPage} ${changelog})
      get_filename_component(name ${source} NAME)
      add_custom_command(OUTPUT ${PBO_USER_FILES}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PBO_USER_FILES}/${name}
        COMMAND ${PBO_GZIP} -9nf ${PBO_USER_FILES}/${name}
        DEPENDS ${source} COMMENT "Compressing ${name}" VERBATIM)
    endforeach()
    set(manualPage ${PBO_USER_FILES}/pbo.1.gz)
    set(changelog ${PBO_USER_FILES}/changelog.gz)
  endif()
  add_custom_target(pbo_user_files ALL DEPENDS ${manualPage} ${changelog})
  install(TARGETS pbo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${manualPage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog} ${PBO_GUIDES}
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()

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
