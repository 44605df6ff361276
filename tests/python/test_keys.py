import pytest

from ambrik import _ambrik as am


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
        db.begin()
        with pytest.raises(am.TransactionInProgressError):
            db.add_key(b"third", b"fourth")
    assert [opens_with(path, k) for k in (b"first", b"second", b"third", b"fourth")] == [
        False, False, True, False]


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
