#!/usr/bin/python3
"""Benchmark of sigpat discover over many station-days on a Dask cluster: one task per station
and day runs `sigpat discover --json` on that day's recordings (one core each, as
discover_day.py measures), the client gathers the clips. Prints the wall time, the processor
time of the tasks, and what a week of 10 stations (70 station-days) would take on a cluster of
--cluster-cores cores at the measured processor time per audio hour.

    discover_week.py SIGPAT --station NAME FILE... [--station NAME FILE...] [--days-per-station N]
                     [--workers N] [--scheduler ADDRESS] [--cluster-cores 16]

The files of a station are split into N days in the order given. Without --scheduler a local
cluster of --workers single-threaded processes is started (Debian package python3-distributed).
What runs per task is the whole one-machine search, writing its evidence clips to
WORKDIR/STATION-dayN (--workdir, shared by the workers; a temporary directory by default). Then
one linking task runs `sigpat discover` over all tasks' evidence clips (a few seconds of audio per
clip): a clip that two tasks found (the same advert at two stations or on two days) recurs across
their evidence files, and the tasks' clips it joins are one discovery. Prints the tasks' clips and
the discoveries after linking. Exit status 0, 1 when a task fails, 77 when Dask is missing.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time


def discover_day(sigpat, station, day, files, out=None):
    """Runs on a worker: (station, day, audio seconds, processor seconds, clips, error or "")."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    extra = ["--out", out] if out else []
    run = subprocess.run([sigpat, "discover", "--json"] + extra + list(files), capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if run.returncode != 0:
        return station, day, 0.0, cpu, [], run.stderr.strip() or f"sigpat discover exited {run.returncode}"
    audio = 0.0
    for line in run.stderr.splitlines():  # "discover: N inputs, H h of audio, ..."
        if line.startswith("discover:") and " h of audio" in line:
            audio = float(line.split(",")[1].split()[0]) * 3600.0
    clips = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    return station, day, audio, cpu, clips, ""


def link_tasks(task_clips, link_clips):
    """Joins the tasks' clips into discoveries. task_clips: {task: [clip records]} (each with its
    'evidence' file); link_clips: the records of the discover run over all evidence files. Two
    tasks' clips are one discovery when a linking clip occurs in both their evidence files.
    Returns the discoveries, each a sorted list of (task, clip id); every task clip is in one."""
    owner, parent = {}, {}
    for task, clips in task_clips.items():
        for c in clips:
            key = (task, c["id"])
            parent[key] = key
            if c.get("evidence"):
                owner[os.path.realpath(c["evidence"])] = key

    def root(k):
        while parent[k] != k:
            parent[k] = parent[parent[k]]
            k = parent[k]
        return k

    for link in link_clips:
        keys = [owner[p] for p in (os.path.realpath(o["input"]) for o in link["occurrences"]) if p in owner]
        for k in keys[1:]:
            parent[root(k)] = root(keys[0])
    groups = {}
    for k in parent:
        groups.setdefault(root(k), []).append(k)
    return sorted(sorted(g) for g in groups.values())


def link_run(sigpat, task_clips):
    """Runs on a worker: the discover run over every task's evidence clips (songs, the long
    repeats, have none worth linking: left out). Returns (processor seconds, link records, error)."""
    files = [c["evidence"] for clips in task_clips.values() for c in clips
             if c.get("evidence") and not c.get("long_repeat")]
    if len(files) < 2:
        return 0.0, [], ""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = subprocess.run([sigpat, "discover", "--json", "-q", "--max-length", "60"] + files, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if run.returncode != 0:
        return cpu, [], run.stderr.strip() or f"sigpat discover exited {run.returncode}"
    return cpu, [json.loads(line) for line in run.stdout.splitlines() if line.strip()], ""


def parse_stations(argv):
    stations, rest, current = [], [], None
    for arg in argv:
        if current is not None and current[1] is None:
            current[1] = arg
        elif arg == "--station":
            current = [arg, None, []]
            stations.append(current)
        elif current is not None and not arg.startswith("--"):
            current[2].append(arg)
        else:
            current = None if arg.startswith("--") else current
            rest.append(arg)
    return [(name, files) for _, name, files in stations], rest


def main(argv):
    stations, rest = parse_stations(argv)
    ap = argparse.ArgumentParser(description="sigpat discover over station-days on Dask.")
    ap.add_argument("sigpat")
    ap.add_argument("--days-per-station", type=int, default=1)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--scheduler")
    ap.add_argument("--cluster-cores", type=int, default=16)
    ap.add_argument("--workdir", help="evidence clips of every task go here (shared by the workers)")
    args = ap.parse_args(rest)
    if not stations or any(not files for _, files in stations):
        ap.error("give --station NAME FILE... at least once")
    try:
        from distributed import Client, LocalCluster, as_completed
    except ImportError:
        print("skipped: discover_week.py needs Dask (Debian package python3-distributed)")
        return 77
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    scratch = None if args.workdir else tempfile.TemporaryDirectory(prefix="discover_week-")
    workdir = os.path.abspath(args.workdir or scratch.name)
    start = time.monotonic()
    futures = []
    for name, files in stations:
        per = max(1, -(-len(files) // args.days_per_station))
        for day in range(0, len(files), per):
            out = os.path.join(workdir, f"{name}-day{day // per}")
            os.makedirs(out, exist_ok=True)
            futures.append(client.submit(discover_day, args.sigpat, name, day // per,
                                         [os.path.abspath(f) for f in files[day:day + per]], out, pure=False))
    audio = cpu = 0.0
    clips = tasks = 0
    failed = []
    task_clips = {}
    for future in as_completed(futures):
        station, day, seconds, used, found, error = future.result()
        tasks += 1
        if error:
            failed.append(f"{station} day {day}: {error}")
            continue
        audio += seconds
        cpu += used
        clips += len(found)
        task_clips[f"{station} day {day}"] = found
        print(f"{station} day {day}: {seconds / 3600.0:.2f} h, {len(found)} clips, {used:.1f} s processor time",
              file=sys.stderr)
    link_cpu, links, error = client.submit(link_run, args.sigpat, task_clips, pure=False).result()
    if error:
        failed.append(f"linking: {error}")
    discoveries = link_tasks(task_clips, links)
    across = [g for g in discoveries if len({task for task, _ in g}) > 1]
    for g in across:
        print("linked: " + ", ".join(f"{task} clip {cid}" for task, cid in g), file=sys.stderr)
    wall = time.monotonic() - start
    if scratch is not None:
        scratch.cleanup()
    client.close()
    if cluster is not None:
        cluster.close()
    per_hour = cpu / (audio / 3600.0) if audio > 0 else 0.0
    week = 70 * 24 * per_hour  # processor seconds of 10 stations x 7 days
    figures = {
        "station_days": tasks,
        "audio_hours": round(audio / 3600.0, 2),
        "clips": clips,
        "discoveries_linked": len(discoveries),
        "discoveries_in_several_tasks": len(across),
        "link_cpu_seconds": round(link_cpu, 1),
        "wall_seconds": round(wall, 1),
        "cpu_seconds": round(cpu, 1),
        "cpu_seconds_per_audio_hour": round(per_hour, 2),
        "week_10_stations_cpu_hours": round(week / 3600.0, 2),
        "week_10_stations_minutes_on_cluster": round(week / args.cluster_cores / 60.0, 1),
        "cluster_cores": args.cluster_cores,
    }
    print(json.dumps(figures, indent=1))
    for line in failed:
        print("discover_week: " + line, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
