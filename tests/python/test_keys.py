import struct

import pytest
import xxhash

from ambrik import _ambrik as am

PAGE = 8192
SEALED = 8232


@pytest.fixture
def path(tmp_path):
    with am.open(tmp_path / "k.db", encryption_key=b"first") as db, db.transaction() as txn:
        txn.allocate(b"secret")
    return tmp_path / "k.db"


def opens_with(path, key):
    try:
        with am.open(path, encryption_key=key) as db:
            return db.read(1) == b"secret"
    except am.InvalidEncryptionKeyError:
        return False


def test_add_remove_rotate(path):
    with am.open(path, encryption_key=b"first") as db:
        with pytest.raises(am.LastKeySlotError, match="^refusing to remove the last active key"):
            db.remove_key(b"first")
        db.add_key(b"first", new=b"second")
        db.remove_key(key=b"first")
        db.rotate_key(b"second", b"third")
        with pytest.raises(am.InvalidEncryptionKeyError):
            db.add_key(b"second", b"x")
        with pytest.raises(TypeError, match=r"^key must be bytes \(raw\) or str \(passphrase\)$"):
            db.rotate_key(b"third", bytearray(b"x"))
    assert [opens_with(path, k) for k in (b"first", b"second", b"third", b"fourth")] == [
        False, False, True, False]


@pytest.mark.parametrize("moment", ["transaction", "read_only"])
def test_refusals_judge_the_keys_first(path, moment):
    # A wrong key, an underivable new key and the last slot say so at any
    # moment; only a change that would be made learns the moment is wrong.
    now = am.TransactionInProgressError if moment == "transaction" else am.ReadOnlyModeError
    wrong, last = am.InvalidEncryptionKeyError, am.LastKeySlotError
    cases = [("add_key", b"wrong", b"new", wrong), ("add_key", b"first", b"", wrong),
             ("rotate_key", b"wrong", b"new", wrong), ("rotate_key", b"first", "", wrong),
             ("remove_key", b"wrong", wrong), ("remove_key", b"first", last),
             ("add_key", b"first", b"new", now), ("rotate_key", b"first", "new", now)]
    with am.open(path, encryption_key=b"first", read_only=moment == "read_only") as db:
        if moment == "transaction":
            db.begin()
        for method, *keys, kind in cases:
            with pytest.raises(kind) as raised:
                getattr(db, method)(*keys)
            assert type(raised.value) is kind and not db.is_poisoned, (method, keys)
        assert db.read(1) == b"secret"
    assert not opens_with(path, b"new") and not opens_with(path, "new")


def test_eight_slots(path):
    with am.open(path, encryption_key=b"first") as db:
        for i in range(7):
            db.add_key(b"first", b"k%d" % i)
        with pytest.raises(am.NoFreeKeySlotError, match="^no free key slot: all 8 key slots"):
            db.add_key(b"first", b"ninth")
        with pytest.raises(am.NoFreeKeySlotError):  # although it would free one
            db.rotate_key(b"k6", b"ninth")
        db.remove_key(b"k3")
        db.add_key(b"k6", "a passphrase")
    assert opens_with(path, "a passphrase")


def test_plaintext_database(tmp_path):
    with am.open(tmp_path / "plain.db") as db, pytest.raises(am.EncryptionNotSupportedError):
        db.add_key(b"a", b"b")


def test_empty_key_creates_nothing(tmp_path):
    # An empty key cannot wrap a data key: creating fails and leaves no file;
    # an existing empty file stays as it was, a plaintext database still
    # refuses a key as before.
    for key in (b"", ""):
        target = tmp_path / "new.db"
        with pytest.raises(am.InvalidEncryptionKeyError):
            am.open(target, encryption_key=key)
        assert not target.exists()
    empty = tmp_path / "empty.db"
    empty.write_bytes(b"")
    with pytest.raises(am.InvalidEncryptionKeyError):
        am.open(empty, encryption_key=b"")
    assert empty.read_bytes() == b""
    am.open(tmp_path / "plain.db").close()
    with pytest.raises(am.EncryptionNotSupportedError):
        am.open(tmp_path / "plain.db", encryption_key=b"")


def put_foreign_slot(path, index, kind, costs):
    """Writes an active key slot that this build cannot unlock into every
    superblock, as a newer build (or damage) might."""
    data = bytearray(path.read_bytes())
    for unit in range(2):
        page = unit * SEALED
        slot = page + 332 + 128 * index
        data[slot:slot + 128] = struct.pack("<BBIII", 1, kind, *costs) + bytes(range(1, 115))
        data[page + 8184:page + 8192] = struct.pack(
            "<Q", xxhash.xxh3_64_intdigest(bytes(data[page:page + 8184])))
    path.write_bytes(bytes(data))
    return bytes(data[332 + 128 * index:332 + 128 * (index + 1)])


@pytest.mark.parametrize("kind, costs", [(9, (0, 0, 0)), (2, (0xFFFFFFFF, 2, 1))])
def test_slots_this_build_cannot_unlock_do_not_count(path, kind, costs):
    foreign = put_foreign_slot(path, 1, kind, costs)
    with am.open(path, encryption_key=b"first") as db:
        with pytest.raises(am.LastKeySlotError):
            db.remove_key(b"first")
        db.add_key(b"first", b"second")  # into slot 2: slot 1 is taken
        db.remove_key(b"first")
        with pytest.raises(am.LastKeySlotError):
            db.remove_key(b"second")
    assert opens_with(path, b"second")
    data = path.read_bytes()
    newest = max(range(2), key=lambda u: struct.unpack_from("<Q", data, u * SEALED + 8)[0])
    slots = data[newest * SEALED + 332:newest * SEALED + 332 + 1024]
    assert slots[128:256] == foreign  # left as it was
    assert slots[0] == 0 and slots[256] == 1
