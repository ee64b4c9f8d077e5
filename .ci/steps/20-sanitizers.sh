#!/usr/bin/env bash
# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer: library,
# command-line tool, tests and the replay of every fuzz corpus, built with -DSP_SANITIZE=ON
# (errors are fatal: -fno-sanitize-recover=all). GCC's UndefinedBehaviorSanitizer leaves out
# float-to-integer conversions that overflow; they are added here. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libsndfile1-dev libsoxr-dev libopus-dev libogg-dev libmp3lame-dev libcli11-dev
          nlohmann-json3-dev libpng-dev libfftw3-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev ffmpeg python3)
source .ci/lib.sh
ensure_packages "${packages[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSP_SANITIZE=ON -DSP_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow"
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2
