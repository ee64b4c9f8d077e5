# Shared part of the mingw-w64 toolchain files (included by i686-w64-mingw32.cmake and
# x86_64-w64-mingw32.cmake after they set SP_MINGW_TRIPLET). Uses Debian's compilers with the
# posix thread model (g++-mingw-w64-*-posix), which the library's per-thread message buffer needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${SP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SP_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler runtime (libgcc, libstdc++, winpthread) is linked statically, so that
# signalpattern.dll and the test programs need only system DLLs (KERNEL32, msvcrt). The
# runtime's own symbols are never re-exported from the DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
