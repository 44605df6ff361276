"""A database in use: backups of it, other threads running during its engine
calls, and a second opener waiting for its file lock."""

import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from ambrik import cli
from ambrik import _ambrik as am
from oracle import assert_sound

PAGE = 8192


def value(handle, generation):
    # Sizes from a few bytes to several pages, so that reads of large values
    # (which run without the interpreter lock) are among them.
    size = (handle * 7919) % (3 * PAGE) + generation % 5
    return bytes([(handle + generation) & 0xFF]) * size


def test_backup_equals_the_commit_it_was_taken_from_while_a_writer_runs(tmp_path):
    path = tmp_path / "live.db"
    db = am.open(path, superblock_count=3)
    with db.transaction() as t:
        handles = [t.allocate_tagged(value(i + 1, 0), 5) for i in range(40)]
        t.set_root_name("first", handles[0])
    stop = threading.Event()
    commits = []

    def writer():
        generation = 0
        while not stop.is_set():
            generation += 1
            with db.transaction() as t:
                for h in handles:
                    t.update(h, value(h, generation))
            commits.append(generation)

    thread = threading.Thread(target=writer)
    thread.start()
    copies = []
    try:
        for i in range(6):
            dst = tmp_path / f"copy{i}.db"
            record = db.backup(dst)
            assert record.bytes_written == os.path.getsize(dst) == record.pages_written * PAGE
            copies.append(dst)
            time.sleep(0.01)
    finally:
        stop.set()
        thread.join()
    db.close()
    assert len(commits) > 1
    seen = set()
    for dst in copies:
        assert_sound(dst, where=str(dst))
        with am.open(dst) as copy:
            assert copy.handles() == handles
            assert copy.handles_with_tag(5) == handles
            assert copy.get_root_name("first") == handles[0]
            first = copy.read(handles[0])
            generation = next(g for g in range(commits[-1] + 1) if value(handles[0], g) == first)
            seen.add(generation)
            assert [copy.read(h) for h in handles] == [value(h, generation) for h in handles]
            copy.begin()
            assert copy.allocate(b"next") == handles[-1] + 1
    assert len(seen) > 1  # the copies were taken while commits went on


def test_backup_options_refusals_and_sources(tmp_path):
    path = str(tmp_path / "db")
    dst = tmp_path / "copy"
    with am.open(path, encryption_key=b"k1") as db:
        db.add_key(b"k1", "second key")
        with db.transaction() as t:
            h = t.allocate(b"committed")
            t.set_client_byte(h, 9)
        with db.transaction() as t:
            t.update(h, b"working")
            t.allocate(b"working too")
            t.backup(dst)  # the last commit, not the transaction's state
            assert t.read(h) == b"working"
        with am.open(dst, encryption_key=b"k1") as copy:
            assert copy.read(h) == b"committed" and copy.handles() == [h]
        # Problems of the destination are that file's: Python's own OSError
        # family, naming it, never a database error.
        refusals = [(dst, {}, FileExistsError, errno.EEXIST, "File exists"),
                    (tmp_path / "no" / "copy", {}, FileNotFoundError, errno.ENOENT, None)]
        refusals += [(own, {"overwrite": True}, OSError, errno.EINVAL,
                      "source and destination are the same file")
                     for own in (path, path + ".spillway")]
        with am.open(tmp_path / "in-use", encryption_key=b"k1"):
            refusals.append((tmp_path / "in-use", {"overwrite": True}, OSError, errno.EBUSY,
                             "destination is open in another program"))
            for target, options, cls, number, text in refusals:
                with pytest.raises(cls) as info:
                    db.backup(target, **options)
                assert not isinstance(info.value, am.AmbrikError)
                assert (info.value.errno, info.value.filename) == (number, str(target))
                assert text is None or info.value.strerror == text
        assert not db.is_poisoned
        # A temporary file left by a killed run under this process id is
        # someone else's: neither in the way nor removed.
        leftover = tmp_path / f"copy.compact-{os.getpid()}.tmp"
        leftover.write_bytes(b"left behind")
        before = os.stat(dst).st_ino
        db.backup(os.fsencode(dst), overwrite=True)
        assert os.stat(dst).st_ino != before
        assert leftover.read_bytes() == b"left behind"
        leftover.unlink()
        os.unlink(tmp_path / "in-use")
        assert not os.path.exists(path + ".spillway")
        with pytest.raises(TypeError):
            db.backup(dst, True)
        assert sorted(os.listdir(tmp_path)) == ["copy", "db"]
    for key in (b"k1", "second key"):
        assert_sound(dst, key)
        with am.open(dst, encryption_key=key) as copy:
            assert copy.read(h) == b"working" and copy.client_byte(h) == 9
            assert len(copy.handles()) == 2
    with pytest.raises(am.NoEncryptionKeyError):
        am.open(dst)

    memory = am.open()
    with memory.transaction() as t:
        h = t.allocate(b"x" * 100_000)
    memory.backup(dst, overwrite=True)
    memory.close()
    with pytest.raises(am.ClosedError):
        memory.backup(dst, overwrite=True)
    with am.open(dst) as copy:
        assert copy.read(h) == b"x" * 100_000

    db = am.open(path, encryption_key=b"k1")
    with open(path, "r+b") as f:  # every page past the superblocks, under the engine
        f.seek(2 * (PAGE + 40))
        f.write(b"\xff" * (os.path.getsize(path) - 2 * (PAGE + 40)))
    with pytest.raises(am.FatalError):
        db.read(h)
    with pytest.raises(am.PoisonedError):
        db.backup(tmp_path / "never")
    db.close()
    assert not os.path.exists(tmp_path / "never")


