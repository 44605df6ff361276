"""Speed and memory of the operator tools on a large plaintext file.

Builds a file of --size-mb MiB (default 1024) of mixed values (half of them
64 B - 1 KiB, 30 % 1 - 8 KiB, 20 % 8 - 64 KiB, a quarter tagged), then:

- check: one run to warm the OS cache, then the best of --runs timed runs;
  rate = file bytes / seconds. Peak RSS of a check in a fresh process.
- backup: the same copy taken from the database open in this process
  (Ambrik.backup, default 8 MiB cache), best of --runs; peak RSS of a
  backup in a fresh process, against the cache budget + 32 MiB.
- compact: the best of --runs runs writing a new file (synced and renamed);
  rate = bytes written / seconds. The source has 10 % of its values deleted
  first, so the copy is a real compaction. For scale, the same number of
  bytes written sequentially and synced by Python (the disk's pace), and the
  compaction into /dev/shm (the tool's own pace).

Not part of the tests. Usage: python3 bench/tools_bench.py [--size-mb N] [--dir D]
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

import ambrik
from ambrik import cli


def build(path, size, seed=1):
    rng = random.Random(seed)
    written = 0
    batch = 64 << 20
    with ambrik.open(path, cache_max_bytes=256 << 20) as db:
        while written < size:
            with db.transaction() as t:
                in_batch = 0
                while in_batch < batch and written + in_batch < size:
                    r = rng.random()
                    n = (rng.randint(64, 1024) if r < 0.5 else
                         rng.randint(1025, 8192) if r < 0.8 else rng.randint(8193, 65536))
                    value = rng.randbytes(n)
                    if rng.random() < 0.25:
                        t.allocate_tagged(value, rng.randint(1, 50))
                    else:
                        t.allocate(value)
                    in_batch += n
            written += in_batch
    with ambrik.open(path) as db:
        with db.transaction() as t:
            for h in t.handles()[::10]:
                t.delete(h)


def best_of(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


# Peak RSS of this process image (VmHWM; ru_maxrss would carry the parent's
# high-water mark over fork and exec).
HWM = ("def hwm():\n"
       "    for line in open('/proc/self/status'):\n"
       "        if line.startswith('VmHWM:'):\n"
       "            return int(line.split()[1])\n")


def check_rss(path):
    code = (HWM + "import sys\nfrom ambrik import cli\nr = cli.check(sys.argv[1])\n"
            "print(r['problems'], hwm())")
    out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True,
                         check=True).stdout.split()
    return int(out[0]), int(out[1])


def baseline_rss():
    code = HWM + "import ambrik\nfrom ambrik import cli\nprint(hwm())"
    return int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True).stdout)


def compact_time(src, dst, runs):
    times = []
    for _ in range(runs):
        if os.path.exists(dst):
            os.unlink(dst)  # replacing a large file costs its unlink: not ours
        start = time.perf_counter()
        cli.compact(src, dst)
        times.append(time.perf_counter() - start)
    return min(times)


def backup_time(src, dst, runs):
    times = []
    with ambrik.open(src) as db:
        for _ in range(runs):
            if os.path.exists(dst):
                os.unlink(dst)
            start = time.perf_counter()
            db.backup(dst)
            times.append(time.perf_counter() - start)
    return min(times)


# The largest RssAnon seen by a sampling thread during the backup (which runs
# without the interpreter lock, so the sampler keeps running), in KiB, and
# VmHWM, which also counts the pages of the file mapping the reads go through
# (the kernel's page cache, not the process's memory).
BACKUP_RSS = (HWM + "import sys, threading, time, ambrik\n"
              "def anon():\n"
              "    for line in open('/proc/self/status'):\n"
              "        if line.startswith('RssAnon:'):\n"
              "            return int(line.split()[1])\n"
              "peak, done = [0], threading.Event()\n"
              "def sample():\n"
              "    while not done.is_set():\n"
              "        peak[0] = max(peak[0], anon())\n"
              "        time.sleep(0.005)\n"
              "with ambrik.open(sys.argv[1]) as db:\n"
              "    base = anon()\n"
              "    t = threading.Thread(target=sample)\n"
              "    t.start()\n"
              "    db.backup(sys.argv[2], overwrite=True)\n"
              "    done.set()\n"
              "    t.join()\n"
              "print(base, peak[0], hwm())")


def backup_rss(src, dst):
    out = subprocess.run([sys.executable, "-c", BACKUP_RSS, src, dst], capture_output=True,
                         text=True, check=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def raw_write_time(path, size):
    chunk = os.urandom(4 << 20)
    start = time.perf_counter()
    fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC)
    try:
        for _ in range(size // len(chunk) + 1):
            os.write(fd, chunk)
        os.fsync(fd)
    finally:
        os.close(fd)
        os.unlink(path)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        src, dst = os.path.join(d, "src.db"), os.path.join(d, "dst.db")
        start = time.perf_counter()
        build(src, args.size_mb << 20)
        size = os.path.getsize(src)
        print(f"built {size / 2**20:.0f} MiB in {time.perf_counter() - start:.1f} s")

        cli.check(src)  # warm the OS cache
        t = best_of(args.runs, lambda: cli.check(src))
        report = cli.check(src)
        print(f"check: {size / 2**20 / t:.0f} MiB/s ({t:.2f} s, {report['problems']} problems, "
              f"{report['content']['live_handles']} handles, "
              f"{report['pages']['free']} free pages)")
        problems, rss = check_rss(src)
        print(f"check peak RSS: {rss / 1024:.0f} MiB (interpreter and modules alone: "
              f"{baseline_rss() / 1024:.0f} MiB)")

        t = compact_time(src, dst, args.runs)
        out = os.path.getsize(dst)
        print(f"compact: {out / 2**20 / t:.0f} MiB/s written ({t:.2f} s, "
              f"{size / 2**20:.0f} MiB -> {out / 2**20:.0f} MiB, includes fsync)")
        assert cli.check(dst)["problems"] == 0
        t = backup_time(src, dst, args.runs)
        print(f"backup: {os.path.getsize(dst) / 2**20 / t:.0f} MiB/s written ({t:.2f} s)")
        base, peak, hwm = backup_rss(src, dst)
        print(f"backup peak anonymous RSS: {peak / 1024:.0f} MiB, {(peak - base) / 1024:.0f} MiB "
              f"above the open database (8 MiB cache); VmHWM with the file mapping "
              f"{hwm / 1024:.0f} MiB")
        assert cli.check(dst)["problems"] == 0
        disk = raw_write_time(os.path.join(d, "raw"), out)
        print(f"  the same bytes written sequentially by Python and synced: "
              f"{out / 2**20 / disk:.0f} MiB/s (the disk's pace)")
        os.unlink(dst)
        if os.path.isdir("/dev/shm"):
            shm = os.path.join("/dev/shm", f"tools-bench-{os.getpid()}.db")
            try:
                t = compact_time(src, shm, args.runs)
                print(f"  into a memory file system: {out / 2**20 / t:.0f} MiB/s")
            finally:
                if os.path.exists(shm):
                    os.unlink(shm)


if __name__ == "__main__":
    main()
