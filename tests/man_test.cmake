# The man page, as the build configured it, formats without a warning,
# renders with man -l showing the project's version, and has an entry for
# every option in the tool's option table.
#
#   cmake -DPAGE=<build>/exspack.1 -DMAIN=main.cpp -DVERSION=<version> -DGROFF=<groff> [-DMAN=<man>]
#         -P man_test.cmake
execute_process(COMMAND ${GROFF} -man -Tutf8 -ww -z ${PAGE} RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR warnings)
  message(FATAL_ERROR "groff (${status}):\n${warnings}")
endif()

if(MAN)
  set(ENV{MANWIDTH} 80)
  execute_process(COMMAND ${MAN} -l ${PAGE} RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR errors OR NOT text MATCHES "EXSPACK\\(1\\)" OR NOT text MATCHES "exspack ${VERSION}")
    message(FATAL_ERROR "man -l (${status}):\n${errors}\n${text}")
  endif()
endif()

file(READ ${MAIN} source)
if(NOT source MATCHES "arguments\\[\\] = {([^}]*)}")
  message(FATAL_ERROR "no option table in ${MAIN}")
endif()
string(REGEX MATCHALL "\"[a-z]+\"" options "${CMAKE_MATCH_1}")
file(READ ${PAGE} page)
foreach(option IN LISTS options)
  string(REPLACE "\"" "" option "${option}")
  if(NOT page MATCHES "\n\\.TP\n\\.BI? \\\\-${option}[ \n]")
    message(FATAL_ERROR "no entry for -${option} under OPTIONS in ${PAGE}")
  endif()
endforeach()
message(STATUS "options documented: ${options}")
