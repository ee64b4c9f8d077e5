#!/bin/bash
# Writes COUNT distinct 4 s pattern files into DIR for the market benchmark: stretches of a
# generated recording of tone steps (sp_make_audio --steps: none of them the ten clips that the
# benchmark's stations play, so the stations match no pattern) that begin 0.05 s apart, made
# with `sigpat create` from 14 s pieces (quick to read), two at a time.
# Files already there are kept. Usage: bench/make_patterns.sh BUILD_DIR DIR COUNT
set -euo pipefail
build=${1:?usage: make_patterns.sh BUILD_DIR DIR COUNT}
dir=${2:?}
count=${3:?}
sigpat=$build/tools/sigpat
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pieces=$(( (count + 199) / 200 ))  # piece p: the stretches that begin in [10 p, 10 p + 10) s
"$build/bench/sp_make_audio" "$work" $(( pieces / 6 + 1 )) --steps >/dev/null
for p in $(seq 0 $((pieces - 1))); do
  ffmpeg -nostdin -loglevel error -y -ss $((p * 10)) -t 14 -i "$work/steps.wav" "$work/piece$p.wav"
done
one() {  # one K: pattern K
  local k=$1 p=$(($1 / 200)) c=$(( ($1 % 200) * 5 ))
  [ -s "$dir/m$k.tvs" ] && return 0
  "$sigpat" -q create "$work/piece$p.wav" --begin-sec "$((c / 100)).$(printf %02d $((c % 100)))" \
    --end-sec "$((c / 100 + 4)).$(printf %02d $((c % 100)))" -o "$dir/m$k.tvs" >/dev/null
}
export -f one
export sigpat work dir
seq 0 $((count - 1)) | xargs -P 2 -n 1 bash -c 'one "$0"'
echo "$(find "$dir" -name '*.tvs' | wc -l) patterns in $dir"
