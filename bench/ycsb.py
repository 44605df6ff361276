#!/usr/bin/env python3
"""YCSB-style runs on ambrik beside lmdb, and the pages small commits write.

Records: 50,000 values of 100 B (--records), loaded 1,000 per transaction
(not timed). Two ways to reach them:

  handles  ambrik's handles (read/update) beside lmdb with 8-byte big-endian
           integer keys
  keymap   an ambrik KeyMap beside lmdb, both keyed by b"user" + 12 digits,
           loaded in random order

Runs: 100 operations per durable commit (lmdb with sync and metasync on, as
bench/peers.py opens it), the record of each operation chosen by a
scrambled zipfian distribution (constant 0.99, hot records spread over the
key space as YCSB's scrambled generator spreads them), each operation a read
or an update with a fresh 100 B value:

  B  95 % reads, 5 % updates
  A  50 % reads, 50 % updates

Reads run inside the write transaction, as a YCSB client's would. The same
operation sequence drives both engines; the engines take turns within each
repetition. Times are microseconds per operation (commits included), the
median of the repetitions; ratio is ambrik / lmdb (above 1: ambrik is
slower). "pages/commit" is what the process handed to the kernel during the
run (/proc/self/io wchar / 8192 per commit: the bytes of its write calls);
"alloc/commit" is ambrik's counters().pages_allocated per commit.

Pages (deterministic, ambrik alone, the same 50,000 records):
  one update per commit      1,000 commits, each updating one record chosen
                             uniformly
  100 operations, 5 % upd.   200 commits of 95 reads and 5 updates (uniform)
  one value per commit       1,000 commits, each allocating one 100 B value
The rows give pages written (mean and max over the commits),
pages_allocated per commit, and how much the file grew over the commits.

Usage: python3 bench/ycsb.py [--records N] [--commits N] [--reps N]
                             [--target handles|keymap|both] [--pages-only]
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
from report import machine_info  # noqa: E402

VALUE = 100
PER_COMMIT = 100
LOAD_BATCH = 1000
ZIPF_THETA = 0.99
PAGE = 8192
LMDB_MAP_SIZE = 4 << 30


def wchar_bytes():
    """Bytes this process has passed to write calls (wchar): the pages it
    handed to the kernel. (write_bytes counts what the file system sends to
    the device, ext4's extra blocks included, which is not the engine's
    doing.)"""
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


class Zipfian:
    """YCSB's scrambled zipfian: ranks by Gray et al.'s method, hashed over n."""

    def __init__(self, n, rng, theta=ZIPF_THETA):
        self.n, self.rng, self.theta = n, rng, theta
        self.zetan = sum(1.0 / (i ** theta) for i in range(1, n + 1))
        zeta2 = 1.0 + 0.5 ** theta
        self.alpha = 1.0 / (1.0 - theta)
        self.eta = (1 - (2.0 / n) ** (1 - theta)) / (1 - zeta2 / self.zetan)
        self.half = 1.0 + 0.5 ** theta

    def rank(self):
        u = self.rng.random()
        uz = u * self.zetan
        if uz < 1.0:
            return 0
        if uz < self.half:
            return 1
        return min(self.n - 1, int(self.n * (self.eta * u - self.eta + 1) ** self.alpha))

    def next(self):
        # FNV-1a over the rank's 8 bytes, as YCSB scrambles.
        h = 0xCBF29CE484222325
        for b in self.rank().to_bytes(8, "little"):
            h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
        return h % self.n


def operations(n, commits, read_share, seed):
    """[(record index, value index or -1 for a read)] for commits x PER_COMMIT ops."""
    rng = random.Random(seed)
    z = Zipfian(n, rng)
    return [(z.next(), -1 if rng.random() < read_share else rng.randrange(1024))
            for _ in range(commits * PER_COMMIT)]


def record_key(i):
    return b"user%012d" % i


class AmbrikHandles:
    def __init__(self, directory, values, durability="full"):
        self.db = ambrik.open(os.path.join(directory, "y.ambrik"), durability=durability)
        self.ids = []
        for i in range(0, len(values), LOAD_BATCH):
            with self.db.transaction() as txn:
                self.ids.extend(txn.allocate(v) for v in values[i:i + LOAD_BATCH])

    def run(self, ops, pool):
        db, ids = self.db, self.ids
        read, update = db.read, db.update
        for c in range(0, len(ops), PER_COMMIT):
            db.begin()
            for i, v in ops[c:c + PER_COMMIT]:
                if v < 0:
                    read(ids[i])
                else:
                    update(ids[i], pool[v])
            db.commit()

    def allocated(self):
        return self.db.counters().pages_allocated

    def close(self):
        self.db.close()


class AmbrikKeyMap(AmbrikHandles):
    def __init__(self, directory, values):
        self.db = ambrik.open(os.path.join(directory, "y.ambrik"))
        self.m = self.db.keymap("ycsb")
        order = list(range(len(values)))
        random.Random(7).shuffle(order)
        for i in range(0, len(order), LOAD_BATCH):
            with self.db.transaction():
                for j in order[i:i + LOAD_BATCH]:
                    self.m[record_key(j)] = values[j]

    def run(self, ops, pool):
        db, m = self.db, self.m
        get, put = m.__getitem__, m.__setitem__
        for c in range(0, len(ops), PER_COMMIT):
            db.begin()
            for i, v in ops[c:c + PER_COMMIT]:
                if v < 0:
                    get(record_key(i))
                else:
                    put(record_key(i), pool[v])
            db.commit()


class Lmdb:
    def __init__(self, directory, values, keyed, metasync=True):
        self.env = lmdb.open(os.path.join(directory, "y.lmdb"), map_size=LMDB_MAP_SIZE,
                             sync=True, metasync=metasync)
        self.key = record_key if keyed else (lambda i: struct.pack(">Q", i))
        order = list(range(len(values)))
        if keyed:
            random.Random(7).shuffle(order)
        for i in range(0, len(order), LOAD_BATCH):
            with self.env.begin(write=True) as txn:
                for j in order[i:i + LOAD_BATCH]:
                    txn.put(self.key(j), values[j])

    def run(self, ops, pool):
        key = self.key
        for c in range(0, len(ops), PER_COMMIT):
            with self.env.begin(write=True) as txn:
                get, put = txn.get, txn.put
                for i, v in ops[c:c + PER_COMMIT]:
                    if v < 0:
                        get(key(i))
                    else:
                        put(key(i), pool[v])

    def allocated(self):
        return 0

    def close(self):
        self.env.close()


def timed_run(engine, ops, pool):
    w0, a0 = wchar_bytes(), engine.allocated()
    t0 = time.perf_counter()
    engine.run(ops, pool)
    elapsed = time.perf_counter() - t0
    commits = len(ops) / PER_COMMIT
    return (elapsed / len(ops), (wchar_bytes() - w0) / PAGE / commits,
            (engine.allocated() - a0) / commits)


def ycsb_report(tmp_root, records, commits, reps, targets):
    values = [os.urandom(VALUE) for _ in range(records)]
    pool = [os.urandom(VALUE) for _ in range(1024)]
    workloads = [("B", "95 % reads", 0.95), ("A", "50 % reads", 0.50)]
    lines = [f"YCSB-style: {records:,} records of {VALUE} B, {PER_COMMIT} operations per "
             f"durable commit, {commits:,} commits per run, zipfian {ZIPF_THETA}, median of "
             f"{reps} (us per operation; ratio ambrik / lmdb)", "",
             "| access | workload | ambrik | lmdb | ratio | ambrik pages/commit | "
             "lmdb pages/commit | ambrik alloc/commit |", "|---|---|---|---|---|---|---|---|"]
    for target in targets:
        for wl, label, share in workloads:
            ops = operations(records, commits, share, seed=ord(wl))
            res = {"ambrik": [], "lmdb": []}
            for rep in range(reps):
                for name in (("ambrik", "lmdb") if rep % 2 == 0 else ("lmdb", "ambrik")):
                    directory = tempfile.mkdtemp(dir=tmp_root)
                    try:
                        if name == "lmdb":
                            eng = Lmdb(directory, values, keyed=target == "keymap")
                        elif target == "keymap":
                            eng = AmbrikKeyMap(directory, values)
                        else:
                            eng = AmbrikHandles(directory, values)
                        try:
                            res[name].append(timed_run(eng, ops, pool))
                        finally:
                            eng.close()
                    finally:
                        shutil.rmtree(directory, ignore_errors=True)

            def med(name, k):
                return statistics.median(r[k] for r in res[name])
            a, b = med("ambrik", 0) * 1e6, med("lmdb", 0) * 1e6
            lines.append(f"| {target} | {wl}: {label} | {a:.2f} | {b:.2f} | {a / b:.2f}x | "
                         f"{med('ambrik', 1):.1f} | {med('lmdb', 1):.1f} | "
                         f"{med('ambrik', 2):.1f} |")
            print(f"# {target} {wl} done", file=sys.stderr, flush=True)
    return lines


def per_commit(db, path, n, step):
    """Runs step(i) in n commits; (mean written, max written, mean allocated,
    file growth in KiB)."""
    written, allocated = [], []
    size = os.path.getsize(path)
    for i in range(n):
        w0, a0 = wchar_bytes(), db.counters().pages_allocated
        db.begin()
        step(i)
        db.commit()
        written.append((wchar_bytes() - w0) / PAGE)
        allocated.append(db.counters().pages_allocated - a0)
    return (statistics.mean(written), max(written), statistics.mean(allocated),
            (os.path.getsize(path) - size) / 1024)


def pages_report(tmp_root, records):
    rng = random.Random(5)
    values = [os.urandom(VALUE) for _ in range(records)]
    pool = [os.urandom(VALUE) for _ in range(1024)]
    rows = []
    directory = tempfile.mkdtemp(dir=tmp_root)
    try:
        eng = AmbrikHandles(directory, values)
        db, ids = eng.db, eng.ids
        path = os.path.join(directory, "y.ambrik")
        rows.append(("one update per commit", per_commit(
            db, path, 1000, lambda i: db.update(ids[rng.randrange(records)], pool[i & 1023]))))

        def mixed(i):
            for _ in range(PER_COMMIT):
                if rng.random() < 0.05:
                    db.update(ids[rng.randrange(records)], pool[i & 1023])
                else:
                    db.read(ids[rng.randrange(records)])
        rows.append((f"{PER_COMMIT} operations, 5 % updates", per_commit(db, path, 200, mixed)))
        rows.append(("one value per commit", per_commit(
            db, path, 1000, lambda i: db.allocate(pool[i & 1023]))))
        eng.close()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    lines = [f"Pages per commit on {records:,} records of {VALUE} B (written: /proc/self/io "
             "wchar / 8192; allocated: counters().pages_allocated)", "",
             "| commits | written, mean | written, max | allocated, mean | file growth |",
             "|---|---|---|---|---|"]
    for label, (mean_w, max_w, mean_a, grown) in rows:
        lines.append(f"| {label} | {mean_w:.1f} | {max_w:.0f} | {mean_a:.1f} | "
                     f"{grown:,.0f} KiB |")
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=50_000)
    ap.add_argument("--commits", type=int, default=300, help="commits per timed run")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--target", choices=("handles", "keymap", "both"), default="both")
    ap.add_argument("--pages-only", action="store_true", help="only the pages table")
    args = ap.parse_args()
    targets = ("handles", "keymap") if args.target == "both" else (args.target,)
    tmp_root = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-ycsb-")
    try:
        lines = machine_info() + [""] + pages_report(tmp_root, args.records)
        if not args.pages_only:
            lines += [""] + ycsb_report(tmp_root, args.records, args.commits, args.reps, targets)
    finally:
        shutil.rmtree(tmp_root, ignore_errors=True)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
