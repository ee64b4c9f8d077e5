#!/usr/bin/python3
"""Measures sigpat discover on the discovery corpus (make_discover_corpus.py): runs it on every
programme and reports the clips discovered (a clip counts when one discovered clip has an
occurrence whose both boundaries lie within 0.2 s of one of the clip's; the end may be the end
heard, where the next clip starts over the clip's last moments at full level), missed, false
discoveries (discovered clips that match no recurring clip: other stretches, clips split or
merged with a neighbour) per programme hour, versions grouped into one family, the kinds given,
and the speed (audio seconds per processor second).

    discover_eval.py SIGPAT CORPUS/SET [--json OUT] [--assert] [--min-discovered X]
                     [--min-families X] [--max-false-per-hour X]

Exit status 0; 1 when --assert is given and a bound is not met.
"""

import argparse
import collections
import json
import os
import resource
import subprocess
import sys
import time

TOLERANCE = 0.2  # seconds, both boundaries
OFF_BUCKETS = (0.5, 1.0, 2.0)  # seconds: how far the nearest boundary pair is off, for the cause table


def overlap(a0, a1, b0, b1):
    return max(0.0, min(a1, b1) - max(a0, b0))


def off_bucket(off):
    low = TOLERANCE
    for top in OFF_BUCKETS:
        if off <= top:
            return f"boundary off {low}-{top} s"
        low = top
    return f"boundary off > {OFF_BUCKETS[-1]} s"


def miss_cause(occ, found, recurring, in_family):
    """Why a recurring clip (its occurrences occ: (begin, end, heard)) was missed, from the
    discovered occurrence that overlaps one of its occurrences most: 'not found', 'merged
    neighbours' (it also covers another clip's occurrence by more than half), 'split' (it covers
    under half of the clip), 'version: common part' (a family member found by the part its
    versions share), or a boundary off by how much."""
    best = None
    for d in found:
        for o in d["occurrences"]:
            for b, e, h in occ:
                ov = overlap(o["begin_s"], o["end_s"], b, e)
                if ov > 0 and (best is None or ov > best[0]):
                    best = (ov, o, b, e, h)
    if best is None:
        return "not found"
    ov, o, b, e, h = best
    for other in recurring.values():
        if other is occ:
            continue
        if any(overlap(o["begin_s"], o["end_s"], ob, oe) > 0.5 * (oe - ob) for ob, oe, _ in other):
            return "merged neighbours"
    if ov < 0.5 * (e - b):
        return "split"
    off_b = abs(o["begin_s"] - b)
    off_e = min(abs(o["end_s"] - e), abs(o["end_s"] - h))
    if in_family and off_b <= TOLERANCE and o["end_s"] < e - TOLERANCE:
        return "version: common part"
    return off_bucket(max(off_b, off_e))


def false_cause(d, recurring, longs):
    """What a false discovery is: part of a song heard twice ('song repeat'), another stretch
    heard twice ('song/talk repeat'), a clip with boundaries off ('shared intro/tail' when it
    runs on past the clip, by how much otherwise), part of a clip ('split part'), or several
    clips in one ('merged neighbours')."""
    o = d["occurrences"][0]
    covered = []
    for c, occ in recurring.items():
        for b, e, h in occ:
            if overlap(o["begin_s"], o["end_s"], b, e) > 0.25 * min(e - b, o["end_s"] - o["begin_s"]):
                covered.append((b, e, h))
    if not covered:
        if any(overlap(x["begin_s"], x["end_s"], r0, r1) > 0 for x in d["occurrences"] for r0, r1 in longs):
            return "song repeat"
        return "song/talk repeat"
    if len(covered) > 1:
        return "merged neighbours"
    b, e, h = covered[0]
    if o["end_s"] - o["begin_s"] < 0.5 * (e - b):
        return "split part"
    if o["begin_s"] < b - TOLERANCE or o["end_s"] > max(e, h) + TOLERANCE:
        return "shared intro/tail"
    return off_bucket(max(abs(o["begin_s"] - b), min(abs(o["end_s"] - e), abs(o["end_s"] - h))))
EXPECTED_KIND = {"ident": "speech over music", "sweeper": "speech over music", "advert": "speech over music",
                 "excerpt": "music only"}


