# What `cmake --install` puts where, and the CPack packages of `make package`:
# on Linux a tarball and a Debian package, from the mingw build a Windows zip
# and an installer (NSIS, from packaging/nsis/NSIS.template.in).
# Install components: `program` (the binary and the manual, what a plain
# install gets), `archive` (README and LICENSE for the tarball and the zip),
# `debian` (copyright and changelog) and `installer` (the Windows installer's
# helper, which it never installs), the last three chosen per package by
# cmake/cpack-per-generator.cmake.
include(GNUInstallDirs)

set(CORVANE_PACKAGE_CONTACT "The Corvane developers <corvane@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
  # Everything at the top of the zip, text files with Windows line endings.
  configure_file(${packaging}/README-windows.txt.in ${staged}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${staged}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS corvane RUNTIME DESTINATION . COMPONENT program)
  install(FILES ${staged}/README.txt ${staged}/LICENSE.txt DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
  install(TARGETS setup_helper RUNTIME DESTINATION . COMPONENT installer EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME windows-x86_64)
  # CPack finds the installer's script template on the module path.
  list(APPEND CMAKE_MODULE_PATH ${packaging}/nsis)
else()
  # The manual carries the version and is installed compressed, as Debian wants
  # it: gzip -n leaves out the name and time, so the same source gives the same bytes.
  configure_file(${PROJECT_SOURCE_DIR}/man/corvane.1.in ${staged}/corvane.1 @ONLY)
  add_custom_command(OUTPUT ${staged}/corvane.1.gz
    COMMAND gzip -9nkf ${staged}/corvane.1
    DEPENDS ${staged}/corvane.1 VERBATIM)
  add_custom_target(corvane_manual ALL DEPENDS ${staged}/corvane.1.gz)

  string(TIMESTAMP release_date "%a, %d %b %Y 00:00:00 +0000" UTC)
  configure_file(${packaging}/changelog.in ${staged}/changelog @ONLY)
  add_custom_command(OUTPUT ${staged}/changelog.gz
    COMMAND gzip -9nkf ${staged}/changelog
    DEPENDS ${staged}/changelog VERBATIM)
  add_custom_target(corvane_changelog ALL DEPENDS ${staged}/changelog.gz)
  # Debian's copyright file: the license text as a field of the machine-readable format.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
  string(REGEX REPLACE "\n$" "" license_text "${license_text}")
  string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REPLACE "\n" "\n " license_text "${license_text}")
  configure_file(${packaging}/copyright.in ${staged}/copyright @ONLY)

  install(TARGETS corvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${staged}/corvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
  install(FILES ${staged}/copyright ${staged}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/corvane COMPONENT debian EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR TGZ DEB)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
endif()

set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_CONTACT "${CORVANE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repair integer FITS images written by stacking software")
# Lines of at most 80 characters, as Debian's package description wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Corvane repairs 16-bit and 32-bit integer FITS images written by stacking"
  "software, above all Registax and Astra Image, so that other programs read"
  "them right: it lowers Registax pixels by the one count they are too high and"
  "pads Astra Image data to its full length. It can also offset, scale and"
  "stretch the pixels and set BZERO, and it marks each file it repairs, so that"
  "a second run over the same folder touches only new files. Files are replaced"
  "safely (a temporary file renamed over the original), and -check shows what a"
  "run would do without writing anything.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Read by cmake/cpack-per-generator.cmake, which picks each package's components.
set(CPACK_CORVANE_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-per-generator.cmake)
include(CPack)
