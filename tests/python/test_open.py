"""Opening and creating databases: the file that creation leaves, and every
way an open can fail cleanly without leaving the file locked."""

import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import xxhash

from ambrik import _ambrik as am
from ambrik import _tools

PAGE = 8192
SEALED = 8232


def slot_bytes(path, slot, stride=PAGE):
    with open(path, "rb") as f:
        f.seek(slot * stride)
        return f.read(PAGE)


def checksum_ok(page):
    return struct.unpack_from("<Q", page, 8184)[0] == xxhash.xxh3_64_intdigest(page[:8184])


def rewrite_slot(path, slot, mutate, stride=PAGE):
    """Applies `mutate` to a slot's 8192 bytes and recomputes its checksum."""
    page = bytearray(slot_bytes(path, slot, stride))
    mutate(page)
    struct.pack_into("<Q", page, 8184, xxhash.xxh3_64_intdigest(bytes(page[:8184])))
    with open(path, "r+b") as f:
        f.seek(slot * stride)
        f.write(page)


def generation(page):
    return struct.unpack_from("<Q", page, 8)[0]


def commit_values(db, values):
    db.begin()
    handles = [db.allocate(v) for v in values]
    db.commit()
    return handles


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "db.ambrik")


class TestCreation:
    def test_plaintext_file_layout(self, path):
        am.open(path).close()
        assert os.path.getsize(path) == 2 * PAGE
        for slot, gen in ((0, 1), (1, 0)):
            page = slot_bytes(path, slot)
            assert page[:4] == b"KBMA"
            assert checksum_ok(page)
            assert struct.unpack_from("<I", page, 4)[0] == 65537
            assert generation(page) == gen
            assert struct.unpack_from("<Q", page, 32)[0] == 2  # page_count
            assert struct.unpack_from("<Q", page, 40)[0] == 1  # next_handle
            assert struct.unpack_from("<I", page, 308)[0] == 2
            assert page[324] == 0

    def test_superblock_count_three(self, path):
        am.open(path, superblock_count=3).close()
        assert os.path.getsize(path) == 3 * PAGE
        assert [generation(slot_bytes(path, s)) for s in range(3)] == [2, 1, 0]

    def test_encrypted_file_layout(self, path):
        am.open(path, encryption_key=b"k" * 32).close()
        assert os.path.getsize(path) == 2 * SEALED
        with open(path, "rb") as f:
            data = f.read()
        for slot, gen in ((0, 1), (1, 0)):
            unit = data[slot * SEALED:(slot + 1) * SEALED]
            page = unit[:PAGE]
            assert unit[PAGE:] == b"\0" * 40
            assert checksum_ok(page)
            assert struct.unpack_from("<I", page, 4)[0] == 131072
            assert generation(page) == gen
            assert page[324] == 1
            assert struct.unpack_from("<I", page, 325)[0] == 8232
            assert page[332] == 1 and page[333] == 1  # slot 0 active, raw key
            assert page[332 + 128:332 + 1024] == b"\0" * (1024 - 128)
            assert page[16:48] == b"\0" * 32  # roots live only in the sealed body

    def test_memory_database_needs_no_file(self, tmp_path):
        db = am.open()
        db.begin()
        h = db.allocate(b"in memory")
        db.commit()
        assert db.read(h) == b"in memory"
        db.close()
        assert list(tmp_path.iterdir()) == []

    def test_bytes_shorter_than_a_page_are_left_alone(self, path):
        # Someone's notes, not a database: every kind of open refuses them
        # and the file keeps its bytes.
        notes = b"hello you"
        with open(path, "wb") as f:
            f.write(notes)
        for options in ({}, {"create_if_missing": False}, {"read_only": True},
                        {"encryption_key": b"k"}):
            with pytest.raises(am.CorruptSuperblockError, match="^no valid superblock found\n"):
                am.open(path, **options)
        with open(path, "rb") as f:
            assert f.read() == notes

    def test_path_like_objects(self, tmp_path):
        am.open(tmp_path / "p.db").close()
        assert (tmp_path / "p.db").exists()
        am.open(os.fsencode(str(tmp_path / "b.db"))).close()
        assert (tmp_path / "b.db").exists()


