# 32-bit Windows (the platform the library was designed for):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
# Needs g++-mingw-w64-i686-posix. Programs built with it cannot run here (no 32-bit Wine).
set(SP_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The x87 unit keeps intermediates in extended precision; the library's results (and its
# pattern files) depend on every single-precision operation being rounded once, as SSE does.
# -mstackrealign: callers compiled by other compilers keep the stack only 4-byte aligned.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
