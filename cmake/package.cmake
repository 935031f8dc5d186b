# The packages `cpack` makes from the install rules (cmake/install.cmake):
# on Windows a zip of the tool component, to unzip anywhere; elsewhere a
# Debian package of each component, exspack (the tool) and exspack-dev (the
# codec library). .ci/release runs both builds and puts the files in dist/.
set(CPACK_PACKAGE_NAME exspack)
set(CPACK_PACKAGE_VENDOR "the exspack authors")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_COMPONENTS_GROUPING IGNORE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_COMPONENTS_ALL tool)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  # One zip of the one component, named as a whole release would be.
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL tool dev)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${EXSPACK_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME exspack)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
  # The first line of each is the package's synopsis. CPack would put
  # CPACK_PACKAGE_DESCRIPTION_SUMMARY before it, one for both packages, so
  # that is left unset.
  set(CPACK_DEBIAN_TOOL_DESCRIPTION "pack and unpack the compressed data records of Vesperhall (PSX)
exspack unpacks every record exactly, packs records byte for byte as the
game's own encoder does, finds and unpacks records at any position inside
larger files and raw CD images, and puts edited records back into the room
they had.")
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME exspack-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_DESCRIPTION "codec library for the data records of Vesperhall (PSX)
The codec that exspack packs and unpacks the game's records with, as a
static library with a C header, a CMake package (exspack::lzss) and a
pkg-config file.")
endif()

include(CPack)
