#!/usr/bin/env bash
# The fuzz targets built as libFuzzer programs (clang, with sanitizers), each fuzzed for a short
# bounded time (SP_CI_FUZZ_SECONDS, default 20: about four minutes for all of them on two
# cores), starting from the committed corpus, which each run first replays in full. The normal
# and sanitizer builds already replay the corpus through plain replay programs; this runs the
# fuzzers themselves, so that a fault the seeds are a few mutations away from is found here and
# fuzz/run_fuzz.sh (longer runs, see docs/reliability.md) keeps working. run_fuzz.sh exits 1 on
# a finding and 3 when the fuzzers cannot be built; either fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=(cmake make clang libclang-rt-14-dev pkg-config libsndfile1-dev libsoxr-dev libpng-dev
          libavformat-dev libavcodec-dev libswresample-dev libavutil-dev)
source .ci/lib.sh
ensure_packages "${packages[@]}"

fuzz/run_fuzz.sh "${SP_CI_FUZZ_SECONDS:-20}"
