"""Broadcast processing chains applied to whole programmes.

Each kind maps a clean programme to a processed one and says how positions move: `factor` is
the playback-rate factor (a clip at sample b of the clean programme lies at
round(b / factor) + delay of the processed one). sox tempo (WSOLA) delays the signal by about
7 ms: measured on noise bursts, 298-348 samples at +2 % and 234-291 at -2 %, hence the delays
below. Every other chain keeps positions within a few samples (measured the same way): its
filters are IIR filters of little group delay, or delay-compensated (the limiter's look-ahead,
the codecs' encoder delay, which ffmpeg removes on decoding).
"""

import os

from audio import RATE, CorpusError, ffmpeg, frames, rms_db, run, sox


def _band(attack, release):
    # A heavy compressor of one band: 4:1 above -40 dB, 10:1 above -20 dB, make-up gain.
    return f"{attack},{release} 6:-70,-70,-40,-30,-20,-22,0,-24 6"


# Heavy 4-band compression, as multiband broadcast processors do it (crossovers 200 Hz,
# 1.2 kHz, 5 kHz): loud parts pulled down and quiet parts up, band by band.
MULTIBAND = ["mcompand", _band("0.008", "0.3"), "200", _band("0.005", "0.2"), "1200",
             _band("0.003", "0.12"), "5000", _band("0.002", "0.08")]


def _sox_chain(effects):
    def apply(src, out, seed):
        sox([src], out, effects + ["gain", "-n", "-1"], f"{out}: sox {' '.join(effects[:1])}")
    return apply


def _ffmpeg_chain(filters):
    def apply(src, out, seed):
        ffmpeg([src], out, filters, f"{out}: ffmpeg {filters.split('=')[0]}")
    return apply


def _codec(codec, bitrate, ext):
    def apply(src, out, seed):
        enc = out + "." + ext
        ffmpeg([src], enc, "", f"{enc}: encode", codec=("-c:a", codec, "-b:a", bitrate))
        ffmpeg([enc], out, "", f"{enc}: decode")
        os.remove(enc)
    return apply


def _car_noise(snr_db):
    """Car noise (low rumble from brown noise, tyre hiss from pink noise and an engine hum) at
    snr_db under the programme's RMS level."""
    def apply(src, out, seed):
        n = frames(src)
        noise = out + ".noise.wav"
        secs = n / RATE + 1
        graph = (f"anoisesrc=d={secs:.2f}:c=brown:r={RATE}:a=0.8:seed={seed},lowpass=f=250,lowpass=f=250[a];"
                 f"anoisesrc=d={secs:.2f}:c=pink:r={RATE}:a=0.8:seed={seed + 1},highpass=f=800,volume=-18dB[b];"
                 f"sine=f=47:r={RATE}:d={secs:.2f},volume=-20dB[c];"
                 "[a][b][c]amix=inputs=3:normalize=0[m]")
        ffmpeg([], noise, graph, f"{noise}: car noise", codec=("-c:a", "pcm_f32le"), extra=("-map", "[m]"))
        gain = rms_db(src) - snr_db - rms_db(noise)
        tmp = out + ".sum.wav"
        sox([["-m", src], ["-v", f"{10 ** (gain / 20):.6f}", noise]], tmp, ["trim", "0", f"{n}s"], f"{out}: mix",
            out_format=("-e", "floating-point", "-b", "32"))
        sox([tmp], out, ["gain", "-n", "-1"], f"{out}: car noise")
        os.remove(noise)
        os.remove(tmp)
    return apply


