#!/usr/bin/env python3
"""Run the same workloads on ambrik, sqlite3 and lmdb and print a table.

Peers:
  sqlite-del  the standard library's sqlite3, table kv(k INTEGER PRIMARY KEY,
              v BLOB), journal_mode=DELETE, synchronous=FULL
  sqlite-wal  the same with journal_mode=WAL, synchronous=FULL
  lmdb        the lmdb package, default durability (sync and metasync on),
              8-byte big-endian integer keys

Every engine is driven the same way: one Python call per value, explicit
transactions. Reads in (c)/(d)/(e) run inside one read transaction for
sqlite and lmdb (a long read transaction is what a user of those would write);
ambrik reads need no transaction. The caches of ambrik and sqlite get the
same budget: 8 MiB normally, and for the cold reads 256 KiB, less than the
data. lmdb has no cache of its own (it maps the file).

"Cold" means: the database is closed and reopened right before the timed
reads, so the engine's own cache starts empty (ambrik and sqlite with the
small cold budget, so misses continue during the whole run). The OS page cache is NOT dropped: a miss is served from the kernel's
page cache, not from the disk. On this shared machine we do not drop it.

Times are microseconds per operation, the median of --reps repetitions; the
ratio columns are ambrik / peer (above 1: ambrik is slower). The engines take
turns within each repetition, and each repetition starts from new files in a
temporary directory under /tmp that is removed at the end.

Space (also alone with --space): file size after a blob workload (2,000
values of 5-100 KB in transactions of 50, then 50 % of them replaced by new
values of 5-100 KB, then 25 % deleted), next to the live bytes; and the
churn curve: 10 values of 70,000 bytes, each updated once per transaction,
file size after 1, 10, 50, 100 and 200 rounds. The ratio columns are
ambrik / peer (above 1: ambrik's file is larger).

(e) writes 1 MiB values in transactions of up to 32 (commits included),
then reopens every engine and reads each value once in random order, so no
value is in ambrik's or sqlite's cache when it is read.

A second table compares an encrypted ambrik database with a plaintext one on
(c), (d), (s) (every value read once in handle order from a cold cache) and
the 1 MiB reads, and prints beside them the plaintext time plus
1.2 x the cipher's own cost for the pages each read loaded (cache misses from
counters()); the cipher's cost is one XChaCha20-Poly1305 open of an 8 KiB
page measured by bench/cipher_bench.cc (built by CMake with
AMBRIK_BUILD_BENCH, or compiled here with c++ and libsodium).

Floors: two rows are bound by costs below the engine, measured in the same
run. (b) by the flushes: a one-value commit syncs three times, its pages
landing on pages earlier commits freed (its value joins the last commit's
data page, copied), against lmdb's two fdatasyncs of pages it overwrites;
the probe times an 8 KiB write + flush of each kind in a scratch file. (d) by the page loads: every page read from the file is
copied out of the file mapping and its trailer hash checked, timed with no
engine around them by bench/load_floor_bench.cc (built by CMake with
AMBRIK_BUILD_BENCH); the floor is the warm read plus that per miss. The
1 MiB read's floor is lmdb's own time (the same copy into a new bytes
object) plus the trailer check of every page of the value; the encrypted
(a) row's, the plaintext run plus a seal of every page the run wrote.

Open time: a database of 1 million live 100-byte values (200,000 with
--quick) is built once; the table gives the median time of open() on it.

(h) writes 10x the cache budget in one ambrik transaction, so most dirty
pages must go to the spillway, and reports the peak RSS of a subprocess that
does only that (its high-water mark VmHWM from /proc/self/status), next to
the same run with a cache large enough to hold everything, and next to the
peers.

Bulk load: 100,000 values of 100 B in one transaction, commit included, in
a subprocess; ambrik's cache is a tenth of the data, so dirty pages go to
the spillway. The row gives time per value against lmdb and the growth of
the subprocess's peak RSS during the load against the cache budget + 4 MiB.
Row (a) is also run on an encrypted ambrik database (raw 32-byte key) and
reported as a ratio to the plaintext run of the same repetitions.

Keyed access (also alone with --keyed): ambrik's KeyMap beside lmdb's get,
put and cursor on 100,000 keys of 16 bytes; see bench/keyed.py.

Usage: python3 bench/compare.py [--quick] [--reps N] [--space] [--keyed]
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

# The sibling modules, also when run from another directory or as the child
# process the RSS and bulk rows start.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from keyed import keyed_report  # noqa: E402
from children import bulk_child, rss_child, run_bulk, run_rss, run_rss_baseline  # noqa: E402
from peers import ORDER, MiB, AmbrikEngine  # noqa: E402
from probes import bench_fields, cipher_ns, sync_costs_us  # noqa: E402
from report import ENC_ROWS, ROWS, machine_info, report_lines  # noqa: E402
from space import space_report  # noqa: E402
from workloads import (BIG, SMALL, run_alloc, run_big, run_commits,  # noqa: E402
                       run_encrypted, run_open_time, run_small)

ENC_KEY = bytes(range(32))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller counts (under a minute)")
    ap.add_argument("--reps", type=int, help="repetitions (default 3 quick, 7 full)")
    ap.add_argument("--space", action="store_true", help="only the space tables")
    ap.add_argument("--keyed", action="store_true", help="only the keyed-access table")
    ap.add_argument("--rss-child", nargs=5, help=argparse.SUPPRESS)
    ap.add_argument("--bulk-child", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.rss_child:
        name, directory, cache, total, vsize = args.rss_child
        rss_child(name, directory, int(cache), int(total), int(vsize))
        return
    if args.bulk_child:
        name, directory, cache, n, vsize = args.bulk_child
        bulk_child(name, directory, int(cache), int(n), int(vsize))
        return
    if args.space:
        tmp_root = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-bench-")
        try:
            print("\n".join(machine_info() + [""] + space_report(tmp_root, 5 if args.quick else 1)))
        finally:
            shutil.rmtree(tmp_root, ignore_errors=True)
        return

    if args.keyed:
        tmp_root = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-bench-")
        try:
            print("\n".join(machine_info() + [""] + keyed_report(tmp_root, args.reps or 3,
                                                                 args.quick)))
        finally:
            shutil.rmtree(tmp_root, ignore_errors=True)
        return

    if args.quick:
        cfg = dict(reps=3, txns=5, batch=1000, commits=30, reads=5000, big=16,
                   open_values=200_000)
    else:
        cfg = dict(reps=7, txns=20, batch=1000, commits=200, reads=20000, big=64,
                   open_values=1_000_000)
    if args.reps:
        cfg["reps"] = args.reps
    rss_cache, rss_total, rss_vsize = 4 * MiB, 40 * MiB, 4096
    bulk_n = 100_000
    bulk_cache = bulk_n * SMALL // 10

    started = time.perf_counter()
    info = machine_info()
    rng = random.Random(20261207)
    small_pool = [os.urandom(SMALL) for _ in range(1024)]
    update_pool = [os.urandom(SMALL) for _ in range(1024)]
    big_pool = [os.urandom(BIG) for _ in range(4)]

    samples = {(r, e): [] for r in ROWS for e in ORDER}
    enc_samples = {(r, k): [] for r in ENC_ROWS for k in ("plain", "enc")}
    samples[("a", "ambrik-enc")] = []
    enc_pages_per_value = []
    bulk = {"ambrik": [], "lmdb": []}
    sizes = {}
    tmp_root = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-bench-")
    try:
        for rep in range(cfg["reps"]):
            turn = ORDER[rep % len(ORDER):] + ORDER[:rep % len(ORDER)]
            for name in turn:
                phases = ("small", "commits", "big")
                if name == "ambrik":
                    phases += ("encrypted", "bulk")
                elif name == "lmdb":
                    phases += ("bulk",)
                for phase in phases:
                    directory = tempfile.mkdtemp(dir=tmp_root)
                    try:
                        if phase == "small":
                            t, s = run_small(name, directory, cfg, rng, small_pool, update_pool)
                            for r in ("a", "c", "d", "f", "g"):
                                samples[(r, name)].append(t[r])
                            for r in ("a", "f", "g"):
                                sizes[(r, name)] = s[r]
                        elif phase == "encrypted":
                            eng = AmbrikEngine(directory, key=ENC_KEY)
                            t, per = run_alloc(eng, cfg, small_pool)
                            samples[("a", "ambrik-enc")].append(t)
                            enc_pages_per_value.append(per)
                        elif phase == "bulk":
                            cache = bulk_cache if name == "ambrik" else None
                            bulk[name].append(run_bulk(name, tmp_root, cache, bulk_n, SMALL))
                        elif phase == "commits":
                            t, s = run_commits(name, directory, cfg, small_pool)
                            samples[("b", name)].append(t)
                            sizes[("b", name)] = s
                        else:
                            tw, tr, s = run_big(name, directory, cfg, rng, big_pool)
                            samples[("ew", name)].append(tw)
                            samples[("er", name)].append(tr)
                            sizes[("e", name)] = s
                    finally:
                        shutil.rmtree(directory, ignore_errors=True)
            for kind in (("plain", "enc") if rep % 2 == 0 else ("enc", "plain")):
                directory = tempfile.mkdtemp(dir=tmp_root)
                try:
                    res = run_encrypted(ENC_KEY if kind == "enc" else None, directory, cfg,
                                        rng, small_pool, big_pool)
                finally:
                    shutil.rmtree(directory, ignore_errors=True)
                for r in ENC_ROWS:
                    enc_samples[(r, kind)].append(res[r])
            print(f"# repetition {rep + 1}/{cfg['reps']} done "
                  f"({time.perf_counter() - started:.0f} s)", file=sys.stderr, flush=True)

        rss = [
            ("ambrik", rss_cache, "cache 4 MiB"),
            ("ambrik", 16 * rss_total, "cache 640 MiB (control)"),
            ("sqlite-del", rss_cache, "cache_size 4 MiB"),
            ("sqlite-wal", rss_cache, "cache_size 4 MiB"),
            ("lmdb", None, "no cache (mmap)"),
        ]
        cipher = cipher_ns(tmp_root)
        load_floor = bench_fields(tmp_root, "load_floor_bench")
        syncs = sync_costs_us(tmp_root)
        open_ms, open_size = run_open_time(tmp_root, cfg["open_values"])
        baseline = run_rss_baseline(tmp_root)
        rss_results = [(n, note, run_rss(n, tmp_root, c, rss_total, rss_vsize)) for n, c, note in rss]
        space = space_report(tmp_root, 5 if args.quick else 1)
        keyed = keyed_report(tmp_root, 3, args.quick)
    finally:
        shutil.rmtree(tmp_root, ignore_errors=True)
    elapsed = time.perf_counter() - started
    print("\n".join(report_lines(
        cfg=cfg, quick=args.quick, elapsed=elapsed, info=info, samples=samples,
        enc_samples=enc_samples, enc_pages_per_value=enc_pages_per_value, bulk=bulk,
        bulk_n=bulk_n, bulk_cache=bulk_cache, sizes=sizes, cipher=cipher,
        load_floor=load_floor, syncs=syncs, open_ms=open_ms, open_size=open_size,
        baseline=baseline, rss_total=rss_total, rss_vsize=rss_vsize,
        rss_results=rss_results, space=space) + [""] + keyed))


if __name__ == "__main__":
    main()
