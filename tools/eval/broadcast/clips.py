"""The clips of the broadcast corpus (idents, sweepers, adverts, song excerpts) and their near
misses, made from the music of Debian game packages and synthesised speech.

Two sets never share a source: the development set (supertux-data, neverball-data, pingus-data;
espeak-ng en-us/en-gb and flite kal/awb voices) and the held-out set (xmoto-data,
lincity-ng-data, hydrogen-drumkits; other voices), kept for checks of what was tuned on the
first.
"""

import os

import speech
from audio import RATE, CorpusError, decode, frames, sox
from mixer import Layer, mix

ST = "/usr/share/games/supertux2/music/"
NB = "/usr/share/games/neverball/bgm/"
PG = "/usr/share/games/pingus/data/music/"
XM = "/usr/share/games/xmoto/Textures/Musics/"
LC = "/usr/share/games/lincity-ng/music/default/"
HD = "/usr/share/hydrogen/data/drumkits/"

PACKAGES = {
    "dev": ["supertux-data", "neverball-data", "pingus-data", "espeak-ng", "flite"],
    "holdout": ["xmoto-data", "lincity-ng-data", "hydrogen-drumkits", "espeak-ng", "flite"],
}


def _drums(kit, hits):
    """A drum phrase: (sample file of a hydrogen kit, time in seconds, gain dB) triples."""
    return ("drums", [(HD + kit + "/" + f, t, g) for f, t, g in hits])


FZ, EE, HE = "ForzeeStereo", "ElectricEmpireKit", "HardElectro1"

# Tracker modules must render the same samples every time: some (pingus-3, pingus-5) vary
# their instruments at random and are not used (audio.decode_whole refuses them).
# Music of each role: (file, offset in seconds) or a drum phrase. Songs play in the programmes;
# the sources of stings, beds and excerpts never do (except the near-miss part of an excerpt's
# song).
SOURCES = {
    "dev": {
        "stings": [(NB + "inter.ogg", 0.0), (ST + "misc/leveldone.ogg", 0.0), (PG + "success_2.it", 0.0)],
        "sweepers": [(ST + "misc/invincible.ogg", 1.0), (PG + "success_1.it", 0.5),
                     (ST + "antarctic/voc-boss.ogg", 0.0)],
        "beds": [(NB + "track6.ogg", 20.0), (PG + "gd-myla.it", 8.0), (ST + "retro/worldmap_old.ogg", 4.0)],
        # (file, excerpt offset, near-miss offset). Game music repeats itself: each near-miss
        # offset lies away from every repeat of its excerpt (where sigpat scan finds the
        # excerpt's pattern in the whole song: track4 again at 87.5 s).
        "excerpts": [(ST + "forest/forest2.ogg", 40.0, 100.0), (NB + "track4.ogg", 30.0, 60.0),
                     (PG + "pingus-6.it", 20.0, 45.0)],
        "songs": [ST + "forest/forest3.ogg", ST + "antarctic/jewels.ogg", ST + "antarctic/chipdisko.ogg",
                  ST + "antarctic/cave.ogg", ST + "forest/bright_thunders.ogg", ST + "forest/clavelian_march.ogg",
                  ST + "forest/ghostforest.ogg", ST + "tropical/tropicalbreeze.ogg", ST + "retro/classic.ogg",
                  ST + "misc/theme.ogg", NB + "track1.ogg", NB + "track2.ogg", NB + "track3.ogg", NB + "track5.ogg",
                  PG + "pingus-2.it", PG + "pingus-4.it", PG + "pingus-7.it", PG + "goin_march.it",
                  PG + "rough_journey.it", PG + "the_big_march_in_space.it"],
    },
    "holdout": {
        "stings": [_drums(FZ, [("TomHigh-3.wav", 0.0, 0), ("TomMid-3.wav", 0.18, 0), ("TomLow-3.wav", 0.36, 0),
                               ("Kick-3.wav", 0.54, 0), ("Crash18-3.wav", 0.54, -2), ("Kick-2.wav", 1.6, -3),
                               ("Snare-3.wav", 2.0, -3), ("Kick-2.wav", 2.4, -3), ("Snare-3.wav", 2.8, -3),
                               ("Crash18-2.wav", 3.2, -4)]),
                   (XM + "menu.ogg", 0.0), (LC + "03 - Robert van Herk - Architectural Contemplations.ogg", 0.0)],
        "sweepers": [_drums(EE, [("EE_Kick_Power.flac", 0.0, 0), ("EE_Clap_Hard.flac", 0.25, -2),
                                 ("EE_Hat_Op_Phaser.flac", 0.5, -4), ("EE_Kick_Hard_1.flac", 0.75, 0),
                                 ("EE_Clap.flac", 1.0, -2)]),
                     _drums(HE, [("PowR_BD_1.flac", 0.0, 0), ("Amp_Clap_1.flac", 0.3, -2), ("HardHse_K_02.flac", 0.6, 0),
                                 ("Clap_1.flac", 0.9, -2), ("Hard_Hse_OHH_1.flac", 1.2, -4)]),
                     _drums(FZ, [("Splash10-2.wav", 0.0, -2), ("TomHigh-2.wav", 0.12, 0), ("TomLow-2.wav", 0.3, 0),
                                 ("China-3.wav", 0.6, -3)])],
        "beds": [(XM + "foxrun.ogg", 20.0), (LC + "01 - pronobozo - lincity.ogg", 30.0), (XM + "ridealong.ogg", 10.0)],
        "excerpts": [(XM + "batcave.ogg", 30.0, 100.0), (LC + "02 - Robert van Herk - City Blues.ogg", 40.0, 150.0),
                     (XM + "legolodio.ogg", 10.0, 50.0)],
        "songs": [XM + "MadeiraStew.ogg", XM + "speeditup.ogg", XM + "menu.ogg",
                  LC + "03 - Robert van Herk - Architectural Contemplations.ogg"],
    },
}
# Songs whose first seconds are a sting: programmes play them from this offset on.
SONG_MIN_OFFSET = 15.0


