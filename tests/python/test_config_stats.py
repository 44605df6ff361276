import pytest

import ambrik
from ambrik import _ambrik as am


def test_settings_only_between_transactions():
    db = am.open()
    calls = [lambda: db.set_cache_max_bytes(0), lambda: db.set_spillway_max_bytes(bytes=1 << 40),
             lambda: db.set_drain_insertion(am.DrainInsertion.Mru)]
    db.begin()
    for call in calls:
        with pytest.raises(am.TransactionInProgressError, match="^configuration changes are only "
                           "allowed between transactions; commit or roll back first$"):
            call()
    db.commit()
    assert [call() for call in calls] == [None] * 3
    with pytest.raises(TypeError, match="'bytes'"):
        db.set_spillway_max_bytes(None)
    db.set_spillway_max_bytes(0)
    db.begin()
    with pytest.raises(am.CacheFullError):  # one page of cache and nowhere to spill
        db.allocate(bytes(40000))


def test_stats_and_counters(tmp_path):
    db = am.open(tmp_path / "s.db")
    assert db.stats() == ambrik.Stats(handle_count=0, total_pages=2, file_size_bytes=16384,
                                      spillway_logical_bytes=None, spillway_max_bytes=None)
    txn = db.transaction()
    txn.allocate(b"x")
    assert txn.stats().handle_count == 1
    before = txn.counters()
    txn.rollback()
    assert db.stats().handle_count == 0 and db.counters().fsync_calls == before.fsync_calls
    db.begin()
    db.commit()
    assert db.counters().fsync_calls == before.fsync_calls + 3
    db.set_cache_max_bytes(8192)
    with db.transaction() as txn:  # spills: one page of cache
        txn.allocate_tagged(bytes(20 * 5000), 1)
        during = txn.counters()
    after = db.counters()
    assert all(getattr(after, f) >= getattr(during, f) > 0 for f in after.__slots__)
    # The spillway limit was fixed at open from the cache size given then.
    assert db.stats().spillway_logical_bytes == 0
    assert db.stats().spillway_max_bytes == 8388608 * 1024


def test_records_are_built_outside_the_lock(monkeypatch):
    db = am.open()

    class Counters:
        def __init__(self, **fields):
            self.fields = fields
            self.handles = db.handles()  # the database lock is not re-entrant

    monkeypatch.setattr(ambrik, "Counters", Counters)
    assert list(db.counters().fields) == ["cache_hits", "cache_misses", "pages_allocated",
                                          "fsync_calls"]


def test_poisoned(tmp_path):
    path = tmp_path / "p.db"
    marker = bytes(range(256)) * 64
    with am.open(path) as db, db.transaction() as txn:
        h = txn.allocate(marker)
    data = bytearray(path.read_bytes())
    data[data.find(marker[:1024]) + 100] ^= 0xFF
    path.write_bytes(bytes(data))
    db = am.open(path)
    with pytest.raises(am.FatalError):
        db.read(h)
    for call in (db.stats, db.counters, lambda: db.set_cache_max_bytes(1)):
        with pytest.raises(am.PoisonedError):
            call()
