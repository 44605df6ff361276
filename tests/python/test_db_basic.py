import errno
import gc
import inspect
import re
import warnings

import pytest

from ambrik import _ambrik

CLOSED = "database handle has been closed"
TXN_FINISHED = "transaction already finished (committed or rolled back)"


@pytest.fixture
def path(tmp_path):
    return tmp_path / "test.db"


def committed(path, *values):
    with _ambrik.open(path) as db, db.transaction() as txn:
        return [txn.allocate(v) for v in values]


def test_open_without_path_is_in_memory():
    db = _ambrik.open()
    assert type(db) is _ambrik.Ambrik and not db.is_poisoned
    db.begin()
    h = db.allocate(b"x")
    db.commit()
    assert db.read(h) == b"x" and db.handles() == [h]
    db.close()


def test_committed_values_survive_reopen(path):
    h1, h2 = committed(path, b"one", b"")
    with _ambrik.open(str(path)) as db:
        assert db.read(h1) == b"one" and db.read(h2) == b""
        assert db.handles() == [h1, h2]


def test_close_and_closed_database(path):
    db = _ambrik.open(path)
    assert db.close() is None
    assert db.close() is None
    assert db.is_poisoned is True
    assert db.__enter__() is db
    assert db.__exit__(None, None, None) is False
    calls = [db.begin, db.commit, db.rollback, db.transaction, db.handles,
             lambda: db.allocate(b"x"), lambda: db.read(1), lambda: db.update(1, b"x"),
             lambda: db.delete(1), lambda: db.delete_many([1])]
    for call in calls:
        with pytest.raises(_ambrik.ClosedError) as info:
            call()
        assert str(info.value) == CLOSED
    # Closing released the file lock.
    _ambrik.open(path).close()


def test_with_block_discards_uncommitted_work(path):
    committed(path, b"keep")
    with _ambrik.open(path) as db:
        db.begin()
        db.allocate(b"lost")
    with pytest.raises(RuntimeError):
        with _ambrik.open(path) as db:
            raise RuntimeError
    assert db.is_poisoned
    with _ambrik.open(path) as db:
        assert [db.read(h) for h in db.handles()] == [b"keep"]


def test_deallocation_closes(path):
    db = _ambrik.open(path)
    shown = re.escape(f"unclosed database <ambrik.Ambrik path={str(path)!r} open>")
    with pytest.warns(ResourceWarning, match=f"^{shown}$"):
        del db
        gc.collect()
    # The file lock went with the engine object.
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)  # none for a closed one
        db = _ambrik.open(path)
        db.close()
        del db


def test_transaction_state_errors():
    db = _ambrik.open()
    with pytest.raises(_ambrik.NoActiveTransactionError, match="^no active transaction$"):
        db.allocate(b"x")
    with pytest.raises(_ambrik.NoActiveTransactionError):
        db.commit()
    db.begin()
    with pytest.raises(_ambrik.TransactionAlreadyActiveError, match="^transaction already active$"):
        db.begin()
    with pytest.raises(_ambrik.TransactionAlreadyActiveError):
        db.transaction()
    with pytest.raises(_ambrik.InvalidHandleError) as info:
        db.read(99)
    assert str(info.value) == "invalid handle: 99"
    released = memoryview(b"value")
    released.release()
    with pytest.raises(ValueError, match="released memoryview"):  # Python's own error
        db.allocate(released)
    db.rollback()
    assert not db.is_poisoned  # refusals never poison


def test_value_operations_and_rollback():
    db = _ambrik.open()
    db.begin()
    a, b, c = (db.allocate(v) for v in (b"a", b"b", b"c"))
    db.commit()
    db.begin()
    db.update(a, b"A" * 10000)
    db.delete(b)
    db.delete_many([c])
    assert db.handles() == [a] and db.read(a) == b"A" * 10000
    db.rollback()
    assert db.handles() == [a, b, c] and db.read(a) == b"a"
    db.begin()
    db.update(handle=a, value=b"new")
    db.commit()
    assert db.read(handle=a) == b"new"
    assert isinstance(a, int)


def test_transaction_object_commits_and_rolls_back(path):
    with _ambrik.open(path) as db:
        with db.transaction() as txn:
            assert type(txn) is _ambrik.Transaction
            h = txn.allocate(b"kept")
            assert txn.read(h) == b"kept" and txn.handles() == [h]
        boom = ValueError("boom")
        with pytest.raises(ValueError) as info:
            with db.transaction() as txn:
                txn.update(h, b"changed")
                txn.allocate(b"dropped")
                raise boom
        assert info.value is boom
        assert db.handles() == [h]
    with _ambrik.open(path) as db:
        assert db.read(h) == b"kept"


