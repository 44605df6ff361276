"""Snapshots: the last commit, read on another thread while this database
commits, and their closing."""

import threading

import pytest

from ambrik import _ambrik as am

SIZES = (10, 3000, 20000)  # one page, a shared data page, an overflow chain


def val(i, generation):
    return bytes([generation & 0xFF]) * SIZES[i % 3]


def test_reader_thread_reads_its_snapshot_while_commits_run(tmp_path):
    db = am.open(tmp_path / "db")
    with db.transaction() as t:
        block = [t.allocate(val(i, 0)) for i in range(30)]
    stop = threading.Event()
    in_commit = threading.Event()
    errors, seen = [], []
    reads_during_commit = 0

    def reader():
        nonlocal reads_during_commit
        try:
            while not stop.is_set():
                with db.snapshot() as s:
                    for _ in range(4):
                        during = in_commit.is_set()
                        values = [s.read(h) for h in block]
                        g = values[0][0]
                        assert values == [val(i, g) for i in range(len(block))]
                        if during and in_commit.is_set():
                            reads_during_commit += 1
                        seen.append(g)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    thread = threading.Thread(target=reader)
    thread.start()
    am._set_sync_delay(0.02)  # each commit waits 60 ms in its syncs
    try:
        for generation in range(1, 25):
            db.begin()
            for i, h in enumerate(block):
                db.update(h, val(i, generation))
            in_commit.set()
            db.commit()
            in_commit.clear()
    finally:
        am._set_sync_delay(0)
        stop.set()
        thread.join()
    assert not errors, errors
    assert seen == sorted(seen)  # a later snapshot never shows an older commit
    assert reads_during_commit > 0  # the reader did not wait for the commits
    db.close()


def test_snapshot_shows_the_last_commit_not_the_running_transaction(tmp_path):
    with am.open(tmp_path / "db") as db:
        with db.transaction() as t:
            a = t.allocate_tagged(b"old", 7)
            b = t.allocate(b"x" * 50000)
            t.set_client_byte(a, 9)
            t.set_root_name("r", a)
        db.begin()
        db.update(a, b"new")
        db.delete(b)
        db.clear_root_name("r")
        s = db.snapshot()
        assert (s.read(a), s.read(b)) == (b"old", b"x" * 50000)
        assert (s.tag(a), s.tag(b), s.client_byte(a)) == (7, None, 9)
        assert s.handles() == [a, b] and s.handles_with_tag(7) == [a]
        assert s.get_root_name("r") == a and s.get_root_name("none") is None
        db.commit()
        assert s.read(b) == b"x" * 50000 and db.read(a) == b"new"
        with pytest.raises(am.InvalidHandleError):
            s.read(b + 100)
        with pytest.raises(ValueError):
            s.handles_with_tag(0)
        s.close()


def test_close_context_manager_and_database_close(tmp_path):
    path = tmp_path / "db"
    db = am.open(path)
    with db.transaction() as t:
        h = t.allocate(b"v")
    with db.snapshot() as s:
        assert not s.closed and s.read(h) == b"v"
    assert s.closed
    s.close()  # again: nothing
    for call in (lambda: s.read(h), lambda: s.tag(h), lambda: s.client_byte(h), s.handles,
                 lambda: s.handles_with_tag(1), lambda: s.get_root_name("r")):
        with pytest.raises(am.ClosedError):
            call()
    s2 = db.snapshot()
    db.close()  # closes the snapshots it still has
    assert s2.closed
    with pytest.raises(am.ClosedError):
        s2.read(h)
    with pytest.raises(am.ClosedError):
        db.snapshot()
    am.open(path).close()  # nothing kept the file


def test_in_memory_database_refuses_snapshots():
    with am.open(None) as db:
        with pytest.raises(am.OperationalError, match="in memory"):
            db.snapshot()
        assert not db.is_poisoned


@pytest.mark.parametrize("shared", [False, True])
def test_keymap_of_a_snapshot_stays_its_commit_while_a_thread_commits(tmp_path, shared):
    db = am.open(tmp_path / "db", shared=shared)
    m = db.keymap("m")
    with db.transaction():
        for i in range(3000):  # several levels, a dozen iterator batches
            m[b"k%05d" % i] = b"%d" % i * 20
    expected = dict(m.items())
    s = db.snapshot()
    sm = s.keymap("m")
    turn, committed, done = threading.Event(), threading.Event(), threading.Event()
    errors, commits = [], 0

    def writer():  # one commit each time the reader lets it
        nonlocal commits
        try:
            while turn.wait() and not done.is_set():
                turn.clear()
                with db.transaction():
                    for i in range(commits, 3000, 7):
                        m[b"k%05d" % i] = b"new"
                    del m[b"k%05d" % (commits * 3 + 1)]
                    m[b"n%05d" % commits] = b"added"
                commits += 1
                committed.set()
        except BaseException as e:  # reported by the main thread
            errors.append(e)
            committed.set()

    thread = threading.Thread(target=writer)
    thread.start()
    got = []
    try:
        for k, v in sm.items():
            got.append((k, v))
            if len(got) % 400 == 0:
                turn.set()
                committed.wait()
                committed.clear()
    finally:
        done.set()
        turn.set()
        thread.join()
    assert not errors, errors
    assert commits >= 7 and got == list(expected.items())
    assert len(sm) == 3000 and b"k00001" in sm and b"n00000" not in sm
    assert sm[b"k00000"] == sm.get(b"k00000") == expected[b"k00000"] != m[b"k00000"]
    assert list(sm.keys(b"k02998")) == [b"k02998", b"k02999"]
    assert list(sm.items(b"k00010", b"k00013", reverse=True)) == [
        (k, expected[k]) for k in (b"k00012", b"k00011", b"k00010")]
    assert sm.keys() == expected.keys() and sm == expected and len(sm.values()) == 3000
    s.close()
    db.close()


def test_keymap_of_a_snapshot_refuses_writes_and_ends_with_it(tmp_path):
    db = am.open(tmp_path / "db")
    with db.transaction() as t:
        db.keymap("m")[b"a"] = b"1"
        t.set_root_name("plain", t.allocate(b"not a map"))
    s = db.snapshot()
    sm = s.keymap("m")
    assert repr(sm) == "<ambrik.KeyMap 'm' of a snapshot>" and len(s.keymap("unbound")) == 0
    with pytest.raises(am.NotAKeyMapError):
        s.keymap("plain")
    for write in (lambda: sm.__setitem__(b"b", b"2"), lambda: sm.__delitem__(b"a"),
                  lambda: sm.pop(b"a"), lambda: sm.setdefault(b"a", b"1"), sm.popitem,
                  sm.clear, lambda: sm.update({})):
        with pytest.raises(am.ReadOnlyModeError, match="snapshot's key map is read-only"):
            write()
    assert dict(sm) == {b"a": b"1"}
    it = iter(sm)
    s.close()
    for read in (lambda: sm[b"a"], lambda: len(sm), lambda: b"a" in sm, lambda: next(it),
                 lambda: list(sm.items()), lambda: s.keymap("m")):
        with pytest.raises(am.ClosedError, match="snapshot is closed"):
            read()
    sm2 = db.snapshot().keymap("m")
    db.close()  # closes the snapshot under the map
    with pytest.raises(am.ClosedError):
        sm2.get(b"a")
