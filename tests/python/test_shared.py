"""Shared mode: objects and processes that use one file together.

The model test runs writer and reader processes (shared_child.py) on one file,
kills them at random moments and starts others, then checks the file against
the journals the writers kept: a writer appends "I i" before it commits
commit i and "D i" once commit() has returned, and each commit records in the
file who made it. Set AMBRIK_SHARED_SOAK to a number of seconds for a longer
run, and AMBRIK_SHARED_SEED to replay one.
"""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import ambrik
import shared_child as sc
from oracle import assert_sound

CHILD = Path(sc.__file__).resolve()
SEED = int(os.environ.get("AMBRIK_SHARED_SEED", random.randrange(1 << 30)))
SOAK = float(os.environ.get("AMBRIK_SHARED_SOAK", "0"))
KNOWN_FAULTS: list[str] = []  # kinds of engine fault a child reports apart (shared_child.known_fault)


def spawn(args, **extra):
    with open(f"{args['path']}.{extra.get('name', extra['role'])}.err", "wb") as err:
        proc = subprocess.Popen([sys.executable, str(CHILD), json.dumps({**args, **extra})],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
    proc.err_path = err.name
    return proc


def failed(proc, what):
    return f"{what} exited by itself ({proc.returncode}): {Path(proc.err_path).read_text()[-3000:]}"


def journals(directory):
    intents, dones = {}, {}
    for journal in directory.iterdir():
        for line in journal.read_bytes().split(b"\n")[:-1]:
            kind, i = line.split()
            (intents if kind == b"I" else dones).setdefault(int(i), []).append(journal.name)
    return intents, dones


def kill(proc):
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    proc.stdout.close()


@pytest.mark.parametrize("seconds", [SOAK or 12])
def test_processes_write_in_turns_and_read_whole_commits(tmp_path, seconds):
    where = f"[AMBRIK_SHARED_SEED={SEED}, files in {tmp_path}]"
    rng = random.Random(SEED)
    path, stop, jdir = tmp_path / "db", tmp_path / "stop", tmp_path / "journals"
    jdir.mkdir()
    key = rng.choice((None, bytes(range(32))))  # every process gives it; the seed tells which
    base = dict(path=str(path), seed=SEED, stop=str(stop), known=KNOWN_FAULTS, key=key.hex() if key else "")
    made = {"writer": 0, "reader": 0}

    def start(role):
        made[role] += 1
        name = f"{role}{made[role]}"
        extra = dict(role=role, name=name, cache=rng.choice((65536, 1 << 20)))
        if role == "writer":
            extra.update(journal=str(jdir / name), lock_timeout=rng.choice((0.0, 0.2, 5.0)))
        return spawn(base, **extra)

    procs = [start("writer") for _ in range(3)] + [start("reader") for _ in range(2)]
    roles = ["writer"] * 3 + ["reader"] * 2
    kills = {"writer": 0, "reader": 0}
    deadline, refused = time.monotonic() + seconds, False
    try:
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.05, 0.6))
            for k, (proc, role) in enumerate(zip(procs, roles)):
                if proc.poll() == sc.EXIT_KNOWN:
                    proc.stdout.close()
                    procs[k] = start(role)
                assert proc.poll() in (None, sc.EXIT_KNOWN), f"{where} " + failed(proc, role)
            if not refused and path.exists() and path.stat().st_size > 0:
                with ambrik.open(path, shared=True, read_only=True, encryption_key=key) as probe:
                    if probe.get_root_name("counter") is not None:
                        # Neither a default-mode nor a plain read-only open joins them.
                        for read_only in (False, True):
                            with pytest.raises(ambrik.LockFailedError):
                                ambrik.open(path, read_only=read_only, encryption_key=key)
                        refused = True
            k = rng.randrange(len(procs))
            kill(procs[k])
            kills[roles[k]] += 1
            procs[k] = start(roles[k])
        stop.touch()
        for proc, role in zip(procs, roles):
            proc.communicate(timeout=60)
            assert proc.returncode in (0, sc.EXIT_KNOWN), f"{where} " + failed(proc, role)
    finally:
        for proc in procs:
            if proc.poll() is None:
                kill(proc)

    # As the processes left it, pending-free records included.
    assert_sound(path, key, where)
    intents, dones = journals(jdir)
    with ambrik.open(path, encryption_key=key) as db:  # nobody is left
        last, d = sc.read_top(db)
        model = sc.History(SEED).at(last)
        sc.check_state(db, model, last, d, where)
        km = db.keymap("km")
        assert dict(km.items(b"k/", b"k0")) == model.km, where
        log = {int(k[4:]): v.decode() for k, v in km.items(b"log/", b"log0")}
        assert sorted(log) == list(range(1, last + 1)), where
        hs = {int(h) for h in d["h"].values()} | set(d["block"])
        hs |= {db.get_root_name(n) for n in ("dir", "counter")} | {km.handle(k) for k in km}
        assert {h for h in db.handles() if db.tag(h) not in sc.RESERVED_TAGS} == hs, where
        with db.transaction() as t:  # the default mode releases every pending page
            t.allocate(b"")
    assert_sound(path, key, where)
    for i, names in dones.items():
        # A commit that returned is in the file, and was the only commit made from its parent.
        assert len(names) == 1 and i <= last and log[i] == names[0], f"{where}: commit {i}: {names}"
    for i, name in log.items():
        assert name in intents.get(i, ()), f"{where}: commit {i} by {name}, who never meant it"
    unconfirmed = sum(log[i] not in dones.get(i, ()) for i in log)
    events = path.with_name("db.events").read_bytes()
    total = {k: events.count(k[0].encode()) for k in ("busy", "rollbacks", "snapshots", "map scans")}
    print(f"{where}: {'encrypted, ' if key else ''}{last} commits, {unconfirmed} without a done "
          f"line, kills {kills}, {total}")
    assert last > 20 and kills["writer"] > 0 and kills["reader"] > 0 and refused, where
    assert total["snapshots"] > 0 and total["map scans"] > 0, where
    faults = path.with_name("db.known_faults")
    if faults.exists():
        lines = faults.read_text().splitlines()
        pytest.xfail(f"{where}: {len(lines)} known engine faults, e.g. {lines[:3]}")


