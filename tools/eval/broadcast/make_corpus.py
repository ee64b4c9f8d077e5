#!/usr/bin/python3
"""Makes the broadcast evaluation corpus: radio-like programmes holding known clips, passed
through broadcast processing chains, with a manifest of the ground truth.

    make_corpus.py OUTDIR [--set dev|holdout|both] [--quick] [--versions | --capture] [--jobs N]

Writes OUTDIR/SET/manifest.json, the clean clips (OUTDIR/SET/clips/*.wav, to make patterns
from), and the processed programmes (OUTDIR/SET/programmes/*.wav), all mono 16-bit 44100 Hz.
With --versions it makes the versioned campaigns instead (versions.py) into OUTDIR/SET-versions,
in the same layout; their clip entries also give `campaign` and, per relative, the stretch that differs from it
(`differs`: name -> [begin, end] seconds of the clip).
With --capture it makes the capture set into OUTDIR/SET-capture: the set's clips heard through
rooms and phones, and played at speed and tempo steps of -6 % to +6 % (capture.py).
Deterministic: the same packages give the same files. Needs sox, ffmpeg, espeak-ng, flite and
the music packages of the set (see clips.PACKAGES). Exit status 0, 1 on a failure (one line
naming the file and the problem), 2 on bad arguments, 3 when a required package is missing.
"""

import argparse
import concurrent.futures
import json
import os
import random
import shutil
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import capture  # noqa: E402
import chains  # noqa: E402
import clips  # noqa: E402
import speech  # noqa: E402
import versions  # noqa: E402
from audio import RATE, CorpusError, frames, set_cache_dir  # noqa: E402
from programme import compose  # noqa: E402

SEEDS = {"dev": 1901, "holdout": 1902}
TOOLS = ["sox", "ffmpeg", "espeak-ng", "flite"]
REPEATS = {"ident": (2, 3), "sweeper": (2, 3), "advert": (2,), "excerpt": (2, 3)}
KIND_ORDER = ["ident", "sweeper", "advert", "excerpt"]
# The quick corpus: two clip kinds per programme, one short and one long where it can.
# Programmes whose clips the station cut short (a part seen, then the next element at once),
# with a whole insertion or two among them; their own random stream, so adding them leaves the
# other programmes as they were.
CUT_KINDS = ["clean", "broadcast", "multiband", "tempo+2"]
QUICK_CUT_KINDS = ["broadband"]
CUT_SEEN = (0.5, 0.9)  # fraction of the clip played
QUICK_PAIRS = [["ident", "advert"], ["sweeper", "excerpt"], ["ident", "excerpt"], ["sweeper", "ident"],
               ["ident", "excerpt"], ["sweeper", "advert"], ["ident", "sweeper"]]


def missing_requirements(set_name, with_versions=False):
    """Tools and package files a set needs that are absent (empty when all are there)."""
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if with_versions:
        missing += sorted({b[0] for b in versions.BEDS[set_name] if not os.path.exists(b[0])})
    src = clips.SOURCES[set_name]
    files = [e[0] for e in src["excerpts"]] + src["songs"] + [s[0] for r in ("stings", "sweepers", "beds")
                                                              for s in src[r] if s[0] != "drums"]
    missing += [f for f in files if not os.path.exists(f)]
    return missing


def plan(set_name, clip_list, near, quick, rng):
    """Which clips each processed programme holds: per programme three of the four clip kinds
    (two in the quick corpus), each clip 2-3 times, and the near misses of those clips."""
    kinds = chains.QUICK_KINDS if quick else chains.FULL_KINDS
    by_kind = {k: [c for c in clip_list if c.kind == k] for k in KIND_ORDER}
    near_of = {n.near_miss_of: n for n in near}
    out = []
    for p, processing in enumerate(kinds):
        chosen_kinds = [k for j, k in enumerate(KIND_ORDER) if j != p % 4]
        if quick:
            chosen_kinds = QUICK_PAIRS[p % len(QUICK_PAIRS)]
        items = []
        for j, k in enumerate(chosen_kinds):
            clip = by_kind[k][(p + j) % len(by_kind[k])]
            items += [(clip, False)] * (2 if quick else rng.choice(REPEATS[k]))
            if clip.name in near_of and (k in ("ident", "excerpt") if quick else rng.random() < 0.5):
                items.append((near_of[clip.name], True))
        rng.shuffle(items)
        out.append((processing, items))
    return out


