"""Capture and playback chains of the capture evaluation: a television heard in a room and
recorded by a phone, and programmes played faster or slower (speed: pitch moves; tempo: pitch
kept) by -6 % to +6 %.

Room capture, in the order the sound goes: a small speaker (band 200 Hz - 6 kHz, 4 poles each
side, and a resonance), the room (an impulse response synthesised here: the direct sound, a few
early reflections in the first 40 ms, then exponentially decaying noise whose high frequencies
die sooner, with a set RT60 and direct-to-reverberant ratio), room noise (pink and brown noise
and a hum, at a set SNR under the programme's RMS level), the phone's microphone (high-pass at
100 Hz) and its codec (AAC or Opus at 16-32 kbit/s). Each set has its own rooms, speakers and
codecs. Positions do not move: the direct sound comes first and the codecs' delays are removed on
decoding.

Speed and tempo steps: sox `speed` (pitch and tempo) on both sets; the tempo with the pitch kept
by sox `tempo -m` (WSOLA) on the development set and by Rubber Band (ffmpeg `rubberband`, a
phase vocoder) on the held-out set, so that the held-out set is not the same time-stretcher.
"""

import math
import os
import random
import struct
import wave

from audio import RATE, CorpusError, ffmpeg, frames, rms_db, sox


# name -> rt60 s, direct-to-reverberant ratio dB, speaker (high-pass Hz, low-pass Hz, resonance
# Hz, its gain dB, its width in octaves), room noise SNR dB, codec (ffmpeg encoder, bitrate, ext).
ROOMS = {
    "dev": {
        "room-small": (0.40, 3.0, (200, 6000, 900, 6.0, 0.7), 15.0, ("aac", "32k", "m4a")),
        "room-living": (0.55, 0.0, (220, 5500, 650, 8.0, 0.6), 12.0, ("libopus", "24k", "opus")),
        "room-bare": (0.70, -3.0, (250, 6000, 1400, 6.0, 0.8), 10.0, ("libopus", "16k", "opus")),
        "room-kitchen": (0.50, 1.0, (180, 5000, 1100, 7.0, 0.5), 13.0, ("aac", "24k", "m4a")),
    },
    "holdout": {
        "room-office": (0.45, 2.0, (210, 5800, 1000, 7.0, 0.6), 14.0, ("libopus", "32k", "opus")),
        "room-lounge": (0.60, -1.0, (190, 6000, 750, 6.0, 0.7), 11.0, ("aac", "24k", "m4a")),
        "room-hall": (0.68, -4.0, (240, 5200, 1250, 8.0, 0.5), 10.0, ("aac", "16k", "m4a")),
        "room-bedroom": (0.42, 4.0, (200, 6200, 850, 5.0, 0.8), 15.0, ("libopus", "20k", "opus")),
    },
}

SPEED_STEPS = [-6, -4, +4, +6]
TEMPO_STEPS = [-6, -4, -3, +3, +5, +6]
# Samples the time-stretchers delay the signal by (measured on noise bursts, see the tests):
# sox tempo by about 7 ms at every step, Rubber Band by none.
SOX_TEMPO_DELAY = 300


def _write_ir(path, rt60, drr_db, seed):
    """A room's impulse response as a 32-bit WAV: direct sound at sample 0 (amplitude 0.5),
    early reflections, then a decaying noise tail with the given RT60 whose energy lies drr_db
    under the direct sound's."""
    rng = random.Random(seed)
    n = int(1.2 * rt60 * RATE)
    ir = [0.0] * n
    ir[0] = 1.0
    for _ in range(8):
        at = int(rng.uniform(0.003, 0.040) * RATE)
        ir[at] += rng.choice((-1, 1)) * rng.uniform(0.25, 0.6) * math.exp(-6.91 * at / RATE / rt60)
    start = int(0.010 * RATE)
    tail = [0.0] * n
    low = 0.0
    for i in range(start, n):
        t = (i - start) / RATE
        # High frequencies die sooner: the tail is low-passed more and more as it decays.
        a = min(0.9, 0.2 + 0.7 * t / rt60)
        low = a * low + (1 - a) * rng.gauss(0.0, 1.0)
        tail[i] = low * math.exp(-6.91 * t / rt60)
    energy = sum(x * x for x in tail)
    scale = math.sqrt(10 ** (-drr_db / 10) / energy) if energy > 0 else 0.0
    ir = [ir[i] + scale * tail[i] for i in range(n)]
    peak = max(abs(x) for x in ir)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(4)
        w.setframerate(RATE)
        w.writeframes(struct.pack(f"<{n}i", *(round(0.5 * x / peak * 2147483647) for x in ir)))


