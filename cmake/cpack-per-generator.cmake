# Read by CPack before it makes each package: the components that package
# holds. The Debian package gets copyright and changelog where Debian looks for
# them; the tarball, the zip and the Windows installer get README and LICENSE
# at their top, and the installer its helper. The installer is named
# corvane-X.Y.Z-windows-x86_64-setup.exe.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(corvane_components program debian)
elseif(CPACK_GENERATOR STREQUAL "NSIS")
  set(corvane_components program archive installer)
else()
  set(corvane_components program archive)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(component IN LISTS corvane_components)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_CORVANE_BINARY_DIR}" corvane ${component} /)
endforeach()
if(CPACK_GENERATOR STREQUAL "NSIS")
  string(APPEND CPACK_PACKAGE_FILE_NAME "-setup")
endif()
