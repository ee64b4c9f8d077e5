"""Find known audio clips (jingles, idents, adverts) in PCM audio.

The recognizer of the SignalPattern library and the ``sigpat`` tool's scanner, for Python:

>>> import numpy as np, signalpattern as sp
>>> sp.create_pattern(clip, 48000, "jingle.tvs")               # any dtype, mono or (frames, channels)
>>> found = sp.scan_file("show.flac", ["jingle.tvs"])            # what ``sigpat scan --json`` prints
>>> scanner = sp.Scanner(["jingle.tvs"], rate=48000)            # a live feed, array by array
>>> found = scanner.feed(block) + scanner.feed(block2) + scanner.finish()
>>> pandas.DataFrame(found)                                     # one row per detection

Positions are samples at 44100 Hz from the start of the input, as in the tool's output.
Audio is processed with the GIL released, so scanners in several threads run in parallel.
Problems with files, patterns and audio raise :class:`SignalPatternError`, whose message is one
English line naming the file, the problem and what to do; the library's own lines about it are in
its ``library_messages`` (or on stderr as they come after :func:`set_verbose`). Bad arguments
raise ``ValueError`` or ``TypeError``.
"""
from __future__ import annotations

import dataclasses
import json
import os
from typing import Iterable, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._core import Pattern, SignalPatternError
from . import _core
from .store import read_detections

__all__ = ["AudioInfo", "Detection", "Pattern", "PatternSource", "Scanner", "SignalPatternError", "audio_info",
           "create_pattern", "pattern_files", "read_detections", "scan_file", "set_verbose"]

# A pattern as the functions take it: a path (file or directory) or a loaded Pattern.
PatternSource = Union[str, "os.PathLike[str]", Pattern]

LIBRARY_RATE = 44100


# The keys of a detection's JSON line as the core writes them, in their order: (key, field,
# type, when). The core's record formatter is their one home; Detection's fields, the values it
# reads from a line and to_dict are built from this list. Wall-clock keys are left out (a scan
# from Python reads no clock).
_KEYS = tuple(k for k in _core.detection_keys() if k[3] != "clock")
_TYPES = {"str": str, "int": int, "float": float, "flag": bool}
# The first field of the detector's own measure (None for the library's rule), of a report with
# a runner-up version, and the flag of an undecided one.
_DETECTOR_KEY, _DETECTOR_FIELD = next((k, f) for k, f, _, w in _KEYS if w == "detector")
_RANKED_FIELD = next(f for _, f, _, w in _KEYS if w == "ranked")
_UNDECIDED_FIELD = next(f for _, f, t, _ in _KEYS if t == "flag")


def _detection_field(field: str, kind: str, when: str) -> tuple:
    if kind == "strs":
        return (field, Tuple[str, ...], dataclasses.field(default=()))
    if when == "always":
        return (field, _TYPES[kind])
    return (field, Optional[_TYPES[kind]], dataclasses.field(default=None))


def _present(d, when: str) -> bool:
    if when == "always":
        return True
    if getattr(d, _DETECTOR_FIELD) is None:
        return False
    undecided = bool(getattr(d, _UNDECIDED_FIELD))
    if when == "undecided":
        return undecided
    if when == "ranked":
        return not undecided and getattr(d, _RANKED_FIELD) is not None
    return True


def _to_dict(self) -> dict:
    """The detection as ``sigpat scan --json`` writes it: same keys, order and values."""
    out = {}
    for key, field, kind, when in _KEYS:
        if _present(self, when):
            value = getattr(self, field)
            out[key] = field if kind == "flag" else list(value) if kind == "strs" else value
    return out


_DETECTION_DOC = """One detection, with the fields of a JSON line of ``sigpat scan --json``.

``input`` names the input, ``file`` the pattern file as given, ``pattern`` its number in the
loaded set and ``name`` the pattern's own name; ``begin``/``end`` are samples at 44100 Hz
(both included) and ``begin_s``/``end_s`` seconds from the start of the input. ``rel_dev`` and
``rel_dev_mpb`` are the library's deviations, ``rule`` the decision rule. The detector's own
measure (``confidence``, ``distance``, ``threshold``, ``group``, ``speed``, and ``match``:
"level" or "shape", what found it, or "level+detail" for a level distance just past the
threshold that the detail check confirmed, with ``stretch``: the speed change of the input in
percent that the shape distance found, and ``seen``: the fraction of the clip found, under 1
for a partial occurrence whose ``end`` is where the part found ends) is None for the
library's rule. Among versions of one spot (patterns that share content): ``runner_up`` names
the closest other version and ``margin`` says by how much the reported one matched better
where the two differ; ``undecided`` is True when that stretch was not heard well enough, and
``candidates`` then names the versions it may be, closest first (None and () otherwise).
"""

Detection = dataclasses.make_dataclass(
    "Detection", [_detection_field(f, t, w) for _, f, t, w in _KEYS], frozen=True,
    namespace={"__module__": __name__, "__doc__": _DETECTION_DOC, "to_dict": _to_dict})
_to_dict.__qualname__ = "Detection.to_dict"


class AudioInfo(NamedTuple):
    """What :func:`audio_info` reports about an audio file."""

    samples: int       #: length in samples at 44100 Hz
    rate: int          #: the file's own sample rate
    channels: int
    format: str        #: "WAV (Microsoft), Signed 16 bit PCM, 44100 Hz, 1 channel" and the like


def _paths(patterns: Union[PatternSource, Iterable[PatternSource]]) -> list:
    if isinstance(patterns, (str, os.PathLike, Pattern)):
        patterns = [patterns]
    out = []
    for p in patterns:
        if isinstance(p, Pattern):
            out.append(p.path)
        elif isinstance(p, (str, os.PathLike)):
            out.append(os.fspath(p))
        else:
            raise TypeError(f"a pattern is a path or a Pattern, not {type(p).__name__}")
    return out


