"""ambrik: an embedded, single-file, transactional store of opaque byte values.

Everything of the native module ``_ambrik`` is re-exported here. The record
classes below are the results of ``Ambrik.stats()``, ``Ambrik.counters()``,
``Ambrik.defrag()`` and ``Ambrik.backup()``; the native module builds them by calling the class
with keyword arguments only.
"""

from collections.abc import ItemsView, KeysView, MutableMapping, ValuesView
from dataclasses import dataclass

from . import _ambrik
from ._ambrik import *  # noqa: F401,F403

__version__ = _ambrik.__version__

# KeyMap implements the mapping protocol natively; registering it makes
# isinstance() and the typing stubs agree.
MutableMapping.register(_ambrik.KeyMap)


# What KeyMap.keys(), .values() and .items() return when called without
# arguments: views as a dict's, with len, membership, the set operations of
# collections.abc and reversed(). Each iteration is a new lazy scan by the
# native iterator (which raises RuntimeError once the map gains or loses a
# key); the methods called with any argument are those scans themselves.
class _KeyMapKeys(KeysView):
    __slots__ = ()

    def __iter__(self):
        return iter(self._mapping)

    def __reversed__(self):
        return self._mapping.keys(reverse=True)

    def __repr__(self):
        return f"{self._mapping!r}.keys()"


class _KeyMapValues(ValuesView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping.values(reverse=False)

    def __reversed__(self):
        return self._mapping.values(reverse=True)

    def __contains__(self, value):
        return any(v == value for v in self)

    def __repr__(self):
        return f"{self._mapping!r}.values()"


class _KeyMapItems(ItemsView):
    __slots__ = ()

    def __iter__(self):
        return self._mapping.items(reverse=False)

    def __reversed__(self):
        return self._mapping.items(reverse=True)

    def __contains__(self, item):
        # One lookup; as a dict's items, anything but a pair is simply absent.
        if not isinstance(item, tuple) or len(item) != 2:
            return False
        found = self._mapping.get(item[0])
        return found is not None and found == item[1]

    def __repr__(self):
        return f"{self._mapping!r}.items()"


# The native function's text signature can only show this default as `...`
# (introspection accepts no other objects there); this one shows it, and
# help(ambrik.open) with it.
def open(  # noqa: A001 - the package's entry point, not the builtin
    path=None,
    *,
    cache_max_bytes=8388608,
    spillway_max_bytes=None,
    drain_insertion=_ambrik.DrainInsertion.LruTail,
    create_if_missing=True,
    read_only=False,
    superblock_count=2,
    encryption_key=None,
    lock_timeout=0.0,
    shared=False,
    durability="full",
):
    """Open the database file `path` (str, bytes or path-like), creating it
    if missing unless told not to; None opens a new in-memory database.

    See the user guide for each option. Errors carry the path as a note.
    """
    return _ambrik.open(
        path,
        cache_max_bytes=cache_max_bytes,
        spillway_max_bytes=spillway_max_bytes,
        drain_insertion=drain_insertion,
        create_if_missing=create_if_missing,
        read_only=read_only,
        superblock_count=superblock_count,
        encryption_key=encryption_key,
        lock_timeout=lock_timeout,
        shared=shared,
        durability=durability,
    )


@dataclass(frozen=True, slots=True, kw_only=True)
class Stats:
    """Size of an open database. The spillway fields are None while it has no spillway."""

    handle_count: int
    total_pages: int
    file_size_bytes: int
    spillway_logical_bytes: int | None
    spillway_max_bytes: int | None


@dataclass(frozen=True, slots=True, kw_only=True)
class Counters:
    """Activity counters of an open database."""

    cache_hits: int
    cache_misses: int
    pages_allocated: int
    fsync_calls: int


@dataclass(frozen=True, slots=True, kw_only=True)
class DefragStats:
    """What one defragmentation pass did."""

    pages_examined: int
    pages_freed: int
    values_moved: int


@dataclass(frozen=True, slots=True, kw_only=True)
class BackupStats:
    """What one backup wrote: page units (superblocks included) and the file's length."""

    pages_written: int
    bytes_written: int


@dataclass(frozen=True, slots=True)
class DefragOptions:
    """Tuning of ``Ambrik.defrag()``.

    A data page whose live fraction is below ``sparse_threshold`` is emptied;
    ``max_values`` bounds how many values one pass moves (0: no bound).
    """

    sparse_threshold: float = 0.25
    max_values: int = 0


# `open` is left out so that `from ambrik import *` keeps the builtin open.
__all__ = [name for name in dir(_ambrik) if not name.startswith("_") and name != "open"] + [
    "Stats",
    "Counters",
    "DefragStats",
    "DefragOptions",
    "BackupStats",
]
