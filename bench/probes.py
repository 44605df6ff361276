"""Costs below the engine, timed with no engine around them: the cipher and
page-load floors from the C++ benches, and the flushes of this file system."""

import os
import statistics
import subprocess
import time

from peers import PAGE_SIZE


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
