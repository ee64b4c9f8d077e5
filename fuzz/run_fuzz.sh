#!/usr/bin/env bash
# Bounded fuzzing of every fuzz target with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer).
#
#   fuzz/run_fuzz.sh [SECONDS]   fuzz each target for SECONDS (default 60), one after the other
#   fuzz/run_fuzz.sh --replay    only run the committed corpus through the fuzzers
#
# Needs clang and its runtime (Debian: clang libclang-rt-14-dev) plus the build dependencies of
# the library and of the command-line tool's audio input (libsndfile1-dev libsoxr-dev
# pkg-config). Builds into build-fuzz/ (BUILD_DIR overrides). Inputs the fuzzer finds are kept
# in build-fuzz/fuzz/work/TARGET/, so a later run goes on from them; the committed seeds in
# fuzz/corpus/TARGET/ are only read. A crash, leak or sanitizer report is saved as
# build-fuzz/fuzz/crashes/TARGET-crash-*; the script then exits 1. Once the bug is fixed, copy
# the input into fuzz/corpus/TARGET/ (with a name that says what it was): every build's ctest
# replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$(pwd)"
build_dir="${BUILD_DIR:-${source_dir}/build-fuzz}"

seconds=60
replay=0
case "${1:-}" in
  --replay) replay=1 ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [SECONDS | --replay]" >&2; exit 2 ;;
  *) seconds="$1" ;;
esac

CC=clang CXX=clang++ cmake -S "${source_dir}" -B "${build_dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSP_SANITIZE=ON -DSP_FUZZ_LIBFUZZER=ON -DSP_BUILD_TESTS=OFF -DSP_BUILD_TOOLS=OFF >/dev/null
configured="$(cmake --build "${build_dir}" --target help)"
targets=()
for source in "${source_dir}"/fuzz/fuzz_*.cpp; do
  name="$(basename "${source}" .cpp)"
  [ "${name}" = "fuzz_support" ] && continue
  # A target whose dependencies are missing is not configured (the audio input needs libsndfile).
  if grep -qx "\.\.\. ${name}" <<<"${configured}"; then
    targets+=("${name}")
  else
    echo "skipping ${name}: not configured (missing dependencies?)" >&2
  fi
done
cmake --build "${build_dir}" -j2 --target "${targets[@]}"

crashes="${build_dir}/fuzz/crashes"
mkdir -p "${crashes}"
failed=0
for name in "${targets[@]}"; do
  target="${name#fuzz_}"
  seeds="${source_dir}/fuzz/corpus/${target}"
  if [ "${replay}" = 1 ]; then
    echo "== ${target}: replaying $(ls "${seeds}" | wc -l) inputs"
    if ! "${build_dir}/fuzz/${name}" -runs=0 "${seeds}" > "${build_dir}/fuzz/${target}.log" 2>&1; then
      failed=1
      cat "${build_dir}/fuzz/${target}.log" >&2
    fi
    continue
  fi
  work="${build_dir}/fuzz/work/${target}"
  mkdir -p "${work}"
  echo "== ${target}: fuzzing for ${seconds} s"
  if ! "${build_dir}/fuzz/${name}" "${work}" "${seeds}" -max_total_time="${seconds}" -timeout=20 \
       -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="${crashes}/${target}-" \
       > "${build_dir}/fuzz/${target}.log" 2>&1; then
    failed=1
    echo "   FAILED: see ${build_dir}/fuzz/${target}.log" >&2
    grep -E "ERROR|runtime error|SUMMARY|Test unit written" "${build_dir}/fuzz/${target}.log" >&2 || true
  fi
  grep -E "^stat::number_of_executed_units|^Done" "${build_dir}/fuzz/${target}.log" || true
done
if [ "${failed}" != 0 ]; then
  echo "fuzzing found problems; inputs in ${crashes}" >&2
  exit 1
fi
echo "no problem found"