def test_two_objects_of_one_process_take_turns(tmp_path):
    path, rng = tmp_path / "db", random.Random(7)
    a, b = ambrik.open(path, shared=True, cache_max_bytes=65536), ambrik.open(path, shared=True)
    maps = (a.keymap("m"), b.keymap("m"))  # each keeps the nodes it has read
    values, keys = {}, {}
    for n in range(40):
        # What each object derived from its own last transaction (pages, map
        # nodes, next handle) is out of date: the other one has committed since.
        me, km = rng.choice(((a, maps[0]), (b, maps[1])))
        with me.transaction() as t:
            for _ in range(4):
                v = bytes([n]) * rng.choice((3, 5000, 9000, 100000))
                if values and rng.random() < 0.3:
                    h = rng.choice(list(values))
                    t.update(h, v)
                else:
                    h = t.allocate(v)
                    assert h not in values
                values[h] = v
                k = b"%04d" % rng.randrange(300)
                km[k] = keys[k] = b"%d" % n
        for db, m in zip((a, b), maps):
            assert {h: db.read(h) for h in values} == values and dict(m.items()) == keys
    snap, h = a.snapshot(), next(iter(values))
    a.begin()
    a.update(h, b"not committed")
    for call in (b.begin, b.transaction):
        with pytest.raises(ambrik.WriterBusyError, match="another writer holds"):
            call()
    assert not b.is_poisoned and b.read(h) == values[h]
    a.commit()
    with b.transaction() as t:
        assert t.read(h) == b"not committed"
        t.update(h, b"b")
    assert a.read(h) == b"b" and {k: snap.read(k) for k in values} == values
    for x in (snap, a, b):
        x.close()
    assert_sound(path)


def test_begin_waits_while_another_thread_commits(tmp_path):
    path = tmp_path / "db"
    with ambrik.open(path, shared=True) as a, ambrik.open(path, shared=True, lock_timeout=2) as b:
        a.begin()
        h = a.allocate(b"a")
        commit = threading.Timer(0.2, a.commit)
        commit.start()
        try:
            b.begin()
        finally:
            commit.join()
        assert b.read(h) == b"a"


