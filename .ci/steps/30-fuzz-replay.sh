#!/usr/bin/env bash
# The fuzz targets built as libFuzzer programs (clang, with sanitizers), running every input of
# the committed corpus once. The normal and sanitizer builds already replay the corpus through
# plain replay programs; this keeps the libFuzzer build itself working, so that
# fuzz/run_fuzz.sh (bounded fuzzing, see docs/reliability.md) can be run at any time.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=(cmake make clang libclang-rt-14-dev pkg-config libsndfile1-dev libsoxr-dev)
source .ci/lib.sh
ensure_packages "${packages[@]}"

fuzz/run_fuzz.sh --replay