def run(sigpat, path):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    out = subprocess.run([sigpat, "discover", "--json", "-q", path], capture_output=True, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if out.returncode != 0:
        raise SystemExit(f"discover_eval: {path}: sigpat discover failed ({out.returncode}): {out.stderr.strip()}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()], cpu, wall, after.ru_maxrss


def evaluate(sigpat, root):
    with open(os.path.join(root, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    rate = manifest["sample_rate"]
    totals = collections.Counter()
    kinds = collections.Counter()
    causes = collections.Counter()
    lines = []
    audio = cpu = 0.0
    peak_kb = 0
    for prog in manifest["programmes"]:
        path = os.path.join(root, prog["file"])
        found, seconds, _, rss = run(sigpat, path)
        cpu += seconds
        peak_kb = max(peak_kb, rss)
        audio += prog["samples"] / rate
        truth = collections.defaultdict(list)
        family = {}
        for r in prog["insertions"]:
            truth[r["clip"]].append((r["begin"] / rate, (r["begin"] + r["length"]) / rate,
                                     (r["begin"] + r.get("heard", r["length"])) / rate))
            family[r["clip"]] = r.get("family", r["clip"])
            kind_of = r["kind"]
            truth[r["clip"]].sort()
            family.setdefault("kind:" + r["clip"], kind_of)
        recurring = {c: occ for c, occ in truth.items() if len(occ) >= 2}
        matched = {}  # truth clip -> discovered clip
        false = []
        for d in found:
            if d.get("long_repeat"):
                continue
            hit = None
            for c, occ in recurring.items():
                for o in d["occurrences"]:
                    if any(abs(o["begin_s"] - b) <= TOLERANCE and min(abs(o["end_s"] - e), abs(o["end_s"] - h)) <= TOLERANCE
                           for b, e, h in occ):
                        hit = c
                        break
                if hit:
                    break
            if hit:
                matched.setdefault(hit, d)
                kinds[(EXPECTED_KIND.get(family["kind:" + hit], "?"), d["kind"])] += 1
            else:
                false.append(d)
        fams = collections.defaultdict(list)
        for c in recurring:
            fams[family[c]].append(c)
        fam_total = fam_ok = 0
        for name, members in fams.items():
            if len(members) < 2:
                continue
            fam_total += 1
            ids = {matched[c]["family"] for c in members if c in matched}
            fam_ok += int(all(c in matched for c in members) and len(ids) == 1)
        longs = prog.get("long_repeats", [])
        long_found = sum(1 for d in found if d.get("long_repeat") and any(
            abs(o["begin_s"] - r["begin"] / rate) < 5.0 for o in d["occurrences"] for r in longs))
        totals.update(clips=len(recurring), discovered=len(matched), false=len(false), families=fam_total,
                      families_ok=fam_ok, long=1 if longs else 0, long_found=1 if long_found else 0)
        lines.append(f"{prog['file']:40s} {len(matched)}/{len(recurring)} clips, {len(false)} false, "
                     f"families {fam_ok}/{fam_total}" + (f", long repeat {'found' if long_found else 'missed'}" if longs else ""))
        members = collections.Counter(family[c] for c in recurring)
        long_spans = [(r["begin"] / rate, (r["begin"] + r.get("length", 0)) / rate) for r in longs]
        for c in sorted(set(recurring) - set(matched)):
            why = miss_cause(recurring[c], [d for d in found if not d.get("long_repeat")], recurring, members[family[c]] > 1)
            causes[("missed", why)] += 1
            lines.append(f"    missed {c} ({why}) at " + ", ".join(f"{b:.2f}-{e:.2f}" for b, e, _ in recurring[c]))
        for d in false:
            o = d["occurrences"][0]
            why = false_cause(d, recurring, long_spans)
            causes[("false", why)] += 1
            lines.append(f"    false {d['length_s']:.2f} s x{len(d['occurrences'])} {d['kind']} ({why}) at {o['begin_s']:.2f}-{o['end_s']:.2f}")
    hours = audio / 3600.0
    figures = {
        "programmes": len(manifest["programmes"]),
        "audio_hours": round(hours, 3),
        "recurring_clips": totals["clips"],
        "discovered": totals["discovered"],
        "discovered_fraction": round(totals["discovered"] / totals["clips"], 3) if totals["clips"] else 1.0,
        "false": totals["false"],
        "false_per_hour": round(totals["false"] / hours, 2) if hours else 0.0,
        "families": totals["families"],
        "families_grouped": totals["families_ok"],
        "families_fraction": round(totals["families_ok"] / totals["families"], 3) if totals["families"] else 1.0,
        "long_repeats": totals["long"],
        "long_repeats_found": totals["long_found"],
        "kinds": {f"{a} -> {b}": n for (a, b), n in sorted(kinds.items())},
        "causes": {f"{a}: {b}": n for (a, b), n in sorted(causes.items())},
        "cpu_seconds": round(cpu, 2),
        "speed_x_real_time": round(audio / cpu, 1) if cpu > 0 else None,
        "peak_rss_mb": round(peak_kb / 1024.0, 1),
    }
    return figures, lines


def cause_table(causes):
    """The misses and false discoveries by cause, one row each."""
    rows = ["cause table (what / cause / count):"]
    rows += [f"  {what:7s} {why:28s} {n:4d}" for (what, why), n in
             sorted(((k.split(": ", 1)[0], k.split(": ", 1)[1]), v) for k, v in causes.items())]
    return "\n".join(rows)


def main(argv):
    ap = argparse.ArgumentParser(description="Measures sigpat discover on the discovery corpus.")
    ap.add_argument("sigpat")
    ap.add_argument("corpus")
    ap.add_argument("--json")
    ap.add_argument("--assert", dest="check", action="store_true")
    ap.add_argument("--min-discovered", type=float, default=0.9)
    ap.add_argument("--min-families", type=float, default=0.9)
    ap.add_argument("--max-false-per-hour", type=float, default=1.0)
    args = ap.parse_args(argv)
    figures, lines = evaluate(args.sigpat, args.corpus)
    print("\n".join(lines))
    print(cause_table(figures["causes"]))
    print(json.dumps(figures, indent=1))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(figures, f, indent=1)
            f.write("\n")
    if args.check:
        bad = []
        if figures["discovered_fraction"] < args.min_discovered:
            bad.append(f"discovered {figures['discovered_fraction']} < {args.min_discovered}")
        if figures["families_fraction"] < args.min_families:
            bad.append(f"families {figures['families_fraction']} < {args.min_families}")
        if figures["false_per_hour"] > args.max_false_per_hour:
            bad.append(f"false per hour {figures['false_per_hour']} > {args.max_false_per_hour}")
        if bad:
            print("discover_eval: below bounds: " + "; ".join(bad), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
