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


def duration(path):
    """Seconds of any audio file ffprobe can read (None when it cannot)."""
    try:
        out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                              "default=noprint_wrappers=1:nokey=1", path],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False).stdout
        return float(out.decode().strip())
    except (OSError, ValueError):
        return None


def rms_db(path):
    """RMS level of a WAV file in dB full scale (sox stats)."""
    out = run(["sox", "-R", "-V1", path, "-n", "stats"], f"{path}: level")
    m = re.search(r"RMS lev dB\s+(-?[0-9.]+|-inf)", out)
    if not m or m.group(1) == "-inf":
        raise CorpusError(f"{path}: silent or unreadable (no RMS level)")
    return float(m.group(1))


def decode(src, out, start, length, what, fade_in=0.0, fade_out=0.0):
    """Decodes `length` seconds from `start` of any audio file ffmpeg reads (ogg, tracker
    modules, flac...) to a mono WAV, peak-normalised to -3 dBFS, with optional fades."""
    tmp = out + ".raw.wav"
    ffmpeg([["-ss", f"{start:.3f}", "-t", f"{length:.3f}", "-i", src]], tmp, "", what)
    eff = []
    if fade_in > 0 or fade_out > 0:
        eff += ["fade", "t", f"{fade_in:.3f}", "0", f"{fade_out:.3f}"]
    sox([tmp], out, eff + ["gain", "-n", "-3"], what)
    os.remove(tmp)
    n = frames(out)
    if n < int(0.9 * length * RATE):
        raise CorpusError(f"{src}: shorter than {start + length:.1f} s (got {n / RATE:.1f} s from {start:.1f} s)")
    return out
