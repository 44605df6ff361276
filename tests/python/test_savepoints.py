import pytest

from ambrik import _ambrik as am

FINISHED = r"^savepoint already finished \(released or rolled back\)$"


def test_nesting():
    txn = am.open().transaction()
    outer = txn.savepoint("outer")
    a = txn.allocate(b"a")
    inner = txn.savepoint(name="inner")
    assert repr(inner) == "<ambrik.Savepoint 'inner' active>"
    txn.allocate(b"b")
    inner.rollback_to()
    assert txn.handles() == [a] and inner.name == "inner"
    assert repr(inner) == "<ambrik.Savepoint 'inner' finished>"
    with pytest.raises(am.AlreadyFinishedError, match=FINISHED):
        inner.rollback_to()
    # Rolling back leaves the engine's savepoint open.
    with pytest.raises(am.DuplicateSavepointError, match="^duplicate savepoint: inner$"):
        txn.savepoint("inner")
    again = txn.savepoint("again")
    outer.release()  # releases the newer ones too
    with pytest.raises(am.SavepointNotFoundError, match="^savepoint not found: again$"):
        again.release()
    with pytest.raises(am.AlreadyFinishedError):  # finished although the engine refused
        again.rollback_to()
    txn.commit()
    assert txn.handles() == [a]


def test_with_block_and_check_order():
    db = am.open()
    txn = db.transaction()
    with txn.savepoint("kept") as kept:
        h = txn.allocate(b"k")
    assert kept.__exit__(None, None, None) is False
    with pytest.raises(KeyError, match="inner"):
        with txn.savepoint("undone") as undone:
            txn.allocate(b"u")
            raise KeyError("inner")
    assert txn.handles() == [h]
    open_one = txn.savepoint("a")
    txn.rollback()
    with pytest.raises(am.NoActiveTransactionError):
        txn.savepoint("b")
    db.close()
    with pytest.raises(am.AlreadyFinishedError, match=FINISHED):
        undone.release()
    with pytest.raises(am.ClosedError):
        open_one.release()