class TestOpenFailures:
    def test_missing_or_empty_without_create(self, path):
        with pytest.raises(am.DatabaseFileNotFoundError, match="^database file not found\n"):
            am.open(path, create_if_missing=False)
        assert not os.path.exists(path)
        open(path, "wb").close()
        with pytest.raises(am.DatabaseFileNotFoundError):
            am.open(path, create_if_missing=False)
        with pytest.raises(am.DatabaseFileNotFoundError):
            am.open(path + ".nope", read_only=True)

    def test_empty_file_read_only(self, path):
        open(path, "wb").close()
        with pytest.raises(am.ReadOnlyModeError):
            am.open(path, read_only=True)
        am.open(path).close()  # nothing left locked

    def test_read_only_without_path(self):
        with pytest.raises(am.ReadOnlyModeError):
            am.open(read_only=True)

    @pytest.mark.parametrize("count", [0, 1, 17])
    def test_superblock_count_range(self, path, count):
        with pytest.raises(am.InvalidSuperblockCountError,
                           match=f"^invalid superblock_count {count}; must be in 2..=16\n"):
            am.open(path, superblock_count=count)
        assert not os.path.exists(path)
        with pytest.raises(am.InvalidSuperblockCountError):
            am.open(superblock_count=count)

    def test_existing_file_keeps_its_own_count(self, path):
        am.open(path, superblock_count=3).close()
        with pytest.raises(am.InvalidSuperblockCountError):
            am.open(path, superblock_count=17)
        with am.open(path, superblock_count=5) as db:
            commit_values(db, [b"a"])
        assert os.path.getsize(path) // PAGE >= 3
        newest = max(range(3), key=lambda s: generation(slot_bytes(path, s)))
        assert struct.unpack_from("<I", slot_bytes(path, newest), 308)[0] == 3

    def test_second_open_is_locked_out(self, path):
        db = am.open(path)
        with pytest.raises(am.LockFailedError) as info:
            am.open(path)
        assert str(info.value) == "failed to acquire exclusive file lock"
        with pytest.raises(am.LockFailedError):
            am.open(path, read_only=True)
        db.close()
        am.open(path).close()

    def test_read_only_opens_share_the_file(self, path):
        values = [bytes([i]) * 3000 for i in range(200)]
        with am.open(path) as db:
            handles = commit_values(db, values)
        # A one-page cache: nearly every read goes to the file.
        readers = [am.open(path, read_only=True, cache_max_bytes=PAGE) for _ in range(2)]
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent("""
                import sys
                from ambrik import _ambrik as am
                path, count = sys.argv[1], int(sys.argv[2])
                db = am.open(path, read_only=True, cache_max_bytes=8192)
                print("open", flush=True)
                while not sys.stdin.readline():
                    pass
                for _ in range(20):
                    for h in range(1, count + 1):
                        assert db.read(h) == bytes([h - 1]) * 3000
                print("read", flush=True)
                sys.stdin.readline()
                """), path, str(len(values))],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "open\n"
            child.stdin.write("go\n")
            child.stdin.flush()
            failures = []

            def read_all(db):
                try:
                    for _ in range(20):
                        assert [db.read(h) for h in handles] == values
                except BaseException as exc:  # noqa: BLE001 - reported below
                    failures.append(exc)

            threads = [threading.Thread(target=read_all, args=(db,)) for db in readers]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert not failures
            assert child.stdout.readline() == "read\n"
            for db in readers:
                db.close()
            # The other process's reader alone still keeps writers out.
            with pytest.raises(am.LockFailedError) as info:
                am.open(path, lock_timeout=0.05)
            assert str(info.value) == "failed to acquire exclusive file lock"
            done = subprocess.run([sys.executable, "-m", "ambrik", "check", "-q", path],
                                  capture_output=True, text=True, timeout=60)
            assert done.returncode == 0, done.stderr
        finally:
            child.stdin.close()
            assert child.wait(timeout=60) == 0
        assert not os.path.exists(path + ".spillway")
        am.open(path).close()

    def test_key_mismatches(self, path):
        am.open(path).close()
        with pytest.raises(am.EncryptionNotSupportedError):
            am.open(path, encryption_key=b"key")
        enc = path + ".enc"
        am.open(enc, encryption_key=b"right").close()
        with pytest.raises(am.NoEncryptionKeyError):
            am.open(enc)
        with pytest.raises(am.InvalidEncryptionKeyError):
            am.open(enc, encryption_key=b"wrong")
        with pytest.raises(TypeError, match="^encryption_key must be bytes"):
            am.open(enc, encryption_key=bytearray(b"right"))
        # None of the failures left the file locked.
        with am.open(enc, encryption_key=b"right") as db:
            commit_values(db, [b"secret"])
        with am.open(enc, encryption_key=b"right") as db:
            assert db.read(1) == b"secret"

    def test_passphrase_as_str_or_bytes(self, path):
        with am.open(path, encryption_key="correct horse") as db:
            commit_values(db, [b"v"])
        with am.open(path, encryption_key="correct horse") as db:
            assert db.read(1) == b"v"
        with am.open(path, encryption_key="correct horse".encode()) as db:
            assert db.read(1) == b"v"
        with pytest.raises(am.InvalidEncryptionKeyError):
            am.open(path, encryption_key="wrong horse")

    def test_truncated_file(self, path):
        with am.open(path) as db:
            commit_values(db, [b"x" * 100, b"y" * 20000])
        size = os.path.getsize(path)
        units = size // PAGE
        with open(path, "r+b") as f:
            f.truncate(size - PAGE)
        with pytest.raises(am.FileSizeMismatchError) as exc:
            am.open(path)
        assert str(exc.value) == (f"file size mismatch: expected {units * PAGE} bytes, "
                                  f"got {(units - 1) * PAGE}")
        assert isinstance(exc.value, am.FatalError)

    def test_file_shortened_while_open(self, path):
        # Another program cuts the file under an open database: reading a
        # page that is gone is an I/O error, never the end of the process.
        with am.open(path) as db:
            db.begin()
            handles = [db.allocate(bytes([i]) * 4000) for i in range(40)]
            big = db.allocate(b"z" * 300_000)
            db.commit()
        db = am.open(path, cache_max_bytes=32768)
        try:
            assert db.read(handles[0]) == bytes([0]) * 4000
            os.truncate(path, 3 * PAGE)
            with pytest.raises(am.IoError) as exc:
                for h in handles + [big]:
                    db.read(h)
            assert str(exc.value) == "I/O error: failed to fill whole buffer"
        finally:
            db.close()

    # Whatever the program does to SIGBUS handling around the first read (a
    # crash reporter that sees the fault first, a handler of its own that
    # returns, a stray SIGBUS that makes the database's handler give way), a
    # read of a page that is gone ends promptly in IoError, never in a fault
    # re-run forever. In a child with a timeout, so a regression cannot hang.
    @pytest.mark.parametrize("before, after", [
        ("", "faulthandler.disable(); faulthandler.enable()"),
        ("", "signal.signal(signal.SIGBUS, lambda *a: None)"),
        ("signal.signal(signal.SIGBUS, lambda *a: None)", "os.kill(os.getpid(), signal.SIGBUS)"),
    ], ids=["crash-reporter", "own-handler", "stray-signal"])
    def test_file_shortened_under_other_sigbus_handlers(self, path, before, after):
        script = textwrap.dedent(f"""
            import faulthandler, os, signal, sys
            from ambrik import _ambrik as am
            p = sys.argv[1]
            with am.open(p) as db:
                db.begin()
                hs = [db.allocate(bytes([i]) * 4000) for i in range(40)]
                db.commit()
            {before}
            db = am.open(p, cache_max_bytes=32768)
            db.read(hs[0])
            {after}
            os.truncate(p, 3 * 8192)
            try:
                for h in hs:
                    db.read(h)
            except am.IoError as e:
                print("IoError:", e)
            db.close()
        """)
        done = subprocess.run([sys.executable, "-c", script, path], capture_output=True,
                              text=True, timeout=30)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "IoError: I/O error: failed to fill whole buffer\n"

    def test_all_slots_zeroed(self, path):
        am.open(path).close()
        with open(path, "r+b") as f:
            f.write(b"\0" * (2 * PAGE))
        with pytest.raises(am.CorruptSuperblockError) as exc:
            am.open(path)
        assert str(exc.value) == ("no valid superblock found: slot 0: bad checksum; "
                                  "slot 1: bad checksum")
        am.open(path + ".other").close()

    def test_bad_count_and_magic_defects(self, path):
        am.open(path).close()
        rewrite_slot(path, 0, lambda p: struct.pack_into("<I", p, 308, 17))
        rewrite_slot(path, 1, lambda p: p.__setitem__(slice(0, 4), b"XXXX"))
        with pytest.raises(am.CorruptSuperblockError) as exc:
            am.open(path)
        assert str(exc.value) == ("no valid superblock found: slot 0: bad superblock_count 17; "
                                  "slot 1: bad magic")

    def test_newer_minor_version_opens_read_only(self, path):
        with am.open(path) as db:
            commit_values(db, [b"kept"])
        for slot in (0, 1):
            rewrite_slot(path, slot, lambda p: struct.pack_into("<I", p, 4, 65538))
        before = open(path, "rb").read()
        with am.open(path) as db:
            assert db.read(1) == b"kept"
            with pytest.raises(am.ReadOnlyModeError):
                db.begin()
        assert open(path, "rb").read() == before

    def test_other_major_version_refused(self, path):
        am.open(path).close()
        for slot in (0, 1):
            rewrite_slot(path, slot, lambda p: struct.pack_into("<I", p, 4, 0x00030001))
        with pytest.raises(am.UnsupportedFormatVersionError,
                           match="found 196609, this build supports 65537\n"):
            am.open(path)

    def test_page_size_refused(self, path):
        am.open(path).close()
        for slot in (0, 1):
            rewrite_slot(path, slot, lambda p: struct.pack_into("<I", p, 48, 4096))
        with pytest.raises(am.UnsupportedPageSizeError):
            am.open(path)

    def test_crafted_argon2_costs_are_not_derived(self, path):
        am.open(path, encryption_key="pass").close()

        def huge_costs(page):
            struct.pack_into("<III", page, 332 + 2, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFF)

        for slot in (0, 1):
            rewrite_slot(path, slot, huge_costs, stride=SEALED)
        start = time.monotonic()
        with pytest.raises(am.InvalidEncryptionKeyError):
            am.open(path, encryption_key="pass")
        assert time.monotonic() - start < 30