def test_a_slow_commit_lets_other_threads_run(tmp_path):
    def ticks_per_second(work):
        ticks, stop = [0], threading.Event()

        def ticker():
            while not stop.is_set():
                ticks[0] += 1

        thread = threading.Thread(target=ticker)
        thread.start()
        time.sleep(0.05)
        start, begin = ticks[0], time.perf_counter()
        work()
        rate = (ticks[0] - start) / (time.perf_counter() - begin)
        stop.set()
        thread.join()
        return rate

    with am.open(tmp_path / "db") as db:
        db.begin()
        db.allocate(b"x" * 100)
        am._set_sync_delay(0.1)  # each of the commit's syncs now takes 100 ms
        try:
            during = ticks_per_second(db.commit)
        finally:
            am._set_sync_delay(0)
        assert db.counters().fsync_calls >= 3
    idle = ticks_per_second(lambda: time.sleep(0.3))
    # A commit holding the interpreter would leave about one switch
    # interval's worth of ticks in 300 ms.
    assert during > 0.3 * idle, (during, idle)


def test_eight_threads_sharing_one_database_keep_every_value_exact(tmp_path):
    db = am.open(tmp_path / "db", cache_max_bytes=1 << 20)
    write = threading.Lock()
    with db.transaction() as t:
        owned = [[t.allocate(b"") for i in range(12)] for k in range(8)]
        for h in t.handles():
            t.update(h, value(h, 0))
    errors = []

    def work(mine):
        generations = dict.fromkeys(mine, 0)
        try:
            for round_ in range(15):
                with write, db.transaction() as t:
                    for h in mine[round_ % 3::3]:
                        generations[h] += 1
                        t.update(h, value(h, generations[h]))
                for h in mine:
                    assert db.read(h) == value(h, generations[h])
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(mine,)) for mine in owned]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    db.close()
    assert_sound(tmp_path / "db")


def test_open_and_the_tools_wait_for_the_file_lock(tmp_path):
    path = tmp_path / "db"
    holder = am.open(path)
    start = time.perf_counter()
    with pytest.raises(am.LockFailedError) as info:
        am.open(path, lock_timeout=0.2)
    assert str(info.value) == "failed to acquire exclusive file lock"
    assert time.perf_counter() - start >= 0.2
    assert cli.main(["check", "--wait", "0.05", str(path)]) == cli.EXIT_FAILED
    with pytest.raises(ValueError):
        am.open(path, lock_timeout=float("nan"))

    threading.Timer(0.2, holder.close).start()
    with am.open(path, lock_timeout=10) as db:
        assert db.handles() == []
    holder = am.open(path)
    threading.Timer(0.2, holder.close).start()
    assert cli.main(["check", "--wait", "10", "-q", str(path)]) == cli.EXIT_OK


# The child waits for the lock the parent holds, is interrupted, and says
# whether it still holds anything of the file.
WAITERS = {
    "open": "import ambrik\n"
            "try:\n"
            "    ambrik.open(path, lock_timeout=float('inf'))\n"
            "    code = 1\n"
            "except KeyboardInterrupt:\n"
            "    code = 42\n",
    "stats": "from ambrik import cli\n"
             "code = cli.main(['stats', '--wait', '1e12', path])\n",
}


@pytest.mark.parametrize("waiter", sorted(WAITERS))
def test_ctrl_c_ends_a_wait_for_the_file_lock(tmp_path, waiter):
    path = tmp_path / "db"
    holder = am.open(path)
    real = os.path.realpath(path)
    script = ("import os, sys\npath = sys.argv[1]\n" + WAITERS[waiter] +
              "held = [fd for fd in os.listdir('/proc/self/fd')\n"
              "        if os.path.realpath(f'/proc/self/fd/{fd}') == path]\n"
              "sys.exit(99 if held else code)\n")
    child = subprocess.Popen([sys.executable, "-c", script, real], stderr=subprocess.PIPE,
                             text=True)
    try:
        deadline = time.monotonic() + 60
        while not any(os.path.realpath(f"/proc/{child.pid}/fd/{fd}") == real
                      for fd in os.listdir(f"/proc/{child.pid}/fd")):
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.01)
        time.sleep(0.2)  # polling the lock by now
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
        holder.close()
    expected = 42 if waiter == "open" else cli.EXIT_INTERRUPTED
    assert child.returncode == expected, err
    if waiter != "open":
        assert err == "ambrik stats: interrupted\n"
