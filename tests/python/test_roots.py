import pytest

from ambrik import _ambrik as am


def root_slots(path):
    """Names in the 8 root slots of the newest superblock (plaintext file)."""
    data = path.read_bytes()
    sb = max((0, 8192), key=lambda at: int.from_bytes(data[at + 8:at + 16], "little"))
    return [data[sb + 52 + i * 32:sb + 76 + i * 32].rstrip(b"\0").decode() for i in range(8)]


def test_name_rules():
    with am.open() as db, db.transaction() as txn:
        for ok in ("a" * 24, "\u20ac" * 8):
            txn.set_root_name(ok, 1)
        for bad in ("a" * 25, "\u20ac" * 9, "", "a\0b"):
            with pytest.raises(am.InvalidRootNameError, match=r"^invalid named-root name \(empty"):
                txn.get_root_name(bad)
        with pytest.raises(TypeError, match="'name'"):
            txn.set_root_name(b"a", 1)
        with pytest.raises(UnicodeEncodeError):
            txn.clear_root_name("\ud800")


def test_table_fills_reuses_slots_and_persists(tmp_path):
    path = tmp_path / "r.db"
    with am.open(path) as db, db.transaction() as txn:
        for i in range(8):
            txn.set_root_name(f"n{i}", 100 + i)
        with pytest.raises(am.RootNameTableFullError,
                           match=r"^named-root table is full \(all slots are in use\)$"):
            txn.set_root_name("extra", 1)
        txn.set_root_name("n3", 999)
        txn.clear_root_name("n2")
        txn.clear_root_name("never-set")
        txn.set_root_name("extra", 7)
    assert root_slots(path) == ["n0", "n1", "extra", "n3", "n4", "n5", "n6", "n7"]
    with am.open(path) as db:
        assert [db.get_root_name(n) for n in ("n2", "n3", "extra")] == [None, 999, 7]


def test_client_byte():
    db = am.open()
    with db.transaction() as txn:
        h = txn.allocate(b"value")
        assert txn.client_byte(h) == 0
        txn.set_client_byte(h, 255)
        with pytest.raises(OverflowError, match="'byte'"):
            txn.set_client_byte(h, 256)
    db.begin()
    db.update(h, b"new")
    db.set_client_byte(handle=h, byte=9)
    assert db.client_byte(h) == 9
    db.rollback()
    assert db.client_byte(h) == 255 and db.read(h) == b"value"
