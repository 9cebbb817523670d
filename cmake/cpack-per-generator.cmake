# Read by CPack before it makes each package: the components that package
# holds. The Debian package gets copyright and changelog where Debian looks for
# them; the tarball and the zip get README and LICENSE at their top.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(corvane_components program debian)
else()
  set(corvane_components program archive)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(component IN LISTS corvane_components)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_CORVANE_BINARY_DIR}" corvane ${component} /)
endforeach()