@pytest.mark.parametrize("size", [100000, 300000])
def test_snapshot_held_through_commits(tmp_path, size):
    path = tmp_path / "db"
    with ambrik.open(path, shared=True) as a, ambrik.open(path, shared=True) as b:
        with a.transaction() as t:
            h = t.allocate(b"\0" * size)
        grown = [os.path.getsize(path)]
        with b.snapshot() as s:
            for n in range(1, 41):
                with a.transaction() as t:
                    t.update(h, bytes([n]) * size)
                grown.append(os.path.getsize(path))
            assert s.read(h) == b"\0" * size
        # By about what the commits released; no more once the snapshot is gone.
        assert grown[-1] - grown[0] <= 40 * (size + 8 * 8192), grown
        for n in range(20):
            with a.transaction() as t:
                t.update(h, bytes([n]) * size)
            grown.append(os.path.getsize(path))
        assert grown[-1] == grown[-15], grown
    assert_sound(path)


def test_map_reads_outside_a_transaction_see_the_newest_commit(tmp_path):
    with ambrik.open(tmp_path / "db", shared=True) as a, ambrik.open(tmp_path / "db", shared=True) as b:
        ka, kb = a.keymap("m"), b.keymap("m")
        with b.transaction() as t:
            kb[b"x1"] = b"1"
            h = t.allocate(b"1")
        assert list(ka.keys()) == [b"x1"]
        with b.transaction() as t:
            kb[b"x2"] = b"2"
            t.update(h, b"2")
        a.snapshot().close()
        assert a.read(h) == b"2" and list(ka.keys()) == [b"x1", b"x2"]


def test_modes_meet(tmp_path):
    path = tmp_path / "db"
    with ambrik.open(path, shared=True) as db:
        with db.transaction() as t:
            h = t.allocate(b"v")
        for refused in ({}, {"read_only": True}):
            with pytest.raises(ambrik.LockFailedError, match="shared use" if refused else None):
                ambrik.open(path, **refused)
        with ambrik.open(path, read_only=True, shared=True) as ro, ro.snapshot() as s:
            with pytest.raises(ambrik.ReadOnlyModeError):
                ro.begin()
            with db.transaction() as t:
                t.update(h, b"w")
            assert s.read(h) == b"v" and ro.read(h) == b"w" and not ro.is_poisoned
    for first in ({}, {"read_only": True}):
        with ambrik.open(path, **first):
            for second in ({"shared": True}, {"shared": True, "read_only": True}):
                with pytest.raises(ambrik.LockFailedError):
                    ambrik.open(path, **second)
    with ambrik.open(path, shared=True, read_only=True) as ro:
        assert ro.read(h) == b"w"


def test_forked_children_commit_under_the_parents_snapshot(tmp_path):
    path, sizes = tmp_path / "db", (10, 3000, 20000, 100000)
    db = ambrik.open(path, shared=True)
    with db.transaction() as t:
        hs = [t.allocate(b"0" * n) for n in sizes]
    snap = db.snapshot()
    for first in (1, 6):  # the second child comes after the first is gone
        if (pid := os.fork()) == 0:  # no other thread runs: nothing can be held at the fork
            code = 1
            try:
                assert snap.closed and db.is_poisoned  # nothing crosses fork
                with ambrik.open(path, shared=True) as own:
                    for g in range(first, first + 5):
                        with own.transaction() as t:
                            for h, n in zip(hs, sizes):
                                assert t.read(h) == b"%d" % (g - 1) * n
                                t.update(h, b"%d" % g * n)
                code = 0
            finally:
                os._exit(code)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        assert [db.read(h) for h in hs] == [b"%d" % (first + 4) * n for n in sizes]
        assert [snap.read(h) for h in hs] == [b"0" * n for n in sizes]
    snap.close()
    db.close()
    assert_sound(path)


def test_killed_writer_and_reader_hold_nothing(tmp_path):
    path = tmp_path / "db"
    db = ambrik.open(path, shared=True)
    with db.transaction() as t:
        big = t.allocate(b"\0" * 300000)
    holders = [spawn(dict(path=str(path)), role=role) for role in ("snapshot", "lock")]
    try:
        for proc in holders:
            assert proc.stdout.readline().startswith(b"ready"), failed(proc, "holder")
        with pytest.raises(ambrik.WriterBusyError):
            db.begin()
    finally:
        for proc in holders:
            kill(proc)
    db.begin()  # the lock went with the process, at once
    assert [h for h in db.handles() if db.tag(h) not in sc.RESERVED_TAGS] == [big]
    db.rollback()
    # The dead processes' pins are gone: rewriting the value reuses the same pages.
    sizes = []
    for n in range(30):
        with db.transaction() as t:
            t.update(big, bytes([n]) * 300000)
        sizes.append(os.path.getsize(path))
    assert sizes[-1] == sizes[5], sizes
    db.close()
    assert_sound(path)