class TestHostilePaths:
    def test_a_name_the_file_system_accepts_works_in_both_modules(self, tmp_path):
        raw = os.path.join(os.fsencode(tmp_path), b"\xff.db")  # not UTF-8
        with am.open(raw) as db:
            assert repr(db) == f"<ambrik.Ambrik path={os.fsdecode(raw)!r} open>"
            with db.transaction() as t:
                h = t.allocate(b"v")
        with am.open(pathlib.Path(os.fsdecode(raw)), read_only=True) as db:
            assert db.read(h) == b"v"
        assert os.listdir(tmp_path) == ["\udcff.db"]
        for name in (raw, os.fsdecode(raw)):
            assert '"problems":0' in _tools.check(name).replace(" ", "")

    def test_embedded_nul_is_refused_and_the_database_survives(self, path):
        with am.open(path) as db:
            handles = commit_values(db, [bytes([i]) * 3000 for i in range(40)])
        size = os.path.getsize(path)
        for hostile in (path + "\0", pathlib.Path(path + "\0x")):
            with pytest.raises(ValueError, match="^embedded null byte$"):
                am.open(hostile, cache_max_bytes=32768)
        with pytest.raises(ValueError, match="^embedded null byte$"):
            am.open(os.fsencode(path) + b"\0", cache_max_bytes=32768)
        for module in (am.open, _tools.check):
            with pytest.raises(ValueError, match="^embedded null byte$"):
                module(pathlib.Path(path + "\0"))
        assert os.path.getsize(path) == size
        assert not os.path.exists(path + ".spillway")
        with am.open(path) as db:
            assert [db.read(h) for h in handles] == [bytes([i]) * 3000 for i in range(40)]
