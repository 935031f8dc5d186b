# Installs the build tree into a fresh prefix, then builds and runs the C
# project in consumer/ against it twice: through find_package(exspack CONFIG)
# and through pkg-config.
#
#   cmake -DBUILD=<build tree> -DWORK=<scratch folder> -DGENERATOR=<generator>
#         -DC_COMPILER=<cc> "-DC_FLAGS=<flags>" [-DPKG_CONFIG=<pkg-config>]
#         -P install_test.cmake
# C_FLAGS are the build's own (sanitizers, say), which linking its library needs.
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
foreach(file bin/exspack share/man/man1/exspack.1.gz share/doc/exspack/copyright share/doc/exspack/changelog.gz)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK}/cmake -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}" -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/cmake)
run(${WORK}/cmake/consumer)
message(STATUS "find_package: ${out}")

if(PKG_CONFIG)
  file(GLOB pc_dir LIST_DIRECTORIES true ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
  run(${PKG_CONFIG} --cflags --libs exspack)
  separate_arguments(flags UNIX_COMMAND "${C_FLAGS} ${out}")
  run(${C_COMPILER} ${CMAKE_CURRENT_LIST_DIR}/consumer/main.c ${flags} -o ${WORK}/pc-consumer)
  run(${WORK}/pc-consumer)
  message(STATUS "pkg-config: ${out}")
endif()
