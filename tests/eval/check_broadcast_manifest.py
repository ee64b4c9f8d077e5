#!/usr/bin/python3
"""Checks a broadcast corpus's manifest against what the generator promises: clip lengths per
kind, every file present with the length given, positions scaled by the processing's factor,
each clip two or three times in a programme, insertions apart from each other but for the
crossfade, talk-over on at most 40 % of a clip, nothing in the clip-free programmes.

    check_broadcast_manifest.py SETDIR      (prints one line per fault; exit 1 when there is one)
"""

import json
import os
import sys
import wave
from collections import Counter

RATE = 44100
LENGTHS = {"ident": (4.0, 5.0), "sweeper": (1.9, 2.1), "advert": (15.0, 21.0), "excerpt": (10.0, 14.0)}


def frames(path):
    with wave.open(path, "rb") as w:
        return w.getnframes()


def check(set_dir):
    with open(os.path.join(set_dir, "manifest.json"), encoding="utf-8") as f:
        m = json.load(f)
    faults = []
    clips = {c["name"]: c for c in m["clips"] + m["near_misses"]}
    for c in clips.values():
        lo, hi = LENGTHS[c["kind"]]
        if not lo <= c["samples"] / RATE <= hi:
            faults.append(f"{c['name']}: {c['samples'] / RATE:.2f} s is not a {c['kind']} length")
        if frames(os.path.join(set_dir, c["file"])) != c["samples"]:
            faults.append(f"{c['file']}: not {c['samples']} samples long")
    for c in m["near_misses"]:
        if c["near_miss_of"] not in clips:
            faults.append(f"{c['name']}: near miss of an unknown clip")
    for p in m["programmes"]:
        where = p["file"]
        if frames(os.path.join(set_dir, where)) != p["samples"]:
            faults.append(f"{where}: not {p['samples']} samples long")
        if p["clip_free"] != (not p["insertions"] and not p["near_misses"]):
            faults.append(f"{where}: clip_free does not match its contents")
        # Programmes of clips cut short hold each clip once; the others two or three times.
        cut = any("seen" in i for i in p["insertions"])
        for name, n in Counter(i["clip"] for i in p["insertions"]).items():
            if not (n == 1 if cut else 2 <= n <= 3):
                faults.append(f"{where}: {name} inserted {n} times")
        occ = sorted(p["insertions"] + p["near_misses"], key=lambda o: o["begin"])
        for o in occ:
            if not 0.5 <= o.get("seen", 1) <= 1:
                faults.append(f"{where}: {o['clip']} at {o['begin']} cut short after {o['seen']}")
            expected = round(round(clips[o["clip"]]["samples"] * o.get("seen", 1)) / p["position_factor"])
            if abs(o["length"] - expected) > 1:
                faults.append(f"{where}: {o['clip']} at {o['begin']} is {o['length']} samples, not {expected}")
            if o.get("talk_over_seconds", 0) > 0.4 * o["length"] / RATE * p["position_factor"] + 0.01:
                faults.append(f"{where}: {o['clip']} at {o['begin']} talked over for more than 40 %")
        for a, b in zip(occ, occ[1:]):
            if a["begin"] + a["length"] - b["begin"] > 0.25 * min(a["length"], b["length"]) + 1:
                faults.append(f"{where}: {a['clip']} and {b['clip']} overlap by more than a crossfade")
    return faults


def main(argv):
    if len(argv) != 1:
        print("usage: check_broadcast_manifest.py SETDIR", file=sys.stderr)
        return 2
    try:
        faults = check(argv[0])
    except (OSError, ValueError, KeyError, wave.Error) as e:
        print(f"check_broadcast_manifest: {argv[0]}: {e}", file=sys.stderr)
        return 1
    for f in faults:
        print(f"manifest fault: {f}")
    print(f"{argv[0]}: manifest {'has faults' if faults else 'consistent'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