class Clip:
    def __init__(self, name, kind, path, near_miss_of=None):
        self.name = name
        self.kind = kind  # ident, sweeper, advert, excerpt
        self.path = path
        self.near_miss_of = near_miss_of  # name of the clip this one nearly is
        self.length = frames(path)
        self.seen = 1.0  # fraction of the clip played (cut_short)


def cut_short(clip, seen, parts):
    """The clip as a station cuts it: its first `seen` of the length, ending with a 20 ms fade;
    `clip` itself when seen is 1."""
    if seen >= 1.0:
        return clip
    out = os.path.join(parts, f"{clip.name}.cut{seen:.3f}.wav")
    n = round(clip.length * seen)
    sox([clip.path], out, ["trim", "0s", f"{n}s", "fade", "t", "0", "-0", "0.02"], f"{clip.path}: cut short")
    cut = Clip(clip.name, clip.kind, out)
    cut.seen = seen
    return cut


def _music(src, out, length, fade_out, what):
    """The music of a sting or bed: a decoded stretch of a file, or a drum phrase."""
    if os.path.exists(out):
        return out
    if isinstance(src[0], str) and src[0] != "drums":
        return decode(src[0], out, src[1], length, what, fade_in=0.0, fade_out=fade_out)
    layers = [Layer(_hit(f, out, i), round(t * RATE), g) for i, (f, t, g) in enumerate(src[1])]
    mix(layers, out, round(length * RATE), what, peak_db=-3.0)
    for i in range(len(src[1])):
        os.remove(f"{out}.hit{i}.wav")
    return out


def _hit(path, out, i):
    if not os.path.exists(path):
        raise CorpusError(f"{path}: missing (install hydrogen-drumkits)")
    hit = f"{out}.hit{i}.wav"
    sox([path], hit, [], f"{path}: drum hit")
    return hit


def _fit(voice_wav, seconds):
    """The speech, sped up with the pitch kept when it is longer than `seconds`."""
    n = frames(voice_wav)
    if n <= seconds * RATE:
        return voice_wav
    fitted = voice_wav[:-4] + ".fit.wav"
    if not os.path.exists(fitted):
        sox([voice_wav], fitted, ["tempo", "-s", f"{n / (seconds * RATE):.4f}"], f"{voice_wav}: fit")
    return fitted


