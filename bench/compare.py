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
(c), (d) and the 1 MiB reads, and prints beside them the plaintext time plus
1.2 x the cipher's own cost for the pages each read loaded (cache misses from
counters()); the cipher's cost is one XChaCha20-Poly1305 open of an 8 KiB
page measured by bench/cipher_bench.cc (built by CMake with
AMBRIK_BUILD_BENCH, or compiled here with c++ and libsodium).

Floors: two rows are bound by costs below the engine, measured in the same
run. (b) by the flushes: a one-value commit syncs three times, the first
after writing the transaction's new data page at the end of the file (a
transaction starts its own data page), against lmdb's two fdatasyncs of
pages it overwrites; the probe times an 8 KiB write + flush of each kind in
a scratch file. (d) by the page loads: every page read from the file is
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

Usage: python3 bench/compare.py [--quick] [--reps N] [--space]
"""

import argparse
import gc
import json
import os
import platform
import random
import resource
import shutil
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import lmdb

import ambrik
from ambrik import _ambrik as am

PAGE_SIZE = 8192  # ambrik page size
MiB = 1 << 20
WARM_CACHE = 8 * MiB  # ambrik's default cache_max_bytes
COLD_CACHE = 256 * 1024
BIG_BATCH = 32  # 1 MiB values per write transaction in (e)
ENC_KEY = bytes(range(32))
LMDB_MAP_SIZE = 4 << 30
SMALL = 100
BIG = 1 * MiB


# --- engines ---------------------------------------------------------------
#
# Each engine offers begin()/commit() for write transactions, and after
# begin(): insert(value) -> key, update(key, value), delete(key). Between
# reads_begin() and reads_end(): read(key) -> bytes. reopen(cold) closes
# and opens the database again.


class AmbrikEngine:
    label = "ambrik"

    def __init__(self, directory, cache=WARM_CACHE, key=None):
        self.path = os.path.join(directory, "bench.ambrik")
        self.key = key
        self._open(cache)

    def _open(self, cache):
        db = am.open(self.path, cache_max_bytes=cache, encryption_key=self.key)
        self.db = db
        self.begin, self.commit = db.begin, db.commit
        self.insert, self.update, self.delete, self.read = (
            db.allocate, db.update, db.delete, db.read)

    def reads_begin(self):
        pass

    def reads_end(self):
        pass

    def reopen(self, cold):
        self.db.close()
        self._open(COLD_CACHE if cold else WARM_CACHE)

    def count(self):
        return len(self.db.handles())

    def misses(self):
        return self.db.counters().cache_misses

    def size(self):
        n = os.path.getsize(self.path)
        return n, n // PAGE_SIZE

    def spillway_bytes(self):
        p = self.path + ".spillway"
        return os.path.getsize(p) if os.path.exists(p) else 0

    def close(self):
        self.db.close()


class SqliteEngine:
    def __init__(self, directory, journal, cache=WARM_CACHE):
        self.label = "sqlite-" + journal[:3].lower()
        self.journal = journal
        self.path = os.path.join(directory, "bench.sqlite")
        self._open(cache)
        self.conn.execute("CREATE TABLE IF NOT EXISTS kv(k INTEGER PRIMARY KEY, v BLOB)")

    def _open(self, cache):
        conn = sqlite3.connect(self.path, isolation_level=None)
        mode = conn.execute(f"PRAGMA journal_mode={self.journal}").fetchone()[0]
        assert mode.lower() == self.journal.lower(), mode
        conn.execute("PRAGMA synchronous=FULL")
        conn.execute(f"PRAGMA cache_size=-{cache // 1024}")  # negative: KiB
        self.conn = conn
        cur = conn.cursor()
        ex = cur.execute

        def insert(v):
            ex("INSERT INTO kv(v) VALUES (?)", (v,))
            return cur.lastrowid

        def update(k, v):
            ex("UPDATE kv SET v = ? WHERE k = ?", (v, k))

        def delete(k):
            ex("DELETE FROM kv WHERE k = ?", (k,))

        def read(k):
            return ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()[0]

        def begin():
            ex("BEGIN")

        def commit():
            ex("COMMIT")

        self.insert, self.update, self.delete, self.read = insert, update, delete, read
        self.begin = self.reads_begin = begin
        self.commit = self.reads_end = commit

    def reopen(self, cold):
        self.conn.close()
        self._open(COLD_CACHE if cold else WARM_CACHE)

    def count(self):
        return self.conn.execute("SELECT count(*) FROM kv").fetchone()[0]

    def size(self):
        n = os.path.getsize(self.path)
        wal = self.path + "-wal"
        if os.path.exists(wal):
            n += os.path.getsize(wal)
        return n, None

    def close(self):
        self.conn.close()


class LmdbEngine:
    label = "lmdb"

    def __init__(self, directory, cache=None):
        self.path = os.path.join(directory, "bench.lmdb")
        self.next_key = 0
        self._open()

    def _open(self):
        self.env = lmdb.open(self.path, map_size=LMDB_MAP_SIZE, sync=True, metasync=True)
        self.txn = None

    def begin(self):
        txn = self.env.begin(write=True)
        self.txn = txn
        put = txn.put
        pack = struct.Struct(">Q").pack

        def insert(v):
            k = pack(self.next_key)
            self.next_key += 1
            put(k, v)
            return k

        self.insert, self.update, self.delete = insert, put, txn.delete

    def commit(self):
        self.txn.commit()
        self.txn = None

    def reads_begin(self):
        self.txn = self.env.begin()
        self.read = self.txn.get

    def reads_end(self):
        self.txn.abort()
        self.txn = None

    def reopen(self, cold):
        self.env.close()
        self._open()

    def count(self):
        return self.env.stat()["entries"]

    def size(self):
        return os.path.getsize(os.path.join(self.path, "data.mdb")), None

    def close(self):
        self.env.close()


ENGINES = {
    "ambrik": AmbrikEngine,
    "sqlite-del": lambda d, cache=WARM_CACHE: SqliteEngine(d, "DELETE", cache),
    "sqlite-wal": lambda d, cache=WARM_CACHE: SqliteEngine(d, "WAL", cache),
    "lmdb": LmdbEngine,
}
ORDER = list(ENGINES)


# --- workloads -------------------------------------------------------------


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def write_batches(eng, items, batch, op):
    """Applies op(eng-bound callable, item) in transactions of `batch` items."""
    for start in range(0, len(items), batch):
        eng.begin()
        op(eng, items[start:start + batch])
        eng.commit()


def run_reads(eng, keys):
    eng.reads_begin()
    read = eng.read
    for k in keys:
        read(k)
    eng.reads_end()


def run_small(name, directory, cfg, rng, small_pool, update_pool):
    """(a), (c), (d), (f), (g) on one database. Returns {row: seconds/op}, {row: size}."""
    eng = ENGINES[name](directory)
    n = cfg["txns"] * cfg["batch"]
    keys = []
    times, sizes = {}, {}

    def do_insert(e, idx):
        ins = e.insert
        append = keys.append
        for i in idx:
            append(ins(small_pool[i & 1023]))

    idx = list(range(n))
    times["a"] = timed(lambda: write_batches(eng, idx, cfg["batch"], do_insert)) / n
    sizes["a"] = eng.size()

    # Warm the cache (and check the values) before the timed warm reads.
    eng.reads_begin()
    for i, k in enumerate(keys):
        if eng.read(k) != small_pool[i & 1023]:
            raise AssertionError(f"{name}: wrong value for key {k!r}")
    eng.reads_end()
    order = rng.choices(keys, k=cfg["reads"])
    times["c"] = timed(lambda: run_reads(eng, order)) / len(order)

    eng.reopen(cold=True)
    order = rng.choices(keys, k=cfg["reads"])
    times["d"] = timed(lambda: run_reads(eng, order)) / len(order)
    eng.reopen(cold=False)

    upd = keys[:]
    rng.shuffle(upd)

    def do_update(e, ks):
        up = e.update
        for k in ks:
            up(k, update_pool[hash(k) & 1023])

    times["f"] = timed(lambda: write_batches(eng, upd, cfg["batch"], do_update)) / n
    sizes["f"] = eng.size()
    eng.reads_begin()
    for k in upd[:200]:
        if eng.read(k) != update_pool[hash(k) & 1023]:
            raise AssertionError(f"{name}: update of {k!r} not visible")
    eng.reads_end()

    dele = keys[:]
    rng.shuffle(dele)

    def do_delete(e, ks):
        de = e.delete
        for k in ks:
            de(k)

    times["g"] = timed(lambda: write_batches(eng, dele, cfg["batch"], do_delete)) / n
    sizes["g"] = eng.size()
    if eng.count() != 0:
        raise AssertionError(f"{name}: {eng.count()} values left after deleting all")
    eng.close()
    return times, sizes


def run_alloc(eng, cfg, small_pool):
    """(a) alone on ambrik engine `eng`: (seconds per value, pages written per
    value: new pages plus one superblock per commit)."""
    n = cfg["txns"] * cfg["batch"]

    def do_insert(e, idx):
        ins = e.insert
        for i in idx:
            ins(small_pool[i & 1023])

    before = eng.db.counters().pages_allocated
    t = timed(lambda: write_batches(eng, list(range(n)), cfg["batch"], do_insert)) / n
    written = eng.db.counters().pages_allocated - before + cfg["txns"]
    eng.close()
    return t, written / n


def run_commits(name, directory, cfg, small_pool):
    """(b): one allocate per transaction."""
    eng = ENGINES[name](directory)
    n = cfg["commits"]

    def go():
        for i in range(n):
            eng.begin()
            eng.insert(small_pool[i & 1023])
            eng.commit()

    t = timed(go) / n
    size = eng.size()
    if eng.count() != n:
        raise AssertionError(f"{name}: {eng.count()} values after {n} commits")
    eng.close()
    return t, size


def run_big(name, directory, cfg, rng, big_pool):
    """(e): write 1 MiB values, BIG_BATCH per transaction, then reopen and
    read each once in random order."""
    eng = ENGINES[name](directory)
    n = cfg["big"]
    keys = []

    def write():
        for start in range(0, n, BIG_BATCH):
            eng.begin()
            for i in range(start, min(n, start + BIG_BATCH)):
                keys.append(eng.insert(big_pool[i % len(big_pool)]))
            eng.commit()

    tw = timed(write) / n
    size = eng.size()
    eng.reopen(cold=False)
    tr = read_big(eng, keys, rng, big_pool)
    eng.close()
    return tw, tr, size


def read_big(eng, keys, rng, big_pool):
    """Reads every 1 MiB value once in random order; seconds per value."""
    n = len(keys)
    order = list(range(n))
    rng.shuffle(order)
    got = []

    def read():
        eng.reads_begin()
        rd = eng.read
        for i in order:
            got.append(rd(keys[i]))
        eng.reads_end()

    tr = timed(read) / n
    for i, v in zip(order, got):
        if v != big_pool[i % len(big_pool)]:
            raise AssertionError(f"{eng.label}: 1 MiB value {i} read back wrong")
    return tr


def run_encrypted(key, directory, cfg, rng, small_pool, big_pool):
    """(c), (d) and 1 MiB reads on one ambrik database, plaintext (key None)
    or encrypted. Returns {row: (seconds/op, cache misses/op)}."""
    eng = AmbrikEngine(directory, key=key)
    n = cfg["txns"] * cfg["batch"]
    keys = []
    for start in range(0, n, cfg["batch"]):
        eng.begin()
        for i in range(start, start + cfg["batch"]):
            keys.append(eng.insert(small_pool[i & 1023]))
        eng.commit()
    out = {}

    def reads(row):
        order = rng.choices(keys, k=cfg["reads"])
        m0 = eng.misses()
        t = timed(lambda: run_reads(eng, order)) / len(order)
        out[row] = (t, (eng.misses() - m0) / len(order))

    run_reads(eng, keys)  # warm
    reads("c")
    eng.reopen(cold=True)
    reads("d")
    eng.reopen(cold=False)
    big = []
    for start in range(0, cfg["big"], BIG_BATCH):
        eng.begin()
        for i in range(start, min(cfg["big"], start + BIG_BATCH)):
            big.append(eng.insert(big_pool[i % len(big_pool)]))
        eng.commit()
    eng.reopen(cold=False)
    m0 = eng.misses()
    t = read_big(eng, big, rng, big_pool)
    out["er"] = (t, (eng.misses() - m0) / len(big))
    eng.close()
    return out


def bench_fields(tmp_root, name, fallback_libs=None):
    """The key=value fields of the last line printed by bench/<name>.cc, built
    by CMake with AMBRIK_BUILD_BENCH, or compiled here with c++ when it needs
    only `fallback_libs`; None when neither works."""
    here = os.path.dirname(os.path.abspath(__file__))
    exe = os.path.join(here, "..", "build", "cpp", name)
    if not os.access(exe, os.X_OK):
        if fallback_libs is None:
            return None
        exe = os.path.join(tmp_root, name)
        try:
            subprocess.run(["c++", "-O2", "-std=c++20", os.path.join(here, name + ".cc"),
                            "-o", exe] + fallback_libs, check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            return None
    try:
        out = subprocess.run([exe], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return {k: float(v) for k, v in (f.split("=") for f in out.strip().splitlines()[-1].split())}


def cipher_ns(tmp_root):
    """{"open_ns", "seal_ns"}: one XChaCha20-Poly1305 open and seal of an 8 KiB
    page (bench/cipher_bench.cc), or None when it can be neither found nor
    built."""
    return bench_fields(tmp_root, "cipher_bench", ["-lsodium"])


def sync_costs_us(tmp_root, n=100):
    """Median microseconds of an 8 KiB pwrite followed by a flush, on this
    file system: (fsync overwriting a page, fsync extending the file by a
    page, fdatasync overwriting a page)."""
    path = os.path.join(tmp_root, "sync-probe")
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    page = os.urandom(PAGE_SIZE)
    try:
        for i in range(64):
            os.pwrite(fd, page, i * PAGE_SIZE)
        os.fsync(fd)
        over, ext, over_data = [], [], []
        for i in range(n):
            for at, flush, out in (((i % 64), os.fsync, over), (64 + i, os.fsync, ext),
                                   ((i % 64), os.fdatasync, over_data)):
                t0 = time.perf_counter()
                os.pwrite(fd, page, at * PAGE_SIZE)
                flush(fd)
                out.append(time.perf_counter() - t0)
    finally:
        os.close(fd)
        os.remove(path)
    return tuple(statistics.median(x) * 1e6 for x in (over, ext, over_data))


def run_open_time(tmp_root, n, reps=5):
    """Builds a database of n live 100-byte values once; median ms of open()."""
    directory = tempfile.mkdtemp(dir=tmp_root, prefix="open-")
    path = os.path.join(directory, "big.ambrik")
    db = am.open(path)
    value = b"v" * SMALL
    step = 100_000
    for start in range(0, n, step):
        db.begin()
        alloc = db.allocate
        for _ in range(min(step, n - start)):
            alloc(value)
        db.commit()
    db.close()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        db = am.open(path)
        times.append(time.perf_counter() - t0)
        db.close()
    size = os.path.getsize(path)
    shutil.rmtree(directory, ignore_errors=True)
    return statistics.median(times) * 1e3, size


# --- space: blob workload and churn curve -----------------------------------

BLOB_COUNT, BLOB_MIN, BLOB_MAX, BLOB_BATCH = 2000, 5000, 100000, 50
CHURN_VALUES, CHURN_LEN, CHURN_MARKS = 10, 70000, (1, 10, 50, 100, 200)


def run_space(name, directory, seed, pool):
    """Returns ([(stage, file bytes, live bytes)], [(rounds, file bytes)])."""
    rng = random.Random(seed)  # every engine sees the same sizes and choices

    def blob(n):
        off = rng.randrange(len(pool) - n)
        return pool[off:off + n]

    eng = ENGINES[name](directory)
    live = {}
    sizes = [rng.randint(BLOB_MIN, BLOB_MAX) for _ in range(BLOB_COUNT)]
    keys = []
    for start in range(0, BLOB_COUNT, BLOB_BATCH):
        eng.begin()
        for n in sizes[start:start + BLOB_BATCH]:
            k = eng.insert(blob(n))
            keys.append(k)
            live[k] = n
        eng.commit()
    stages = [("2,000 inserted", eng.size()[0], sum(live.values()))]
    replaced = rng.sample(keys, BLOB_COUNT // 2)
    for start in range(0, len(replaced), BLOB_BATCH):
        eng.begin()
        for k in replaced[start:start + BLOB_BATCH]:
            n = rng.randint(BLOB_MIN, BLOB_MAX)
            eng.update(k, blob(n))
            live[k] = n
        eng.commit()
    stages.append(("50 % replaced", eng.size()[0], sum(live.values())))
    deleted = rng.sample(keys, BLOB_COUNT // 4)
    for start in range(0, len(deleted), BLOB_BATCH):
        eng.begin()
        for k in deleted[start:start + BLOB_BATCH]:
            eng.delete(k)
            del live[k]
        eng.commit()
    stages.append(("25 % deleted", eng.size()[0], sum(live.values())))
    eng.close()

    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    eng = ENGINES[name](directory)
    eng.begin()
    churn = [eng.insert(blob(CHURN_LEN)) for _ in range(CHURN_VALUES)]
    eng.commit()
    curve = []
    for r in range(1, CHURN_MARKS[-1] + 1):
        eng.begin()
        for k in churn:
            eng.update(k, blob(CHURN_LEN))
        eng.commit()
        if r in CHURN_MARKS:
            curve.append((r, eng.size()[0]))
    eng.close()
    return stages, curve


def space_report(tmp_root):
    pool = os.urandom(2 * BLOB_MAX)
    results = {}
    for name in ORDER:
        directory = tempfile.mkdtemp(dir=tmp_root)
        try:
            results[name] = run_space(name, directory, 20261207, pool)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
    peers = ORDER[1:]
    out = [f"space: blob workload ({BLOB_COUNT:,} values of {BLOB_MIN // 1000}-"
           f"{BLOB_MAX // 1000} KB, {BLOB_BATCH} per transaction), file MB; "
           "ratio = ambrik / peer"]
    head = f"{'after':<15} {'live MB':>8} {'ambrik':>8} {'x live':>6}"
    for p in peers:
        head += f"  {p:>10} {'ratio':>6}"
    out.append(head)
    out.append("-" * len(head))
    for i, (stage, nbytes, live) in enumerate(results["ambrik"][0]):
        line = f"{stage:<15} {live / 1e6:>8.1f} {nbytes / 1e6:>8.1f} {nbytes / live:>6.2f}"
        for p in peers:
            pb = results[p][0][i][1]
            line += f"  {pb / 1e6:>10.1f} {nbytes / pb:>6.2f}"
        out.append(line)
    live = CHURN_VALUES * CHURN_LEN
    out.append("")
    out.append(f"space: churn, {CHURN_VALUES} values of {CHURN_LEN:,} bytes "
               f"({live / 1e6:.1f} MB live), each updated once per transaction; file MB")
    head = f"{'rounds':<15} {'ambrik':>8} {'x live':>6}"
    for p in peers:
        head += f"  {p:>10} {'ratio':>6}"
    out.append(head)
    out.append("-" * len(head))
    for i, (rounds, nbytes) in enumerate(results["ambrik"][1]):
        line = f"{rounds:<15} {nbytes / 1e6:>8.2f} {nbytes / live:>6.2f}"
        for p in peers:
            pb = results[p][1][i][1]
            line += f"  {pb / 1e6:>10.2f} {nbytes / pb:>6.2f}"
        out.append(line)
    return out


# --- (h): memory boundedness, run in a subprocess --------------------------


def peak_rss_kib():
    """Peak resident set of this process, KiB.

    VmHWM rather than getrusage's ru_maxrss: Linux carries ru_maxrss across
    exec, so a child started from this (larger) benchmark process would
    report at least the parent's size.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_child(name, directory, cache, total, vsize):
    eng = ENGINES[name](directory, cache=cache or None)
    block = os.urandom(2 * vsize)
    n = total // vsize
    base = peak_rss_kib()
    keys = []
    t0 = time.perf_counter()
    eng.begin()
    ins = eng.insert
    for i in range(n):
        off = (i * 64) % vsize
        keys.append(ins(i.to_bytes(8, "little") + block[off:off + vsize - 8]))
    spill = eng.spillway_bytes() if hasattr(eng, "spillway_bytes") else None
    t1 = time.perf_counter()
    eng.commit()
    t2 = time.perf_counter()
    # The peak of the transaction, before the check below reads values back
    # (reads through a file mapping add the file's pages to the RSS).
    peak = peak_rss_kib()
    eng.reads_begin()
    for i in range(0, n, max(1, n // 64)):
        off = (i * 64) % vsize
        if eng.read(keys[i]) != i.to_bytes(8, "little") + block[off:off + vsize - 8]:
            raise AssertionError(f"{name}: value {i} read back wrong")
    eng.reads_end()
    result = {
        "values": n,
        "base_kib": base,
        "peak_kib": peak,
        "spill_bytes": spill,
        "write_s": t1 - t0,
        "commit_s": t2 - t1,
        "file_bytes": eng.size()[0],
    }
    eng.close()
    print(json.dumps(result))


def bulk_child(name, directory, cache, n, vsize):
    """One transaction of n values; prints seconds and peak RSS as JSON."""
    eng = ENGINES[name](directory, cache=cache or None)
    pool = [os.urandom(vsize) for _ in range(1024)]
    base = peak_rss_kib()
    sample = []
    gc.collect()
    gc.disable()
    t0 = time.perf_counter()
    eng.begin()
    ins = eng.insert
    for i in range(n):
        k = ins(pool[i & 1023])
        if i % 997 == 0:
            sample.append((i, k))
    eng.commit()
    seconds = time.perf_counter() - t0
    gc.enable()
    peak = peak_rss_kib()
    eng.reads_begin()
    for i, k in sample:
        if eng.read(k) != pool[i & 1023]:
            raise AssertionError(f"{name}: bulk value {i} read back wrong")
    eng.reads_end()
    eng.close()
    print(json.dumps({"seconds": seconds, "base_kib": base, "peak_kib": peak}))


def run_child(mode, name, tmp_root, cache, count, vsize):
    """Runs this script as `--<mode>-child` in a fresh process (so its peak RSS
    is its own) and returns the JSON it prints, or {"error": ...}."""
    directory = tempfile.mkdtemp(dir=tmp_root, prefix=mode + "-")
    try:
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--%s-child" % mode, name, directory,
             str(cache or 0), str(count), str(vsize)],
            capture_output=True, text=True)
        if proc.returncode != 0:
            return {"error": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
        return json.loads(proc.stdout.strip().splitlines()[-1])
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def run_bulk(name, tmp_root, cache, n, vsize):
    return run_child("bulk", name, tmp_root, cache, n, vsize)


def run_rss(name, tmp_root, cache, total, vsize):
    return run_child("rss", name, tmp_root, cache, total, vsize)


# --- report ----------------------------------------------------------------


def fmt_us(seconds):
    us = seconds * 1e6
    if us >= 1000:
        return f"{us:,.0f}"
    if us >= 10:
        return f"{us:.1f}"
    return f"{us:.2f}"


def fmt_ratio(a, b):
    r = a / b
    return f"{r:.2f}" if r < 10 else f"{r:.1f}"


def machine_info():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    fs = "?"
    try:
        best = ""
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, typ = line.split()[:3]
                if "/tmp".startswith(mnt) and len(mnt) > len(best):
                    best, fs = mnt, f"{typ} ({dev} on {mnt})"
    except OSError:
        pass
    return [
        f"machine: {platform.system()} {platform.machine()}, {os.cpu_count()} cores"
        + (f", {model}" if model else "") + f"; /tmp on {fs}",
        f"python {platform.python_version()}, ambrik {ambrik.__version__}, "
        f"sqlite {sqlite3.sqlite_version}, lmdb {'.'.join(map(str, lmdb.version()))} "
        f"(py-lmdb {lmdb.__version__}); load average at start "
        + " ".join(f"{x:.2f}" for x in os.getloadavg()),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller counts (under a minute)")
    ap.add_argument("--reps", type=int, help="repetitions (default 3 quick, 7 full)")
    ap.add_argument("--space", action="store_true", help="only the space tables")
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
            print("\n".join(machine_info() + [""] + space_report(tmp_root)))
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
    enc_key = bytes(range(32))

    started = time.perf_counter()
    info = machine_info()
    rng = random.Random(20261207)
    small_pool = [os.urandom(SMALL) for _ in range(1024)]
    update_pool = [os.urandom(SMALL) for _ in range(1024)]
    big_pool = [os.urandom(BIG) for _ in range(4)]

    rows = ["a", "b", "c", "d", "ew", "er", "f", "g"]
    samples = {(r, e): [] for r in rows for e in ORDER}
    enc_rows = ["c", "d", "er"]
    enc_samples = {(r, k): [] for r in enc_rows for k in ("plain", "enc")}
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
                            eng = AmbrikEngine(directory, key=enc_key)
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
                for r in enc_rows:
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
        cipher_open = cipher and cipher["open_ns"]
        load_floor = bench_fields(tmp_root, "load_floor_bench")
        syncs = sync_costs_us(tmp_root)
        open_ms, open_size = run_open_time(tmp_root, cfg["open_values"])
        baseline = run_rss_baseline(tmp_root)
        rss_results = [(n, note, run_rss(n, tmp_root, c, rss_total, rss_vsize)) for n, c, note in rss]
        space = space_report(tmp_root)
    finally:
        shutil.rmtree(tmp_root, ignore_errors=True)
    elapsed = time.perf_counter() - started

    b, n1k = cfg["batch"], cfg["txns"] * cfg["batch"]
    labels = {
        "a": f"(a) allocate 100 B, {b}/txn",
        "b": "(b) 1 allocate per txn",
        "c": "(c) read 100 B, warm",
        "d": "(d) read 100 B, cold",
        "ew": f"(e) write 1 MiB, {min(BIG_BATCH, cfg['big'])}/txn",
        "er": "(e) read 1 MiB, not cached",
        "f": f"(f) update 100 B, {b}/txn",
        "g": f"(g) delete, {b}/txn",
    }
    peers = ORDER[1:]
    out = []
    out.append(f"ambrik vs peers: {'quick' if args.quick else 'full'} run, "
               f"median of {cfg['reps']} repetitions, {elapsed:.0f} s total")
    out.extend(info)
    out.append(f"counts: (a)(f)(g) {cfg['txns']} txns x {b} = {n1k} values; (b) {cfg['commits']} "
               f"txns; (c)(d) {cfg['reads']} random reads over the {n1k} values; "
               f"(e) {cfg['big']} values of 1 MiB; cache budget 8 MiB, "
               f"cold {COLD_CACHE // 1024} KiB")
    out.append("")
    out.append("microseconds per operation (median); ratio = ambrik / peer, above 1 = ambrik slower")
    w0 = max(len(v) for v in labels.values())
    head = f"{'workload':<{w0}}  {'ambrik':>9}"
    for p in peers:
        head += f"  {p:>10} {'ratio':>6}"
    out.append(head)
    out.append("-" * len(head))
    spread = []
    for r in rows:
        med = {e: statistics.median(samples[(r, e)]) for e in ORDER}
        line = f"{labels[r]:<{w0}}  {fmt_us(med['ambrik']):>9}"
        for p in peers:
            line += f"  {fmt_us(med[p]):>10} {fmt_ratio(med['ambrik'], med[p]):>6}"
        out.append(line)
        for e in ORDER:
            s = samples[(r, e)]
            spread.append(((max(s) - min(s)) / med[e], r, e))
    worst = max(spread)
    typical = statistics.median(x[0] for x in spread)
    out.append(f"run-to-run spread (max-min)/median: median {typical:.0%}, "
               f"largest {worst[0]:.0%} ({labels[worst[1]].split(')')[0]}), {worst[2]})")
    enc = statistics.median(samples[("a", "ambrik-enc")])
    plain = statistics.median(samples[("a", "ambrik")])
    line = (f"(a) encrypted ambrik: {fmt_us(enc)} us per value, "
            f"{fmt_ratio(enc, plain)}x the plaintext run ({fmt_us(plain)})")
    if cipher:
        pages = statistics.median(enc_pages_per_value)
        floor_enc = plain + pages * cipher["seal_ns"] * 1e-9
        line += (f"; floor: plaintext + {pages:.3f} pages written per value x seal "
                 f"{cipher['seal_ns'] / 1000:.2f} us = {fmt_us(floor_enc)} us, "
                 f"{fmt_ratio(floor_enc, plain)}x")
    out.append(line)
    errors = [r["error"] for runs in bulk.values() for r in runs if "error" in r]
    if errors:
        out.append(f"bulk load: error: {errors[0]}")
    else:
        per = {e: statistics.median(r["seconds"] for r in runs) / bulk_n
               for e, runs in bulk.items()}
        growth = max(r["peak_kib"] - r["base_kib"] for r in bulk["ambrik"]) / 1024
        budget = bulk_cache / MiB
        out.append(f"bulk load, {bulk_n:,} x {SMALL} B in one txn, commit included: ambrik "
                   f"{fmt_us(per['ambrik'])} us per value (cache {budget:.2f} MiB), lmdb "
                   f"{fmt_us(per['lmdb'])}, ratio {fmt_ratio(per['ambrik'], per['lmdb'])}; "
                   f"ambrik peak RSS growth {growth:.1f} MiB (limit: budget + 4 MiB = "
                   f"{budget + 4:.2f} MiB)")
    out.append("")
    out.append("floors (what the row cannot go below on this machine):")
    over, ext, over_data = syncs
    floor_b = ext + 2 * over
    lmdb_b = statistics.median(samples[("b", "lmdb")]) * 1e6
    out.append(f"  (b) three syncs of an 8 KiB write, the first extending the file by the "
               f"transaction's new data page: {ext:.0f} + 2 x {over:.0f} = {floor_b:.0f} us; "
               f"lmdb's two overwriting fdatasyncs 2 x {over_data:.0f} = {2 * over_data:.0f} us; "
               f"floor ratio {floor_b / (2 * over_data):.2f} (lmdb measured {lmdb_b:.0f} us)")
    if load_floor is None:
        out.append("  (d) unavailable: build bench/load_floor_bench.cc (make cpp-test)")
    else:
        warm = statistics.median(samples[("c", "ambrik")]) * 1e6
        misses = statistics.median(m for _, m in enc_samples[("d", "plain")])
        per_miss = (load_floor["map_copy_ns"] + load_floor["hash_ns"]) / 1000
        floor_d = warm + misses * per_miss
        lmdb_d = statistics.median(samples[("d", "lmdb")]) * 1e6
        out.append(f"  (d) warm read {warm:.2f} us + {misses:.2f} misses x (copy "
                   f"{load_floor['map_copy_ns']:.0f} ns + trailer hash {load_floor['hash_ns']:.0f}"
                   f" ns) = {floor_d:.2f} us; floor ratio to lmdb {floor_d / lmdb_d:.2f} "
                   f"(pread of a page instead of the copy: {load_floor['pread_ns']:.0f} ns; "
                   "bench/load_floor_bench.cc)")
        pages = statistics.median(m for _, m in enc_samples[("er", "plain")])
        lmdb_er = statistics.median(samples[("er", "lmdb")]) * 1e6
        floor_er = lmdb_er + pages * load_floor["hash_ns"] / 1000
        out.append(f"  (e) read: the same copy into a new bytes object as lmdb's ({lmdb_er:.0f} us) "
                   f"plus the trailer check of its {pages:.0f} pages x {load_floor['hash_ns']:.0f}"
                   f" ns = {floor_er:.0f} us; floor ratio {floor_er / lmdb_er:.2f}")
    out.append("")
    out.append(f"file size after each workload, bytes (ambrik also in {PAGE_SIZE}-byte pages; "
               "sqlite-wal: db + -wal file)")
    head = f"{'after':<{w0}}  {'ambrik':>11} {'pages':>6}" + "".join(f"  {p:>11}" for p in peers)
    out.append(head)
    out.append("-" * len(head))
    size_labels = {"a": labels["a"], "b": labels["b"], "e": f"(e) {cfg['big']} x 1 MiB",
                   "f": labels["f"], "g": labels["g"]}
    for r in ("a", "b", "e", "f", "g"):
        nbytes, pages = sizes[(r, "ambrik")]
        line = f"{size_labels[r]:<{w0}}  {nbytes:>11,} {pages:>6}"
        for p in peers:
            line += f"  {sizes[(r, p)][0]:>11,}"
        out.append(line)
    out.append("")
    out.append("encrypted ambrik vs plaintext ambrik, microseconds per read (median); "
               "misses = cache misses per read")
    if cipher_open is None:
        out.append("cipher cost: unavailable (bench/cipher_bench.cc could not be built)")
    else:
        out.append(f"cipher cost: one XChaCha20-Poly1305 open of an 8 KiB page = "
                   f"{cipher_open / 1000:.2f} us (bench/cipher_bench.cc); "
                   "bound = plaintext + 1.2 x cipher x misses of the encrypted run")
    head = (f"{'workload':<{w0}}  {'plain':>9} {'encrypted':>9} {'ratio':>6} {'misses':>7}"
            f" {'bound':>9} {'enc/bound':>9}")
    out.append(head)
    out.append("-" * len(head))
    for r in enc_rows:
        plain = statistics.median(t for t, _ in enc_samples[(r, "plain")])
        enc = statistics.median(t for t, _ in enc_samples[(r, "enc")])
        misses = statistics.median(m for _, m in enc_samples[(r, "enc")])
        line = (f"{labels[r]:<{w0}}  {fmt_us(plain):>9} {fmt_us(enc):>9}"
                f" {fmt_ratio(enc, plain):>6} {misses:>7.2f}")
        if cipher_open is not None:
            bound = plain + 1.2 * cipher_open * 1e-9 * misses
            line += f" {fmt_us(bound):>9} {fmt_ratio(enc, bound):>9}"
        out.append(line)
    out.append("")
    out.append(f"open of a database of {cfg['open_values']:,} live values of {SMALL} B "
               f"({open_size / MiB:.0f} MiB file): {open_ms:.0f} ms (median of 5 opens)")
    out.append("")
    out.append(f"(h) one transaction writing {rss_total // MiB} MiB "
               f"({rss_total // rss_vsize} values of {rss_vsize} B), peak RSS of a subprocess")
    out.append(f"    (a subprocess that only imports and opens: {baseline / 1024:.1f} MiB; "
               "'before txn' = peak before the transaction began)")
    head = (f"{'engine':<11} {'setting':<24} {'data':>7} {'peak RSS':>9} {'before txn':>10} "
            f"{'growth':>9} {'spill file':>10} {'file after':>10} {'write s':>7} {'commit s':>8}")
    out.append(head)
    out.append("-" * len(head))
    for n, note, res in rss_results:
        if "error" in res:
            out.append(f"{n:<11} {note:<24} error: {res['error']}")
            continue
        spill = f"{res['spill_bytes'] / MiB:.1f} MiB" if res["spill_bytes"] is not None else "-"
        out.append(
            f"{n:<11} {note:<24} {rss_total // MiB:>3} MiB {res['peak_kib'] / 1024:>5.1f} MiB "
            f"{res['base_kib'] / 1024:>6.1f} MiB {(res['peak_kib'] - res['base_kib']) / 1024:>5.1f} MiB"
            f" {spill:>10} {res['file_bytes'] / MiB:>6.1f} MiB {res['write_s']:>7.2f}"
            f" {res['commit_s']:>8.2f}")
    out.append("")
    out.extend(space)
    print("\n".join(out))


def run_rss_baseline(tmp_root):
    """Peak RSS (KiB) of a child that imports everything and opens one database."""
    directory = tempfile.mkdtemp(dir=tmp_root, prefix="base-")
    try:
        code = (
            "import resource, sys, lmdb, sqlite3, ambrik\n"
            "from ambrik import _ambrik as am\n"
            f"db = am.open({os.path.join(directory, 'x.ambrik')!r}); db.close()\n"
            "print([l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1])\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True)
        return int(out.stdout.split()[-1])
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
