#!/usr/bin/env python3
"""ambrik's two durability modes beside lmdb: small commits and YCSB-style runs.

One-value commits: each engine holds 1,000 values of 100 B (loaded untimed),
then every commit updates one of them, chosen at random, with a fresh 100 B
value. Cases:

  ambrik full              the default: three syncs, durable when commit returns
  ambrik ordered           durability="ordered": one sync per commit
  ambrik ordered + sync()  the same with db.sync() after every commit (durable
                           at return, as the full mode)
  lmdb default             sync=True, metasync=True (durable at return)
  lmdb metasync=False      its data synced, its meta page not: the like-for-like
                           peer of the ordered mode

All the databases stay open for the whole run; each round runs every case
for --commits commits, the order of the cases rotating from round to round
so that the shared machine's noise falls on all of them. Figures are the
median over the rounds of the microseconds per commit, with the pages the
process handed to the kernel per commit (/proc/self/io wchar / 8192) and
ambrik's fsync_calls per commit.

YCSB-style: bench/ycsb.py's run on handles (50,000 records of 100 B, 100
operations per commit, scrambled zipfian, B = 95 % reads, A = 50 % reads)
with ambrik in both modes beside lmdb in both settings, the cases taking
turns within each repetition.

Usage: python3 bench/durability.py [--rounds N] [--commits N] [--records N]
                                   [--ycsb-commits N] [--reps N] [--no-ycsb]
"""

import argparse
import os
import random
import shutil
import statistics
import struct
import sys
import tempfile
import time

import lmdb

import ambrik

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ycsb  # noqa: E402
from report import machine_info  # noqa: E402

VALUE = 100
SMALL_RECORDS = 1000
LMDB_MAP_SIZE = 1 << 30


class Ambrik:
    def __init__(self, directory, durability, sync_each=False):
        self.db = ambrik.open(os.path.join(directory, "d.ambrik"), durability=durability)
        self.sync_each = sync_each
        with self.db.transaction() as t:
            self.ids = [t.allocate(os.urandom(VALUE)) for _ in range(SMALL_RECORDS)]

    def commit_one(self, record, value):
        db = self.db
        db.begin()
        db.update(self.ids[record], value)
        db.commit()
        if self.sync_each:
            db.sync()

    def fsyncs(self):
        return self.db.counters().fsync_calls

    def close(self):
        self.db.close()


class Lmdb:
    def __init__(self, directory, metasync):
        self.env = lmdb.open(os.path.join(directory, "d.lmdb"), map_size=LMDB_MAP_SIZE,
                             sync=True, metasync=metasync)
        with self.env.begin(write=True) as txn:
            for i in range(SMALL_RECORDS):
                txn.put(struct.pack(">Q", i), os.urandom(VALUE))

    def commit_one(self, record, value):
        with self.env.begin(write=True) as txn:
            txn.put(struct.pack(">Q", record), value)

    def fsyncs(self):
        return None

    def close(self):
        self.env.close()


SMALL_CASES = {
    "ambrik full": lambda d: Ambrik(d, "full"),
    "ambrik ordered": lambda d: Ambrik(d, "ordered"),
    "ambrik ordered + sync()": lambda d: Ambrik(d, "ordered", sync_each=True),
    "lmdb default": lambda d: Lmdb(d, metasync=True),
    "lmdb metasync=False": lambda d: Lmdb(d, metasync=False),
}