def _room(rt60, drr_db, speaker, snr_db, codec):
    hp, lp, res_hz, res_db, res_oct = speaker
    enc_codec, bitrate, ext = codec

    def apply(src, out, seed):
        n = frames(src)
        spk, ir, wet, noise, mixed, enc = (out + s for s in (".spk.wav", ".ir.wav", ".wet.wav", ".noise.wav",
                                                             ".mix.wav", "." + ext))
        sox([src], spk, ["highpass", hp, "highpass", hp, "lowpass", lp, "lowpass", lp,
                         "equalizer", res_hz, f"{res_oct}o", res_db, "gain", "-n", "-3"], f"{out}: speaker",
            out_format=("-e", "floating-point", "-b", "32"))
        _write_ir(ir, rt60, drr_db, seed)
        ffmpeg([spk, ir], wet, "[0:a][1:a]afir=gtype=none:dry=1:wet=1[m]", f"{out}: room",
               codec=("-c:a", "pcm_f32le"), extra=("-map", "[m]"))
        secs = n / RATE + 1
        graph = (f"anoisesrc=d={secs:.2f}:c=pink:r={RATE}:a=0.5:seed={seed},lowpass=f=3000[a];"
                 f"anoisesrc=d={secs:.2f}:c=brown:r={RATE}:a=0.5:seed={seed + 1},lowpass=f=300[b];"
                 f"sine=f=100:r={RATE}:d={secs:.2f},volume=-30dB[c];"
                 "[a][b][c]amix=inputs=3:normalize=0[m]")
        ffmpeg([], noise, graph, f"{noise}: room noise", codec=("-c:a", "pcm_f32le"), extra=("-map", "[m]"))
        gain = rms_db(wet) - snr_db - rms_db(noise)
        sox([["-m", wet], ["-v", f"{10 ** (gain / 20):.6f}", noise]], mixed,
            ["trim", "0", f"{n}s", "highpass", "100", "gain", "-n", "-3"], f"{out}: room noise")
        # (Opus encodes at 48 kHz; a later -ar wins over the helper's)
        rate = ("-ar", "48000") if enc_codec == "libopus" else ()
        ffmpeg([mixed], enc, "", f"{enc}: phone codec", codec=("-c:a", enc_codec, "-b:a", bitrate) + rate)
        decoded = out + ".dec.wav"
        ffmpeg([enc], decoded, "", f"{enc}: decode")
        # (back to the programme's length: the codec may pad its last frame)
        sox([decoded], out, ["trim", "0", f"{n}s", "pad", "0", f"{max(0, n - frames(decoded))}s"], f"{out}: length")
        for f in (spk, ir, wet, noise, mixed, enc, decoded):
            os.remove(f)
    return apply


def _speed(percent):
    factor = 1 + percent / 100

    def apply(src, out, seed):
        sox([src], out, ["speed", f"{factor:.4f}", "rate", "-v", str(RATE), "gain", "-n", "-1"], f"{out}: sox speed")
    return apply


def _sox_tempo(percent):
    def apply(src, out, seed):
        sox([src], out, ["tempo", "-m", f"{1 + percent / 100:.4f}", "gain", "-n", "-1"], f"{out}: sox tempo")
    return apply


def _rubberband(percent):
    def apply(src, out, seed):
        ffmpeg([src], out, f"rubberband=tempo={1 + percent / 100:.4f}", f"{out}: rubberband")
    return apply


def kinds(set_name):
    """The chains of a set: name -> (description, position factor, position delay, apply)."""
    if set_name not in ROOMS:
        raise CorpusError(f"no capture chains for the set {set_name}")
    out = {}
    for name, (rt60, drr, speaker, snr, codec) in ROOMS[set_name].items():
        out[name] = (f"room capture: speaker {speaker[0]}-{speaker[1]} Hz with a {speaker[3]:g} dB resonance at "
                     f"{speaker[2]} Hz, RT60 {rt60:g} s (DRR {drr:g} dB), room noise at {snr:g} dB SNR, "
                     f"{codec[0].replace('lib', '')} {codec[1]}bit/s", 1.0, 0, _room(rt60, drr, speaker, snr, codec))
    for p in SPEED_STEPS:
        out[f"speed{p:+d}"] = (f"played {abs(p)} % {'faster' if p > 0 else 'slower'} (pitch and tempo, sox speed)",
                               1 + p / 100, 0, _speed(p))
    for p in TEMPO_STEPS:
        if set_name == "dev":
            out[f"tempo{p:+d}"] = (f"tempo {p:+d} % with the pitch kept (sox tempo)", 1 + p / 100, SOX_TEMPO_DELAY,
                                   _sox_tempo(p))
        else:
            out[f"tempo{p:+d}"] = (f"tempo {p:+d} % with the pitch kept (Rubber Band)", 1 + p / 100, 0, _rubberband(p))
    return out


def process(set_name, kind, src, out, seed):
    """Applies the set's chain `kind` to src; returns the position factor and delay."""
    table = kinds(set_name)
    if kind not in table:
        raise CorpusError(f"unknown capture chain {kind}")
    _, factor, delay, apply = table[kind]
    apply(src, out, seed)
    return factor, delay
