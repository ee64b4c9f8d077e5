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
What runs per task is the whole one-machine search; clips heard at two stations or on two days
are not linked here (each day's proposed patterns scanned over the week with
signalpattern.archive would do that). Exit status 0, 1 when a task fails, 77 when Dask is missing.
"""
import argparse
import json
import resource
import subprocess
import sys
import time


def discover_day(sigpat, station, day, files):
    """Runs on a worker: (station, day, audio seconds, processor seconds, clips, error or "")."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = subprocess.run([sigpat, "discover", "--json"] + list(files), capture_output=True, text=True)
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
    start = time.monotonic()
    futures = []
    for name, files in stations:
        per = max(1, -(-len(files) // args.days_per_station))
        for day in range(0, len(files), per):
            futures.append(client.submit(discover_day, args.sigpat, name, day // per, files[day:day + per], pure=False))
    audio = cpu = 0.0
    clips = tasks = 0
    failed = []
    for future in as_completed(futures):
        station, day, seconds, used, found, error = future.result()
        tasks += 1
        if error:
            failed.append(f"{station} day {day}: {error}")
            continue
        audio += seconds
        cpu += used
        clips += len(found)
        print(f"{station} day {day}: {seconds / 3600.0:.2f} h, {len(found)} clips, {used:.1f} s processor time",
              file=sys.stderr)
    wall = time.monotonic() - start
    client.close()
    if cluster is not None:
        cluster.close()
    per_hour = cpu / (audio / 3600.0) if audio > 0 else 0.0
    week = 70 * 24 * per_hour  # processor seconds of 10 stations x 7 days
    figures = {
        "station_days": tasks,
        "audio_hours": round(audio / 3600.0, 2),
        "clips": clips,
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
