"""Transaction lifecycle seen through the file: superblock rotation, the
slot rule that protects the current superblock, rollback of the file length,
and operations that fail without disturbing the transaction."""

import os
import shutil
import struct

import pytest
import xxhash

from ambrik import _ambrik as am
from oracle import assert_sound

PAGE = 8192
SEALED = 8232


def generations(path, count, stride=PAGE):
    """Generation of each slot, None where the checksum fails."""
    out = []
    with open(path, "rb") as f:
        for slot in range(count):
            f.seek(slot * stride)
            page = f.read(PAGE)
            ok = struct.unpack_from("<Q", page, 8184)[0] == xxhash.xxh3_64_intdigest(page[:8184])
            out.append(struct.unpack_from("<Q", page, 8)[0] if ok else None)
    return out


def damage_slot(path, slot):
    with open(path, "r+b") as f:
        f.seek(slot * PAGE + 200)
        byte = f.read(1)
        f.seek(slot * PAGE + 200)
        f.write(bytes([byte[0] ^ 0x40]))


def commit_one(db, value=b"v"):
    db.begin()
    h = db.allocate(value)
    db.commit()
    return h


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


class TestSuperblockRotation:
    def test_two_slots_first_commit_into_slot_zero(self, path):
        am.open(path).close()
        with am.open(path) as db:  # reopened: the initial slots still agree
            assert generations(path, 2) == [1, 0]
            commit_one(db)
            # Every initial slot holds the same empty database, so the first
            # commit may go over the newest of them.
            assert generations(path, 2) == [2, 0]
            commit_one(db)
            assert generations(path, 2) == [2, 3]
            db.begin()
            db.commit()  # an empty commit still writes a superblock
            assert generations(path, 2) == [4, 3]

    def test_three_slots(self, path):
        with am.open(path, superblock_count=3) as db:
            assert generations(path, 3) == [2, 1, 0]
            commit_one(db)
            assert generations(path, 3) == [3, 1, 0]
            commit_one(db)
            assert generations(path, 3) == [3, 4, 0]
            commit_one(db)
            assert generations(path, 3) == [3, 4, 5]

    def test_encrypted_first_key_change_into_slot_zero(self, path):
        am.open(path, encryption_key=b"one").close()
        with am.open(path, encryption_key=b"one") as db:
            db.add_key(b"one", b"two")
        assert generations(path, 2, SEALED) == [2, 0]
        with am.open(path, encryption_key=b"two") as db:
            commit_one(db)
        assert generations(path, 2, SEALED) == [2, 3]

    @pytest.mark.parametrize("count, written", [(2, [2, 0]), (3, [None, 1, 2])])
    def test_torn_first_commit(self, path, count, written):
        am.open(path, superblock_count=count).close()
        damage_slot(path, 0)  # as if the first commit tore slot 0
        with am.open(path) as db:
            h = commit_one(db, b"one")
        # With two slots the database stands on slot 1, the only valid one,
        # which generation 1 would overwrite: that generation is skipped.
        assert generations(path, count) == written
        with am.open(path) as db:
            assert db.read(h) == b"one"
        newest = written.index(max(g for g in written if g is not None))
        damage_slot(path, newest)
        with am.open(path) as db:
            assert db.handles() == []
            commit_one(db, b"again")

    def test_interrupted_first_commit_cannot_cost_the_last_superblock(self, path, tmp_path):
        am.open(path).close()
        damage_slot(path, 0)  # as if the first commit tore slot 0
        with am.open(path) as db:
            h1 = commit_one(db, b"one")
            h2 = commit_one(db, b"two")
        for slot in (0, 1):
            copy = str(tmp_path / f"copy{slot}.db")
            shutil.copy(path, copy)
            damage_slot(copy, slot)
            with am.open(copy) as db:
                assert db.read(h1) == b"one"
                assert db.handles() in ([h1], [h1, h2])

    def test_newest_damaged_slot_falls_back_one_commit(self, path):
        with am.open(path) as db:
            h1 = commit_one(db, b"first")
            h2 = commit_one(db, b"second")
        gens = generations(path, 2)
        damage_slot(path, gens.index(max(gens)))
        with am.open(path) as db:
            assert db.handles() == [h1]
            assert db.read(h1) == b"first"
            with pytest.raises(am.InvalidHandleError):
                db.read(h2)


