#!/usr/bin/env python3
"""Checks of the source tree's layout, run by the test suite.

- python/, fuzz/ and tools/ include only the public headers of the libraries (each library's
  include directory), their own headers and, for fuzz/ and tools/, the tool's headers
  (tools/sigpat, whose parsers the fuzzers exercise). A library's internal header reached from
  there is an error: it would tie the caller to the library's private layout.
- No source file is longer than 600 lines.
- No include cycle among the files of detector/ (its parts depend on each other one way).
- Nobody outside engine/ and recognizer/ reads the engine's frame-power and time-block rings
  (DftPowRing, DftPowRingPos, NframeAvg, InvNframeAvg, TimeSpectrum, TimeSpectrumWork, NblockCur)
  or writes its sample counters (NCurrentSample, NCurrentSampleRel, RecognizedBegin,
  RecognizedEnd): decision layers get each block as a TimeBlockView, and rebasing the counters is
  RecognitionStream's alone. The tests may look inside the engine.
- The decision layer's core reaches its distances only through the Distance interface: the header
  of a distance (a class derived from Distance) is included only by the files that define its
  members, and no file of detector/ asks an object for its concrete type (dynamic_cast).

Usage: source_layout_check.py SOURCE_DIR  prints one line per fault; exit status 1 on any.
       source_layout_check.py --self-test  plants each fault in a small tree and checks it is found.
"""
import pathlib
import re
import sys
import tempfile

MAX_LINES = 600
SOURCE_SUFFIXES = {".cpp", ".h", ".c", ".hpp", ".py"}
# Folders of generated or third-party text, and build trees.
SKIPPED_PARTS = {".git", "corpus", "node_modules", "__pycache__"}

# The include directories of the libraries: what a caller outside them may name.
PUBLIC_DIRS = ["include", "scanning/include", "store", "proof", "index", "server"]
# Who may include what besides the public headers: its own folder tree, and the tool's headers.
CALLERS = {
    "python": ["python"],
    "fuzz": ["fuzz", "tools/sigpat"],
    "tools": ["tools"],
}
# Includes still to be removed, each with the reason.
KNOWN: set = set()
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.M)
RING = r"DftPowRing|DftPowRingPos|NframeAvg|InvNframeAvg|TimeSpectrum|TimeSpectrumWork|NblockCur"
COUNTERS = r"NCurrentSample|NCurrentSampleRel|RecognizedBegin|RecognizedEnd"
READS_RING = re.compile(r"(?:\.|->)\s*(" + RING + r")\b")
WRITES_COUNTER = re.compile(r"(?:\.|->)\s*(" + COUNTERS + r")\s*(?:=(?!=)|\+=|-=|\+\+|--)")
# Where the engine's state may be named: the engine, the recognizer classes built on it, their
# headers, and the tests.
ENGINE_SIDE = ("engine/", "recognizer/", "tests/", "include/TimeSpectrumEstimation.h",
               "include/SignalPattern.h", "include/RecognitionStream.h")


def is_build_tree(path: pathlib.Path, root: pathlib.Path) -> bool:
    rel = path.relative_to(root).parts
    return bool(rel) and (rel[0].startswith("build") or (root / rel[0] / "CMakeCache.txt").exists())


def sources(root: pathlib.Path):
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        if SKIPPED_PARTS.intersection(path.relative_to(root).parts) or is_build_tree(path, root):
            continue
        yield path


def long_files(root: pathlib.Path):
    for path in sources(root):
        with open(path, "rb") as f:
            lines = sum(1 for _ in f)
        if lines > MAX_LINES:
            yield f"{path.relative_to(root)}: {lines} lines (at most {MAX_LINES}: split it)"


