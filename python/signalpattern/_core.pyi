"""Type stubs of the extension module signalpattern._core (the sigpat tool's core)."""
from typing import List, Optional, Tuple

import numpy as np
import numpy.typing as npt

class SignalPatternError(RuntimeError):
    """A file, pattern or audio problem: the message is one English line naming the file, the
    problem and what to do."""

    library_messages: Tuple[str, ...]
    """The library's own lines about the problem (UTF-8, often Russian); empty when it said nothing."""

class Pattern:
    """A pattern file (.tvs) as the library loads it."""

    @staticmethod
    def load(path: str) -> Pattern:
        """Loads a pattern file; raises SignalPatternError naming the file and the problem."""
    @property
    def path(self) -> str:
        """The path the pattern was loaded from."""
    @property
    def name(self) -> str:
        """The pattern's name as the library reports it in detections."""
    @property
    def source(self) -> Optional[str]:
        """The name of the audio the pattern was made from, or None when not recorded."""
    @property
    def protocol(self) -> int:
        """Header: protocol number."""
    @property
    def format_version(self) -> int:
        """Header: file format version."""
    @property
    def ndft(self) -> int:
        """Header: DFT length."""
    @property
    def nband(self) -> int:
        """Header: frequency bands."""
    @property
    def nblock(self) -> int:
        """Header: time blocks."""
    @property
    def rate(self) -> float:
        """Header: sample rate (Hz)."""
    @property
    def epsilon(self) -> float:
        """Header: Epsilon."""
    @property
    def nsample_create(self) -> int:
        """Header: NSampleCreate."""
    @property
    def duration(self) -> float:
        """Length of the clip in seconds."""
    @property
    def spectrum(self) -> npt.NDArray[np.float32]:
        """Band powers, shape (nblock, nband), first time block first (a read-only view)."""
    @property
    def band_rms(self) -> npt.NDArray[np.float32]:
        """Mean power of every band, shape (nband,) (a read-only view)."""

# A detection as the JSON line sigpat scan --json prints.
_DetectionJson = str

class StreamScanner:
    """A scan fed array by array (see signalpattern.Scanner)."""

    def __init__(self, patterns: List[str], decision: str, threshold: Optional[float], rate: int, channel: int,
                 name: str, detail_check: bool = ...) -> None: ...
    def feed(self, samples: npt.NDArray[np.generic]) -> List[_DetectionJson]:
        """Scans the next samples; returns the detections confirmed so far."""
    def finish(self) -> List[_DetectionJson]:
        """Ends the input; returns the last detections."""

def scan_file(path: str, patterns: List[str], decision: str, threshold: Optional[float], channel: int, start: int,
              stop: Optional[int], name: str, detail_check: bool = ...) -> List[_DetectionJson]:
    """Scans samples start .. stop - 1 of an audio file (see signalpattern.scan_file)."""

def create_pattern(samples: npt.NDArray[np.generic], rate: int, path: str, begin: Optional[int], end: Optional[int],
                   source: str, channel: int) -> str:
    """Writes a pattern file from samples; returns the path written."""

def pattern_files(items: List[str], decision: str) -> List[str]:
    """The pattern files a scan of these items loads (see signalpattern.pattern_files)."""

def detection_keys() -> List[Tuple[str, str, str, str]]:
    """The keys of a detection's JSON line in its order: (key, field, type, when)."""

def audio_info(path: str) -> Tuple[int, int, int, str]:
    """(samples at 44100 Hz, rate, channels, format) of an audio file."""

def set_verbose(on: bool) -> None:
    """Writes the library's own lines on stderr as they come."""
