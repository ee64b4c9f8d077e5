#!/usr/bin/python3
"""Makes the discovery evaluation corpus: radio-like programmes in which clips (idents,
sweepers, adverts, song excerpts, some adverts in 2-3 versions with other end tags) recur 2-6
times among songs and DJ talk, and clip-free programmes of songs and talk where a long song
stretch airs twice; each programme passed through one broadcast chain, with a manifest of where
every clip lies.

    make_discover_corpus.py OUTDIR [--set dev|holdout] [--quick] [--jobs N]

Writes OUTDIR/SET/manifest.json and OUTDIR/SET/programmes/*.wav (mono 16-bit 44100 Hz). The
clips, songs and voices are those of the broadcast corpus (make_corpus.py, clips.py) and nothing
else. Deterministic. Exit status 0, 1 on a failure, 2 on bad arguments, 3 when a required package
is missing. DJ talk never repeats word for word within a programme (in the broadcast corpus it
may): a repeated talk line would be a repeated clip.
"""

import argparse
import concurrent.futures
import json
import os
import random
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import chains  # noqa: E402
import clips  # noqa: E402
import programme  # noqa: E402
import speech  # noqa: E402
from audio import RATE, CorpusError, decode, decode_whole, frames, set_cache_dir, sox  # noqa: E402
from make_corpus import missing_requirements  # noqa: E402
from mixer import Layer, mix  # noqa: E402

SEEDS = {"dev": 3301, "holdout": 3302}
TAGS = ["Offer ends Sunday.", "Now in every store near you.", "Call today, lines are open.",
        "Terms and conditions apply."]
FULL_CHAINS = ["clean", "multiband", "broadcast", "mp3-64", "telephone", "car-noise", "eq-tilt", "tempo+2"]
QUICK_CHAINS = ["broadcast", "multiband"]
FREE_CHAINS = {"full": ["clean", "broadcast"], "quick": ["broadcast"]}


def versions(clip_list, work, rng, set_name):
    """Adverts with end tags: the first two adverts each in 2 (quick) or 2-3 versions, the same
    spot followed by another spoken tag. Returns (version clips, {clip name: family name})."""
    voices = speech.VOICES[set_name]
    out, family = [], {}
    adverts = [c for c in clip_list if c.kind == "advert"][:2]
    for i, ad in enumerate(adverts):
        for v in range(2 + (i % 2)):
            tag = os.path.join(work, "parts", f"tag{i}-{v}.wav")
            speech.say(TAGS[(i + v) % len(TAGS)], voices[(i + 3) % len(voices)], tag)
            name = f"{ad.name}-v{v + 1}"
            path = os.path.join(work, "clips", name + ".wav")
            layers = [Layer(ad.path, 0), Layer(tag, frames(ad.path) - round(0.3 * RATE), -1.0)]
            if not os.path.exists(path):
                mix(layers, path, layers[1].end, name)
            c = clips.Clip(name, "advert", path)
            out.append(c)
            family[name] = ad.name
    return out, family


def plan(clip_list, version_list, quick, rng):
    """Which clips each programme holds (each clip 2-6 times) and its chain."""
    chain_list = QUICK_CHAINS if quick else FULL_CHAINS
    singles = [c for c in clip_list if not (c.kind == "advert" and any(v.name.startswith(c.name + "-v") for v in version_list))]
    out = []
    for p, chain in enumerate(chain_list):
        r = random.Random(rng.random())
        chosen = r.sample(singles, 3 if quick else 5)
        fam = sorted({v.name.rsplit("-v", 1)[0] for v in version_list})[p % 2]
        chosen += [v for v in version_list if v.name.startswith(fam + "-v")]
        items = []
        for c in chosen:
            items += [(c, False)] * (2 if quick else r.randint(2, 6 if c.kind != "advert" else 4))
        r.shuffle(items)
        out.append((chain, items))
    return out


def unique_talk():
    """programme._talk with each (line, voice) used once per programme before any repeats, and a
    repeat spoken faster: a programme never holds the same talk twice."""
    used = {}

    def talk(work, voices, rng, counter):
        name = counter.rsplit("-", 1)[0]
        pool = used.setdefault(name, [])
        combos = [(l, v) for l in range(len(speech.DJ_LINES)) for v in range(len(voices))]
        free = [c for c in combos if c not in pool] or combos
        line, voice = free[rng.randrange(len(free))]
        rate = 1.0 + 0.07 * pool.count((line, voice))
        pool.append((line, voice))
        out = os.path.join(work, "parts", f"talk-{counter}.wav")
        engine, vname, wpm = voices[voice]
        speech.say(speech.DJ_LINES[line], (engine, vname, round(wpm * rate) if wpm else wpm), out)
        return out
    return talk


def song_repeat(work, songs, rng, name):
    """A long song stretch (70-90 s) that a clip-free programme plays twice."""
    path = songs[rng.randrange(len(songs))]
    total = frames(decode_whole(path)) / RATE
    seconds = round(rng.uniform(70.0, 90.0), 2)
    start = round(rng.uniform(0.0, max(0.0, total - seconds - 0.5)), 2)
    out = os.path.join(work, "parts", f"{name}-long.wav")
    decode(path, out, start, min(seconds, total - start - 0.1), f"{path} at {start} s")
    return out