def include_faults(root: pathlib.Path):
    for caller, allowed in CALLERS.items():
        dirs = [root / d for d in PUBLIC_DIRS]
        for path in sources(root / caller):
            if path.suffix == ".py":
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            for match in INCLUDE.finditer(text):
                name = match.group(1)
                if (path.relative_to(root).as_posix(), name) in KNOWN:
                    continue
                line = text.count("\n", 0, match.start()) + 1
                where = f"{path.relative_to(root)}:{line}"
                target = (path.parent / name).resolve()
                if not target.exists():
                    # Public directories, and names given from the top of the tree ("store/store.h").
                    found = [d / name for d in dirs + [root] if (d / name).is_file()]
                    found += [p for a in allowed for p in (root / a).rglob(pathlib.Path(name).name)
                              if p.is_file() and p.as_posix().endswith("/" + name)]
                    if not found:
                        # Not reachable through a public directory or the caller's own: an
                        # internal header of a library (or no header at all).
                        owners = [p.relative_to(root) for p in root.rglob(pathlib.Path(name).name)
                                  if p.is_file() and not is_build_tree(p, root)]
                        what = f"an internal header ({', '.join(map(str, owners))})" if owners else "no such header"
                        yield f"{where}: includes \"{name}\": {what}"
                        continue
                    target = found[0].resolve()
                if any(target.is_relative_to((root / d).resolve()) for d in PUBLIC_DIRS + allowed):
                    continue
                yield f"{where}: includes \"{name}\", an internal header ({target.relative_to(root.resolve())})"


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def include_cycles(root: pathlib.Path):
    """Cycles among detector/ files, each as the files of the cycle, the first repeated last."""
    graph = {}
    for path in sources(root / "detector"):
        edges = []
        for name in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            target = (path.parent / name).resolve()
            if target.is_file() and target.is_relative_to((root / "detector").resolve()):
                edges.append(target.relative_to(root.resolve()).as_posix())
        graph[path.relative_to(root).as_posix()] = edges
    state, trail = {}, []

    def visit(node):
        state[node] = 1
        trail.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                yield " -> ".join(trail[trail.index(nxt):] + [nxt]) + ": include cycle"
            elif nxt not in state:
                yield from visit(nxt)
        trail.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            yield from visit(node)


def engine_state_uses(root: pathlib.Path):
    for path in sources(root):
        rel = path.relative_to(root).as_posix()
        if path.suffix == ".py" or rel.startswith(ENGINE_SIDE):
            continue
        text = strip_comments(path.read_text(encoding="utf-8", errors="replace"))
        for number, line in enumerate(text.split("\n"), 1):
            for m in READS_RING.finditer(line):
                yield f"{rel}:{number}: reads the engine's {m.group(1)} (use the TimeBlockView)"
            for m in WRITES_COUNTER.finditer(line):
                yield f"{rel}:{number}: writes the engine's {m.group(1)} (only RecognitionStream rebases)"


DISTANCE_CLASS = re.compile(r"\bclass\s+(\w+)\s*(?:final\s*)?:\s*public\s+(?:spdet::)?Distance\b")


def concrete_distance_uses(root: pathlib.Path):
    files = {p.relative_to(root).as_posix(): strip_comments(p.read_text(encoding="utf-8", errors="replace"))
             for p in sources(root / "detector")}
    owners = {}  # a distance's header -> its class
    for rel, text in files.items():
        for m in DISTANCE_CLASS.finditer(text):
            owners[rel] = m.group(1)
    for rel, text in files.items():
        for number, line in enumerate(text.split("\n"), 1):
            if re.search(r"\bdynamic_cast\b", line):
                yield f"{rel}:{number}: dynamic_cast (reach a part through its interface)"
        raw = (root / rel).read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(raw):
            target = (root / rel).parent / match.group(1)
            header = target.resolve().relative_to(root.resolve()).as_posix() if target.is_file() else None
            if header in owners and header != rel and f"{owners[header]}::" not in text:
                line = raw.count("\n", 0, match.start()) + 1
                yield f"{rel}:{line}: includes the {owners[header]} distance's header (use distance.h)"


def faults_of(root: pathlib.Path):
    return list(long_files(root)) + list(include_faults(root)) + list(include_cycles(root)) + \
        list(engine_state_uses(root)) + list(concrete_distance_uses(root))


