#!/usr/bin/env python3
"""Shared mode (open(path, shared=True)) beside the default mode, in one run.

1. begin(), timed alone and with rollback(), on a file of --values values of
   100 B (default 1,000,000; built once and kept in --cache-dir, each run
   works on a copy): quiet (nobody else committed), in a table whose first
   opener has seen no commit yet, right after another object (this process)
   or another process committed one value, and after others committed past
   the reader table's count log (32,768 entries), where the data-page live
   counts are derived afresh from the whole file. A rollback walks every
   cached page, so both objects first read the whole handle table.
2. One-value durable commits (update or allocate one 100 B value) on a file
   of 10,000 values: time (median of every commit of --reps runs of
   --commits), counters() pages_allocated and fsync_calls, pages written
   (/proc/self/io wchar / 8192) per commit, and the file size before and
   after. Shared mode keeps pages the last commits released a little longer.
3. Hot reads of 100 B values (10,000, all cached), --reads in random order:
   db.read and a snapshot in the default mode, a snapshot and db.read (which
   pins the newest commit per call) in shared mode. "floor" is the same loop
   calling dict.get: Python's loop and call with no engine.
4. A reader process's reads per second (--reader-seconds a run), a snapshot
   per 1,000 reads or plain db.read, alone and while another process commits
   one-value transactions in a loop; per second of wall and of CPU time.
5. Growth: one process updates one of 1,000 values of 100 B per durable
   commit, first with no snapshot, then while another object holds a
   snapshot for --hold seconds, then --after seconds after its release; the
   file size every --sample seconds. The default mode and shared mode with
   no snapshot run the same number of commits. "bound": the pages the
   commits made while the snapshot was held allocated (the pages they freed
   cannot be reused meanwhile, so the file may grow by about that).

Ratios are shared / default (above 1: shared mode is slower or larger).

Usage: python3 bench/shared.py [--quick] [--values N] [--hold S] [--after S]
                               [--commits N] [--reads N] [--reps N]
                               [--reader-seconds S] [--sections 1,2,3,4,5]
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import ambrik

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import machine_info  # noqa: E402
from ycsb import wchar_bytes  # noqa: E402

VALUE = 100
PAGE = 8192
BASE_VALUES = 10_000
CHURN_VALUES = 1_000
SNAPSHOT_READS = 1_000
COUNT_LOG = 32_768
RESERVED_TAGS = (0xFFFFFFFE, 0xFFFFFFFF)
POOL = [random.Random(i).randbytes(VALUE) for i in range(1024)]


def med(xs):
    return statistics.median(xs)


def kib(n):
    return f"{n / 1024:,.0f} KiB"


def ratio(r):
    return f"{r:.2f}x" if r < 10 else f"{r:,.0f}x"


def mib(n):
    return f"{n / (1 << 20):,.1f} MiB"


def fill(db, n, batch=10_000):
    for start in range(0, n, batch):
        with db.transaction() as t:
            alloc = t.allocate
            for i in range(start, min(n, start + batch)):
                alloc(POOL[i & 1023])


def user_handles(db):
    """db.handles() less the engine's own values under reserved tags (key-map
    nodes, pending-free records), which come and go with commits."""
    reserved = set(db.handles_with_tag(RESERVED_TAGS[0]))
    reserved.update(db.handles_with_tag(RESERVED_TAGS[1]))
    return [h for h in db.handles() if h not in reserved]


def new_file(directory, name, n, shared):
    path = os.path.join(directory, name)
    with ambrik.open(path, shared=shared) as db:
        fill(db, n)
    return path


def cached_file(cache_dir, n):
    """A file of n values of VALUE bytes, built once and kept in cache_dir."""
    path = os.path.join(cache_dir, f"ambrik-shared-bench-{n}.ambrik")
    try:
        with ambrik.open(path, create_if_missing=False, read_only=True) as db:
            if db.stats().handle_count == n:
                return path
    except ambrik.AmbrikError:
        pass
    print(f"# building {path} ({n:,} values)", file=sys.stderr, flush=True)
    tmp = path + ".building"
    for p in (tmp, path):
        if os.path.exists(p):
            os.remove(p)
    with ambrik.open(tmp) as db:
        fill(db, n)
    os.rename(tmp, path)
    return path


def count_log_head(path):
    """Entries ever appended to the count log of the file's reader table
    (the u64 at offset 40 of "<path>.readers")."""
    with open(path + ".readers", "rb") as f:
        f.seek(40)
        return int.from_bytes(f.read(8), "little")


def timed_begins(db, n, before=None):
    """(ns of begin(), ns of begin() + rollback()) over n pairs, each pair
    after before() when given (not timed): medians with before, else the
    means of the whole loop."""
    clock = time.perf_counter_ns
    began, pairs = [], []
    for _ in range(n):
        if before:
            before()
        t0 = clock()
        db.begin()
        t1 = clock()
        db.rollback()
        t2 = clock()
        began.append(t1 - t0)
        pairs.append(t2 - t0)
    if before:
        return med(began), med(pairs)
    return sum(began) / n, sum(pairs) / n


def quiet_begins(db, n, reps):
    runs = [timed_begins(db, n) for _ in range(reps)]
    return med(r[0] for r in runs), med(r[1] for r in runs)


def child(args):
    """Starts this script as a child process with the given hidden flag."""
    return subprocess.Popen([sys.executable, os.path.abspath(__file__)] + args,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


# --- children --------------------------------------------------------------

def writer_child(path, mode, stop_file):
    """Commits one-value updates: one per line read ("step"), or in a loop
    until stop_file exists ("loop"), then prints its count and rate."""
    db = ambrik.open(path, shared=True, lock_timeout=10.0)
    handles = user_handles(db)
    rng = random.Random(3)
    print("ready", flush=True)
    n = 0
    t0 = time.perf_counter()
    while (sys.stdin.readline() != "") if mode == "step" else not os.path.exists(stop_file):
        db.begin()
        db.update(rng.choice(handles), POOL[n & 1023])
        db.commit()
        n += 1
        if mode == "step":
            print("done", flush=True)
    elapsed = time.perf_counter() - t0
    db.close()
    print(json.dumps({"commits": n, "per_s": n / elapsed}), flush=True)


def reader_child(path, mode, seconds):
    """Reads random values for `seconds`, a snapshot per SNAPSHOT_READS reads
    or plain db.read; prints reads per second (of wall and of CPU time) and
    the database object's cache misses per read (a snapshot's own cache is
    not counted there)."""
    db = ambrik.open(path, shared=True)
    handles = user_handles(db)
    rng = random.Random(9)
    chunks = [rng.choices(handles, k=SNAPSHOT_READS) for _ in range(64)]
    m0, n, i = db.counters().cache_misses, 0, 0
    c0, t0 = time.process_time(), time.perf_counter()
    deadline = t0 + seconds
    while True:
        chunk = chunks[i & 63]
        i += 1
        if mode == "snapshot":
            with db.snapshot() as s:
                read = s.read
                for h in chunk:
                    read(h)
        else:
            read = db.read
            for h in chunk:
                read(h)
        n += len(chunk)
        now = time.perf_counter()
        if now >= deadline:
            break
    cpu = time.process_time() - c0
    misses = db.counters().cache_misses - m0
    db.close()
    print(json.dumps({"per_s": n / (now - t0), "per_cpu_s": n / cpu, "misses": misses / n}),
          flush=True)


# --- 1. begin ----------------------------------------------------------------

def begin_section(args, work):
    src = cached_file(args.cache_dir, args.values)
    path = os.path.join(work, "begin.ambrik")
    shutil.copyfile(src, path)
    rng = random.Random(1)
    n, reps, k = 20_000, args.reps, args.begin_commits
    rows = {}
    with ambrik.open(path) as db:
        handles = user_handles(db)  # also fills the cache, as for `a` below
        rows["nobody else committed"] = (quiet_begins(db, n, reps), None)
    a = ambrik.open(path, shared=True)
    b = ambrik.open(path, shared=True)

    def commit_one():
        b.begin()
        b.update(rng.choice(handles), POOL[0])
        b.commit()
    try:
        # Until someone commits, the table a first opener created knows no
        # generation of the file, and every begin looks at the superblocks.
        first = quiet_begins(a, n // 10, reps)
        commit_one()
        user_handles(a)
        rows["nobody else committed"] = (rows["nobody else committed"][0],
                                         quiet_begins(a, n, reps))
        rows["first opener, before anyone committed"] = (None, first)
        rows["another object committed just before"] = (None, timed_begins(a, k, commit_one))

        w = child(["--writer-child", path, "step", ""])
        w.stdout.readline()

        def process_commits():
            w.stdin.write("c\n")
            w.stdin.flush()
            w.stdout.readline()
        rows["another process committed just before"] = (
            None, timed_begins(a, k, process_commits))
        w.stdin.close()
        w.wait()

        # Commits of 200 updates spread over the file, until the table's
        # count log has taken more entries than it keeps since a last looked.
        def overrun():
            start = count_log_head(path)
            while count_log_head(path) - start <= COUNT_LOG:
                b.begin()
                for _ in range(200):
                    b.update(rng.choice(handles), POOL[1])
                b.commit()
        rows["others committed past the count log"] = (None, timed_begins(a, 3, overrun))
    finally:
        a.close()
        b.close()

    def us(x):
        return "" if x is None else f"{x / 1000:,.2f}"
    lines = [f"1. begin() and begin() + rollback() on {args.values:,} values of {VALUE} B "
             f"(us; quiet: median of {reps} means of {n:,}; after commits: median of {k}, "
             "past the count log: of 3)", "",
             "| case | default begin | default begin + rollback | shared begin | "
             "shared begin + rollback | shared / default begin |", "|---|---|---|---|---|---|"]
    d0 = rows["nobody else committed"][0][0]
    for case, (d, s_) in rows.items():
        lines.append(f"| {case} | {us(d and d[0])} | {us(d and d[1])} | {us(s_[0])} | "
                     f"{us(s_[1])} | {ratio(s_[0] / d0)} |")
    return lines


# --- 2. one-value commits ----------------------------------------------------

def commit_run(work, mode, workload, n):
    path = new_file(work, f"commit-{mode}-{workload}.ambrik", BASE_VALUES, mode == "shared")
    rng = random.Random(2)
    with ambrik.open(path, shared=mode == "shared") as db:
        handles = user_handles(db)
        c0, w0, size0 = db.counters(), wchar_bytes(), os.path.getsize(path)
        times = []
        for i in range(n):
            t0 = time.perf_counter_ns()
            db.begin()
            if workload == "update":
                db.update(rng.choice(handles), POOL[i & 1023])
            else:
                db.allocate(POOL[i & 1023])
            db.commit()
            times.append(time.perf_counter_ns() - t0)
        w1, c1 = wchar_bytes(), db.counters()
    size1 = os.path.getsize(path)
    for p in (path, path + ".readers"):
        if os.path.exists(p):
            os.remove(p)
    return {"times": times, "alloc": (c1.pages_allocated - c0.pages_allocated) / n,
            "fsync": (c1.fsync_calls - c0.fsync_calls) / n, "written": (w1 - w0) / PAGE / n,
            "size0": size0, "size": size1}


def commit_section(args, work):
    n, reps = args.commits, args.reps
    lines = [f"2. One-value durable commits on {BASE_VALUES:,} values of {VALUE} B, {n:,} "
             f"commits x {reps} repetitions (time: median of every commit, us)", "",
             "| commit | mode | time | pages_allocated | fsync_calls | pages written | "
             "file before | file after |", "|---|---|---|---|---|---|---|---|"]
    notes = []
    for workload in ("update", "allocate"):
        res = {"default": [], "shared": []}
        for rep in range(reps):
            for mode in (("default", "shared") if rep % 2 == 0 else ("shared", "default")):
                res[mode].append(commit_run(work, mode, workload, n))
        t = {}
        for mode in ("default", "shared"):
            rs = res[mode]
            t[mode] = med([x for r in rs for x in r["times"]]) / 1000
            last = rs[-1]
            lines.append(
                f"| {workload} one value | {mode} | {t[mode]:,.0f} | "
                f"{med(r['alloc'] for r in rs):.2f} | {med(r['fsync'] for r in rs):.2f} | "
                f"{med(r['written'] for r in rs):.1f} | {kib(last['size0'])} | "
                f"{kib(last['size'])} |")
        extra = res["shared"][-1]["size"] - res["default"][-1]["size"]
        notes.append(f"{workload}: shared / default time {t['shared'] / t['default']:.2f}x; "
                     f"shared file larger by {kib(extra)} ({extra / PAGE:.0f} pages) after "
                     f"{n:,} commits")
    return lines + [""] + notes


# --- 3. hot reads ------------------------------------------------------------

def reads_section(args, work):
    path_d = new_file(work, "reads.ambrik", BASE_VALUES, False)
    path_s = os.path.join(work, "reads-shared.ambrik")
    shutil.copyfile(path_d, path_s)
    dflt = ambrik.open(path_d)
    shrd = ambrik.open(path_s, shared=True)
    handles = user_handles(dflt)
    rng = random.Random(4)
    order = [rng.choice(handles) for _ in range(args.reads)]
    table = {h: dflt.read(h) for h in handles}
    d_snap, s_snap = dflt.snapshot(), shrd.snapshot()
    variants = {"default db.read": dflt.read, "default snapshot.read": d_snap.read,
                "shared snapshot.read": s_snap.read, "shared db.read": shrd.read,
                "floor (dict.get)": table.get}
    samples = {k: [] for k in variants}
    try:
        for fn in variants.values():  # warm every cache
            for h in handles:
                fn(h)
        for rep in range(args.reps):
            names = list(variants)
            names = names[rep % len(names):] + names[:rep % len(names)]
            for name in names:
                fn = variants[name]
                t0 = time.perf_counter_ns()
                for h in order:
                    fn(h)
                samples[name].append((time.perf_counter_ns() - t0) / len(order))
    finally:
        d_snap.close()
        s_snap.close()
        dflt.close()
        shrd.close()
    ns = {k: med(v) for k, v in samples.items()}
    base, floor = ns["default db.read"], ns["floor (dict.get)"]
    lines = [f"3. Hot reads of {VALUE} B values ({BASE_VALUES:,} values, all cached), "
             f"{args.reads:,} random reads x {args.reps} (ns per read)", "",
             "| read | ns | / default db.read | above floor | / default above floor |",
             "|---|---|---|---|---|"]
    for name, x in ns.items():
        above = x - floor
        lines.append(f"| {name} | {x:,.0f} | {x / base:.2f}x | {above:,.0f} | "
                     f"{above / (base - floor):.2f}x |")
    lines += ["", f"shared db.read pins the newest commit per call: "
              f"{ns['shared db.read'] - base:,.0f} ns per read above default db.read, "
              f"{ns['shared db.read'] - ns['shared snapshot.read']:,.0f} ns above a shared "
              "snapshot's read"]
    return lines


# --- 4. a reader process beside a writer process -----------------------------

def reader_section(args, work):
    path = new_file(work, "reader.ambrik", BASE_VALUES, True)
    stop = os.path.join(work, "stop")
    res = {}
    commits = []
    for rep in range(args.reps):
        for scenario in (("alone", "writer") if rep % 2 == 0 else ("writer", "alone")):
            w = None
            if scenario == "writer":
                if os.path.exists(stop):
                    os.remove(stop)
                w = child(["--writer-child", path, "loop", stop])
                w.stdout.readline()
            try:
                for mode in ("snapshot", "plain"):
                    r = child(["--reader-child", path, mode, str(args.reader_seconds)])
                    out = json.loads(r.stdout.readline())
                    r.stdin.close()
                    r.wait()
                    res.setdefault((scenario, mode), []).append(out)
            finally:
                if w:
                    open(stop, "w").close()
                    commits.append(json.loads(w.stdout.readline())["per_s"])
                    w.stdin.close()
                    w.wait()
    lines = [f"4. A reader process's random reads of {VALUE} B values ({BASE_VALUES:,} values), "
             f"{args.reader_seconds:g} s per run, median of {args.reps} (reads per second of "
             "wall time, and of the reader's CPU time)", "",
             "| reads | no writer | a writer process committing | with / without | "
             "per CPU s, no writer | per CPU s, writer | misses per read, no writer / writer |",
             "|---|---|---|---|---|---|---|"]
    for mode, label in (("snapshot", f"snapshot per {SNAPSHOT_READS:,} reads"),
                        ("plain", "plain db.read")):
        def m(scenario, key):
            return med(r[key] for r in res[(scenario, mode)])
        a, b = m("alone", "per_s"), m("writer", "per_s")
        misses = (f"{m('alone', 'misses'):.3f} / {m('writer', 'misses'):.3f}"
                  if mode == "plain" else "(own cache)")
        lines.append(f"| {label} | {a:,.0f} | {b:,.0f} | {b / a:.2f}x | "
                     f"{m('alone', 'per_cpu_s'):,.0f} | {m('writer', 'per_cpu_s'):,.0f} | "
                     f"{misses} |")
    lines += ["", f"the writer process committed {med(commits):,.0f} one-value transactions "
              "per second meanwhile"]
    return lines


# --- 5. growth under churn ---------------------------------------------------

def churn(db, handles, n, stop, every=None, samples=None, label="", path="", t_start=0.0):
    """One-value updates, one commit each, until stop(commits, now); with
    `every`, appends (t, label, commits, file size) to samples that often.
    Returns the commit count."""
    next_sample = time.perf_counter() + (every or 0)
    while True:
        now = time.perf_counter()
        if stop(n, now):
            return n
        db.begin()
        db.update(handles[n % len(handles)], POOL[n & 1023])
        db.commit()
        n += 1
        if every and now >= next_sample:
            samples.append((now - t_start, label, n, os.path.getsize(path)))
            next_sample += every


def for_seconds(s):
    end = time.perf_counter() + s
    return lambda n, now: now >= end


def upto(count):
    return lambda n, now: n >= count


def growth_section(args, work):
    hold, after, every = args.hold, args.after, args.sample
    warm = max(5.0, 2 * every)
    path = new_file(work, "churn-held.ambrik", CHURN_VALUES, True)
    w = ambrik.open(path, shared=True)
    r = ambrik.open(path, shared=True)
    handles = user_handles(w)
    samples = []
    t_start = time.perf_counter()
    n = churn(w, handles, 0, for_seconds(warm), every, samples, "no snapshot", path, t_start)
    n_warm, size_hold = n, os.path.getsize(path)
    samples.append((time.perf_counter() - t_start, "snapshot taken", n, size_hold))
    a0 = w.counters().pages_allocated
    snap = r.snapshot()
    n = churn(w, handles, n, for_seconds(hold), every, samples, "held", path, t_start)
    allocated = w.counters().pages_allocated - a0
    snap.close()
    n_held, size_release = n - n_warm, os.path.getsize(path)
    samples.append((time.perf_counter() - t_start, "released", n, size_release))
    n = churn(w, handles, n, for_seconds(after), every, samples, "after release", path, t_start)
    size_after = os.path.getsize(path)
    samples.append((time.perf_counter() - t_start, "end", n, size_after))
    w.close()
    r.close()
    total = n

    sizes = {}
    for mode in ("default", "shared"):
        p = new_file(work, f"churn-{mode}.ambrik", CHURN_VALUES, mode == "shared")
        with ambrik.open(p, shared=mode == "shared") as db:
            hs = user_handles(db)
            churn(db, hs, 0, upto(n_warm))
            at_warm = os.path.getsize(p)
            churn(db, hs, n_warm, upto(total))
        sizes[mode] = (at_warm, os.path.getsize(p))

    growth = size_release - size_hold
    bound = allocated * PAGE
    lines = [f"5. Growth: {CHURN_VALUES:,} values of {VALUE} B, one updated per durable commit; "
             f"a snapshot (another object) held {hold:g} s, then released for {after:g} s", "",
             "| t (s) | phase | commits | file size |", "|---|---|---|---|"]
    lines += [f"| {t:.1f} | {label} | {c:,} | {mib(s)} |" for t, label, c, s in samples]
    lines += ["",
              f"size at hold start {mib(size_hold)} ({n_warm:,} commits), at release "
              f"{mib(size_release)} (+{mib(growth)} over {n_held:,} commits held, "
              f"{growth / max(n_held, 1) / 1024:.1f} KiB per commit), {after:g} s after release "
              f"{mib(size_after)} (+{kib(size_after - size_release)} over "
              f"{total - n_warm - n_held:,} commits)",
              f"bound: the held commits allocated {allocated:,} pages ({mib(bound)}); growth / "
              f"bound {growth / bound:.2f}" if bound else "bound: no page allocated",
              f"same churn with no snapshot, after {n_warm:,} and {total:,} commits: default "
              f"{kib(sizes['default'][0])}, {kib(sizes['default'][1])}; shared "
              f"{kib(sizes['shared'][0])}, {kib(sizes['shared'][1])} "
              f"({sizes['shared'][1] / sizes['default'][1]:.2f}x default, "
              f"+{(sizes['shared'][1] - sizes['default'][1]) // PAGE} pages)"]
    return lines


SECTIONS = {"1": begin_section, "2": commit_section, "3": reads_section, "4": reader_section,
            "5": growth_section}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="100,000 values, 10 s hold, fewer commits and reads")
    ap.add_argument("--values", type=int, help="values of the begin() file (default 1e6)")
    ap.add_argument("--hold", type=float, help="seconds the snapshot is held (default 60)")
    ap.add_argument("--after", type=float, default=10.0, help="seconds churned after release")
    ap.add_argument("--sample", type=float, help="seconds between file-size samples")
    ap.add_argument("--commits", type=int, help="one-value commits per run (default 300)")
    ap.add_argument("--begin-commits", type=int, help="begins timed after a commit (200)")
    ap.add_argument("--reads", type=int, help="hot reads per repetition (default 200,000)")
    ap.add_argument("--reader-seconds", type=float, help="seconds per reader run (default 3)")
    ap.add_argument("--reps", type=int, help="repetitions (default 5; quick 3)")
    ap.add_argument("--sections", default="1,2,3,4,5", help="which tables, e.g. 1,3")
    ap.add_argument("--cache-dir", default="/tmp", help="where the begin() file is kept")
    ap.add_argument("--writer-child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--reader-child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.writer_child:
        writer_child(*args.writer_child)
        return
    if args.reader_child:
        path, mode, seconds = args.reader_child
        reader_child(path, mode, float(seconds))
        return
    quick = dict(values=100_000, hold=10.0, sample=2.0, commits=150, begin_commits=100,
                 reads=50_000, reader_seconds=2.0, reps=3)
    full = dict(values=1_000_000, hold=60.0, sample=5.0, commits=300, begin_commits=200,
                reads=200_000, reader_seconds=3.0, reps=5)
    for k, v in (quick if args.quick else full).items():
        if getattr(args, k) is None:
            setattr(args, k, v)

    started = time.perf_counter()
    lines = machine_info()
    print("\n".join(lines), flush=True)
    work = tempfile.mkdtemp(dir="/tmp", prefix="ambrik-shared-")
    try:
        for key in args.sections.split(","):
            t0 = time.perf_counter()
            out = SECTIONS[key.strip()](args, work)
            print("\n" + "\n".join(out), flush=True)
            print(f"# section {key} took {time.perf_counter() - t0:.0f} s", file=sys.stderr,
                  flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"\nrun took {time.perf_counter() - started:.0f} s; load average at end "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))


if __name__ == "__main__":
    main()
