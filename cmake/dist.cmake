# Packages a build with cpack and puts its packages in the release folder,
# then writes SHA256SUMS anew over every package there: the Linux build's
# .deb files (a ctest fixture, so that the packages are the build the tests
# ran), the Windows build's zip (.ci/windows) and the web page's zip (.ci/web).
#
#   cmake -DBUILD=<build folder> -DDIST=<release folder> [-DCPACK=<cpack>] -P dist.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT CPACK)
  get_filename_component(cmake_dir ${CMAKE_COMMAND} DIRECTORY)
  set(CPACK ${cmake_dir}/cpack)
endif()
file(REMOVE_RECURSE ${BUILD}/packages)
execute_process(COMMAND ${CPACK} --config ${BUILD}/CPackConfig.cmake -B ${BUILD}/packages
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack (${status}):\n${out}${err}")
endif()
file(GLOB made ${BUILD}/packages/*.deb ${BUILD}/packages/*.zip)
if(NOT made)
  message(FATAL_ERROR "cpack made no package:\n${out}${err}")
endif()
file(MAKE_DIRECTORY ${DIST})
file(COPY ${made} DESTINATION ${DIST})

file(GLOB packages RELATIVE ${DIST} ${DIST}/*.deb ${DIST}/*.zip)
list(SORT packages)
set(sums "")
foreach(package IN LISTS packages)
  file(SHA256 ${DIST}/${package} sum)
  string(APPEND sums "${sum}  ${package}\n")
endforeach()
file(WRITE ${DIST}/SHA256SUMS "${sums}")
foreach(package IN LISTS made)
  get_filename_component(name ${package} NAME)
  message(STATUS "${DIST}/${name}")
endforeach()