def self_test() -> int:
    """A tree with one file of each kind, right and wrong: only the wrong ones are reported."""
    files = {
        "include/Api.h": "",
        "scanning/include/scan.h": "",
        "scanning/session_state.h": "",
        "engine/ring.h": "",
        "store/store.h": "",
        "tools/sigpat/cmd.h": "",
        "tools/sigpat/main.cpp": '#include "cmd.h"\n#include "scan.h"\n#include "Api.h"\n#include "store/store.h"\n',
        "tools/eval/eval.cpp": '#include "scan.h"\n\n#include "session_state.h"\n',
        "fuzz/fuzz_x.cpp": '#include "cmd.h"\n#include "ring.h"\n',
        "python/src/module.cpp": '#include "cmd.h"\n#include "../../scanning/session_state.h"\n',
        "engine/long.cpp": "x\n" * (MAX_LINES + 1),
        "engine/just_right.cpp": "x\n" * MAX_LINES,
        # include cycles among detector/ files; a diamond is one-way and passes
        "detector/a.h": '#include "b.h"\n',
        "detector/b.h": '#include "sub/c.h"\n',
        "detector/sub/c.h": '#include "../a.h"\n#include "Api.h"\n',
        "detector/self.h": '#include "self.h"\n',
        "detector/d.h": '#include "e.h"\n#include "f.h"\n',
        "detector/e.h": '#include "f.h"\n',
        "detector/f.h": "\n",
        # the engine's rings read and counters written outside it; the engine's side, its tests,
        # comparisons, comments and a type of the same name pass
        "detector/x.cpp": "float a = e->DftPowRing[0];\nint b = engine.NblockCur;\n"
                          "e->NCurrentSample -= shift;\nrec.RecognizedEnd++;\n",
        "engine/pipeline.cpp": "e->DftPowRingPos = 0; NCurrentSample += 576;\n",
        "recognizer/RecognitionStream.cpp": "e.NCurrentSample -= shift;\n",
        "tests/test_engine.cpp": "EXPECT_EQ(e.NblockCur, 2);\n",
        "tools/a.cpp": "if (e.NCurrentSample == before) return;\n// e->DftPowRing is the engine's\n"
                       "/* e.NblockCur\n */ sigpat::TimeSpectrum s; TimeSpectrum Compute();\n",
        # a distance's header: its own files may include it, the core may not; no dynamic_cast
        "detector/g_distance.h": "class GDistance final : public Distance {};\n",
        "detector/g_path.cpp": '#include "g_distance.h"\nvoid spdet::GDistance::Reset() {}\n',
        "detector/core.cpp": '#include "f.h"\n#include "g_distance.h"\n'
                             "auto* g = dynamic_cast<GDistance*>(d); // dynamic_cast in a comment\n",
    }
    expected = [
        f"engine/long.cpp: {MAX_LINES + 1} lines (at most {MAX_LINES}: split it)",
        'fuzz/fuzz_x.cpp:2: includes "ring.h": an internal header (engine/ring.h)',
        'python/src/module.cpp:1: includes "cmd.h": an internal header (tools/sigpat/cmd.h)',
        'python/src/module.cpp:2: includes "../../scanning/session_state.h", an internal header '
        "(scanning/session_state.h)",
        'tools/eval/eval.cpp:3: includes "session_state.h": an internal header (scanning/session_state.h)',
        "detector/a.h -> detector/b.h -> detector/sub/c.h -> detector/a.h: include cycle",
        "detector/self.h -> detector/self.h: include cycle",
        "detector/x.cpp:1: reads the engine's DftPowRing (use the TimeBlockView)",
        "detector/x.cpp:2: reads the engine's NblockCur (use the TimeBlockView)",
        "detector/x.cpp:3: writes the engine's NCurrentSample (only RecognitionStream rebases)",
        "detector/x.cpp:4: writes the engine's RecognizedEnd (only RecognitionStream rebases)",
        "detector/core.cpp:2: includes the GDistance distance's header (use distance.h)",
        "detector/core.cpp:3: dynamic_cast (reach a part through its interface)",
    ]
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        found = sorted(faults_of(root))
    if found != sorted(expected):
        print("self-test failed: expected")
        print("\n".join(sorted(expected)))
        print("found")
        print("\n".join(found))
        return 1
    print(f"self-test passed ({len(expected)} planted faults found, nothing else)")
    return 0


def main() -> int:
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print("usage: source_layout_check.py SOURCE_DIR | --self-test", file=sys.stderr)
        return 2
    root = pathlib.Path(sys.argv[1]).resolve()
    if not root.is_dir():
        print(f"{sys.argv[1]}: not a directory", file=sys.stderr)
        return 2
    faults = faults_of(root)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
