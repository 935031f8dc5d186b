# Checks the release files that the builds leave in dist/ as a user gets
# them: unpacked into a scratch folder, holding exactly their own files,
# and the tool in them packing and unpacking a file.
#
#   cmake -DKIND=deb|zip|web -DDIST=<dist> -DVERSION=<version> -DWORK=<scratch folder>
#         -DSAMPLE=<a file to pack> [-DDPKG=<dpkg>] [-DDPKG_DEB=<dpkg-deb>] [-DLINTIAN=<lintian>]
#         [-DMAN=<man>] [-DGZIP=<gzip>] [-DCC=<cc>] [-DPKG_CONFIG=<pkg-config>] [-DWINE=<wine>]
#         -P release_test.cmake
#
# A missing file makes the test skip (ctest matches "release test skipped");
# a missing tool skips only the checks that need it, saying which.
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

# A macro, so that its return() ends the script. CI makes every release
# file and installs every tool first, so there a skip is a failure.
macro(skip_test why)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "release test not run in CI: ${why}")
  endif()
  message(STATUS "release test skipped: ${why}")
  return()
endmacro()

# A check left out for a missing tool: said, or in CI, where .ci/deps
# installs every one, a failure.
function(left_out why)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "not checked in CI: ${why}")
  endif()
  message(STATUS "${why}")
endfunction()

# The package's entry in SHA256SUMS must be the file's own sum.
function(check_sum package)
  get_filename_component(name ${package} NAME)
  file(SHA256 ${package} sum)
  file(STRINGS ${DIST}/SHA256SUMS lines)
  if(NOT "${sum}  ${name}" IN_LIST lines)
    message(FATAL_ERROR "${DIST}/SHA256SUMS has no line \"${sum}  ${name}\"")
  endif()
endfunction()

# Every file under root, symbolic links included, against the expected list.
function(check_files root)
  file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
  list(SORT found)
  set(expected ${ARGN})
  list(SORT expected)
  if(NOT found STREQUAL expected)
    string(REPLACE ";" "\n  " found "${found}")
    string(REPLACE ";" "\n  " expected "${expected}")
    message(FATAL_ERROR "${root} holds:\n  ${found}\ninstead of:\n  ${expected}")
  endif()
endfunction()

# Packs SAMPLE with the tool and unpacks it again, in WORK; the arguments
# are the command that runs the tool.
function(round_trip)
  configure_file(${SAMPLE} ${WORK}/sample.txt COPYONLY)
  execute_process(COMMAND ${ARGN} sample.txt sample.exs WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(status EQUAL 0)
    execute_process(COMMAND ${ARGN} sample.exs unpacked.txt -d WORKING_DIRECTORY ${WORK}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  endif()
  if(NOT status EQUAL 0 OR NOT out MATCHES "Compressed Size")
    message(FATAL_ERROR "${ARGN} (${status}):\n${out}${err}")
  endif()
  file(SIZE ${WORK}/sample.exs packed)
  file(SIZE ${SAMPLE} size)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SAMPLE} ${WORK}/unpacked.txt RESULT_VARIABLE differs)
  if(differs OR NOT packed LESS size)
    message(FATAL_ERROR "${ARGN}: ${size} bytes packed into ${packed} did not unpack to the same bytes")
  endif()
  message(STATUS "packed ${size} bytes into ${packed} and back")
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