def _voiced(music, voice, at, music_db, out, what):
    """Music with speech from `at` seconds over it; as long as the music."""
    layers = [Layer(music, 0, music_db), Layer(voice, round(at * RATE), 0.0)]
    mix(layers, out, layers[0].length, what)
    return out


def build(set_name, work, rng):
    """Makes every clip and near miss of a set as WAV files in work; returns (clips, near misses)."""
    src = SOURCES[set_name]
    for entry in [s for role in ("stings", "sweepers", "beds") for s in src[role]] + \
            [(e[0], 0) for e in src["excerpts"]] + [(s, 0) for s in src["songs"]]:
        paths = [h[0] for h in entry[1]] if entry[0] == "drums" else [entry[0]]
        for p in paths:
            if not os.path.exists(p):
                raise CorpusError(f"{p}: missing (the {set_name} set needs: {' '.join(PACKAGES[set_name])})")
    voices = speech.VOICES[set_name]
    tmp = os.path.join(work, "parts")
    os.makedirs(tmp, exist_ok=True)
    clips, near = [], []
    names = speech.STATIONS[set_name]
    others = speech.STATIONS[set_name + "-other"]
    for i, sting in enumerate(src["stings"]):
        length = round(rng.uniform(4.0, 5.0), 2)
        music = _music(sting, f"{tmp}/sting{i}.wav", length, 0.8, f"{set_name} sting {i}")
        voice = voices[i % len(voices)]
        for label, station, into in (("", names[i], clips), ("~other", others[i], near)):
            v = os.path.join(tmp, f"ident{i}{label}.voice.wav")
            speech.say(station + "!", voice, v)
            name = f"ident-{_slug(names[i])}{label}"
            out = os.path.join(work, "clips", name + ".wav")
            _voiced(music, _fit(v, length - 1.2), 0.5, -5.0, out, f"{name}")
            into.append(Clip(name, "ident", out, f"ident-{_slug(names[i])}" if label else None))
    for i, sw in enumerate(src["sweepers"]):
        music = _music(sw, f"{tmp}/sweeper{i}.wav", 2.0, 0.4, f"{set_name} sweeper {i}")
        v = os.path.join(tmp, f"sweeper{i}.voice.wav")
        speech.say(speech.SWEEPERS[set_name][i], voices[(i + 1) % len(voices)], v)
        name = f"sweeper-{_slug(speech.SWEEPERS[set_name][i])}"
        out = os.path.join(work, "clips", name + ".wav")
        _voiced(music, _fit(v, 1.6), 0.15, -4.0, out, name)
        clips.append(Clip(name, "sweeper", out))
    for i, bed in enumerate(src["beds"]):
        length = round(rng.uniform(15.0, 21.0), 2)
        music = _music(bed, f"{tmp}/bed{i}.wav", length, 1.0, f"{set_name} bed {i}")
        voice = voices[(i + 2) % len(voices)]
        base = f"advert-{i + 1}"
        for label, text, into in (("", speech.ADVERTS[set_name][i], clips),
                                  ("~other", speech.ADVERTS[set_name + "-other"][i], near)):
            v = os.path.join(tmp, f"advert{i}{label}.voice.wav")
            speech.say(text, voice, v)
            out = os.path.join(work, "clips", base + label + ".wav")
            _voiced(music, _fit(v, length - 2.0), 0.8, -9.0, out, base + label)
            into.append(Clip(base + label, "advert", out, base if label else None))
    for i, (song, offset, other) in enumerate(src["excerpts"]):
        length = round(rng.uniform(10.0, 14.0), 2)
        base = f"excerpt-{os.path.splitext(os.path.basename(song))[0].split(' ')[-1].lower()}"
        out = os.path.join(work, "clips", base + ".wav")
        if not os.path.exists(out):
            decode(song, out, offset, length, base)
        clips.append(Clip(base, "excerpt", out))
        nm = os.path.join(work, "clips", base + "~other.wav")
        if not os.path.exists(nm):
            decode(song, nm, other, length, base + "~other")
        near.append(Clip(base + "~other", "excerpt", nm, base))
    return clips, near


def _slug(text):
    return "".join(c.lower() if c.isalnum() else "-" for c in text).strip("-").replace("--", "-")
