#!/usr/bin/python3
"""Measures the patterns sigpat discover proposes as a catalogue: on every programme of a
discovery corpus (make_discover_corpus.py) runs `sigpat discover --out`, loads the proposed
patterns into `sigpat scan` over the same programme, and scores each detection against the
programme's manifest; then does the same with hand-made patterns (`sigpat create` on the corpus's
clip files, the whole clip) for the clips the discoveries stand for, so that the two precisions
are measured on the same audio.

A detection of a proposed pattern is right when it overlaps, by half of the shorter, an airing
of the recurring clip its discovery matched (the clip most of whose occurrences the discovery
overlaps); a pattern of a version counts an airing of another version of its family as a version
confusion (reported apart, counted wrong). Detections of patterns whose discovery matched no
clip (a stretch of a song heard twice) are counted apart: they find real repeats, not clips.

    discover_precision.py SIGPAT CORPUS/SET [--json OUT] [--work DIR]

Exit status 0; 1 when a sigpat run fails.
"""

import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile


def sigpat_json(sigpat, args):
    out = subprocess.run([sigpat] + args, capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"discover_precision: sigpat {args[0]} failed ({out.returncode}): {out.stderr.strip()}")
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def overlap(b0, e0, b1, e1):
    common = min(e0, e1) - max(b0, b1)
    return common > 0 and common >= 0.5 * min(e0 - b0, e1 - b1)


def airings(prog, rate):
    """{clip: [(begin_s, end_s)]} and {clip: family} of a programme's manifest."""
    where, family = collections.defaultdict(list), {}
    for r in prog["insertions"]:
        where[r["clip"]].append((r["begin"] / rate, (r["begin"] + r["length"]) / rate))
        family[r["clip"]] = r.get("family", r["clip"])
    return where, family


def score(detections, truth_of, where, family, tally):
    """Adds a scan's detections to tally; truth_of maps a pattern file to its clip (None: none)."""
    for d in detections:
        clip = truth_of.get(os.path.realpath(d["file"]))
        if clip is None:
            tally["of_unmatched"] += 1
            continue
        tally["detections"] += 1
        if any(overlap(d["begin_s"], d["end_s"], b, e) for b, e in where[clip]):
            tally["right"] += 1
        elif any(family[c] == family[clip] and overlap(d["begin_s"], d["end_s"], b, e)
                 for c in where if c != clip for b, e in where[c]):
            tally["version_confusions"] += 1
        else:
            tally["wrong"] += 1


def evaluate(sigpat, root, work):
    with open(os.path.join(root, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    rate = manifest["sample_rate"]
    proposed, hand = collections.Counter(), collections.Counter()
    lines = []
    for n, prog in enumerate(manifest["programmes"]):
        path = os.path.join(root, prog["file"])
        where, family = airings(prog, rate)
        out = os.path.join(work, f"p{n}")
        shutil.rmtree(out, ignore_errors=True)
        found = sigpat_json(sigpat, ["discover", "--json", "-q", "--out", out, path])
        truth_of, clips = {}, set()
        for d in found:
            if not d.get("pattern"):
                continue
            votes = collections.Counter(c for o in d["occurrences"] for c, spans in where.items()
                                        if len(spans) >= 2 and any(overlap(o["begin_s"], o["end_s"], b, e) for b, e in spans))
            clip = votes.most_common(1)[0][0] if votes and 2 * votes.most_common(1)[0][1] > len(d["occurrences"]) else None
            truth_of[os.path.realpath(d["pattern"])] = clip
            if clip:
                clips.add(clip)
        before = proposed.copy()
        if truth_of:
            score(sigpat_json(sigpat, ["scan", "--json", "-q", "-p", out, path]), truth_of, where, family, proposed)
        # Hand-made patterns of the same clips, from the corpus's clip files.
        made = os.path.join(work, f"h{n}")
        shutil.rmtree(made, ignore_errors=True)
        os.makedirs(made)
        hand_of = {}
        for clip in sorted(clips):
            tvs = os.path.join(made, clip + ".tvs")
            res = subprocess.run([sigpat, "create", "-q", "-o", tvs, os.path.join(root, "clips", clip + ".wav")],
                                 capture_output=True, text=True)
            if res.returncode == 0:
                hand_of[os.path.realpath(tvs)] = clip
        if hand_of:
            score(sigpat_json(sigpat, ["scan", "--json", "-q", "-p", made, path]), hand_of, where, family, hand)
        got = proposed - before
        lines.append(f"{prog['file']:40s} {len(truth_of)} patterns ({len(clips)} clips): {got['right']} right, "
                     f"{got['wrong']} wrong, {got['version_confusions']} other version, "
                     f"{got['of_unmatched']} of unmatched discoveries")

    def precision(t):
        return round(t["right"] / t["detections"], 3) if t["detections"] else None

    figures = {
        "proposed": dict(proposed, precision=precision(proposed)),
        "hand_made": dict(hand, precision=precision(hand)),
    }
    return figures, lines


def main(argv):
    ap = argparse.ArgumentParser(description="Precision of the patterns sigpat discover proposes.")
    ap.add_argument("sigpat")
    ap.add_argument("corpus")
    ap.add_argument("--json")
    ap.add_argument("--work", help="directory for the proposed and hand-made patterns (default: a temporary one)")
    args = ap.parse_args(argv)
    work = args.work or tempfile.mkdtemp(prefix="discover-precision-")
    try:
        figures, lines = evaluate(args.sigpat, args.corpus, work)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    print("\n".join(lines))
    print(json.dumps(figures, indent=1))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(figures, f, indent=1)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
