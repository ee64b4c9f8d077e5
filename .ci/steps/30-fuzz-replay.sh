#!/usr/bin/env bash
# The fuzz targets built as libFuzzer programs (clang, with sanitizers), running every input of
# the committed corpus once. The normal and sanitizer builds already replay the corpus through
# plain replay programs; this keeps the libFuzzer build itself working, so that
# fuzz/run_fuzz.sh (bounded fuzzing, see the README) can be run at any time.
set -euo pipefail
cd "$(dirname "$0")/../.."

packages=(cmake make clang libclang-rt-14-dev pkg-config libsndfile1-dev libsoxr-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

fuzz/run_fuzz.sh --replay
