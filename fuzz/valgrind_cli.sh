#!/usr/bin/env bash
# Runs the command-line tool under valgrind (memcheck) on every path that reads audio or
# pattern files: create, info with a picture, scan of files with two threads, and a long scan
# of raw PCM on standard input. Fails on any memory error and on any leak (definite or
# indirect; memory still reachable at exit from the libraries' own caches is not counted).
#
#   fuzz/valgrind_cli.sh PATH/TO/sigpat [REPEATS]
#
# The input is the tool's own demo audio (90 s, nine clips); the standard-input scan streams it
# REPEATS times in a row (default 20: 30 minutes of audio).
set -euo pipefail
sigpat="$1"
repeats="${2:-20}"
work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT

"${sigpat}" -q demo --keep "${work}" > /dev/null
vg=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
    --errors-for-leak-kinds=definite,indirect --track-origins=yes)

run() {
  echo "+ sigpat $*"
  "${vg[@]}" "${sigpat}" -q "$@" > "${work}/out.txt"
}
run create "${work}/chime.wav" -o "${work}/again.tvs"
run info "${work}/again.tvs" --png "${work}/again.png"
run scan -p "${work}" -j 2 "${work}/stream.wav" "${work}/rise.wav"
grep -c . "${work}/out.txt" > /dev/null || { echo "the file scan found nothing" >&2; exit 1; }

# The WAV file's samples without its 44-byte header, REPEATS times: raw s16le on standard input.
echo "+ sigpat scan - (${repeats} x 90 s of raw PCM)"
for _ in $(seq "${repeats}"); do tail -c +45 "${work}/stream.wav"; done |
  "${vg[@]}" "${sigpat}" -q scan -p "${work}/chime.tvs" -p "${work}/rise.tvs" -p "${work}/fall.tvs" - > "${work}/out.txt"
found="$(grep -c . "${work}/out.txt" || true)"
echo "  ${found} detections"
if [ "${found}" -ne $((9 * repeats)) ]; then
  echo "expected $((9 * repeats)) detections on standard input" >&2
  exit 1
fi
echo "valgrind: no errors, no leaks"
