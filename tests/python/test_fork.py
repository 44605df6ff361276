"""A database inherited through fork() is closed in the child, and the
parent's file, lock, spill file and later commits are unaffected."""

import os
import threading

import pytest

from ambrik import _ambrik as am

CLOSED = "database handle has been closed"


def in_child(body):
    """Runs `body` in a forked child; returns its exit status (0: passed)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = body() or 0
        finally:
            os._exit(code)
    return pid


def wait_ok(pid):
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_child_cannot_use_the_database_and_the_parent_keeps_its_data(tmp_path):
    path = str(tmp_path / "db")
    db = am.open(path, cache_max_bytes=32768)
    db.begin()
    committed = [db.allocate(bytes([i]) * 2000) for i in range(30)]
    db.commit()
    # A transaction in flight with pages in the spill file at the fork.
    db.begin()
    pending = [db.allocate(bytes([i]) * 3000) for i in range(60)]
    spilled = os.path.getsize(path + ".spillway")
    assert spilled > 0

    def child():
        assert repr(db) == f"<ambrik.Ambrik path={path!r} closed>"
        assert db.is_poisoned
        for op in (lambda: db.read(committed[0]), lambda: db.allocate(b"x"),
                   db.commit, db.rollback, db.begin, db.handles, db.counters,
                   lambda: db.set_cache_max_bytes(1 << 20)):
            with pytest.raises(am.ClosedError, match=f"^{CLOSED}$"):
                op()
        db.close()
        return 0

    wait_ok(in_child(child))
    assert os.path.getsize(path + ".spillway") == spilled
    assert repr(db) == f"<ambrik.Ambrik path={path!r} open>"
    more = db.allocate(b"after the child")
    db.commit()
    db.close()
    with am.open(path) as again:
        assert [again.read(h) for h in committed] == [bytes([i]) * 2000 for i in range(30)]
        assert [again.read(h) for h in pending] == [bytes([i]) * 3000 for i in range(60)]
        assert again.read(more) == b"after the child"
        assert len(set(again.handles())) == 91


def test_untouched_child_does_not_keep_the_lock(tmp_path):
    path = str(tmp_path / "db")
    am.open(path).close()
    db = am.open(path)  # reading the existing file maps it
    go_read, go_write = os.pipe()
    ready_read, ready_write = os.pipe()

    def child():
        os.close(go_write)
        os.write(ready_write, b"r")  # the fork handler has run by now
        os.read(go_read, 1)  # lives until the parent has reopened the file
        return 0

    pid = in_child(child)
    os.close(go_read)
    os.close(ready_write)
    assert os.read(ready_read, 1) == b"r"
    os.close(ready_read)
    try:
        with pytest.raises(am.LockFailedError):
            am.open(path)
        db.close()
        am.open(path).close()
    finally:
        os.write(go_write, b"x")
        os.close(go_write)
        wait_ok(pid)


def test_repr():
    db = am.open()
    assert repr(db) == "<ambrik.Ambrik :memory: open>"
    db.close()
    assert repr(db) == "<ambrik.Ambrik :memory: closed>"


def test_fork_while_another_thread_opens_does_not_keep_the_lock(tmp_path):
    path = str(tmp_path / "db")
    am.open(path, encryption_key="pass").close()
    real = os.path.realpath(path)

    def file_is_open():
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{fd}") == real:
                    return True
            except OSError:
                pass
        return False

    for _ in range(50):  # until one fork lands while the key is being derived
        opened = []
        opener = threading.Thread(target=lambda: opened.append(am.open(path, encryption_key="pass")))
        opener.start()
        while opener.is_alive() and not file_is_open():
            pass
        go_read, go_write = os.pipe()
        ready_read, ready_write = os.pipe()
        pid = in_child(lambda: os.write(ready_write, b"r") and os.read(go_read, 1) and 0)
        during_open = opener.is_alive()
        opener.join()
        assert os.read(ready_read, 1) == b"r"  # the child's fork handler has run
        os.close(ready_read)
        os.close(ready_write)
        try:
            opened[0].close()
            if during_open:
                am.open(path, encryption_key="pass").close()  # the child holds no copy
        finally:
            os.write(go_write, b"x")
            os.close(go_write)
            os.close(go_read)
            wait_ok(pid)
        if during_open:
            return
    pytest.skip("no fork landed inside open")


def test_child_forked_during_a_backup_keeps_none_of_its_files(tmp_path):
    path, dst = str(tmp_path / "db"), str(tmp_path / "copy")
    db = am.open(path)
    with db.transaction() as t:
        for i in range(3000):
            t.allocate(bytes([i % 251]) * 2500)
    copy_files = str(tmp_path / "copy")  # the copy and its temporary file

    def held():
        return [fd for fd in os.listdir("/proc/self/fd")
                if os.path.realpath(f"/proc/self/fd/{fd}").startswith(copy_files)]

    for _ in range(50):  # until one fork lands while the copy is being written
        backup = threading.Thread(target=lambda: db.backup(dst, overwrite=True))
        backup.start()
        while backup.is_alive() and not held():
            pass
        go_read, go_write = os.pipe()
        ready_read, ready_write = os.pipe()
        pid = in_child(lambda: os.write(ready_write, b"1" if held() else b"0")
                       and os.read(go_read, 1) and 0)
        during_backup = backup.is_alive()
        backup.join()
        answer = os.read(ready_read, 1)
        os.close(ready_read)
        os.close(ready_write)
        try:
            if during_backup:
                assert answer == b"0"  # its fork handler closed them
                db.backup(dst, overwrite=True)  # nothing of the last copy is locked
        finally:
            os.write(go_write, b"x")
            os.close(go_write)
            os.close(go_read)
            wait_ok(pid)
        if during_backup:
            db.close()
            return
    pytest.skip("no fork landed inside a backup")
