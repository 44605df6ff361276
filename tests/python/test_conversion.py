import array
import ctypes

import pytest

from ambrik import _ambrik

np = pytest.importorskip("numpy")

BUFFER_PROTOCOL = "values must be bytes-like (implement the buffer protocol)"
GOT_STR = "values must be bytes-like; got str \u2014 encode first, e.g. s.encode('utf-8')"


@pytest.fixture
def db():
    db = _ambrik.open()
    db.begin()
    yield db
    db.close()


@pytest.fixture
def closed_db():
    db = _ambrik.open()
    db.close()
    return db


def roundtrip(db, value):
    return db.read(db.allocate(value))


@pytest.mark.parametrize("value, stored", [
    (b"", b""),
    (b"abc", b"abc"),
    (bytearray(b"\x00\xff"), b"\x00\xff"),
    (memoryview(b"xabcx")[1:4], b"abc"),
    (array.array("B", [1, 2, 255]), b"\x01\x02\xff"),
    (array.array("b", [-1, 5]), b"\xff\x05"),
    (memoryview(bytes(range(6))).cast("B", (2, 3)), bytes(range(6))),
    (np.arange(6, dtype=np.uint8).reshape(2, 3), bytes(range(6))),
    (np.array([-2], dtype=np.int8), b"\xfe"),
    (memoryview(b"\x07").cast("c"), b"\x07"),
])
def test_accepted_values(db, value, stored):
    assert roundtrip(db, value) == stored


def test_value_is_copied(db):
    buf = bytearray(b"abc")
    h = db.allocate(buf)
    buf[0] = ord("z")
    assert db.read(h) == b"abc"
    db.update(h, memoryview(b"--xyz")[2:])
    assert db.read(h) == b"xyz"


@pytest.mark.parametrize("value, exc, message", [
    ("text", TypeError, GOT_STR),
    (type("S", (str,), {})("text"), TypeError, GOT_STR),
    (7, TypeError, BUFFER_PROTOCOL),
    ([1, 2], TypeError, BUFFER_PROTOCOL),
    (None, TypeError, BUFFER_PROTOCOL),
    (array.array("H", [1]), TypeError, BUFFER_PROTOCOL),
    (np.zeros(2, dtype=np.uint16), TypeError, BUFFER_PROTOCOL),
    # ctypes describes its bytes as "<B": that prefix is not accepted.
    ((ctypes.c_ubyte * 2)(), TypeError, BUFFER_PROTOCOL),
    (memoryview(b"abcdef")[::2], BufferError, "bytes-like buffer must be C-contiguous"),
    (np.zeros((2, 3), dtype=np.uint8, order="F"), BufferError,
     "bytes-like buffer must be C-contiguous"),
])
def test_refused_values_before_closed_check(closed_db, value, exc, message):
    # Conversion happens before the database is consulted, so even a closed
    # database reports the conversion error.
    with pytest.raises(exc) as info:
        closed_db.allocate(value)
    assert str(info.value) == message
    with pytest.raises(exc):
        closed_db.update(1, value)


def test_binding_messages(closed_db):
    cases = [
        (lambda: closed_db.read(bogus=1), "read() got an unexpected keyword argument 'bogus'"),
        (lambda: closed_db.read(1, handle=1), "read() got multiple values for argument 'handle'"),
        (lambda: closed_db.read(), "read() missing 1 required positional argument: 'handle'"),
        (lambda: closed_db.read(1, 2), "read() takes 1 positional argument but 2 were given"),
        (lambda: closed_db.update(),
         "update() missing 2 required positional arguments: 'handle' and 'value'"),
        (lambda: _ambrik.open(None, 5),
         "open() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: _ambrik.open(read_only=True, bogus=1),
         "open() got an unexpected keyword argument 'bogus'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(_ambrik.ClosedError):
        closed_db.update(value=b"x", handle=1)


@pytest.mark.parametrize("handle, exc", [
    ("1", TypeError), (1.0, TypeError), (None, TypeError), (-1, OverflowError),
    (2**64, OverflowError),
])
def test_integer_arguments_name_the_parameter(closed_db, handle, exc):
    with pytest.raises(exc, match="'handle'"):
        closed_db.read(handle)


def test_integer_index_protocol_accepted(db):
    class Index:
        def __index__(self):
            return h
    h = db.allocate(b"v")
    assert db.read(Index()) == b"v"
    assert db.read(np.uint64(h)) == b"v"
    assert db.read(True) == db.read(1)


def test_delete_many_arguments(db, closed_db):
    hs = [db.allocate(b"%d" % i) for i in range(4)]
    db.delete_many(tuple(hs[:2]))
    db.delete_many(range(hs[2], hs[3] + 1))
    assert db.handles() == []
    for bad in ("12", 5, (x for x in [1]), {1: 2}):
        with pytest.raises(TypeError):
            closed_db.delete_many(bad)
    with pytest.raises(OverflowError, match="'handles'"):
        closed_db.delete_many([1, -1])


def test_open_argument_conversion(tmp_path):
    with pytest.raises(TypeError, match="'drain_insertion'"):
        _ambrik.open(drain_insertion=None)
    with pytest.raises(TypeError, match="'drain_insertion'"):
        _ambrik.open(drain_insertion=1)
    with pytest.raises(TypeError, match="^expected str, bytes or os.PathLike object, not int$"):
        _ambrik.open(3)
    with pytest.raises(TypeError, match="'read_only'"):
        _ambrik.open(read_only=1)
    with pytest.raises(OverflowError, match="'superblock_count'"):
        _ambrik.open(superblock_count=2**32)
    with pytest.raises(OverflowError, match="'cache_max_bytes'"):
        _ambrik.open(cache_max_bytes=-1)
    for key in (bytearray(b"k" * 32), 5):
        with pytest.raises(TypeError) as info:
            _ambrik.open(encryption_key=key)
        assert str(info.value) == "encryption_key must be bytes (raw key) or str (passphrase)"
    with pytest.raises(UnicodeEncodeError):  # a lone surrogate that no byte stands for
        _ambrik.open(str(tmp_path / "\ud800"))
    # Path-like objects and numpy booleans are accepted.
    _ambrik.open(tmp_path / "db", create_if_missing=np.bool_(True),
                 drain_insertion=_ambrik.DrainInsertion.Mru, spillway_max_bytes=None).close()
    assert (tmp_path / "db").exists()
