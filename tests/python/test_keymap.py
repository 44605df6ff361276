"""KeyMap against a dict: random writes and range reads through savepoint
returns, rollbacks and reopening, plus argument checks and damaged nodes."""

import json
import random
from collections.abc import MutableMapping

import pytest

import ambrik
from ambrik import _tools

MAP_TAG = 0xFFFFFFFF


def ranged(model, start, stop, reverse):
    keys = sorted(k for k in model if (start is None or k >= start) and (stop is None or k < stop))
    return [(k, model[k]) for k in (reversed(keys) if reverse else keys)]


def agree(m, model, rng):
    assert len(m) == len(model)
    assert list(m) == sorted(model)
    keys, items = m.keys(), m.items()
    assert keys == model.keys() and items == model.items() and len(keys) == len(items) == len(m)
    assert list(keys) == list(keys) == sorted(model)  # each iteration is a new scan
    assert list(m.values()) == [model[k] for k in sorted(model)]
    probe = rng.choice([*model, b"absent"])
    assert (probe in keys, (probe, model.get(probe)) in items) == ((probe in model,) * 2)
    for _ in range(4):
        a, b = sorted(rng.choice([None, bytes([rng.randrange(97, 101)])]) or b"a" for _ in range(2))
        start, stop = rng.choice([(a, b), (None, b), (a, None), (None, None)])
        reverse = rng.random() < 0.5
        assert list(m.items(start, stop, reverse=reverse)) == ranged(model, start, stop, reverse)
    for k in rng.sample(sorted(model), min(5, len(model))):
        assert m[k] == model[k] and k in m and m.handle(k) is not None
    ends = [(k, model[k]) for k in (min(model), max(model))] if model else [None, None]
    assert [m.first(), m.last()] == ends
    for prefix in [b"a", b"ab", b"ca", b"d\xff", rng.choice([*model, b"x"])[:3]]:
        start = rng.choice([None, b"ab", b"b"])
        want = [kv for kv in ranged(model, start, None, False) if kv[0].startswith(prefix)]
        reverse = rng.random() < 0.5
        got = list(m.items(start, prefix=prefix, reverse=reverse))
        assert got == (want[::-1] if reverse else want)


def test_model_against_a_dict(tmp_path):
    rng = random.Random(21)
    path = tmp_path / "map.ambrik"
    model = {}
    db = ambrik.open(path, cache_max_bytes=1 << 20)

    def random_key():
        return bytes(rng.randrange(97, 101) for _ in range(rng.choice([1, 3, 6, 12, 40, 900])))

    def mutate(m, shadow, n):
        for _ in range(n):
            k = random_key()
            if rng.random() < 0.03:
                a, b = sorted(random_key()[:2] for _ in range(2))
                doomed = [k for k in shadow if a <= k < b]
                assert m.delete_range(a, b) == len(doomed)
                for k in doomed:
                    del shadow[k]
            elif rng.random() < 0.3 and shadow:
                k = rng.choice(sorted(shadow))
                if rng.random() < 0.5:
                    assert m.pop(k) == shadow.pop(k)
                else:
                    del m[k]
                    del shadow[k]
            else:
                v = bytes(rng.randrange(256) for _ in range(rng.choice([0, 5, 100, 9000])))
                m[k] = v
                shadow[k] = v

    for round_ in range(12):
        m = db.keymap("idx")
        with db.transaction() as t:
            tm = t.keymap("idx")
            shadow = dict(model)
            mutate(tm, shadow, 150)
            sp = t.savepoint("a")
            before = dict(shadow)
            mutate(tm, shadow, 80)
            agree(tm, shadow, rng)
            if rng.random() < 0.5:
                sp.rollback_to()
                shadow = before
            else:
                sp.release()
            agree(tm, shadow, rng)
            if round_ % 3 == 2:
                t.rollback()
            else:
                model = shadow
        agree(m, model, rng)
        snapshot = db.snapshot()
        agree(snapshot.keymap("idx"), model, rng)
        snapshot.close()
        if round_ % 4 == 3:
            db.close()
            db = ambrik.open(path, cache_max_bytes=1 << 20)
            agree(db.keymap("idx"), model, rng)
    assert db.handles_with_tag(MAP_TAG)
    db.close()
    report = json.loads(_tools.check(path))
    assert report["problems"] == 0, report["findings"]
    assert report["named_roots"][0]["key_map"]["keys"] == len(model)


