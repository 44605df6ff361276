"""Keyed access: ambrik's KeyMap beside lmdb's get, put and cursor.

100,000 keys of 16 bytes (random order) with 100-byte values, both engines
driven the same way from Python, one call per key:

  put      1,000 puts per transaction, commits included, on an empty map
  get      a random key's value from the loaded map, hot (the last commit;
           lmdb inside one read transaction, ambrik outside any). Hot means
           in memory: lmdb's pages sit in the OS page cache, ambrik's in its
           own cache, which is given room for the map (64 MiB); a second
           row gives the same gets through the default 8 MiB cache, where
           most value pages are copied in from the file mapping again
  scan     10,000 consecutive keys with their values from a random start
           (ambrik items(start), lmdb cursor set_range + iteration)
  commit1  10,000 puts, one durable commit each, on a fresh file; the row
           gives the file size afterwards

Times are microseconds per key, the median of the repetitions; ratio is
ambrik / lmdb (above 1: ambrik is slower or larger).
"""

import os
import random
import shutil
import statistics
import tempfile
import time

import lmdb

import ambrik

KEYS = 100_000
PER_TXN = 1000
SCAN = 10_000
COMMITS = 10_000
CACHE = 64 << 20
SMALL_CACHE = 8 << 20


def keyset(n, seed):
    rng = random.Random(seed)
    return [rng.randbytes(16) for _ in range(n)]



def time_gets(get, keys):
    """Seconds per get of 20,000 random keys, after 2,000 to warm up."""
    probes = random.Random(1).choices(keys, k=20_000)
    for k in probes[:2000]:
        get(k)
    t0 = time.perf_counter()
    for k in probes:
        get(k)
    return (time.perf_counter() - t0) / len(probes)

def ambrik_rows(directory, keys, value, commits):
    out = {}
    with ambrik.open(os.path.join(directory, "k.ambrik"), cache_max_bytes=CACHE) as db:
        m = db.keymap("bench")
        t0 = time.perf_counter()
        for i in range(0, len(keys), PER_TXN):
            with db.transaction():
                for k in keys[i:i + PER_TXN]:
                    m[k] = value
        out["put"] = (time.perf_counter() - t0) / len(keys)
        out["get"] = time_gets(m.__getitem__, keys)
        start = sorted(keys)[len(keys) // 3]
        t0 = time.perf_counter()
        n = 0
        for _ in m.items(start):
            n += 1
            if n == SCAN:
                break
        out["scan"] = (time.perf_counter() - t0) / SCAN
    with ambrik.open(os.path.join(directory, "k.ambrik"), cache_max_bytes=SMALL_CACHE) as db:
        out["get8"] = time_gets(db.keymap("bench").__getitem__, keys)
    path = os.path.join(directory, "c.ambrik")
    with ambrik.open(path, cache_max_bytes=CACHE) as db:
        m = db.keymap("bench")
        t0 = time.perf_counter()
        for k in commits:
            with db.transaction():
                m[k] = value
        out["commit1"] = (time.perf_counter() - t0) / len(commits)
    out["size"] = os.path.getsize(path)
    return out


def lmdb_rows(directory, keys, value, commits):
    out = {}
    env = lmdb.open(os.path.join(directory, "k.lmdb"), map_size=1 << 32, sync=True,
                    metasync=True)
    t0 = time.perf_counter()
    for i in range(0, len(keys), PER_TXN):
        with env.begin(write=True) as txn:
            put = txn.put
            for k in keys[i:i + PER_TXN]:
                put(k, value)
    out["put"] = (time.perf_counter() - t0) / len(keys)
    with env.begin() as txn:
        out["get"] = time_gets(txn.get, keys)
        out["get8"] = out["get"]
        start = sorted(keys)[len(keys) // 3]
        t0 = time.perf_counter()
        cur = txn.cursor()
        cur.set_range(start)
        n = 0
        for _ in cur:
            n += 1
            if n == SCAN:
                break
        out["scan"] = (time.perf_counter() - t0) / SCAN
    env.close()
    path = os.path.join(directory, "c.lmdb")
    env = lmdb.open(path, map_size=1 << 32, sync=True, metasync=True)
    t0 = time.perf_counter()
    for k in commits:
        with env.begin(write=True) as txn:
            txn.put(k, value)
    out["commit1"] = (time.perf_counter() - t0) / len(commits)
    env.close()
    out["size"] = os.path.getsize(os.path.join(path, "data.mdb"))
    return out


def keyed_report(tmp_root, reps=3, quick=False):
    n = KEYS // 5 if quick else KEYS
    commits_n = COMMITS // 5 if quick else COMMITS
    keys = keyset(n, 21)
    commits = keyset(commits_n, 22)
    value = bytes(range(100))
    runs = {"ambrik": [], "lmdb": []}
    for rep in range(reps):
        for name in (("ambrik", "lmdb") if rep % 2 == 0 else ("lmdb", "ambrik")):
            directory = tempfile.mkdtemp(dir=tmp_root)
            try:
                fn = ambrik_rows if name == "ambrik" else lmdb_rows
                runs[name].append(fn(directory, keys, value, commits))
            finally:
                shutil.rmtree(directory, ignore_errors=True)

    def med(name, row):
        return statistics.median(r[row] for r in runs[name])

    lines = [f"Keyed access: {n:,} keys of 16 B, 100 B values, median of {reps} "
             "(us per key; ratio ambrik / lmdb)", "",
             "| workload | ambrik KeyMap | lmdb | ratio |", "|---|---|---|---|"]
    for row, label in (("get", "get, hot"), ("get8", "get, ambrik's cache 8 MiB"), ("put", f"put, {PER_TXN:,} per transaction"),
                       ("scan", f"range scan of {SCAN:,} keys"),
                       ("commit1", "put, one durable commit each")):
        a, b = med("ambrik", row) * 1e6, med("lmdb", row) * 1e6
        lines.append(f"| {label} | {a:.2f} | {b:.2f} | {a / b:.2f}x |")
    a, b = med("ambrik", "size"), med("lmdb", "size")
    lines.append(f"| file after {commits_n:,} one-put commits | {a / 2**20:.1f} MiB | "
                 f"{b / 2**20:.1f} MiB | {a / b:.2f}x |")
    return lines
