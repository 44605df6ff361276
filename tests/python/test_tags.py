import pytest

from ambrik import _ambrik as am


MAP_TAG = 0xFFFFFFFF


def test_zero_and_key_map_tags_are_refused_before_anything_else():
    db = am.open()
    txn = db.transaction()
    db.close()
    for tag, text in ((0, "^tag must be non-zero$"),
                      (MAP_TAG, r"^tag must not be 0xFFFFFFFF \(reserved for key maps\)$"),
                      (MAP_TAG - 1, r"^tag must not be 0xFFFFFFFE \(reserved for pages kept for readers\)$")):
        for call in (lambda: db.allocate_tagged("not bytes", tag),
                     lambda: txn.allocate_tagged(None, tag), lambda: txn.delete_tagged("h", tag),
                     lambda: db.delete_with_tag(tag=tag, max=-1)):
            with pytest.raises(ValueError, match=text):
                call()
    with pytest.raises(ValueError, match="^tag must be non-zero$"):
        db.handles_with_tag(0)
    with pytest.raises(am.ClosedError):  # listing the key-map tag stays allowed
        db.handles_with_tag(MAP_TAG)


def test_tags_and_membership():
    db = am.open()
    with db.transaction() as txn:
        plain = txn.allocate(b"p")
        a, b, c = (txn.allocate_tagged(b"v", 7), txn.allocate_tagged(b"v", 9),
                   txn.allocate_tagged(value=b"v", tag=7))
        txn.update(a, b"a2")
    assert (db.tag(plain), db.tag(a), db.tag(b)) == (None, 7, 9)
    assert db.handles_with_tag(7) == [a, c] and db.handles_with_tag(5) == []
    db.begin()
    d = db.allocate_tagged(b"d", 7)
    db.delete(a)
    assert db.handles_with_tag(7) == [c, d]
    with pytest.raises(am.TagMismatchError) as info:
        db.delete_tagged(c, 5)
    assert str(info.value) == f"handle {c} has tag 7, not the expected 5"
    with pytest.raises(am.TagMismatchError, match=f"^handle {plain} has tag 0, not the expected"):
        db.delete_tagged(plain, 7)
    db.delete_tagged(c, 7)
    assert db.handles_with_tag(7) == [d]


def test_delete_with_tag_in_batches():
    db = am.open()
    db.begin()
    hs = [db.allocate_tagged(bytes([i]), 3) for i in range(6)]
    assert db.delete_with_tag(3, 0) == ([], False)
    assert db.delete_with_tag(3, 3) == (hs[:3], False)
    assert db.delete_with_tag(3, 3) == (hs[3:], True)
    assert am.Ambrik.delete_with_tag.__doc__ == "Returns (deleted: list[int], complete: bool)."
    assert am.Transaction.delete_with_tag.__doc__ is None
