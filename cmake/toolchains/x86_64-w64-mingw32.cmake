# 64-bit Windows:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
# Needs g++-mingw-w64-x86-64-posix. With wine64 installed, ctest runs the test programs under it.
set(SP_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(SP_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine-stable NO_CMAKE_FIND_ROOT_PATH)
if(SP_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SP_WINE64})
endif()
