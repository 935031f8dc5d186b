# What `cmake --install` puts in place, in two components that the packages
# (cmake/package.cmake) take apart: `tool`, the program with its manual and
# documents, and `dev`, the codec as a static library with its header, a
# CMake package giving exspack::lzss, and a pkg-config file. The installed
# tree may be moved or installed with --prefix: both packages find their
# files relative to themselves.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(EXSPACK_MAINTAINER "the exspack authors <exspack@users.noreply.invalid>" CACHE STRING
    "Who the packages and the Debian changelog name as their maintainer")

# Folders come out alike whatever the umask of whoever builds a package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The page's .TH line takes the version from project().
configure_file(exspack.1 ${PROJECT_BINARY_DIR}/exspack.1 @ONLY)
find_program(EXSPACK_GROFF groff)

if(WIN32)
  # A folder to unzip anywhere and run the program from: everything side by
  # side, and the manual as plain text, since Windows has no man.
  install(TARGETS exspack RUNTIME DESTINATION . COMPONENT tool)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION . COMPONENT tool)
  if(EXSPACK_GROFF)
    # ASCII, so that an option copied out of it is a plain hyphen; unhyphenated,
    # so that no option or path is split across lines.
    add_custom_command(OUTPUT MANUAL.txt
      COMMAND ${EXSPACK_GROFF} -man -Tascii -P-cbou -rHY=0 ${PROJECT_BINARY_DIR}/exspack.1 > MANUAL.txt
      DEPENDS ${PROJECT_BINARY_DIR}/exspack.1 VERBATIM)
    add_custom_target(exspack_manual ALL DEPENDS MANUAL.txt)
    install(FILES ${PROJECT_BINARY_DIR}/MANUAL.txt DESTINATION . COMPONENT tool)
  else()
    message(WARNING "groff not found: the manual MANUAL.txt is neither made nor installed")
  endif()
else()
  install(TARGETS exspack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # Compressed as distributions install man pages; -n leaves the name and
  # time out, so that the same page always gives the same bytes.
  find_program(EXSPACK_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT exspack.1.gz
    COMMAND ${EXSPACK_GZIP} -9nkf exspack.1
    DEPENDS ${PROJECT_BINARY_DIR}/exspack.1 VERBATIM)
  # The changelog in the form Debian's tools read, made from CHANGELOG.md.
  add_custom_command(OUTPUT changelog.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUT=changelog
            -DNAME=${PROJECT_NAME} "-DMAINTAINER=${EXSPACK_MAINTAINER}"
            -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
    COMMAND ${EXSPACK_GZIP} -9nf changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake VERBATIM)
  add_custom_target(exspack_docs ALL DEPENDS exspack.1.gz changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/exspack.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  # The license goes wherever the program goes, as its terms ask.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT tool)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
  # Each Debian package carries both in a folder of its own name. Only the
  # package of the library, or an install of that component alone, needs
  # this second copy.
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/exspack-dev
          COMPONENT dev EXCLUDE_FROM_ALL)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/exspack-dev RENAME copyright
          COMPONENT dev EXCLUDE_FROM_ALL)
endif()

# The header lives in a folder of its own, so that its plain name clashes
# with nothing else installed; consumers still include "LZSS.h".
set(EXSPACK_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/exspack)
set(EXSPACK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/exspack)
target_include_directories(lzss PUBLIC $<INSTALL_INTERFACE:${EXSPACK_INSTALL_INCLUDEDIR}>)

install(TARGETS lzss EXPORT exspackTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES codec/LZSS.h DESTINATION ${EXSPACK_INSTALL_INCLUDEDIR} COMPONENT dev)

# What linking the static codec takes besides the library itself: the thread
# library, where the codec uses threads, and the C++ runtime, which a link
# driven by a C compiler leaves out.
get_target_property(lzss_links lzss LINK_LIBRARIES)
set(EXSPACK_CONFIG_DEPENDENCIES "")
set(pc_libs "")
if("Threads::Threads" IN_LIST lzss_links)
  string(APPEND EXSPACK_CONFIG_DEPENDENCIES "find_dependency(Threads)\n")
  set(pc_libs "${CMAKE_THREAD_LIBS_INIT}")
endif()
set(EXSPACK_CXX_RUNTIME "")
foreach(lib IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT lib IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES)
    list(APPEND EXSPACK_CXX_RUNTIME ${lib})
    if(lib MATCHES "^-|/")
      string(APPEND pc_libs " ${lib}")
    else()
      string(APPEND pc_libs " -l${lib}")
    endif()
  endif()
endforeach()
string(STRIP "${pc_libs}" pc_libs)

install(EXPORT exspackTargets NAMESPACE exspack:: DESTINATION ${EXSPACK_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(cmake/exspackConfig.cmake.in ${PROJECT_BINARY_DIR}/exspackConfig.cmake
  INSTALL_DESTINATION ${EXSPACK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/exspackConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/exspackConfig.cmake ${PROJECT_BINARY_DIR}/exspackConfigVersion.cmake
  DESTINATION ${EXSPACK_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config's ${pcfiledir} is the folder of the .pc file: the prefix is
# found from there, unless the install folders were given as absolute paths.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
  set(pc_libdir "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(pc_includedir "${CMAKE_INSTALL_FULL_INCLUDEDIR}/exspack")
else()
  file(RELATIVE_PATH pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(pc_prefix "\${pcfiledir}/${pc_up}")
  set(pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(pc_includedir "\${prefix}/${EXSPACK_INSTALL_INCLUDEDIR}")
endif()
configure_file(cmake/exspack.pc.in ${PROJECT_BINARY_DIR}/exspack.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/exspack.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
