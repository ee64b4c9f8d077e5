#!/bin/bash
# Writes COUNT distinct 4 s pattern files into DIR for the market benchmark: a catalogue of
# distinct spots, each a clip of tone steps of its own (sp_make_audio --clips: none of them the
# ten clips the benchmark's stations play, so the stations match no pattern), made with
# `sigpat create` (with its detail print) two at a time, 200 clips generated at a time.
# Pattern K is the same file whatever COUNT; files already there are kept.
# Usage: bench/make_patterns.sh BUILD_DIR DIR COUNT
set -euo pipefail
build=${1:?usage: make_patterns.sh BUILD_DIR DIR COUNT}
dir=${2:?}
count=${3:?}
sigpat=$build/tools/sigpat
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
one() {  # one K: pattern K
  local k=$1
  [ -s "$dir/m$k.tvs" ] || "$sigpat" -q create "$work/step$k.wav" -o "$dir/m$k.tvs" >/dev/null
  rm -f "$work/step$k.wav"
}
export -f one
export sigpat work dir
for ((first = 0; first < count; first += 200)); do
  n=$(( count - first < 200 ? count - first : 200 ))
  "$build/bench/sp_make_audio" "$work" "$n" --clips "$first"
  seq "$first" $((first + n - 1)) | xargs -P 2 -n 1 bash -c 'one "$0"'
done
echo "$(find "$dir" -name '*.tvs' | wc -l) patterns in $dir"
