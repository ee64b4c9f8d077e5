#!/usr/bin/env python3
"""Layout rules the compiler does not enforce, checked over the sources:

  - no include cycle among the files of detector/ (its parts depend on each other one way);
  - nobody outside engine/ and recognizer/ reads the engine's frame-power ring and time-block ring
    (DftPowRing, DftPowRingPos, NframeAvg, InvNframeAvg, TimeSpectrum, TimeSpectrumWork,
    NblockCur) or writes its sample counters (NCurrentSample, NCurrentSampleRel, RecognizedBegin,
    RecognizedEnd): decision layers get each block as a TimeBlockView, and rebasing the counters
    is RecognitionStream's alone. The engine's own tests (tests/) may look inside it.

Usage: check_layout.py [SOURCE_ROOT]; prints one line per finding and exits 1 when there is one.
"""
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
RING = r"DftPowRing|DftPowRingPos|NframeAvg|InvNframeAvg|TimeSpectrum|TimeSpectrumWork|NblockCur"
COUNTERS = r"NCurrentSample|NCurrentSampleRel|RecognizedBegin|RecognizedEnd"
READS_RING = re.compile(r"(?:\.|->)\s*(" + RING + r")\b")
WRITES_COUNTER = re.compile(r"(?:\.|->)\s*(" + COUNTERS + r")\s*(?:=(?!=)|\+=|-=|\+\+|--)")
# Where the engine's state may be named: the engine, the recognizer classes built on it, their
# headers, and the tests.
ENGINE_SIDE = ("engine/", "recognizer/", "tests/", "include/TimeSpectrumEstimation.h",
               "include/SignalPattern.h", "include/RecognitionStream.h")
SKIPPED_DIRS = {"build", ".git", ".ci", "docs"}


def sources(root):
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.startswith("build"))
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.normpath(os.path.join(rel, name)).replace(os.sep, "/")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def include_cycles(root, files):
    """Cycles among detector/ files, each as a list of files (the first repeated at the end)."""
    detector = [f for f in files if f.startswith("detector/")]
    known = set(detector)
    graph = {}
    for f in detector:
        with open(os.path.join(root, f), encoding="utf-8") as h:
            text = h.read()
        edges = []
        for inc in INCLUDE.findall(text):
            target = os.path.normpath(os.path.join(os.path.dirname(f), inc)).replace(os.sep, "/")
            if target in known:
                edges.append(target)
        graph[f] = edges
    cycles, state, path = [], {}, []

    def visit(node):
        state[node] = 1
        path.append(node)
        for nxt in graph[node]:
            if state.get(nxt) == 1:
                cycles.append(path[path.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        path.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return cycles


def engine_state_uses(root, files):
    found = []
    for f in files:
        if f.startswith(ENGINE_SIDE):
            continue
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as h:
            text = strip_comments(h.read())
        for number, line in enumerate(text.split("\n"), 1):
            for m in READS_RING.finditer(line):
                found.append(f"{f}:{number}: reads the engine's {m.group(1)} (use the TimeBlockView)")
            for m in WRITES_COUNTER.finditer(line):
                found.append(f"{f}:{number}: writes the engine's {m.group(1)} (only RecognitionStream rebases)")
    return found


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    files = list(sources(root))
    problems = [" -> ".join(c) + ": include cycle" for c in include_cycles(root, files)]
    problems += engine_state_uses(root, files)
    for p in problems:
        print(p)
    print(f"check_layout: {len(files)} source files, {len(problems)} finding(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