def plan_cut(clip_list, quick, rng):
    """Which clips each cut-short programme holds: per programme clips of every kind, most cut
    after a random fraction, one played whole."""
    kinds = QUICK_CUT_KINDS if quick else CUT_KINDS
    out = []
    for p, processing in enumerate(kinds):
        chosen = [clip_list[(3 * p + j) % len(clip_list)] for j in range(3 if quick else 6)]
        items = [(clip, round(rng.uniform(*CUT_SEEN), 3) if j else 1.0) for j, clip in enumerate(chosen)]
        rng.shuffle(items)
        out.append((processing, items))
    return out


def make_set(set_name, root, quick, jobs):
    rng = random.Random(SEEDS[set_name] + (7 if quick else 0))
    work = os.path.join(root, set_name)
    os.makedirs(os.path.join(work, "clips"), exist_ok=True)
    os.makedirs(os.path.join(work, "programmes"), exist_ok=True)
    os.makedirs(os.path.join(work, "parts"), exist_ok=True)
    set_cache_dir(os.path.join(work, "parts"))
    clip_list, near = clips.build(set_name, work, rng)
    songs = clips.SOURCES[set_name]["songs"]
    if quick:
        songs = songs[::3] if len(songs) > 6 else songs  # fewer songs to decode
    voices = speech.VOICES[set_name]
    layouts = []
    for p, (processing, items) in enumerate(plan(set_name, clip_list, near, quick, rng)):
        name = f"p{p:02d}-{processing}"
        layouts.append((compose(name, work, items, songs, voices, rng, quick), processing))
    cut_rng = random.Random(SEEDS[set_name] + (507 if quick else 500))
    for p, (processing, items) in enumerate(plan_cut(clip_list, quick, cut_rng)):
        name = f"c{p:02d}-{processing}"
        cut = [(clips.cut_short(c, seen, os.path.join(work, "parts")), False) for c, seen in items]
        layouts.append((compose(name, work, cut, songs, voices, cut_rng, quick), processing))
    free_kinds = ["clean", "broadcast"] if not quick else ["broadband"]
    for f, processing in enumerate(free_kinds):
        name = f"free{f}-{processing}"
        layouts.append((compose(name, work, [], songs, voices, rng, quick, 40.0 if quick else 100.0), processing))

    programmes = _process_all(work, set_name, layouts, jobs)
    shutil.rmtree(os.path.join(work, "parts"))
    manifest = {
        "corpus": "broadcast",
        "set": set_name,
        "quick": quick,
        "sample_rate": RATE,
        "packages": clips.PACKAGES[set_name],
        "clips": [{"name": c.name, "kind": c.kind, "file": os.path.relpath(c.path, work), "samples": c.length}
                  for c in clip_list],
        "near_misses": [{"name": c.name, "kind": c.kind, "near_miss_of": c.near_miss_of,
                         "file": os.path.relpath(c.path, work), "samples": c.length} for c in near],
        "programmes": programmes,
    }
    with open(os.path.join(work, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    seconds = sum(p["samples"] for p in programmes) / RATE
    inserted = sum(len(p["insertions"]) for p in programmes)
    print(f"{work}: {len(programmes)} programmes, {seconds / 60:.1f} min, {inserted} insertions, "
          f"{sum(len(p['near_misses']) for p in programmes)} near misses")


def _process_all(work, set_name, layouts, jobs, chain=chains.process,
                 describe=lambda kind: chains.KINDS[kind][0]):
    def run_chain(entry):
        prog, processing = entry
        out = os.path.join(work, "programmes", prog.name + ".wav")
        factor, delay = chain(processing, os.path.join(work, prog.name + ".clean.wav"), out,
                              SEEDS[set_name] + len(prog.name))
        return out, factor, delay

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(run_chain, layouts))

    def moved(records, factor, delay):
        return [dict(r, begin=round(r["begin"] / factor) + delay, length=round(r["length"] / factor)) for r in records]

    programmes = []
    for (prog, processing), (out, factor, delay) in zip(layouts, results):
        programmes.append({
            "file": os.path.relpath(out, work),
            "processing": processing,
            "processing_description": describe(processing),
            "position_factor": factor,
            "position_delay": delay,
            "clip_free": not prog.insertions and not prog.near_misses,
            "samples": frames(out),
            "insertions": moved(prog.insertions, factor, delay),
            "near_misses": moved(prog.near_misses, factor, delay),
        })
        os.remove(os.path.join(work, prog.name + ".clean.wav"))
    return programmes


def make_versions(set_name, root, quick, jobs):
    """The versioned campaigns of a set: every version a clip, aired whole, talked over, cut
    short and through broadcast chains (versions.py), in OUTDIR/SET-versions."""
    rng = random.Random(SEEDS[set_name] + (1007 if quick else 1000))
    work = os.path.join(root, set_name + "-versions")
    for d in ("clips", "programmes", "parts"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    set_cache_dir(os.path.join(work, "parts"))
    campaigns = versions.build(set_name, work, rng, quick)
    songs = clips.SOURCES[set_name]["songs"]
    if quick:
        songs = songs[::3] if len(songs) > 6 else songs
    voices = speech.VOICES[set_name]
    layouts = []
    for p, (processing, items) in enumerate(versions.plan(campaigns, quick, rng)):
        name = f"v{p:02d}-{processing}"
        played = [(clips.cut_short(c, seen, os.path.join(work, "parts")), False) for c, seen in items]
        layouts.append((compose(name, work, played, songs, voices, rng, quick), processing))
    programmes = _process_all(work, set_name, layouts, jobs)
    shutil.rmtree(os.path.join(work, "parts"))
    every = [v for group in campaigns for v in group]
    manifest = {
        "corpus": "broadcast-versions",
        "set": set_name,
        "quick": quick,
        "sample_rate": RATE,
        "packages": versions.PACKAGES[set_name],
        "clips": [{"name": c.name, "kind": c.kind, "file": os.path.relpath(c.path, work), "samples": c.length,
                   "campaign": c.campaign, "differs": c.differs} for c in every],
        "near_misses": [],
        "programmes": programmes,
    }
    with open(os.path.join(work, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    seconds = sum(p["samples"] for p in programmes) / RATE
    print(f"{work}: {len(campaigns)} campaigns, {len(every)} versions, {len(programmes)} programmes, "
          f"{seconds / 60:.1f} min, {sum(len(p['insertions']) for p in programmes)} airings")


def plan_capture(chain_names, clip_list, near, quick, rng):
    """Which clips each capture programme holds: every chain twice (rooms) or once (speed and
    tempo steps), each time one clip of every kind (two kinds in the quick corpus), in turn, and
    now and then a near miss of one of them; nobody talks over them (the condition is the chain)."""
    by_kind = {k: [c for c in clip_list if c.kind == k] for k in KIND_ORDER}
    near_of = {n.near_miss_of: n for n in near}
    out = []
    turn = 0
    for processing in chain_names:
        for _ in range(2 if processing.startswith("room") and not quick else 1):
            chosen = QUICK_PAIRS[turn % len(QUICK_PAIRS)] if quick else KIND_ORDER
            items = [(by_kind[k][(turn + j) % len(by_kind[k])], False) for j, k in enumerate(chosen)]
            if not quick and rng.random() < 0.5:
                clip = items[rng.randrange(len(items))][0]
                if clip.name in near_of:
                    items.append((near_of[clip.name], True))
            rng.shuffle(items)
            out.append((processing, items))
            turn += 1
    return out


def make_capture(set_name, root, quick, jobs):
    """The capture set: the set's clips in programmes heard through a room and a phone, or played
    at another speed or tempo (capture.py), in OUTDIR/SET-capture; one clip-free programme per
    set goes through the noisiest room."""
    rng = random.Random(SEEDS[set_name] + (2007 if quick else 2000))
    work = os.path.join(root, set_name + "-capture")
    for d in ("clips", "programmes", "parts"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    set_cache_dir(os.path.join(work, "parts"))
    clip_list, near = clips.build(set_name, work, rng)
    songs = clips.SOURCES[set_name]["songs"]
    if quick:
        songs = songs[::3] if len(songs) > 6 else songs
    voices = speech.VOICES[set_name]
    table = capture.kinds(set_name)
    rooms = list(capture.ROOMS[set_name])
    names = (rooms[-2:] + ["speed+6", "tempo-6"]) if quick else list(table)
    layouts = []
    for p, (processing, items) in enumerate(plan_capture(names, clip_list, near, quick, rng)):
        layouts.append((compose(f"k{p:02d}-{processing}", work, items, songs, voices, rng, quick, talk_share=0.0),
                        processing))
    noisiest = min(rooms, key=lambda r: capture.ROOMS[set_name][r][3])
    layouts.append((compose(f"free0-{noisiest}", work, [], songs, voices, rng, quick, 40.0 if quick else 90.0),
                    noisiest))
    programmes = _process_all(work, set_name, layouts, jobs,
                              chain=lambda kind, src, out, seed: capture.process(set_name, kind, src, out, seed),
                              describe=lambda kind: table[kind][0])
    shutil.rmtree(os.path.join(work, "parts"))
    manifest = {
        "corpus": "broadcast-capture",
        "set": set_name,
        "quick": quick,
        "sample_rate": RATE,
        "packages": clips.PACKAGES[set_name],
        "clips": [{"name": c.name, "kind": c.kind, "file": os.path.relpath(c.path, work), "samples": c.length}
                  for c in clip_list],
        "near_misses": [{"name": c.name, "kind": c.kind, "near_miss_of": c.near_miss_of,
                         "file": os.path.relpath(c.path, work), "samples": c.length} for c in near],
        "programmes": programmes,
    }
    with open(os.path.join(work, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    seconds = sum(p["samples"] for p in programmes) / RATE
    print(f"{work}: {len(programmes)} programmes, {seconds / 60:.1f} min, "
          f"{sum(len(p['insertions']) for p in programmes)} insertions, "
          f"{sum(len(p['near_misses']) for p in programmes)} near misses")


def main(argv):
    ap = argparse.ArgumentParser(description="Makes the broadcast evaluation corpus.")
    ap.add_argument("outdir")
    ap.add_argument("--set", choices=["dev", "holdout", "both"], default="both")
    ap.add_argument("--quick", action="store_true", help="a few minutes per set (for the test suite)")
    which = ap.add_mutually_exclusive_group()
    which.add_argument("--versions", action="store_true", help="the versioned campaigns (SET-versions)")
    which.add_argument("--capture", action="store_true",
                    help="room capture and speed/tempo steps of -6 %% to +6 %% (SET-capture)")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args(argv)
    sets = ["dev", "holdout"] if args.set == "both" else [args.set]
    for s in sets:
        missing = missing_requirements(s, args.versions)
        if missing:
            print(f"make_corpus: the {s} set cannot be made, missing: {', '.join(missing[:4])}"
                  f"{' ...' if len(missing) > 4 else ''} (install: {' '.join(['sox', 'ffmpeg'] + (versions.PACKAGES if args.versions else clips.PACKAGES)[s])})",
                  file=sys.stderr)
            return 3
    try:
        for s in sets:
            if args.versions:
                make_versions(s, args.outdir, args.quick, max(1, args.jobs))
            elif args.capture:
                make_capture(s, args.outdir, args.quick, max(1, args.jobs))
            else:
                make_set(s, args.outdir, args.quick, max(1, args.jobs))
    except CorpusError as e:
        print(f"make_corpus: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"make_corpus: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
