#!/usr/bin/env bash
# Bounded fuzzing of the fuzz targets with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer).
#
#   fuzz/run_fuzz.sh [SECONDS] [TARGET...]   fuzz each target (default: all) for SECONDS (default
#                                            60), one after the other
#   fuzz/run_fuzz.sh --replay [TARGET...]    only run the committed corpus through the fuzzers
#
# Needs clang and its runtime (Debian: clang libclang-rt-14-dev) plus the build dependencies of
# the library and of the command-line tool's inputs (libsndfile1-dev libsoxr-dev pkg-config, and
# libavformat-dev libavcodec-dev libswresample-dev libavutil-dev for the stream target). Builds
# into build-fuzz/ (BUILD_DIR overrides). Inputs the fuzzer finds are kept in
# build-fuzz/fuzz/work/TARGET/, so a later run goes on from them; the committed seeds in
# fuzz/corpus/TARGET/ are only read.
#
# Exit status: 0 when nothing was found; 1 when a target found a problem (a crash, a broken
# invariant, a leak, a sanitizer report, a hang or running out of memory: the input is saved as
# build-fuzz/fuzz/crashes/TARGET-KIND-*, and the target and input are named); 2 for a usage
# error; 3 when the fuzzers cannot be built or a fuzzer cannot run at all. Once a bug is fixed,
# copy its input into fuzz/corpus/TARGET/ (with a name that says what it was): every build's
# ctest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$(pwd)"
build_dir="${BUILD_DIR:-${source_dir}/build-fuzz}"

seconds=60
replay=0
case "${1:-}" in
  --replay) replay=1; shift ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [SECONDS | --replay] [TARGET...]" >&2; exit 2 ;;
  *) seconds="$1"; shift ;;
esac
wanted=("$@")

build_failed() {
  echo "run_fuzz: $1; see ${build_dir}/fuzz-build.log" >&2
  tail -n 20 "${build_dir}/fuzz-build.log" >&2 || true
  exit 3
}
mkdir -p "${build_dir}"
CC=clang CXX=clang++ cmake -S "${source_dir}" -B "${build_dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSP_SANITIZE=ON -DSP_FUZZ_LIBFUZZER=ON -DSP_BUILD_TESTS=OFF -DSP_BUILD_TOOLS=OFF \
  > "${build_dir}/fuzz-build.log" 2>&1 || build_failed "configuring the fuzz build failed"
configured="$(cmake --build "${build_dir}" --target help)"
targets=()
for source in "${source_dir}"/fuzz/fuzz_*.cpp; do
  name="$(basename "${source}" .cpp)"
  [ "${name}" = "fuzz_support" ] && continue
  if [ "${#wanted[@]}" -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx "${name#fuzz_}"; then
    continue
  fi
  # A target whose dependencies are missing is not configured (the audio input needs libsndfile).
  if grep -qx "\.\.\. ${name}" <<<"${configured}"; then
    targets+=("${name}")
  else
    echo "skipping ${name}: not configured (missing dependencies?)" >&2
  fi
done
if [ "${#targets[@]}" = 0 ]; then
  echo "run_fuzz: no target to run" >&2
  exit 2
fi
cmake --build "${build_dir}" -j2 --target "${targets[@]}" >> "${build_dir}/fuzz-build.log" 2>&1 ||
  build_failed "building the fuzzers failed"

crashes="${build_dir}/fuzz/crashes"
mkdir -p "${crashes}"
found=()
broken=()
for name in "${targets[@]}"; do
  target="${name#fuzz_}"
  seeds="${source_dir}/fuzz/corpus/${target}"
  log="${build_dir}/fuzz/${target}.log"
  if [ "${replay}" = 1 ]; then
    echo "== ${target}: replaying $(ls "${seeds}" | wc -l) inputs"
    args=(-runs=0 "${seeds}")
  else
    work="${build_dir}/fuzz/work/${target}"
    mkdir -p "${work}"
    echo "== ${target}: fuzzing for ${seconds} s"
    args=("${work}" "${seeds}" -max_total_time="${seconds}" -print_final_stats=1)
  fi
  before="$(ls "${crashes}" | grep -c "^${target}-" || true)"
  status=0
  "${build_dir}/fuzz/${name}" "${args[@]}" -timeout=20 -rss_limit_mb=3072 \
    -artifact_prefix="${crashes}/${target}-" > "${log}" 2>&1 || status=$?
  after="$(ls "${crashes}" | grep -c "^${target}-" || true)"
  # The figures of the run: executions, coverage (cov: edges, ft: features), corpus.
  grep -E "^#[0-9]+[[:space:]]+DONE" "${log}" | tail -n 1 | sed -E "s/^#([0-9]+)[[:space:]]+DONE[[:space:]]+/   runs \1  /" || true
  if [ "${status}" != 0 ] || [ "${after}" != "${before}" ]; then
    if grep -q "Test unit written to\|SUMMARY: \|ERROR: libFuzzer" "${log}"; then
      found+=("${target}")
      echo "   FOUND A PROBLEM (${target}): see ${log}" >&2
      grep -E "ERROR|runtime error|SUMMARY|Test unit written" "${log}" | head -n 8 >&2 || true
    else
      broken+=("${target}")
      echo "   the fuzzer did not run (exit status ${status}): see ${log}" >&2
      tail -n 5 "${log}" >&2
    fi
  fi
done
if [ "${#found[@]}" != 0 ]; then
  echo "run_fuzz: problems found by ${found[*]}; inputs in ${crashes}" >&2
  exit 1
fi
if [ "${#broken[@]}" != 0 ]; then
  echo "run_fuzz: ${broken[*]} could not run" >&2
  exit 3
fi
echo "run_fuzz: no problem found (${#targets[@]} targets)"
