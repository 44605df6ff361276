"""The ordered durability mode: a killed process loses no returned commit.

Run as a script, this file is the child the kill test kills: commit i sets
the root "counter" to i, adds record i (up to a few pages) and deletes record
i - KEPT, so every commit releases pages; once it returns, "i fsync_calls"
goes to the journal. AMBRIK_CRASH_SEED replays a run with another seed.
"""

import hashlib
import itertools
import os
import random
import select
import signal
import subprocess
import sys
import time

import pytest

import ambrik
from oracle import assert_sound

TAG, KEPT, KILLS = 7, 40, 10
SEED = int(os.environ.get("AMBRIK_CRASH_SEED", "20261208"))


def record(i):
    return b"%d:" % i + hashlib.shake_128(b"%d" % i).digest(i * 7919 % 26000)


def committed(db):
    """(last commit, {record number: (handle, value)})."""
    counter = db.get_root_name("counter")
    records = {int(v.split(b":", 1)[0]): (h, v)
               for h, v in ((h, db.read(h)) for h in db.handles_with_tag(TAG))}
    return (int(db.read(counter)) if counter else 0), records


def child(path, journal):
    db = ambrik.open(path, durability="ordered")
    last, records = committed(db)
    handles = {i: h for i, (h, _) in records.items()}
    counter = db.get_root_name("counter")
    out = os.open(journal, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    print("ready", db.counters().fsync_calls, flush=True)
    for i in itertools.count(last + 1):
        db.begin()
        if counter is None:
            counter = db.allocate(b"1")
            db.set_root_name("counter", counter)
        db.update(counter, b"%d" % i)
        handles[i] = db.allocate_tagged(record(i), TAG)
        if i - KEPT in handles:
            db.delete(handles.pop(i - KEPT))
        db.commit()
        os.write(out, b"%d %d\n" % (i, db.counters().fsync_calls))


def test_killed_ordered_commits_are_all_kept(tmp_path):
    rng = random.Random(SEED)
    path, journal = tmp_path / "kill.ambrik", tmp_path / "journal"
    journal.touch()
    last = 0
    for kill in range(KILLS):
        where = f"kill {kill} (AMBRIK_CRASH_SEED={SEED})"
        with subprocess.Popen([sys.executable, __file__, str(path), str(journal)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            try:
                ready, _, _ = select.select([proc.stdout], [], [], 30)
                line = proc.stdout.readline().split() if ready else []
                if line:  # short waits land in the first commits, long ones deep in a run
                    time.sleep(rng.choice((0.002, 0.02)) * rng.randint(1, 25))
            finally:
                proc.kill()
            err = proc.stderr.read()
        assert line and proc.returncode == -signal.SIGKILL, f"{where}: {err[-2000:]!r}"
        done = [tuple(map(int, entry.split())) for entry in journal.read_bytes().splitlines()]
        logged = max([last] + [n for n, _ in done])
        with ambrik.open(path, read_only=True) as db:
            now, records = committed(db)
        # The commit after the last logged one may have returned before the kill.
        assert now in (logged, logged + 1), f"{where}: file at commit {now}, journal at {logged}"
        assert {i: v for i, (_, v) in records.items()} == \
            {i: record(i) for i in range(max(1, now - KEPT + 1), now + 1)}, where
        assert_sound(path, where=where)
        # One sync per commit, after the one of the child's open.
        synced = [f for n, f in done if n > last]
        opened = int(line[1])
        assert synced == list(range(opened + 1, opened + 1 + len(synced))), where
        last = now
    assert last >= 5 * KILLS, f"only {last} commits in {KILLS} runs"


def test_durability_option_and_sync(tmp_path):
    for bad in ("FULL", "", 1, None, b"full"):
        with pytest.raises(ValueError, match="'full' or 'ordered'"):
            ambrik.open(tmp_path / "bad.ambrik", durability=bad)
    assert not (tmp_path / "bad.ambrik").exists()
    with pytest.raises(ValueError, match="shared=True"):
        ambrik.open(tmp_path / "shared.ambrik", shared=True, durability="ordered")

    for mode, per_commit in (("full", 3), ("ordered", 1)):
        path = tmp_path / f"{mode}.ambrik"
        with ambrik.open(path, durability=mode) as db:
            before = db.counters().fsync_calls
            with db.transaction() as t:
                h = t.allocate(b"x" * 100)
            after_commit = db.counters().fsync_calls
            assert after_commit - before == per_commit, mode
            db.sync()
            db.begin()
            db.update(h, b"y")
            db.sync()  # inside a transaction: makes the returned commits durable
            db.rollback()
            assert db.counters().fsync_calls - after_commit == 2, mode
    # Nothing to sync, counted all the same.
    for other in (ambrik.open(path, read_only=True, durability="ordered"),
                  ambrik.open(durability="ordered")):
        with other:
            before = other.counters().fsync_calls
            other.sync()
            assert other.counters().fsync_calls - before == 1


if __name__ == "__main__":
    child(*sys.argv[1:])
