#!/usr/bin/env bash
# The quick broadcast evaluation of the test suite: makes the quick corpus of one set, checks
# its manifest and runs sp_eval on it with lower bounds. Exits 77 (skipped) when the tools or Debian packages the
# corpus needs are missing.
#   quick_check.sh SP_EVAL OUTDIR SET [sp_eval bounds...]
# SET dev-versions or holdout-versions: the versioned campaigns of that set (make_corpus.py --versions);
# dev-capture or holdout-capture: its rooms and speed/tempo steps (make_corpus.py --capture).
set -euo pipefail
sp_eval="$1" out="$2" set="$3"
shift 3
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -x /usr/bin/python3 ]; then
  echo "skipped: the broadcast corpus generator needs /usr/bin/python3 (Debian package python3)"
  exit 77
fi
rm -rf "${out}"
status=0
base="${set%-versions}"
versions=()
[ "${base}" != "${set}" ] && versions=(--versions)
if [ "${set%-capture}" != "${set}" ]; then
  base="${set%-capture}"
  versions=(--capture)
fi
/usr/bin/python3 "${here}/make_corpus.py" "${out}" --quick --set "${base}" "${versions[@]}" || status=$?
if [ "${status}" -eq 3 ]; then
  echo "skipped: the broadcast corpus needs packages that are not installed (see above)"
  exit 77
fi
[ "${status}" -eq 0 ] || exit "${status}"
# (the versioned and capture sets' manifests are checked by sp_eval's reader: their programmes differ)
[ "${base}" != "${set}" ] || /usr/bin/python3 "${here}/../../../tests/eval/check_broadcast_manifest.py" "${out}/${set}"
status=0
"${sp_eval}" --broadcast "${out}/${set}" --json "${out}/${set}/figures.json" --assert "$@" || status=$?
# The set is only read: pattern files go to a directory of sp_eval's own.
if [ -e "${out}/${set}/patterns" ]; then
  echo "sp_eval wrote pattern files into the set (${out}/${set}/patterns)"
  exit 1
fi
exit "${status}"
