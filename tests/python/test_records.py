import dataclasses

import pytest

import ambrik
from ambrik import _ambrik

RECORDS = {
    ambrik.Stats: ["handle_count", "total_pages", "file_size_bytes",
                   "spillway_logical_bytes", "spillway_max_bytes"],
    ambrik.Counters: ["cache_hits", "cache_misses", "pages_allocated", "fsync_calls"],
    ambrik.DefragStats: ["pages_examined", "pages_freed", "values_moved"],
}


def test_package_reexports_native_module():
    for name in dir(_ambrik):
        if not name.startswith("_"):
            assert (getattr(ambrik, name) is getattr(_ambrik, name)) == (name != "open")
            assert (name in ambrik.__all__) == (name != "open")
    assert ambrik.__version__ == "1.0.0"


@pytest.mark.parametrize("cls", RECORDS)
def test_records_take_exactly_their_keywords(cls):
    fields = RECORDS[cls]
    kwargs = {name: i for i, name in enumerate(fields)}
    rec = cls(**kwargs)
    assert [f.name for f in dataclasses.fields(rec)] == fields
    assert dataclasses.asdict(rec) == kwargs
    assert rec == cls(**kwargs)
    with pytest.raises(TypeError):
        cls(**kwargs, bogus=1)
    with pytest.raises(TypeError):
        cls(**{k: v for k, v in kwargs.items() if k != fields[0]})
    with pytest.raises(TypeError):
        cls(*kwargs.values())
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(rec, fields[0], 99)
    assert not hasattr(rec, "__dict__")


def test_stats_spillway_fields_may_be_none():
    s = ambrik.Stats(handle_count=0, total_pages=2, file_size_bytes=16384,
                     spillway_logical_bytes=None, spillway_max_bytes=None)
    assert s.spillway_max_bytes is None


def test_defrag_options_defaults():
    opts = ambrik.DefragOptions()
    assert opts.sparse_threshold == 0.25 and opts.max_values == 0
    assert ambrik.DefragOptions(max_values=5).max_values == 5
