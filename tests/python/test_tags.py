import pytest

from ambrik import _ambrik as am


MAP_TAG = 0xFFFFFFFF


def test_zero_and_key_map_tags_are_refused_before_anything_else():
    db = am.open()
    txn = db.transaction()
    db.close()
    refused = {0: "^tag must be non-zero$",
               MAP_TAG: r"^tag must not be 0xFFFFFFFF \(reserved for key maps\)$"}
    for tag, text in refused.items():
        calls = [lambda: db.allocate_tagged("not bytes", tag),
                 lambda: txn.allocate_tagged(value=None, tag=tag),
                 lambda: db.delete_tagged("h", tag), lambda: txn.delete_tagged("h", tag),
                 lambda: db.delete_with_tag(tag=tag, max=-1),
                 lambda: txn.delete_with_tag(tag, None)]
        if tag == 0:
            calls.append(lambda: db.handles_with_tag(0))
        for call in calls:
            with pytest.raises(ValueError, match=text):
                call()


def test_key_maps_are_out_of_reach_of_the_tag_calls():
    db = am.open()
    m = db.keymap("m")
    with db.transaction() as txn:
        m.update((b"%04d" % i, b"v" * 50) for i in range(200))
        nodes = txn.handles_with_tag(MAP_TAG)  # listing stays allowed
        assert m.handle(b"0000") not in nodes and len(nodes) > 2
        for owner in (db, txn):
            for call in (lambda: owner.delete_with_tag(MAP_TAG, 1000),
                         lambda: owner.delete_tagged(nodes[0], MAP_TAG),
                         lambda: owner.allocate_tagged(b"stray", MAP_TAG)):
                with pytest.raises(ValueError, match="reserved for key maps"):
                    call()
        assert db.handles_with_tag(MAP_TAG) == nodes
    assert len(m) == 200 and m[b"0199"] == b"v" * 50


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
