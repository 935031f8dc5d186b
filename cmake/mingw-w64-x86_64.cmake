# Cross-compiles for Windows x86-64 with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). Where Wine is installed, it becomes the
# emulator that runs the test programs, with its own prefix in the build tree.
#
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(EXSPACK_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix flavour carries std::thread and friends; the tool needs neither,
# but GoogleTest does.
find_program(CMAKE_C_COMPILER NAMES ${EXSPACK_MINGW_TRIPLE}-gcc-posix ${EXSPACK_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${EXSPACK_MINGW_TRIPLE}-g++-posix ${EXSPACK_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${EXSPACK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${EXSPACK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the GCC runtime, libstdc++ and winpthread linked
# in, so that only the system's C runtime is needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(EXSPACK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(EXSPACK_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all ${EXSPACK_WINE})
endif()