def test_arguments_transactions_and_iterators(tmp_path):
    db = ambrik.open()
    m = db.keymap("idx")
    assert isinstance(m, MutableMapping)
    assert len(m) == 0 and list(m) == [] and m.get(b"k") is None and m.handle(b"k") is None
    with pytest.raises(ambrik.NoActiveTransactionError):
        m[b"k"] = b"v"
    assert db.get_root_name("idx") is None  # a failed first write binds nothing
    for bad, exc in [("text", TypeError), (5, TypeError), (b"", ValueError),
                     (b"x" * 1025, ValueError)]:
        with pytest.raises(exc):
            m.get(bad)
        with pytest.raises(exc):
            m.items(start=bad)
    with pytest.raises(ambrik.InvalidRootNameError):
        db.keymap("")
    with db.transaction():
        m[b"x" * 1024] = b"big key"
        m[bytearray(b"k")] = memoryview(b"v1")
        h = m.handle(b"k")
        m[b"k"] = b"v2"
        assert m.handle(b"k") == h  # same handle, new value
        assert (m[memoryview(b"xk")[1:]], m.handle(bytearray(b"k"))) == (b"v2", h)
        with pytest.raises(KeyError):
            del m[b"absent"]
        assert m.pop(b"absent", b"d") == b"d"
        keys, values, items = m.keys(), m.values(), m.items()
        it = iter(keys)
        assert next(it) == b"k"
        m[b"k"] = b"v3"  # an overwrite leaves the keys as they were
        assert next(it) == b"x" * 1024
        it = iter(items)
        next(it)
        m[b"new"] = b""
        with pytest.raises(RuntimeError, match="changed during iteration"):
            next(it)
        # The views follow the map, as a dict's do.
        assert len(keys) == 3 and b"new" in keys and (b"k", b"v3") in items
        assert keys & {b"k", b"zz"} == {b"k"} and keys - {b"k"} == {b"new", b"x" * 1024}
        assert (b"k", b"v2") not in items and b"k" not in items and b"v3" in values
        assert list(reversed(keys)) == [b"x" * 1024, b"new", b"k"]
        assert list(reversed(items))[0] == (b"x" * 1024, b"big key")
        assert next(m.keys(b"n")) == b"new"  # with arguments: the lazy iterator
    # Outside the transaction: the last commit.
    assert dict(m.items()) == {b"k": b"v3", b"new": b"", b"x" * 1024: b"big key"}
    with pytest.raises(ambrik.NoActiveTransactionError):
        m.delete_range()
    db.begin()
    del m[b"new"]
    assert b"new" not in m
    db.rollback()
    assert b"new" in m
    # The rest of the mutable-mapping methods, as a dict behaves.
    with db.transaction():
        assert m.setdefault(b"k", b"other") == b"v3" and m.setdefault(b"s", b"1") == b"1"
        m.update({b"u": b"1"})
        m.update([(b"v", b"2")])
        with pytest.raises(TypeError):
            m.update(k=b"v")
        assert m == {b"k": b"v3", b"new": b"", b"s": b"1", b"u": b"1", b"v": b"2",
                     b"x" * 1024: b"big key"}
        assert m != {b"k": b"v3"} and m != [b"k"]
        assert m.popitem() == (b"k", b"v3")
        assert m.delete_range(b"u", b"v") == 1 and m.delete_range(stop=b"o") == 1
        assert m.delete_range(b"t") == 2 and len(m) == 1 and m.delete_range() == 1
        m.update({b"k": b"1", b"l": b"2"})
        with pytest.raises(TypeError):
            m.delete_range(b"a", b"b", b"c")
        m.clear()
        assert len(m) == 0 and m.first() is None and m.last() is None
        with pytest.raises(KeyError):
            m.popitem()
    db.close()
    with pytest.raises(ambrik.ClosedError):
        len(m)


def test_damaged_nodes_are_reported_not_followed(tmp_path):
    path = tmp_path / "damaged.ambrik"
    with ambrik.open(path) as db:
        with db.transaction() as t:
            m = t.keymap("idx")
            for i in range(2000):
                m[b"key%05d" % i] = b"value"
        nodes = db.handles_with_tag(MAP_TAG)
        assert len(nodes) > 3  # header, root and leaves
        for damage in [b"", b"AKMN" + bytes(60), bytes(4000)]:
            with db.transaction() as t:
                victim = nodes[len(nodes) // 2]
                good = t.read(victim)
                t.update(victim, damage)
            fresh = db.keymap("idx")
            with pytest.raises(ambrik.CorruptKeyMapError, match="corrupt key map structure"):
                list(fresh.items())
            assert not db.is_poisoned
            db.close()
            report = json.loads(_tools.check(path))
            assert report["problems"] >= 1
            assert any(f"key map 'idx': key map node {victim} " in f["text"]
                       for f in report["findings"]), report["findings"]
            db = ambrik.open(path)
            with db.transaction() as t:
                t.update(victim, good)
            assert len(list(db.keymap("idx"))) == 2000
        db.close()
        report = json.loads(_tools.check(path))
        assert (report["problems"], report["warnings"]) == (0, 0)
        assert report["named_roots"][0]["key_map"]["keys"] == 2000
        db = ambrik.open(path)
        # Values with the map's tag that no map reaches are left-over weight:
        # the header and only node of a map whose name was cleared.
        with db.transaction() as t:
            t.keymap("gone")[b"k"] = b"v"
            stray = t.get_root_name("gone")
            t.clear_root_name("gone")
        db.close()
        report = json.loads(_tools.check(path))
        assert (report["problems"], report["warnings"]) == (0, 2)
        assert any(f"value {stray} carries the key-map tag" in f["text"]
                   for f in report["findings"]), report["findings"]
        db = ambrik.open(path)
        # A named root that holds some other value is no map: the caller's
        # mistake, not damage.
        with db.transaction() as t:
            t.set_root_name("other", t.allocate(b"plain"))
        with pytest.raises(ambrik.NotAKeyMapError, match="named root other is bound to handle"):
            db.keymap("other")
        assert not db.is_poisoned
