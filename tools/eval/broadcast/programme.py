"""Radio-like programmes: songs, DJ talk, and clips inserted between them with crossfades, some
talked over, plus near misses; and clip-free programmes of songs and talk only. A programme is
a list of layers mixed sample-exactly (mixer.py); its ground truth is where the clip layers lie.
"""

import os

import speech
from clips import SONG_MIN_OFFSET
from audio import RATE, decode, decode_whole, frames
from mixer import Layer, mix


class Programme:
    def __init__(self, name):
        self.name = name
        self.layers = []
        self.insertions = []  # dicts: clip, kind, begin, length, talk_over (seconds talked over)
        self.near_misses = []
        self.total = 0


def _song(work, songs, rng, seconds, counter):
    """A stretch of a programme song (decoded once), faded in and out by the mixer."""
    path = songs[rng.randrange(len(songs))]
    total = frames(decode_whole(path)) / RATE
    lo = SONG_MIN_OFFSET if total > SONG_MIN_OFFSET + seconds + 1 else 0.0
    start = round(rng.uniform(lo, max(lo, total - seconds - 0.5)), 2)
    out = os.path.join(work, "parts", f"song-{counter}.wav")
    if not os.path.exists(out):
        decode(path, out, start, seconds, f"{path} at {start} s")
    return out


def _talk(work, voices, rng, counter):
    out = os.path.join(work, "parts", f"talk-{counter}.wav")
    speech.say(speech.DJ_LINES[rng.randrange(len(speech.DJ_LINES))], voices[rng.randrange(len(voices))], out)
    return out


def compose(name, work, items, songs, voices, rng, quick, clip_free_seconds=0.0, talk_share=0.3):
    """Lays out one programme. items: (Clip, is_near_miss) in playing order; with none, a
    clip-free programme of about clip_free_seconds. About talk_share of the clips played whole
    are talked over."""
    p = Programme(name)
    counter = [0]

    def next_id():
        counter[0] += 1
        return f"{name}-{counter[0]}"

    song_len = (4.0, 7.0) if quick else (6.0, 10.0)
    t = 0  # end of the last element, samples
    clip_end = 0  # end of the last clip or near miss: no talk-over reaches back into it
    prev_song = None
    prev_clip = None  # the last clip's layer

    def add_song():
        nonlocal t, prev_song
        s = Layer(_song(work, songs, rng, round(rng.uniform(*song_len), 2), next_id()), max(0, t - round(0.3 * RATE)),
                  0.0, 0.4, 1.5)
        p.layers.append(s)
        t, prev_song = s.end, s

    def add_talk():
        nonlocal t, prev_song
        # DJ talk over the end of the song before it, or on its own.
        back = round(rng.uniform(0.5, 2.5) * RATE) if prev_song is not None else -round(0.2 * RATE)
        v = Layer(_talk(work, voices, rng, next_id()), max(0, t - back), -1.0)
        p.layers.append(v)
        t, prev_song = max(t, v.end) + round(0.2 * RATE), None

    add_song()
    if not items:
        while t < clip_free_seconds * RATE:
            add_talk() if rng.random() < 0.35 else add_song()
        p.total = t
        mix(p.layers, os.path.join(work, name + ".clean.wav"), p.total, name)
        return p
    for k, (clip, is_near) in enumerate(items):
        # Crossfade: the clip starts at full level while the song before it fades out.
        # (over at most a quarter of the clip).
        layer = Layer(clip.path, 0, 0.0)
        overlap = round(rng.uniform(0.3, 1.5) * RATE) if prev_song is not None else round(rng.uniform(0.0, 0.3) * RATE)
        # (and over at most a quarter of a clip just before it: one cut short may be brief).
        before = prev_clip.length // 4 if prev_clip is not None and t == prev_clip.end else overlap
        begin = max(0, t - min(overlap, layer.length // 4, before))
        layer.start = begin
        p.layers.append(layer)
        talk = 0.0
        if not is_near and clip.seen >= 1.0 and rng.random() < talk_share:
            # DJ talk-over: the presenter speaks over the start (songs) or the end of the clip,
            # covering at most 40 % of it.
            v = Layer(_talk(work, voices, rng, next_id()), 0, -3.0)
            span = min(v.length, round(0.4 * layer.length))
            if clip.kind == "excerpt" and begin + span - v.length >= clip_end:
                v.start = begin + span - v.length  # talking into the song's first seconds
            else:
                v.start = layer.end - span  # talking over the clip's end
            p.layers.append(v)
            talk = (min(v.end, layer.end) - max(v.start, begin)) / RATE
            t = max(layer.end, v.end)
        else:
            t = layer.end
        clip_end = layer.end
        prev_clip = layer
        record = {"clip": clip.name, "kind": clip.kind, "begin": begin, "length": layer.length}
        if is_near:
            record["near_miss_of"] = clip.near_miss_of
            p.near_misses.append(record)
        else:
            record["talk_over_seconds"] = round(talk, 2)
            if clip.seen < 1.0:
                record["seen"] = clip.seen  # cut short after this fraction of the clip
            p.insertions.append(record)
        prev_song = None
        nxt = rng.random()
        if k + 1 < len(items):
            if nxt < 0.3:
                add_song()
            elif nxt < 0.4:
                add_talk()
        else:
            add_song()
    p.total = t
    mix(p.layers, os.path.join(work, name + ".clean.wav"), p.total, name)
    return p
