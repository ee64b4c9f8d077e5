#!/bin/bash
# End-to-end timing of the sigpat command (whole processes, decoding and resampling included):
#   - one 10-minute recording (48 kHz stereo WAV) scanned for 10 patterns of 4 s;
#   - two such recordings one after the other (-j 1) and in parallel (-j 2).
# Usage: bench/cli_bench.sh [BUILD_DIR] [MINUTES]   (BUILD_DIR: a build tree with tools and
# benchmarks, default: the tree this script was copied into). Skips, with a note, when sigpat
# is not built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$(dirname "$here")}
minutes=${2:-10}
sigpat=$build/tools/sigpat
make_audio=$build/bench/sp_make_audio
if [ ! -x "$sigpat" ] || [ ! -x "$make_audio" ]; then
  echo "cli_bench: $sigpat or $make_audio is not built; nothing measured"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_audio" "$work" "$minutes"
mkdir -p "$work/patterns"
for k in 0 1 2 3 4 5 6 7 8 9; do
  "$sigpat" -q create "$work/clip$k.wav" -o "$work/patterns/clip$k.tvs" >/dev/null
done

# Runs the command, prints: label, wall seconds, CPU seconds (user + system), peak memory,
# and the real-time factor (audio seconds per wall second).
measure() {
  local label=$1 audio=$2
  shift 2
  /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' "$@" >"$work/out.txt" 2>/dev/null
  local found
  found=$(grep -c . "$work/out.txt" || true)
  tail -n 1 "$work/time.txt" | awk -v l="$label" -v a="$audio" -v n="$found" \
    '{ printf "%-34s wall %6.2f s  cpu %6.2f s  peak %5.0f MB  %7.0fx real time  (%s lines)\n", l, $1, $2 + $3, $4 / 1024, a / $1, n }'
}

audio=$(awk -v m="$minutes" 'BEGIN { print m * 60 }')
both=$(awk -v m="$minutes" 'BEGIN { print 2 * m * 60 }')
measure "1 input, 10 patterns" "$audio" "$sigpat" -q scan -p "$work/patterns" "$work/streamA.wav"
measure "2 inputs, 10 patterns, -j 1" "$both" "$sigpat" -q scan -j 1 -p "$work/patterns" "$work/streamA.wav" "$work/streamB.wav"
measure "2 inputs, 10 patterns, -j 2" "$both" "$sigpat" -q scan -j 2 -p "$work/patterns" "$work/streamA.wav" "$work/streamB.wav"
