#!/usr/bin/env bash
# Windows builds. Cross-builds signalpattern.dll with mingw-w64 for 32-bit Windows (i686, the
# library's own platform: DLL, import library, a client linked through it, and the size checks
# compiled by the 32-bit compiler) and for 64-bit Windows (x86_64: the whole test suite, run
# under wine64). Then a native build checks the export tables of both DLLs and that the Windows
# client run wrote the same pattern, test-data and report files as the native build does.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=(cmake g++ make libgtest-dev googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64)
source .ci/lib.sh
ensure_packages "${packages[@]}"

common=(-DCMAKE_BUILD_TYPE=Release -DSP_BUILD_TOOLS=OFF -DSP_BUILD_FUZZ=OFF -DSP_BUILD_BENCH=OFF)
# The toolchain file counts only when a build directory is configured the first time.
toolchain() { [ -f "$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$2.cmake"; }

echo "== 32-bit Windows (i686-w64-mingw32)"
cmake -S . -B build-win32 $(toolchain build-win32 i686-w64-mingw32) "${common[@]}"
cmake --build build-win32 --target signalpattern sp_dll_client test_windows_dll -j2

echo "== 64-bit Windows (x86_64-w64-mingw32), test suite under wine64"
cmake -S . -B build-win64 $(toolchain build-win64 x86_64-w64-mingw32) "${common[@]}"
cmake --build build-win64 -j2

wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# A prefix of its own in the build tree; no Mono or Gecko (console programs only).
export HOME="${HOME:-/root}"
export WINEPREFIX="${PWD}/build-win64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stop_wine() { "${wineserver}" -k 2>/dev/null || true; }
trap stop_wine EXIT
"${wine64}" wineboot --init >/dev/null 2>&1 || true
"${wineserver}" -w
rm -rf build-win64/tests/windows/dll_client_out
# wine's server now and then drops a client ("wine client error: ... Connection reset by peer"),
# which fails whatever test it was running: those tests run once more on a fresh server. Any
# other failure fails the step.
log="$(mktemp)"
if ! ctest --test-dir build-win64 --output-on-failure -j2 2>&1 | tee "${log}"; then
  if ! grep -q "wine client error" "${log}"; then
    exit 1
  fi
  echo "40-windows: wine's server dropped a client; the failed tests once more" >&2
  stop_wine
  "${wine64}" wineboot --init >/dev/null 2>&1 || true
  "${wineserver}" -w
  ctest --test-dir build-win64 --output-on-failure --rerun-failed
fi
rm -f "${log}"
stop_wine

echo "== export tables and Windows client files, from a native build"
# The native build of the README's test command when there is one (brought up to date), else
# one of its own.
host=build
if ! grep -qs "^SP_BUILD_TESTS:BOOL=ON" "${host}/CMakeCache.txt"; then
  host=build-winhost
  cmake -S . -B "${host}" "${common[@]}"
fi
cmake --build "${host}" --target test_windows_dll -j2
log="$(mktemp)"
SP_WINDOWS_DLLS="${PWD}/build-win32/signalpattern.dll:${PWD}/build-win64/signalpattern.dll" \
SP_WINDOWS_CLIENT_OUTPUT="${PWD}/build-win64/tests/windows/dll_client_out" \
  "${host}/tests/test_windows_dll" 2>&1 | tee "${log}"
if grep -q "SKIPPED \]" "${log}"; then
  echo "40-windows: a Windows check was skipped" >&2
  exit 1
fi
rm -f "${log}"