def test_transaction_finishes_once():
    db = _ambrik.open()
    with db.transaction() as txn:
        assert repr(txn) == "<ambrik.Transaction active>"
        h = txn.allocate(b"x")
        txn.commit()
        assert repr(txn) == "<ambrik.Transaction finished>"
        assert txn.__exit__(None, None, None) is False
    assert db.read(h) == b"x"
    for call in (txn.commit, txn.rollback):
        with pytest.raises(_ambrik.AlreadyFinishedError) as info:
            call()
        assert str(info.value) == TXN_FINISHED
    # Forwarding ignores the finished flag and uses the database's state.
    with pytest.raises(_ambrik.NoActiveTransactionError):
        txn.allocate(b"y")
    db.begin()
    h2 = txn.allocate(b"y")
    txn.delete_many([h])
    db.commit()
    assert db.handles() == [h2]
    # The finished check comes before the closed check.
    db.close()
    with pytest.raises(_ambrik.AlreadyFinishedError):
        txn.rollback()
    with pytest.raises(_ambrik.ClosedError):
        txn.read(h2)


def test_transaction_keeps_database_alive():
    txn = _ambrik.open().transaction()
    h = txn.allocate(b"x")
    gc.collect()
    txn.commit()
    assert txn.read(h) == b"x"
    with pytest.raises(TypeError):
        _ambrik.Transaction()


def test_exit_error_replaces_block_exception():
    db = _ambrik.open()
    txn = db.transaction()
    db.rollback()
    with pytest.raises(_ambrik.NoActiveTransactionError) as info:
        with txn:
            raise KeyError("inner")
    assert isinstance(info.value.__context__, KeyError)


def test_signatures():
    assert _ambrik.open.__text_signature__ == (
        "(path=None, *, cache_max_bytes=8388608, spillway_max_bytes=None, drain_insertion=..., "
        "create_if_missing=True, read_only=False, superblock_count=2, encryption_key=None, "
        "lock_timeout=0.0, shared=False, durability='full')")
    assert str(inspect.signature(_ambrik.Ambrik.update)) == "(self, /, handle, value)"
    assert str(inspect.signature(_ambrik.Ambrik.__exit__)) == "(self, /, _exc_type, _exc, _tb)"
    assert str(inspect.signature(_ambrik.Transaction.__exit__)) == "(self, /, exc_type, _exc, _tb)"
    assert _ambrik.Ambrik.__module__ == "ambrik._ambrik"
    with pytest.raises(TypeError):
        _ambrik.Ambrik()


# --- engine errors reaching Python -------------------------------------------

def test_open_errors(path, tmp_path):
    # The path is a note, shown in tracebacks; the message stays the same.
    with pytest.raises(_ambrik.DatabaseFileNotFoundError) as info:
        _ambrik.open(path, create_if_missing=False)
    assert str(info.value) == "database file not found"
    assert info.value.__notes__ == [f"while opening {str(path)!r}"]
    for count in (1, 17):
        with pytest.raises(_ambrik.InvalidSuperblockCountError) as info:
            _ambrik.open(path, superblock_count=count)
        assert str(info.value) == f"invalid superblock_count {count}; must be in 2..=16"
    with _ambrik.open(path):
        with pytest.raises(_ambrik.LockFailedError):
            _ambrik.open(path)


def test_io_error_carries_errno_and_kind(tmp_path):
    with pytest.raises(OSError) as info:
        _ambrik.open(tmp_path)
    exc = info.value
    assert isinstance(exc, _ambrik.IoError) and isinstance(exc, _ambrik.FatalError)
    assert exc.errno == errno.EISDIR and exc.kind == "IsADirectory"
    assert exc.filename == str(tmp_path) and exc.__notes__ == [f"while opening {str(tmp_path)!r}"]
    assert str(exc).startswith(f"[Errno {errno.EISDIR}] I/O error: ")
    assert str(exc).endswith(f" (os error {errno.EISDIR})")


def test_io_error_class_is_shared_across_initialisations(tmp_path, second_instance):
    with pytest.raises(_ambrik.IoError):
        second_instance.open(tmp_path)
    second_instance.open(drain_insertion=_ambrik.DrainInsertion.Mru).close()
    _ambrik.open(drain_insertion=second_instance.DrainInsertion.LruTail).close()


def test_fatal_error_poisons(path):
    marker = bytes(range(256)) * 64  # spans several overflow pages
    (h,) = committed(path, marker)
    data = bytearray(path.read_bytes())
    at = data.find(marker[:1024])
    assert at > 0
    data[at + 100] ^= 0xFF
    path.write_bytes(bytes(data))

    db = _ambrik.open(path)
    with pytest.raises(_ambrik.FatalError) as info:
        db.read(h)
    assert not isinstance(info.value, _ambrik.OperationalError)
    assert db.is_poisoned
    with pytest.raises(_ambrik.PoisonedError) as info:
        db.handles()
    assert str(info.value) == (
        "database handle is poisoned after a previous fatal error; drop and reopen")
    db.close()
    assert db.is_poisoned
