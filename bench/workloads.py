"""The timed workloads of the main table, the encrypted table and open time."""

import gc
import os
import shutil
import statistics
import tempfile
import time

from ambrik import _ambrik as am
from peers import ENGINES, MiB, AmbrikEngine

BIG_BATCH = 32  # 1 MiB values per write transaction in (e)
SMALL = 100
BIG = 1 * MiB


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
    """(c), (d), a cold scan (s) and 1 MiB reads on one ambrik database, plaintext (key None)
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
    # (s): every value once in handle order, from a cold cache, so each
    # page is loaded once and then serves the values after it.
    eng.reopen(cold=True)
    m0 = eng.misses()
    t = timed(lambda: run_reads(eng, keys)) / len(keys)
    out["s"] = (t, (eng.misses() - m0) / len(keys))
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