class TestRollback:
    def test_file_cut_back_and_handles_reissued(self, path):
        with am.open(path) as db:
            commit_one(db)
            size = os.path.getsize(path)
            db.begin()
            handles = [db.allocate(os.urandom(3000)) for _ in range(50)]
            db.allocate(b"L" * 100_000)
            db.rollback()
            assert os.path.getsize(path) == size
            assert db.handles() == [1]
            db.begin()
            assert db.allocate(b"again") == handles[0]
            db.commit()

    def test_small_cache_spills_then_rolls_back(self, path):
        with am.open(path, cache_max_bytes=4 * PAGE) as db:
            db.begin()
            values = {db.allocate(os.urandom(5000)): None for _ in range(200)}
            assert len(values) == 200
            assert os.path.getsize(path + ".spillway") > 0
            db.rollback()
            assert os.path.getsize(path + ".spillway") == 0
            assert db.handles() == []

    def test_small_cache_commit_drains_the_spillway(self, path):
        values = [os.urandom(n) for n in (0, 1, 4000, 8162, 8163, 30000)] * 20
        with am.open(path, cache_max_bytes=4 * PAGE) as db:
            db.begin()
            handles = [db.allocate(v) for v in values]
            db.commit()
            assert os.path.getsize(path + ".spillway") == 0
        with am.open(path, cache_max_bytes=2 * PAGE) as db:
            assert [db.read(h) for h in handles] == values


class TestFailedOperations:
    def test_failed_allocation_releases_its_slot(self, path):
        # One page of cache and no spillway: the value fits in its data page,
        # but the first handle-table node cannot be made.
        with am.open(path, cache_max_bytes=PAGE, spillway_max_bytes=0) as db:
            db.begin()
            with pytest.raises(am.CacheFullError,
                               match="^page cache full: 1 dirty pages held; commit or roll back"):
                db.allocate(b"x")
            assert not db.is_poisoned
            assert db.handles() == []
            db.rollback()
        with am.open(path) as db:
            assert commit_one(db, b"y") == 1
            assert db.handles() == [1]

    def test_spillway_limit(self, path):
        with am.open(path, cache_max_bytes=2 * PAGE, spillway_max_bytes=PAGE) as db:
            db.begin()
            with pytest.raises(am.SpillwayFullError, match=f"^spillway full: {PAGE}-byte limit"):
                for _ in range(10):
                    db.allocate(os.urandom(8000))
            assert not db.is_poisoned
            kept = db.handles()
            db.commit()
            assert db.handles() == kept
        # The failed allocation gave back every page it had taken.
        assert_sound(path)

    def test_delete_many_stops_at_first_failure(self, path):
        with am.open(path) as db:
            db.begin()
            h1, h2, h3 = (db.allocate(b"a"), db.allocate(b"b"), db.allocate(b"c"))
            db.commit()
            db.begin()
            with pytest.raises(am.InvalidHandleError, match=f"^invalid handle: {h1}$"):
                db.delete_many([h1, h2, h1])
            assert db.handles() == [h3]
            db.commit()
            assert db.handles() == [h3]
            db.begin()
            db.delete_many([])
            db.rollback()

    def test_update_between_size_classes(self, path):
        sizes = [0, 8162, 8163, 16304, 16305, 10, 200_000, 1]
        with am.open(path) as db:
            db.begin()
            h = db.allocate(b"start")
            db.commit()
            for n in sizes:
                value = os.urandom(n)
                db.begin()
                db.update(h, value)
                assert db.read(h) == value
                db.commit()
                assert db.read(h) == value
            assert db.handles() == [h]
        # Replaced storage is recycled, so the file stays small.
        assert os.path.getsize(path) < 60 * PAGE
