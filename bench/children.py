"""Runs that need a process of their own, so that its peak RSS is theirs:
(h), the bulk load and the baseline of a process that only opens."""

import gc
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from peers import ENGINES

# The entry point, which runs rss_child / bulk_child when started with
# --rss-child / --bulk-child.
ENTRY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare.py")


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
    """Runs the entry point as `--<mode>-child` in a fresh process (so its peak RSS
    is its own) and returns the JSON it prints, or {"error": ...}."""
    directory = tempfile.mkdtemp(dir=tmp_root, prefix=mode + "-")
    try:
        proc = subprocess.run(
            [sys.executable, ENTRY, "--%s-child" % mode, name, directory,
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
