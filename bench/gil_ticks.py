"""How much another Python thread runs while this one commits.

A ticker thread counts loop turns; its rate while the main thread commits a
transaction of --mib MiB (values of 1 MiB) is compared with its rate while
the main thread sleeps. Before engine work let go of the interpreter lock
the ratio was near 0 for any commit longer than a switch interval.

Not part of the tests. Usage: python3 bench/gil_ticks.py [--mib N] [--dir D]
"""

import argparse
import os
import tempfile
import threading
import time

import ambrik


def rate_during(work):
    ticks = [0]
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.05)
    start, begin = ticks[0], time.perf_counter()
    work()
    elapsed = time.perf_counter() - begin
    count = ticks[0] - start
    stop.set()
    thread.join()
    return count / elapsed, elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mib", type=int, default=40)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        with ambrik.open(os.path.join(d, "db"), cache_max_bytes=8 << 20) as db:
            chunk = os.urandom(1 << 20)
            db.begin()
            for _ in range(args.mib):
                db.allocate(chunk)
            busy, took = rate_during(db.commit)
            idle, _ = rate_during(lambda: time.sleep(took))
            print(f"commit of {args.mib} MiB: {took * 1000:.0f} ms; other thread's ticks "
                  f"{busy:.0f}/s vs {idle:.0f}/s idle = {busy / idle:.0%}")
            handles = db.handles()
            busy, took = rate_during(lambda: [db.read(h) for h in handles])
            print(f"reading it back: {took * 1000:.0f} ms; ticks {busy / idle:.0%} of idle")


if __name__ == "__main__":
    main()
