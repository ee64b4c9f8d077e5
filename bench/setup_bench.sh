#!/bin/bash
# Set-up cost of a scan on a realistic catalogue: processor time (user + system) and peak memory
# of a whole `sigpat scan -p DIR one_second.wav` process, on one core, with the cache of
# calibrations and relatives empty (cold) and filled (warm); medians of RUNS runs.
# The catalogue (sp_make_catalogue: 70 % distinct clips of 4-30 s, 30 % relatives in groups of
# 2-4) is made with `sigpat create` into DIR the first time; files already there are kept.
# With BEFORE_BUILD set, the runs of that build alternate with this one's (same catalogue).
# Usage: bench/setup_bench.sh BUILD_DIR DIR [COUNT [RUNS]]
set -euo pipefail
build=${1:?usage: setup_bench.sh BUILD_DIR DIR [COUNT [RUNS]]}
dir=${2:?}
count=${3:-1000}
runs=${4:-5}
mkdir -p "$dir/patterns"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$(find "$dir/patterns" -name '*.tvs' | wc -l)" -lt "$count" ]; then
  mkdir -p "$dir/audio"
  [ -s "$dir/audio/c$(printf %04d $((count - 1))).wav" ] || "$build/bench/sp_make_catalogue" "$dir/audio" "$count"
  one() {
    local wav=$1 out
    out=$dir/patterns/$(basename "${wav%.wav}").tvs
    [ -s "$out" ] || "$sigpat" -q create "$wav" -o "$out" >/dev/null
  }
  export -f one
  export dir sigpat=$build/tools/sigpat
  find "$dir/audio" -name 'c*.wav' | sort | head -n "$count" | xargs -P 2 -n 1 bash -c 'one "$0"'
fi
[ -s "$dir/one_second.wav" ] ||
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "anoisesrc=d=1:c=pink:r=44100:a=0.1" -ac 1 "$dir/one_second.wav"

# run SIGPAT CACHE_DIR: prints "user+sys peak_kB"
run() {
  SIGNALPATTERN_CACHE=$2 /usr/bin/time -f '%U %S %M' -o "$work/t" taskset -c 1 \
    "$1" -q scan -p "$dir/patterns" "$dir/one_second.wav" >/dev/null 2>"$work/err" || {
    cat "$work/err" >&2
    exit 1
  }
  awk '{ printf "%.2f %d\n", $1 + $2, $3 }' "$work/t"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

builds=("$build")
[ -n "${BEFORE_BUILD:-}" ] && builds=("$BEFORE_BUILD" "$build")
for i in $(seq 1 "$runs"); do
  for k in "${!builds[@]}"; do
    b=${builds[$k]}
    rm -rf "$work/cache$k" && mkdir -p "$work/cache$k"
    run "$b/tools/sigpat" "$work/cache$k" >>"$work/cold$k"
    run "$b/tools/sigpat" "$work/cache$k" >>"$work/warm$k"
  done
done
for k in "${!builds[@]}"; do
  echo "${builds[$k]}: $count patterns, medians of $runs (processor s, peak MB):" \
    "cold $(median <"$work/cold$k") s $(awk '{ print $2 }' "$work/cold$k" | median | awk '{ printf "%d", $1 / 1024 }') MB," \
    "warm $(median <"$work/warm$k") s $(awk '{ print $2 }' "$work/warm$k" | median | awk '{ printf "%d", $1 / 1024 }') MB"
  echo "  cold runs: $(awk '{ printf "%s ", $1 }' "$work/cold$k")"
  echo "  warm runs: $(awk '{ printf "%s ", $1 }' "$work/warm$k")"
done
