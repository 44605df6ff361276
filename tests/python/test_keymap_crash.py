"""Kill a process that writes a KeyMap at random moments; the map must hold
exactly the last logged commit (or the one after it, whose log line the kill
prevented) and the file must check clean. Damage accumulates on one file.

Run as a script, this module is the child: it replays the plan up to the
transaction it is told and commits the following ones, logging each commit
number once commit has returned, until it is killed.
"""

import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import time

KEYS = 2500
KILLS = 8


def plan(seed, txn):
    """(rollback?, savepoint detour?, ops): ops are (key, value) puts or (key, None) deletes."""
    rng = random.Random(f"{seed}:{txn}")
    ops = []
    for i in range(rng.randint(1, 40)):
        key = b"k%05d" % rng.randrange(KEYS) + bytes(rng.randrange(3) * 300)
        value = None if rng.random() < 0.3 else hashlib.shake_128(
            f"{seed}/{txn}/{i}".encode()).digest(rng.choice([0, 50, 3000, 9000]))
        ops.append((key, value))
    return rng.random() < 0.1, txn % 4 == 0, ops


def state_after(seed, txn, cache={}):
    known = max((t for (sd, t) in cache if sd == seed and t <= txn), default=0)
    state = dict(cache.get((seed, known), {}))
    for t in range(known + 1, txn + 1):
        rollback, _, ops = plan(seed, t)
        if not rollback:
            for key, value in ops:
                if value is None:
                    state.pop(key, None)
                else:
                    state[key] = value
        cache[(seed, t)] = dict(state)
    return state


def child(args):
    import ambrik

    db = ambrik.open(args["path"], cache_max_bytes=args["cache"])
    m = db.keymap("crash")
    log = os.open(args["log"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    for txn in range(args["start"] + 1, args["start"] + 100_000):
        rollback, detour, ops = plan(args["seed"], txn)
        t = db.transaction()
        if detour:
            sp = t.savepoint("detour")
            for i in range(200):
                m[b"d%04d" % i] = b"x" * 500
            sp.rollback_to()
        for key, value in ops:
            if value is None:
                m.pop(key, None)
            else:
                m[key] = value
        if rollback:
            t.rollback()
        else:
            t.commit()
        os.write(log, b"%d\n" % txn)
        os.fsync(log)


def test_killed_writer_leaves_the_last_commit(tmp_path):
    import ambrik
    from ambrik import _tools

    seed = int(os.environ.get("AMBRIK_CRASH_SEED", "20261207"))
    rng = random.Random(seed)
    args = {"path": str(tmp_path / "map.ambrik"), "log": str(tmp_path / "log"), "seed": seed,
            "cache": 256 << 10, "start": 0}
    for kill in range(KILLS):
        proc = subprocess.Popen([sys.executable, __file__, json.dumps(args)],
                                stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.2, 1.0))
        assert proc.poll() is None, proc.stderr.read().decode()
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stderr.close()
        logged = [int(x) for x in open(args["log"]).read().split()] if os.path.exists(
            args["log"]) else []
        last = logged[-1] if logged else args["start"]
        report = json.loads(_tools.check(args["path"]))
        assert report["problems"] == 0, report["findings"]
        with ambrik.open(args["path"]) as db:
            found = dict(db.keymap("crash").items())
        if found == state_after(seed, last):
            args["start"] = last
        else:
            assert found == state_after(seed, last + 1), f"kill {kill}: neither {last} nor next"
            args["start"] = last + 1
    assert args["start"] > 0


if __name__ == "__main__":
    child(json.loads(sys.argv[1]))
