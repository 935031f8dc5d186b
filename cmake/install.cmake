# What `cmake --install` puts in place: the tool and its man page, the codec
# as a static library with its header, a CMake package giving exspack::lzss,
# and a pkg-config file. The installed tree may be moved or installed with
# --prefix: both packages find their files relative to themselves.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The header lives in a folder of its own, so that its plain name clashes
# with nothing else installed; consumers still include "LZSS.h".
set(EXSPACK_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/exspack)
set(EXSPACK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/exspack)
target_include_directories(lzss PUBLIC $<INSTALL_INTERFACE:${EXSPACK_INSTALL_INCLUDEDIR}>)

install(TARGETS exspack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES exspack.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(TARGETS lzss EXPORT exspackTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES LZSS.h DESTINATION ${EXSPACK_INSTALL_INCLUDEDIR})

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

install(EXPORT exspackTargets NAMESPACE exspack:: DESTINATION ${EXSPACK_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/exspackConfig.cmake.in ${PROJECT_BINARY_DIR}/exspackConfig.cmake
  INSTALL_DESTINATION ${EXSPACK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/exspackConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/exspackConfig.cmake ${PROJECT_BINARY_DIR}/exspackConfigVersion.cmake
  DESTINATION ${EXSPACK_INSTALL_CMAKEDIR})

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
install(FILES ${PROJECT_BINARY_DIR}/exspack.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