def _samples(samples) -> np.ndarray:
    """A numpy view of the samples; only dtypes the core cannot read in place (float16, another
    byte order) are converted."""
    a = np.asarray(samples)
    if a.dtype.kind == "f" and a.dtype.itemsize not in (4, 8):
        a = a.astype(np.float64)
    elif a.dtype.kind in "iuf" and not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    return a


def _detections(raw) -> list:
    # The core gives each detection as the JSON line sigpat scan --json prints.
    out = []
    for line in raw:
        fields = json.loads(line)
        kw = {}
        for key, field, kind, _ in _KEYS:
            if kind == "flag":
                # Among versions the line says "version": "undecided" (with the detector's measure).
                if _DETECTOR_KEY in fields:
                    kw[field] = fields.get(key) == field
            elif kind == "strs":
                kw[field] = tuple(fields.get(key, ()))
            elif key in fields:
                kw[field] = fields[key]
        out.append(Detection(**kw))
    return out


def pattern_files(patterns: Union[PatternSource, Iterable[PatternSource]], decision: str = "detector") -> list:
    """The pattern files a scan loads, as ``sigpat scan -p`` takes them.

    A directory gives every ``.tvs`` file in it in name order; with the detector rule the speed
    variants made by ``sigpat create --speed`` that lie beside a pattern are added. Every file is
    loaded once: a bad one raises :class:`SignalPatternError` naming it.
    """
    return _core.pattern_files(_paths(patterns), decision)


def create_pattern(samples, rate: int, path: Union[str, "os.PathLike[str]"], begin: Optional[int] = None,
                   end: Optional[int] = None, *, source: Optional[str] = None, channel: int = 0) -> Pattern:
    """Makes a pattern file from samples and returns it loaded.

    ``samples`` is an array of any integer or float dtype (integers at their full scale, floats
    at full scale 1.0), mono ``(frames,)`` or ``(frames, channels)`` (mixed to their mean, or
    ``channel`` K >= 1 alone), at any ``rate`` (resampled to 44100 Hz as ``sigpat`` does).
    ``begin`` and ``end`` are sample positions at 44100 Hz, both included (default: all the
    samples), as ``sigpat create --begin/--end``. The pattern is written to ``path`` (``.tvs`` is
    added when missing) and records ``source`` (default: the file name of ``path``) as its source.
    """
    path = os.fspath(path)
    if source is None:
        source = os.path.basename(path)
    written = _core.create_pattern(_samples(samples), int(rate), path, begin, end, source, int(channel))
    return Pattern.load(written)


def scan_file(path: Union[str, "os.PathLike[str]"], patterns: Union[PatternSource, Iterable[PatternSource]], *,
              decision: str = "detector", threshold: Optional[float] = None, channel: int = 0, start: int = 0,
              stop: Optional[int] = None, name: Optional[str] = None, detail_check: bool = True) -> list:
    """Scans an audio file (anything ``sigpat`` reads) and returns its detections.

    The detections are those of ``sigpat scan --json`` on the same file and patterns. ``decision``
    is ``"detector"`` (the decision layer, default) or ``"library"`` (the library's own rule, to
    which ``threshold`` applies). ``start``/``stop`` scan only samples start .. stop - 1 (44100 Hz
    files), positions still counted from the start of the file. ``name`` is the ``input`` field
    (default: ``path``). ``detail_check=False`` reports short clips without confirming them
    against their detail print (as ``sigpat scan --no-detail-check``).
    """
    path = os.fspath(path)
    return _detections(_core.scan_file(path, _paths(patterns), decision, threshold, int(channel), int(start),
                                       None if stop is None else int(stop), path if name is None else name,
                                       bool(detail_check)))


def set_verbose(on: bool = True) -> None:
    """Writes the library's own message lines (converted to UTF-8) on stderr as they come, as
    ``sigpat -v`` does; they are kept in ``SignalPatternError.library_messages`` either way."""
    _core.set_verbose(bool(on))


def audio_info(path: Union[str, "os.PathLike[str]"]) -> AudioInfo:
    """Length (samples at 44100 Hz), rate, channels and format of an audio file."""
    return AudioInfo(*_core.audio_info(os.fspath(path)))


class Scanner:
    """A scan of one input fed array by array, as a live feed arrives.

    >>> scanner = Scanner(["jingle.tvs", "ads/"], decision="detector", rate=48000)
    >>> for block in feed:
    ...     for d in scanner.feed(block):
    ...         print(d.begin_s, d.name)
    >>> rest = scanner.finish()

    The detections are exactly those of scanning the same samples as a file. Samples are arrays
    as for :func:`create_pattern`, at ``rate``, with the same number of channels in every call.
    16-bit mono arrays at 44100 Hz are read where they are, without a copy.
    """

    def __init__(self, patterns: Union[PatternSource, Iterable[PatternSource]], decision: str = "detector", *,
                 threshold: Optional[float] = None, rate: int = LIBRARY_RATE, channel: int = 0, name: str = "-",
                 detail_check: bool = True):
        self._core = _core.StreamScanner(_paths(patterns), decision, threshold, int(rate), int(channel), name,
                                         bool(detail_check))

    def feed(self, samples) -> list:
        """Scans the next samples; returns the detections confirmed so far (a list of Detection)."""
        return _detections(self._core.feed(_samples(samples)))

    def finish(self) -> list:
        """Ends the input (trailing silence lets a clip at the very end be found); returns the last detections."""
        return _detections(self._core.finish())
