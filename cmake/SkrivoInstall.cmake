# What `cmake --install` and the Debian packages carry. Two components:
# `skrivo` (the command line, the library with its headers, pkg-config and
# CMake package files, the man page, shell completions and the application's
# settings folder) and `editor` (skrivo-editor, the only part that needs Qt),
# so that a node without a display installs no GUI library.
include(CMakePackageConfigHelpers)

set(SKRIVO_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/skrivo)
set(SKRIVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Skrivo)

install(TARGETS skrivo EXPORT SkrivoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT skrivo NAMELINK_COMPONENT skrivo
  INCLUDES DESTINATION ${SKRIVO_INCLUDE_DIR})
# The public classes include their neighbours by folder ("engine/...",
# "platform/..."), so every header of the library's areas is installed.
install(DIRECTORY platform module recorddata templates writer engine
  DESTINATION ${SKRIVO_INCLUDE_DIR} COMPONENT skrivo
  FILES_MATCHING PATTERN "*.h")

install(EXPORT SkrivoTargets NAMESPACE Skrivo:: DESTINATION ${SKRIVO_CMAKE_DIR} COMPONENT skrivo)
configure_package_config_file(cmake/SkrivoConfig.cmake.in ${CMAKE_BINARY_DIR}/SkrivoConfig.cmake
  INSTALL_DESTINATION ${SKRIVO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SkrivoConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/SkrivoConfig.cmake ${CMAKE_BINARY_DIR}/SkrivoConfigVersion.cmake
  DESTINATION ${SKRIVO_CMAKE_DIR} COMPONENT skrivo)

# pkg-config finds the prefix from where the file lies, so a staged or
# relocated install works as well as the packaged one.
file(RELATIVE_PATH SKRIVO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" SKRIVO_PC_TO_PREFIX "${SKRIVO_PC_TO_PREFIX}")
configure_file(cmake/skrivo.pc.in ${CMAKE_BINARY_DIR}/skrivo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/skrivo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT skrivo)

# The man page is docs/cli.md, which is written as one.
find_program(SKRIVO_MD2MAN go-md2man)
if(SKRIVO_MD2MAN)
  set(man ${CMAKE_BINARY_DIR}/man/skrivo.1)
  add_custom_command(OUTPUT ${man}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/docs/cli.md -DOUT=${man}
            -DVERSION=${PROJECT_VERSION} -DMD2MAN=${SKRIVO_MD2MAN} -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/cli.md ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Man page skrivo.1 from docs/cli.md")
  add_custom_target(skrivo_man ALL DEPENDS ${man})
  install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT skrivo)
else()
  message(STATUS "go-md2man not found: no man page (scripts/deps installs it)")
endif()

install(FILES tools/cli/completions/skrivo.bash RENAME skrivo
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT skrivo)
install(FILES tools/cli/completions/_skrivo
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT skrivo)

# The application's template and montage folders (docs/cli.md, FILES):
# empty until templates are placed there.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/settings/EEG ${CMAKE_BINARY_DIR}/settings/Sleep)
install(DIRECTORY ${CMAKE_BINARY_DIR}/settings DESTINATION ${CMAKE_INSTALL_DATADIR}/skrivo COMPONENT skrivo)

set(CPACK_PACKAGE_NAME skrivo)
set(CPACK_PACKAGE_VENDOR "Skrivo")
set(CPACK_PACKAGE_CONTACT "Skrivo developers <skrivo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Export EEG and sleep study recordings to EDF and EDF+")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL skrivo)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_SKRIVO_PACKAGE_NAME skrivo)
if(TARGET skrivo_editor_cli)
  list(APPEND CPACK_COMPONENTS_ALL editor)
  set(CPACK_DEBIAN_EDITOR_PACKAGE_NAME skrivo-editor)
  set(CPACK_DEBIAN_EDITOR_PACKAGE_DEPENDS "skrivo (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_EDITOR_DESCRIPTION "The Qt template editor that `skrivo templates edit` opens")
endif()
include(CPack)
