"""Space: file size after a blob workload, the churn curve, and small
commits (one change per durable commit, as an event log or a settings store
makes them)."""

import os
import random
import shutil
import tempfile

from peers import ENGINES, ORDER

BLOB_COUNT, BLOB_MIN, BLOB_MAX, BLOB_BATCH = 2000, 5000, 100000, 50
CHURN_VALUES, CHURN_LEN, CHURN_MARKS = 10, 70000, (1, 10, 50, 100, 200)
SMALL_COMMITS, SMALL_LEN, BODY_COMMITS, BODY_LEN = 10000, 100, 5000, 2000


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


def run_small_commits(name, directory, pool, scale=1):
    """Returns [(stage, file bytes, live bytes)]: one 100-byte value per commit,
    then every second one deleted one per commit and half as many inserted;
    then (another file) 2 KB bodies, one per commit."""
    n = SMALL_COMMITS // scale
    eng = ENGINES[name](directory)
    keys = []
    for i in range(n):
        eng.begin()
        keys.append(eng.insert(pool[i % 1000:i % 1000 + SMALL_LEN]))
        eng.commit()
    stages = [(f"{n:,} x 1 value", eng.size()[0], n * SMALL_LEN)]
    for k in keys[::2]:
        eng.begin()
        eng.delete(k)
        eng.commit()
    for i in range(n // 2):
        eng.begin()
        eng.insert(pool[i % 1000:i % 1000 + SMALL_LEN])
        eng.commit()
    stages.append(("1/2 del, 1/2 ins", eng.size()[0], n * SMALL_LEN))
    eng.close()
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    eng = ENGINES[name](directory)
    m = BODY_COMMITS // scale
    for i in range(m):
        eng.begin()
        eng.insert(pool[i % 1000:i % 1000 + BODY_LEN])
        eng.commit()
    stages.append((f"{m:,} x 2 KB", eng.size()[0], m * BODY_LEN))
    eng.close()
    return stages


def small_commits_report(tmp_root, scale=1):
    pool = os.urandom(4000)
    results = {}
    for name in ORDER:
        directory = tempfile.mkdtemp(dir=tmp_root)
        try:
            results[name] = run_small_commits(name, directory, pool, scale)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
    out = ["space: small commits, one change per durable commit; file MB; "
           "ratio = ambrik / peer"]
    return out + stage_table(results, 18, 2)


def stage_table(results, width, digits):
    """Rows of (stage, file bytes, live bytes) per engine, ambrik beside its peers."""
    peers = ORDER[1:]
    head = f"{'after':<{width}} {'live MB':>8} {'ambrik':>8} {'x live':>6}"
    for p in peers:
        head += f"  {p:>10} {'ratio':>6}"
    out = [head, "-" * len(head)]
    for i, (stage, nbytes, live) in enumerate(results["ambrik"]):
        line = (f"{stage:<{width}} {live / 1e6:>8.{digits}f} {nbytes / 1e6:>8.{digits}f} "
                f"{nbytes / live:>6.2f}")
        for p in peers:
            pb = results[p][i][1]
            line += f"  {pb / 1e6:>10.{digits}f} {nbytes / pb:>6.2f}"
        out.append(line)
    return out


def space_report(tmp_root, scale=1):
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
    out += stage_table({n: r[0] for n, r in results.items()}, 15, 1)
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
    out.append("")
    out += small_commits_report(tmp_root, scale)
    return out