# name -> (description, factor, apply(src, out, seed)); DELAYS: samples added to positions.
KINDS = {
    "clean": ("no processing", 1.0, None),
    "multiband": ("heavy 4-band compression (sox mcompand)", 1.0, _sox_chain(MULTIBAND)),
    "broadband": ("broadband compression 4:1 and a limiter (ffmpeg acompressor, alimiter)", 1.0,
                  _ffmpeg_chain("acompressor=threshold=-24dB:ratio=4:attack=5:release=150:makeup=6,"
                                "alimiter=limit=0.7:attack=3:release=60:latency=1,volume=1.35")),
    "eq-tilt": ("40 Hz high-pass and a tilt: +3 dB shelf under 250 Hz, -3 dB shelf over 3 kHz", 1.0,
                _sox_chain(["highpass", "40", "bass", "+3", "250", "treble", "-3", "3000"])),
    "lowpass": ("low-pass at 4.5 kHz (4 poles)", 1.0, _sox_chain(["lowpass", "4500", "lowpass", "4500"])),
    "telephone": ("telephone band 300-3400 Hz", 1.0,
                  _sox_chain(["highpass", "300", "highpass", "300", "lowpass", "3400", "lowpass", "3400"])),
    "loudnorm": ("EBU R128 loudness normalisation to -16 LUFS (ffmpeg loudnorm)", 1.0,
                 _ffmpeg_chain("loudnorm=I=-16:TP=-1.5:LRA=7,aresample=44100")),
    "mp3-64": ("MP3 round trip at 64 kbit/s", 1.0, _codec("libmp3lame", "64k", "mp3")),
    "mp3-128": ("MP3 round trip at 128 kbit/s", 1.0, _codec("libmp3lame", "128k", "mp3")),
    "aac-96": ("AAC round trip at 96 kbit/s", 1.0, _codec("aac", "96k", "m4a")),
    "speed+2": ("played 2 % faster (pitch and tempo, sox speed)", 1.02,
                _sox_chain(["speed", "1.02", "rate", "-v", str(RATE)])),
    "speed-2": ("played 2 % slower (pitch and tempo, sox speed)", 0.98,
                _sox_chain(["speed", "0.98", "rate", "-v", str(RATE)])),
    "tempo+2": ("tempo +2 % with the pitch kept (sox tempo)", 1.02, _sox_chain(["tempo", "-m", "1.02"])),
    "tempo-2": ("tempo -2 % with the pitch kept (sox tempo)", 0.98, _sox_chain(["tempo", "-m", "0.98"])),
    "car-noise": ("car noise at 15 dB SNR", 1.0, _car_noise(15.0)),
    "broadcast": ("a station chain: 40 Hz high-pass, tilt, heavy 4-band compression, limiter, MP3 128 kbit/s", 1.0,
                  None),  # composed below
}


def _broadcast(src, out, seed):
    a, b = out + ".1.wav", out + ".2.wav"
    sox([src], a, ["highpass", "40", "bass", "+2", "200", "treble", "+2", "4000"] + MULTIBAND + ["gain", "-n", "-2"],
        f"{out}: station chain")
    ffmpeg([a], b, "alimiter=limit=0.8:attack=3:release=60:latency=1", f"{out}: limiter")
    _codec("libmp3lame", "128k", "mp3")(b, out, seed)
    os.remove(a)
    os.remove(b)


KINDS["broadcast"] = (KINDS["broadcast"][0], 1.0, _broadcast)
DELAYS = {"tempo+2": 315, "tempo-2": 270}

FULL_KINDS = ["clean", "multiband", "broadband", "eq-tilt", "lowpass", "telephone", "loudnorm", "mp3-64", "mp3-128",
              "aac-96", "speed+2", "speed-2", "tempo+2", "tempo-2", "car-noise", "broadcast"]
QUICK_KINDS = ["clean", "multiband", "broadband", "telephone", "speed+2", "tempo-2", "car-noise"]


def process(kind, src, out, seed):
    """Applies chain `kind` to src; returns the position factor and delay (see the top)."""
    if kind not in KINDS:
        raise CorpusError(f"unknown processing kind {kind}")
    _, factor, apply = KINDS[kind]
    if apply is None:
        run(["cp", src, out], f"{out}: copy")
    else:
        apply(src, out, seed)
    return factor, DELAYS.get(kind, 0)