if(KIND STREQUAL "deb")
  if(NOT DPKG OR NOT DPKG_DEB)
    skip_test("dpkg and dpkg-deb are not installed, so the Debian packages cannot be checked")
  endif()
  run(${DPKG} --print-architecture)
  string(STRIP "${out}" arch)
  set(tool ${DIST}/exspack_${VERSION}_${arch}.deb)
  set(dev ${DIST}/exspack-dev_${VERSION}_${arch}.deb)
  if(NOT EXISTS ${tool} OR NOT EXISTS ${dev})
    skip_test("no exspack_${VERSION}_${arch}.deb and exspack-dev_${VERSION}_${arch}.deb in ${DIST}: build with cmake --preset release and run its tests")
  endif()
  check_sum(${tool})
  check_sum(${dev})

  run(${DPKG_DEB} -x ${tool} ${WORK}/tool)
  check_files(${WORK}/tool usr/bin/exspack usr/share/man/man1/exspack.1.gz
              usr/share/doc/exspack/copyright usr/share/doc/exspack/changelog.gz)
  run(${DPKG_DEB} -x ${dev} ${WORK}/dev)
  file(GLOB libdir RELATIVE ${WORK}/dev ${WORK}/dev/usr/lib/*)
  check_files(${WORK}/dev usr/include/exspack/LZSS.h ${libdir}/liblzss.a ${libdir}/pkgconfig/exspack.pc
              ${libdir}/cmake/exspack/exspackConfig.cmake ${libdir}/cmake/exspack/exspackConfigVersion.cmake
              ${libdir}/cmake/exspack/exspackTargets.cmake ${libdir}/cmake/exspack/exspackTargets-release.cmake
              usr/share/doc/exspack-dev/copyright usr/share/doc/exspack-dev/changelog.gz)

  # dpkg-shlibdeps names the libraries the binary links against, each with
  # the least version of it that has every symbol used.
  run(${DPKG_DEB} -f ${tool} Version Depends)
  foreach(library libc6 libstdc\\+\\+6)
    if(NOT out MATCHES "Depends:.* ${library} \\(>= [^)]+\\)")
      message(FATAL_ERROR "the control data names no versioned dependency on ${library}:\n${out}")
    endif()
  endforeach()
  if(NOT out MATCHES "Version: ${VERSION}\n")
    message(FATAL_ERROR "the control data does not give version ${VERSION}:\n${out}")
  endif()
  message(STATUS "control data:\n${out}")

  round_trip(${WORK}/tool/usr/bin/exspack)

  if(GZIP)
    # The newest entry of the changelog is this version's.
    run(${GZIP} -dc ${WORK}/tool/usr/share/doc/exspack/changelog.gz)
    if(NOT out MATCHES "^exspack \\(${VERSION}\\) ")
      message(FATAL_ERROR "the changelog does not start with version ${VERSION}: is it in CHANGELOG.md?\n${out}")
    endif()
  endif()

  if(MAN)
    set(ENV{MANWIDTH} 80)
    run(${MAN} -l ${WORK}/tool/usr/share/man/man1/exspack.1.gz)
    if(err OR NOT out MATCHES "EXSPACK\\(1\\)" OR NOT out MATCHES "exspack ${VERSION}")
      message(FATAL_ERROR "man -l rendered no page of exspack ${VERSION}:\n${err}\n${out}")
    endif()
  else()
    left_out("man is not installed (.ci/deps installs it where it can): the packaged man page was not rendered")
  endif()

  # A C program built against the unpacked library package alone.
  if(CC AND PKG_CONFIG)
    set(ENV{PKG_CONFIG_PATH} ${WORK}/dev/${libdir}/pkgconfig)
    set(ENV{PKG_CONFIG_LIBDIR} ${WORK}/dev/${libdir}/pkgconfig)
    run(${PKG_CONFIG} --cflags --libs exspack)
    separate_arguments(flags UNIX_COMMAND "${out}")
    run(${CC} ${CMAKE_CURRENT_LIST_DIR}/consumer/main.c ${flags} -o ${WORK}/consumer)
    run(${WORK}/consumer)
    message(STATUS "consumer of exspack-dev: ${out}")
  else()
    left_out("no C compiler or pkg-config: the library package was not linked against")
  endif()

  if(LINTIAN)
    execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${tool} ${dev}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR out)
      message(FATAL_ERROR "lintian (${status}):\n${out}${err}")
    endif()
    message(STATUS "lintian: no error, no warning")
  else()
    left_out("lintian is not installed (.ci/deps installs it): the packages were not checked with it")
  endif()

elseif(KIND STREQUAL "zip")
  set(zip ${DIST}/exspack-${VERSION}-win64.zip)
  if(NOT EXISTS ${zip})
    skip_test("no exspack-${VERSION}-win64.zip in ${DIST}: run .ci/windows (it needs mingw-w64)")
  endif()
  check_sum(${zip})
  file(MAKE_DIRECTORY ${WORK}/unzipped)
  run(${CMAKE_COMMAND} -E chdir ${WORK}/unzipped ${CMAKE_COMMAND} -E tar xf ${zip})
  check_files(${WORK}/unzipped exspack.exe README.md LICENSE CHANGELOG.md MANUAL.txt)
  # Plain text: no backspaces of terminal bold and underline.
  file(READ ${WORK}/unzipped/MANUAL.txt manual)
  string(ASCII 8 backspace)
  if(NOT manual MATCHES "EXSPACK\\(1\\)" OR NOT manual MATCHES "exspack ${VERSION}" OR manual MATCHES "${backspace}")
    message(FATAL_ERROR "MANUAL.txt is not the plain text of the man page of exspack ${VERSION}")
  endif()

  if(WINE)
    # A prefix of the test's own, made on the first run and kept, since
    # making one takes a while; the run ends its server so that nothing is
    # left holding the folder.
    get_filename_component(wine_dir ${WINE} DIRECTORY)
    find_program(wineserver NAMES wineserver wineserver64 HINTS ${wine_dir} /usr/lib/wine)
    set(ENV{WINEPREFIX} ${WORK}-wineprefix)
    set(ENV{WINEDEBUG} -all)
    set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
    round_trip(${WINE} ${WORK}/unzipped/exspack.exe)
    if(wineserver)
      execute_process(COMMAND ${wineserver} -k)
    endif()
  else()
    left_out("Wine is not installed (.ci/deps installs it): exspack.exe was not run")
  endif()
elseif(KIND STREQUAL "web")
  set(zip ${DIST}/exspack-${VERSION}-web.zip)
  if(NOT EXISTS ${zip})
    skip_test("no exspack-${VERSION}-web.zip in ${DIST}: run .ci/web (it needs emscripten)")
  endif()
  check_sum(${zip})
  file(MAKE_DIRECTORY ${WORK}/unzipped)
  run(${CMAKE_COMMAND} -E chdir ${WORK}/unzipped ${CMAKE_COMMAND} -E tar xf ${zip})
  check_files(${WORK}/unzipped index.html)
  # The module inside the page, not beside it.
  file(READ ${WORK}/unzipped/index.html page)
  if(NOT page MATCHES "data:application/octet-stream;base64,AGFzbQ" OR NOT page MATCHES "window\\.exspack")
    message(FATAL_ERROR "index.html holds no WebAssembly module or no window.exspack")
  endif()
else()
  message(FATAL_ERROR "KIND must be deb, zip or web")
endif()
