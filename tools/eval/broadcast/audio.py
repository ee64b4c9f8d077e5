"""Small audio helpers of the broadcast corpus: running sox and ffmpeg, WAV lengths and levels.

Every file the corpus writes is mono 16-bit PCM at 44100 Hz unless said otherwise. sox runs in
its repeatable mode (-R) without dither (-D) and ffmpeg with -bitexact, so that the same inputs
always give the same samples.
"""

import os
import re
import subprocess
import wave

RATE = 44100


class CorpusError(Exception):
    """A tool failed or a source is missing; the message names the file and the problem."""


def run(args, what):
    """Runs a command; raises CorpusError with its last lines of output when it fails."""
    try:
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    except OSError as e:
        raise CorpusError(f"{what}: cannot run {args[0]} ({e.strerror})") from e
    if proc.returncode != 0:
        tail = (proc.stderr or proc.stdout).decode("utf-8", "replace").strip().splitlines()[-3:]
        raise CorpusError(f"{what}: {os.path.basename(args[0])} failed: {' / '.join(tail)}")
    return proc.stdout.decode("utf-8", "replace") + proc.stderr.decode("utf-8", "replace")


def sox(inputs, output, effects, what, out_format=("-b", "16")):
    """sox [-R -D] inputs... -c 1 -r 44100 out effects...; inputs is a list of argument lists."""
    args = ["sox", "-R", "-D", "-V1"]
    for i in inputs:
        args += i if isinstance(i, list) else [i]
    args += ["-c", "1", "-r", str(RATE)] + list(out_format) + [output] + [str(e) for e in effects]
    run(args, what)


def ffmpeg(inputs, output, filters, what, codec=("-c:a", "pcm_s16le"), extra=()):
    """ffmpeg -i each input, a filter graph (or none), mono 44100 Hz output."""
    args = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
    for i in inputs:
        args += i if isinstance(i, list) else ["-i", i]
    if filters:
        args += ["-filter_complex" if ";" in filters or "[" in filters else "-af", filters]
    args += list(extra) + ["-ac", "1", "-ar", str(RATE)] + list(codec) + ["-bitexact", "-fflags", "+bitexact",
                                                                         "-flags:a", "+bitexact", output]
    run(args, what)


def frames(path):
    """Sample frames of a WAV file."""
    try:
        with wave.open(path, "rb") as w:
            return w.getnframes()
    except (OSError, wave.Error, EOFError) as e:
        raise CorpusError(f"{path}: not a readable WAV file ({e})") from e


def rms_db(path):
    """RMS level of a WAV file in dB full scale (sox stats)."""
    out = run(["sox", "-R", "-V1", path, "-n", "stats"], f"{path}: level")
    m = re.search(r"RMS lev dB\s+(-?[0-9.]+|-inf)", out)
    if not m or m.group(1) == "-inf":
        raise CorpusError(f"{path}: silent or unreadable (no RMS level)")
    return float(m.group(1))


_DECODED = {}
_CACHE = {"dir": "."}


def set_cache_dir(path):
    """Where decoded sources are kept while a set is made."""
    _DECODED.clear()
    _CACHE["dir"] = path


def decode_whole(src):
    """The whole of any audio file ffmpeg reads (ogg, tracker modules, flac...) as a mono WAV in
    the cache folder, decoded once. Seeking inside tracker modules is unreliable, so stretches
    are cut from this."""
    if src not in _DECODED:
        out = os.path.join(_CACHE["dir"], f"source-{len(_DECODED)}.wav")
        ffmpeg([src], out, "", f"{src}: decode")
        if os.path.splitext(src)[1].lower() in (".it", ".s3m", ".xm", ".mod"):
            # Tracker modules can vary their instruments at random: render twice, compare.
            again = out + ".again.wav"
            ffmpeg([src], again, "", f"{src}: decode")
            with open(out, "rb") as a, open(again, "rb") as b:
                same = a.read() == b.read()
            os.remove(again)
            if not same:
                raise CorpusError(f"{src}: renders differently every time (random instrument variation); "
                                  "choose another module")
        _DECODED[src] = out
    return _DECODED[src]


def decode(src, out, start, length, what, fade_in=0.0, fade_out=0.0):
    """Cuts `length` seconds from `start` of an audio file to a mono WAV, peak-normalised to
    -3 dBFS, with optional fades."""
    whole = decode_whole(src)
    available = frames(whole)
    first, n = round(start * RATE), round(length * RATE)
    if first + n > available:
        raise CorpusError(f"{src}: shorter than {start + length:.1f} s ({available / RATE:.1f} s)")
    eff = ["trim", f"{first}s", f"{n}s"]
    if fade_in > 0 or fade_out > 0:
        eff += ["fade", "t", f"{fade_in:.3f}", "-0", f"{fade_out:.3f}"]
    sox([whole], out, eff + ["gain", "-n", "-3"], what)
    return out