def make_set(set_name, root, quick, jobs):
    rng = random.Random(SEEDS[set_name] + (7 if quick else 0))
    work = os.path.join(root, set_name)
    for d in ("clips", "programmes", "parts"):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    set_cache_dir(os.path.join(work, "parts"))
    clip_list, _near = clips.build(set_name, work, rng)
    version_list, family = versions(clip_list, work, rng, set_name)
    songs = clips.SOURCES[set_name]["songs"]
    voices = speech.VOICES[set_name]
    programme._talk = unique_talk()
    layouts = []
    for p, (chain, items) in enumerate(plan(clip_list, version_list, quick, rng)):
        layouts.append((programme.compose(f"d{p:02d}-{chain}", work, items, songs, voices, rng, quick), chain, []))
    for f, chain in enumerate(FREE_CHAINS["quick" if quick else "full"]):
        name = f"free{f}-{chain}"
        prog = programme.compose(name, work, [], songs, voices, rng, quick, 60.0 if quick else 240.0)
        # The same long song stretch twice, a third and two thirds of the way in.
        long = song_repeat(work, songs, rng, name)
        n = frames(long)
        base = os.path.join(work, name + ".clean.wav")
        # The long stretch is inserted a third and two thirds of the way in, not mixed over.
        mixed = os.path.join(work, name + ".mixed.wav")
        third = prog.total // 3
        head, mid, tail = (os.path.join(work, "parts", f"{name}.{k}.wav") for k in "abc")
        for part, a, length in ((head, 0, third), (mid, third, third), (tail, 2 * third, prog.total - 2 * third)):
            sox([base], part, ["trim", f"{a}s", f"{length}s"], name)
        layers = [Layer(head, 0), Layer(long, third), Layer(mid, third + n), Layer(long, 2 * third + n),
                  Layer(tail, 2 * third + 2 * n)]
        total = layers[-1].end
        mix(layers, mixed, total, name)
        os.replace(mixed, base)
        prog.total = total
        layouts.append((prog, chain, [{"begin": third, "length": n}, {"begin": 2 * third + n, "length": n}]))

    def run_chain(entry):
        prog, chain, _ = entry
        out = os.path.join(work, "programmes", prog.name + ".wav")
        return out, *chains.process(chain, os.path.join(work, prog.name + ".clean.wav"), out, SEEDS[set_name] + len(prog.name))

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(run_chain, layouts))

    def moved(records, factor, delay):
        return [dict(r, begin=round(r["begin"] / factor) + delay, length=round(r["length"] / factor)) for r in records]

    programmes = []
    for (prog, chain, songs_twice), (out, factor, delay) in zip(layouts, results):
        # Where the next clip, at full level, covers the end of a clip: the end heard.
        clip_paths = {os.path.realpath(c.path) for c in clip_list + version_list}
        starts = sorted(l.start for l in prog.layers if os.path.realpath(l.path) in clip_paths)
        for r in prog.insertions:
            end = r["begin"] + r["length"]
            covered = [s for s in starts if r["begin"] < s < end]
            r["heard"] = (min(covered) if covered else end) - r["begin"]
        ins = moved(prog.insertions, factor, delay)
        for r, orig in zip(ins, prog.insertions):
            r["heard"] = round(orig["heard"] / factor)
        for r in ins:
            r["family"] = family.get(r["clip"], r["clip"])
        programmes.append({"file": os.path.relpath(out, work), "processing": chain, "position_factor": factor,
                           "position_delay": delay, "clip_free": not prog.insertions, "samples": frames(out),
                           "insertions": ins, "long_repeats": moved(songs_twice, factor, delay)})
        os.remove(os.path.join(work, prog.name + ".clean.wav"))
    shutil.rmtree(os.path.join(work, "parts"))
    manifest = {"corpus": "discover", "set": set_name, "quick": quick, "sample_rate": RATE,
                "packages": clips.PACKAGES[set_name], "programmes": programmes}
    with open(os.path.join(work, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    seconds = sum(p["samples"] for p in programmes) / RATE
    print(f"{work}: {len(programmes)} programmes, {seconds / 60:.1f} min, "
          f"{sum(len(p['insertions']) for p in programmes)} clip insertions")


def main(argv):
    ap = argparse.ArgumentParser(description="Makes the discovery evaluation corpus.")
    ap.add_argument("outdir")
    ap.add_argument("--set", choices=["dev", "holdout"], default="dev")
    ap.add_argument("--quick", action="store_true", help="a few minutes (for the test suite)")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args(argv)
    missing = missing_requirements(args.set)
    if missing:
        print(f"make_discover_corpus: the {args.set} set cannot be made, missing: {', '.join(missing[:4])} "
              f"(install: {' '.join(['sox', 'ffmpeg'] + clips.PACKAGES[args.set])})", file=sys.stderr)
        return 3
    try:
        make_set(args.set, args.outdir, args.quick, max(1, args.jobs))
    except CorpusError as e:
        print(f"make_discover_corpus: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"make_discover_corpus: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
