from types import SimpleNamespace as Options

import pytest

import ambrik
from ambrik import _ambrik as am


def sparse_pages(db, pages, live):
    """Commits `pages` data pages of 8 small values with `live` of them left on each."""
    kept = []
    for _ in range(pages):
        # A rollback forgets the last commit's tail page, which the next
        # small value would otherwise join.
        db.begin()
        db.rollback()
        with db.transaction() as txn:
            hs = [txn.allocate_tagged(b"v%d" % i, 5) for i in range(8)]
        with db.transaction() as txn:
            txn.delete_many(hs[live:])
        kept += hs[:live]
    return kept


def test_moves_values_off_sparse_pages():
    db = am.open()
    with pytest.raises(am.NoActiveTransactionError):
        db.defrag()
    with db.transaction() as txn:  # no handle table yet
        assert txn.defrag() == ambrik.DefragStats(pages_examined=0, pages_freed=0, values_moved=0)
    (h,) = sparse_pages(db, 1, 1)
    sparse_pages(db, 1, 2)  # 2 of 8 live is not below the threshold
    with db.transaction() as txn:
        txn.set_client_byte(h, 42)
        assert txn.defrag() == ambrik.DefragStats(pages_examined=1, pages_freed=1, values_moved=1)
    assert (db.read(h), db.tag(h), db.client_byte(h)) == (b"v0", 5, 42)


def test_options():
    db = am.open()
    sparse_pages(db, 3, 1)
    db.begin()
    assert db.defrag(Options(sparse_threshold=0, max_values=0)).values_moved == 0
    assert db.defrag(options=Options(sparse_threshold=0.5, max_values=1)) == ambrik.DefragStats(
        pages_examined=1, pages_freed=1, values_moved=1)
    assert db.defrag(ambrik.DefragOptions(max_values=0)).values_moved == 2
    db.close()
    with pytest.raises(AttributeError, match="max_values"):  # read before the closed check
        db.defrag(Options(sparse_threshold=0.25))


def test_moves_survive_a_missing_record_class(monkeypatch):
    db = am.open()
    (h,) = sparse_pages(db, 1, 1)
    db.begin()
    with monkeypatch.context() as patch:
        patch.delattr(ambrik, "DefragStats")
        with pytest.raises(AttributeError):
            db.defrag()
    assert db.defrag().values_moved == 0  # the first call's move stands
    db.commit()
    assert db.read(h) == b"v0"
