#!/usr/bin/env python3
"""Read costs of two builds of ambrik, taking turns in one run.

Each build is a Python interpreter that imports its own ambrik (a venv).
Every repetition runs, for each build in turn and in a fresh child process,
the main table's rows (c) hot reads, (d) reads after a cold reopen with the
256 KiB budget (the OS page cache stays warm) and (e) 1 MiB reads, and
prints microseconds per read. Then, under `strace -c -f`, each build makes
the same number of cold reads once with and once without the timed loop;
the difference of the two counts over the number of reads is the system
calls per read (all of them, and the rt_sigaction and pread64 among them).

Usage: python3 bench/guard_reads.py --build old=PY --build new=PY [--reps N]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
STRACE_READS = 20000


def child_rows():
    sys.path.insert(0, HERE)
    import workloads
    from peers import MiB

    cfg = dict(txns=20, batch=1000, reads=20000, big=32)
    rng = random.Random(20261207)
    small_pool = [os.urandom(workloads.SMALL) for _ in range(1024)]
    update_pool = [os.urandom(workloads.SMALL) for _ in range(1024)]
    big_pool = [os.urandom(MiB) for _ in range(4)]
    with tempfile.TemporaryDirectory(dir="/tmp") as d1, tempfile.TemporaryDirectory(dir="/tmp") as d2:
        times, _ = workloads.run_small("ambrik", d1, cfg, rng, small_pool, update_pool)
        _, tr, _ = workloads.run_big("ambrik", d2, cfg, rng, big_pool)
    print(json.dumps({"c": times["c"] * 1e6, "d": times["d"] * 1e6, "e": tr * 1e6}))


def child_strace(reads):
    from ambrik import _ambrik as am

    with tempfile.TemporaryDirectory(dir="/tmp") as d:
        path = os.path.join(d, "db")
        with am.open(path) as db:
            db.begin()
            hs = [db.allocate(os.urandom(100)) for _ in range(20000)]
            db.commit()
        order = random.Random(1).choices(hs, k=STRACE_READS)[:reads]
        db = am.open(path, cache_max_bytes=256 * 1024)
        read = db.read
        for h in order:
            read(h)
        db.close()


def syscalls(py, reads):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-c", "-f", "-o", out.name, py, __file__, "--strace-child",
                        str(reads)], check=True)
        counts = {}
        for line in out.read().splitlines():
            parts = line.split()
            if len(parts) >= 5 and parts[-1] in ("rt_sigaction", "pread64", "total"):
                counts[parts[-1]] = int(parts[3])
        return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", action="append", default=[], help="NAME=PYTHON")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--strace-child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child_rows()
    if args.strace_child is not None:
        return child_strace(args.strace_child)
    builds = [b.split("=", 1) for b in args.build]
    got = {name: [] for name, _ in builds}
    for rep in range(args.reps):
        for name, py in builds:
            out = subprocess.run([py, __file__, "--child"], check=True, capture_output=True,
                                 text=True).stdout
            row = json.loads(out)
            got[name].append(row)
            print(f"rep {rep} {name:>6}: (c) {row['c']:.3f}  (d) {row['d']:.3f}  "
                  f"(e) {row['e']:.1f} us", flush=True)
    for name, _ in builds:
        for k in "cde":
            xs = sorted(r[k] for r in got[name])
            print(f"{name:>6} ({k}) median {xs[len(xs) // 2]:.3f} us, range {xs[0]:.3f}-{xs[-1]:.3f}")
    for name, py in builds:
        a, b = syscalls(py, STRACE_READS), syscalls(py, 0)
        per = {k: (a.get(k, 0) - b.get(k, 0)) / STRACE_READS for k in a}
        print(f"{name:>6} per cold read: " + ", ".join(f"{k} {v:.2f}" for k, v in sorted(per.items())))


if __name__ == "__main__":
    main()
