"""ambrik: an embedded, single-file, transactional store of opaque byte values.

Everything of the native module ``_ambrik`` is re-exported here. The record
classes below are the results of ``Ambrik.stats()``, ``Ambrik.counters()``
and ``Ambrik.defrag()``; the native module builds them by calling the class
with keyword arguments only.
"""

from collections.abc import MutableMapping
from dataclasses import dataclass

from . import _ambrik
from ._ambrik import *  # noqa: F401,F403

__version__ = _ambrik.__version__

# KeyMap implements the mapping protocol natively; registering it makes
# isinstance() and the typing stubs agree.
MutableMapping.register(_ambrik.KeyMap)


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
]