def small_commits(tmp_root, rounds, commits):
    rng = random.Random(3)
    pool = [os.urandom(VALUE) for _ in range(1024)]
    names = list(SMALL_CASES)
    engines = {}
    samples = {name: [] for name in names}
    try:
        for name in names:
            engines[name] = SMALL_CASES[name](tempfile.mkdtemp(dir=tmp_root))
        for r in range(rounds + 1):  # round 0 warms up and is not kept
            order = names[r % len(names):] + names[:r % len(names)]
            for name in order:
                eng = engines[name]
                picks = [(rng.randrange(SMALL_RECORDS), pool[rng.randrange(1024)])
                         for _ in range(commits)]
                w0, f0 = ycsb.wchar_bytes(), eng.fsyncs()
                t0 = time.perf_counter()
                for record, value in picks:
                    eng.commit_one(record, value)
                elapsed = time.perf_counter() - t0
                if r == 0:
                    continue
                f1 = eng.fsyncs()
                samples[name].append((elapsed / commits * 1e6,
                                      (ycsb.wchar_bytes() - w0) / ycsb.PAGE / commits,
                                      None if f1 is None else (f1 - f0) / commits))
    finally:
        for eng in engines.values():
            eng.close()

    def med(name, k):
        return statistics.median(s[k] for s in samples[name])

    lines = [f"One-value commits: update one {VALUE} B value of {SMALL_RECORDS:,} per commit, "
             f"{commits} commits per round, median of {rounds} rounds", "",
             "| case | us/commit | fastest round | pages written/commit | fsync_calls/commit |",
             "|---|---|---|---|---|"]
    for name in names:
        f = samples[name][0][2]
        lines.append(f"| {name} | {med(name, 0):,.1f} | "
                     f"{min(s[0] for s in samples[name]):,.1f} | {med(name, 1):.1f} | "
                     f"{'-' if f is None else f'{med(name, 2):.0f}'} |")
    t = {name: med(name, 0) for name in names}
    lines += ["", "| ratio | value | target |", "|---|---|---|"]
    for a, b, target in (("ambrik ordered", "ambrik full", 0.5),
                         ("ambrik ordered", "lmdb default", 0.7),
                         ("ambrik ordered", "lmdb metasync=False", None),
                         ("ambrik ordered + sync()", "lmdb default", None),
                         ("ambrik full", "lmdb default", None)):
        r = t[a] / t[b]
        verdict = "" if target is None else f"<= {target} ({'met' if r <= target else 'missed'})"
        lines.append(f"| {a} / {b} | {r:.2f} | {verdict} |")
    return lines


YCSB_CASES = {
    "ambrik full": lambda d, v: ycsb.AmbrikHandles(d, v, durability="full"),
    "ambrik ordered": lambda d, v: ycsb.AmbrikHandles(d, v, durability="ordered"),
    "lmdb default": lambda d, v: ycsb.Lmdb(d, v, keyed=False),
    "lmdb metasync=False": lambda d, v: ycsb.Lmdb(d, v, keyed=False, metasync=False),
}


def ycsb_runs(tmp_root, records, commits, reps):
    values = [os.urandom(VALUE) for _ in range(records)]
    pool = [os.urandom(VALUE) for _ in range(1024)]
    names = list(YCSB_CASES)
    lines = [f"YCSB-style on handles: {records:,} records of {VALUE} B, {ycsb.PER_COMMIT} "
             f"operations per commit, {commits:,} commits per run, zipfian {ycsb.ZIPF_THETA}, "
             f"median of {reps} (us per operation, commits included; pages written per commit)",
             "", "| workload | " + " | ".join(names) + " | ordered / full | ordered / lmdb |",
             "|---|" + "---|" * (len(names) + 2)]
    for wl, label, share in (("B", "95 % reads", 0.95), ("A", "50 % reads", 0.50)):
        ops = ycsb.operations(records, commits, share, seed=ord(wl))
        res = {name: [] for name in names}
        for rep in range(reps):
            for name in names[rep % len(names):] + names[:rep % len(names)]:
                directory = tempfile.mkdtemp(dir=tmp_root)
                try:
                    eng = YCSB_CASES[name](directory, values)
                    try:
                        res[name].append(ycsb.timed_run(eng, ops, pool))
                    finally:
                        eng.close()
                finally:
                    shutil.rmtree(directory, ignore_errors=True)
        us = {name: statistics.median(r[0] for r in res[name]) * 1e6 for name in names}
        pages = {name: statistics.median(r[1] for r in res[name]) for name in names}
        cells = " | ".join(f"{us[n]:.2f} ({pages[n]:.1f} p)" for n in names)
        lines.append(f"| {wl}: {label} | {cells} | {us['ambrik ordered'] / us['ambrik full']:.2f} "
                     f"| {us['ambrik ordered'] / us['lmdb default']:.2f} |")
        print(f"# YCSB {wl} done", file=sys.stderr, flush=True)
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--commits", type=int, default=200, help="one-value commits per round")
    ap.add_argument("--records", type=int, default=50_000, help="YCSB records")
    ap.add_argument("--ycsb-commits", type=int, default=300)
    ap.add_argument("--reps", type=int, default=3, help="YCSB repetitions")
    ap.add_argument("--no-ycsb", action="store_true")
    args = ap.parse_args()
    tmp_root = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-durability-")
    try:
        lines = machine_info() + [""] + small_commits(tmp_root, args.rounds, args.commits)
        if not args.no_ycsb:
            lines += [""] + ycsb_runs(tmp_root, args.records, args.ycsb_commits, args.reps)
    finally:
        shutil.rmtree(tmp_root, ignore_errors=True)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
