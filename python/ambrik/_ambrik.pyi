"""Native engine of ambrik: the database, transaction and savepoint objects and the exceptions."""

import os
from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    MutableMapping,
    Sequence,
    ValuesView,
)
from types import TracebackType
from typing import ClassVar, Literal, Protocol, TypeVar, final, overload

from typing_extensions import Buffer, Self

from ambrik import BackupStats, Counters, DefragStats, Stats

__version__: str

_T_co = TypeVar("_T_co", covariant=True)

# A path to a database file: text or an object whose os.fspath() is text.
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# A raw key (bytes, ideally 32 random bytes) or a passphrase (text).
_Key = bytes | str

class _DefragOptionsLike(Protocol):
    """Anything with the two tuning attributes of a defragmentation pass."""

    @property
    def sparse_threshold(self) -> float: ...
    @property
    def max_values(self) -> int: ...

# Exceptions. Operational errors leave the database usable; fatal ones poison it.

class AmbrikError(Exception):
    """Root of every error the engine raises."""

class OperationalError(AmbrikError):
    """An error after which the database remains usable."""

class FatalError(AmbrikError):
    """An error that poisons the database until it is closed and opened again."""

class InvalidHandleError(OperationalError):
    """The handle does not name a live value."""

class NoActiveTransactionError(OperationalError):
    """A change or commit was attempted without a running transaction."""

class TransactionAlreadyActiveError(OperationalError):
    """A transaction was begun while one is already running."""

class SavepointNotFoundError(OperationalError):
    """No open savepoint has this name."""

class DuplicateSavepointError(OperationalError):
    """An open savepoint already has this name."""

class ReadOnlyModeError(OperationalError):
    """A change was attempted on a database opened read-only."""

class DatabaseFileNotFoundError(OperationalError):
    """The file does not exist (or is empty) and may not be created."""

class InvalidRootNameError(OperationalError):
    """A named-root name is empty, longer than 24 UTF-8 bytes or contains NUL."""

class RootNameTableFullError(OperationalError):
    """All eight named-root slots are taken by other names."""

class InvalidSuperblockCountError(OperationalError):
    """superblock_count lies outside 2 to 16."""

class CacheFullError(OperationalError):
    """The cache holds only dirty pages and none can be spilled."""

class SpillwayFullError(OperationalError):
    """The spillway reached its byte limit or is disabled."""

class TransactionInProgressError(OperationalError):
    """A setting or key change was attempted inside a transaction."""

class ClosedError(OperationalError):
    """The database object has been closed."""

class AlreadyFinishedError(OperationalError):
    """The transaction or savepoint object was already committed, released or rolled back."""

class TagMismatchError(OperationalError):
    """A tag-checked delete found a different tag on the handle."""

class NoEncryptionKeyError(OperationalError):
    """The database is encrypted and no encryption_key was given."""

class InvalidEncryptionKeyError(OperationalError):
    """The key opens no key slot (or cannot be derived)."""

class EncryptionNotSupportedError(OperationalError):
    """A key was given for a plaintext database, or the cipher is unknown."""

class NoFreeKeySlotError(OperationalError):
    """All eight key slots are in use."""

class LastKeySlotError(OperationalError):
    """Removing this key would leave no key that opens the database."""

class IoError(FatalError, OSError):
    """Fatal I/O error; catchable as FatalError and as OSError, with .errno and .kind."""

    kind: str

class ChecksumMismatchError(FatalError):
    """A page read from the file fails its checksum."""

class CorruptSuperblockError(FatalError):
    """No superblock slot of the file is valid."""

class FileSizeMismatchError(FatalError):
    """The file is shorter than its committed page count."""

class LockFailedError(FatalError):
    """The file is already open (in this or another process)."""

class UnsupportedFormatVersionError(FatalError):
    """The file was written in a format major version this build does not read."""

class UnsupportedPageSizeError(FatalError):
    """The file was written with a page size other than 8192 bytes."""

class CorruptPageError(FatalError):
    """A page has an impossible structure."""

class InvalidPageIdError(FatalError):
    """A page id lies beyond the end of the file."""

class PoisonedError(FatalError):
    """An earlier fatal error poisoned the database; close it and open the file again."""

class CorruptKeyMapError(CorruptPageError):
    """A key map's header or node is damaged; the database itself stays usable."""

class NotAKeyMapError(OperationalError):
    """A key map was asked for under a named root bound to a value that is not a key map."""

class WriterBusyError(OperationalError):
    """begin() in shared mode: another writer kept the write lock past lock_timeout."""

class DecryptionFailedError(FatalError):
    """A page of an encrypted database failed authentication."""

@final
class DrainInsertion:
    """Where pages drained from the spillway at commit re-enter the cache's LRU order."""

    LruTail: ClassVar[DrainInsertion]
    Mru: ClassVar[DrainInsertion]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int:
        """The member's value: 0 for LruTail, 1 for Mru."""

    def __eq__(self, value: object, /) -> bool:
        """Members compare by value, also against plain integers."""

    def __ne__(self, value: object, /) -> bool:
        """The negation of ==."""

@final
class Ambrik:
    """An open database; created by ambrik.open()."""

    @property
    def is_poisoned(self) -> bool:
        """True when the database is closed or poisoned by a fatal error."""

    def close(self) -> None:
        """Close the database, discarding a running transaction; closing twice is harmless."""

    def __enter__(self) -> Self:
        """Return the database itself."""

    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc: BaseException | None,
        _tb: TracebackType | None,
    ) -> Literal[False]:
        """Close the database (without committing) and let an exception propagate."""

    def begin(self) -> None:
        """Begin a transaction."""

    def commit(self) -> None:
        """Commit the running transaction durably."""

    def rollback(self) -> None:
        """Discard the running transaction."""

    def transaction(self) -> Transaction:
        """Begin a transaction and return it as a context manager that commits on success."""

    def snapshot(self) -> Snapshot:
        """Return a read-only view of the last commit, readable from any thread."""

    def sync(self) -> None:
        """Make every returned commit durable (one sync in the ordered durability mode)."""

    def allocate(self, value: Buffer) -> int:
        """Store a new value and return its new handle."""

    def read(self, handle: int) -> bytes:
        """Return a copy of the value of a handle."""

    def update(self, handle: int, value: Buffer) -> None:
        """Replace the value of a handle."""

    def delete(self, handle: int) -> None:
        """Delete the value of a handle."""

    def delete_many(self, handles: Sequence[int]) -> None:
        """Delete the values of several handles."""

    def handles(self) -> list[int]:
        """Return every live handle in increasing order."""

    def allocate_tagged(self, value: Buffer, tag: int) -> int:
        """Store a new value with a non-zero 32-bit tag and return its handle."""

    def tag(self, handle: int) -> int | None:
        """Return the tag of a handle, or None for an untagged handle."""

    def handles_with_tag(self, tag: int) -> list[int]:
        """Return the handles carrying a tag, in increasing order."""

    def client_byte(self, handle: int) -> int:
        """Return the client byte (0 to 255) of a handle."""

    def set_client_byte(self, handle: int, byte: int) -> None:
        """Set the client byte (0 to 255) of a handle."""

    def delete_tagged(self, handle: int, tag: int) -> None:
        """Delete a handle only if it carries this tag (else TagMismatchError)."""

    def delete_with_tag(self, tag: int, max: int) -> tuple[list[int], bool]:
        """Delete at most max values of a tag; return (deleted handles, whether none is left)."""

    def set_root_name(self, name: str, handle: int) -> None:
        """Bind a named root to a handle."""

    def get_root_name(self, name: str) -> int | None:
        """Return the handle bound to a named root, or None."""

    def clear_root_name(self, name: str) -> None:
        """Remove a named root."""

    def stats(self) -> Stats:
        """Return the size of the database."""

    def counters(self) -> Counters:
        """Return the activity counters of this database object."""

    def defrag(self, options: _DefragOptionsLike | None = None) -> DefragStats:
        """Move values out of sparse data pages in the running transaction."""

    def keymap(self, name: str) -> KeyMap:
        """The KeyMap under the named root `name` (created by its first write)."""

    def backup(self, path: _Path, *, overwrite: bool = False) -> BackupStats:
        """Write the last committed state into a new compact file (replace one only with overwrite)."""

    def add_key(self, existing: _Key, new: _Key) -> None:
        """Authorise another key, proven by an existing one."""

    def rotate_key(self, old: _Key, new: _Key) -> None:
        """Replace a key by a new one in one superblock write."""

    def remove_key(self, key: _Key) -> None:
        """Remove the key slot this key opens (never the last one)."""

    def set_cache_max_bytes(self, bytes: int) -> None:
        """Change the page-cache budget, between transactions."""

    def set_spillway_max_bytes(self, bytes: int) -> None:
        """Change the spillway byte limit (0 disables spilling), between transactions."""

    def set_drain_insertion(self, policy: DrainInsertion) -> None:
        """Change the drain-insertion policy, between transactions."""

@final
class Transaction:
    """The running transaction of a database; commits on normal exit from a with block and rolls back on an exception."""

    def __enter__(self) -> Self:
        """Return the transaction itself."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc: BaseException | None,
        _tb: TracebackType | None,
    ) -> Literal[False]:
        """Commit, or roll back when an exception left the block; the exception propagates."""

    def commit(self) -> None:
        """Commit the transaction durably."""

    def rollback(self) -> None:
        """Discard the transaction."""

    def allocate(self, value: Buffer) -> int:
        """Store a new value and return its new handle."""

    def read(self, handle: int) -> bytes:
        """Return a copy of the value of a handle, as this transaction sees it."""

    def update(self, handle: int, value: Buffer) -> None:
        """Replace the value of a handle."""

    def delete(self, handle: int) -> None:
        """Delete the value of a handle."""

    def delete_many(self, handles: Sequence[int]) -> None:
        """Delete the values of several handles."""

    def allocate_tagged(self, value: Buffer, tag: int) -> int:
        """Store a new value with a non-zero 32-bit tag and return its handle."""

    def tag(self, handle: int) -> int | None:
        """Return the tag of a handle, or None for an untagged handle."""

    def client_byte(self, handle: int) -> int:
        """Return the client byte (0 to 255) of a handle."""

    def set_client_byte(self, handle: int, byte: int) -> None:
        """Set the client byte (0 to 255) of a handle."""

    def handles_with_tag(self, tag: int) -> list[int]:
        """Return the handles carrying a tag, in increasing order."""

    def delete_tagged(self, handle: int, tag: int) -> None:
        """Delete a handle only if it carries this tag (else TagMismatchError)."""

    def delete_with_tag(self, tag: int, max: int) -> tuple[list[int], bool]:
        """Delete at most max values of a tag; return (deleted handles, whether none is left)."""

    def set_root_name(self, name: str, handle: int) -> None:
        """Bind a named root to a handle."""

    def get_root_name(self, name: str) -> int | None:
        """Return the handle bound to a named root, or None."""

    def clear_root_name(self, name: str) -> None:
        """Remove a named root."""

    def handles(self) -> list[int]:
        """Return every live handle in increasing order."""

    def stats(self) -> Stats:
        """Return the size of the database."""

    def counters(self) -> Counters:
        """Return the activity counters of the database object."""

    def defrag(self, options: _DefragOptionsLike | None = None) -> DefragStats:
        """Move values out of sparse data pages in this transaction."""

    def keymap(self, name: str) -> KeyMap:
        """The KeyMap under the named root `name` (created by its first write)."""

    def backup(self, path: _Path, *, overwrite: bool = False) -> BackupStats:
        """Write the last committed state (not this transaction's changes) into a new compact file."""

    def savepoint(self, name: str) -> Savepoint:
        """Open a named savepoint; the name stays taken until it is released or discarded."""

@final
class Savepoint:
    """A named savepoint inside a running transaction."""

    @property
    def name(self) -> str:
        """The savepoint's name."""

    def __enter__(self) -> Self:
        """Return the savepoint itself."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        _exc: BaseException | None,
        _tb: TracebackType | None,
    ) -> Literal[False]:
        """Release, or roll back to the savepoint when an exception left the block."""

    def release(self) -> None:
        """Keep the changes made since the savepoint and close it (and every newer one)."""

    def rollback_to(self) -> None:
        """Undo the changes made since the savepoint; this object is then finished."""

@final
class Snapshot:
    """A read-only view of one commit; created by Ambrik.snapshot()."""

    @property
    def closed(self) -> bool:
        """True once the snapshot is closed."""

    def __enter__(self) -> Self:
        """Return the snapshot itself."""

    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc: BaseException | None,
        _tb: TracebackType | None,
    ) -> Literal[False]:
        """Close the snapshot."""

    def close(self) -> None:
        """Let go of the commit; later calls do nothing."""

    def read(self, handle: int) -> bytes:
        """Return a copy of the value of a handle in this commit."""

    def tag(self, handle: int) -> int | None:
        """Return the tag of a handle, or None for an untagged handle."""

    def client_byte(self, handle: int) -> int:
        """Return the client byte (0 to 255) of a handle."""

    def handles(self) -> list[int]:
        """Return every live handle in increasing order."""

    def handles_with_tag(self, tag: int) -> list[int]:
        """Return the handles carrying a tag, in increasing order."""

    def get_root_name(self, name: str) -> int | None:
        """Return the handle bound to a named root, or None."""

    def keymap(self, name: str) -> KeyMap:
        """A read-only KeyMap of this commit under the named root `name`; its writes raise ReadOnlyModeError."""

@final
class KeyMap(MutableMapping[bytes, bytes]):
    """An ordered map of bytes keys (1 to 1024 bytes) to bytes values under a named root."""

    @property
    def name(self) -> str:
        """The named root the map lives under."""

    def __getitem__(self, key: Buffer, /) -> bytes: ...
    def __setitem__(self, key: Buffer, value: Buffer, /) -> None: ...
    def __delitem__(self, key: Buffer, /) -> None: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> KeyMapIterator[bytes]: ...
    def get(self, key: Buffer, default: bytes | None = None) -> bytes | None:  # type: ignore[override]
        """The value under key, or default."""

    def pop(self, key: Buffer, default: bytes = ...) -> bytes:  # type: ignore[override]
        """Remove key and return its value (default, or KeyError, when absent)."""

    def handle(self, key: Buffer) -> int | None:
        """The handle of the value under key, or None."""

    def setdefault(self, key: Buffer, default: bytes) -> bytes:  # type: ignore[override]
        """The value under key; absent, default is stored under it and returned."""

    def update(  # type: ignore[override]
        self, other: Mapping[bytes, Buffer] | Iterable[tuple[Buffer, Buffer]] = (), /
    ) -> None:
        """Store every (key, value) of a mapping or of an iterable of pairs."""

    def popitem(self) -> tuple[bytes, bytes]:
        """Remove the first key and return (key, value); KeyError when empty."""

    def clear(self) -> None:
        """Remove every key."""

    def delete_range(self, start: Buffer | None = None, stop: Buffer | None = None) -> int:
        """Remove every key in start <= key < stop (None: open); the number removed."""

    def first(self) -> tuple[bytes, bytes] | None:
        """The (key, value) of the smallest key, or None when the map is empty."""

    def last(self) -> tuple[bytes, bytes] | None:
        """The (key, value) of the largest key, or None when the map is empty."""

    @overload
    def items(self) -> ItemsView[bytes, bytes]:
        """A view of the map's (key, value) pairs: len, membership, set operations, lazy iteration."""

    @overload
    def items(
        self,
        start: Buffer | None = None,
        stop: Buffer | None = None,
        *,
        reverse: bool = False,
        prefix: Buffer | None = None,
    ) -> KeyMapIterator[tuple[bytes, bytes]]:
        """Lazy iterator of (key, value) for start <= key < stop, in key order; only keys starting with prefix when given."""

    @overload
    def keys(self) -> KeysView[bytes]:
        """A view of the map's keys: len, membership, set operations, lazy iteration."""

    @overload
    def keys(
        self,
        start: Buffer | None = None,
        stop: Buffer | None = None,
        *,
        reverse: bool = False,
        prefix: Buffer | None = None,
    ) -> KeyMapIterator[bytes]:
        """Lazy iterator of the keys in start <= key < stop, in key order; only keys starting with prefix when given."""

    @overload
    def values(self) -> ValuesView[bytes]:
        """A view of the map's values: len, membership, lazy iteration in key order."""

    @overload
    def values(
        self,
        start: Buffer | None = None,
        stop: Buffer | None = None,
        *,
        reverse: bool = False,
        prefix: Buffer | None = None,
    ) -> KeyMapIterator[bytes]:
        """Lazy iterator of the values of the keys in start <= key < stop, in key order; only keys starting with prefix when given."""

@final
class KeyMapIterator(Iterator[_T_co]):
    """Iterator over a key range of a KeyMap; raises RuntimeError once the map has changed."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> _T_co: ...

def open(
    path: _Path | None = None,
    *,
    cache_max_bytes: int = 8388608,
    spillway_max_bytes: int | None = None,
    drain_insertion: DrainInsertion = ...,
    create_if_missing: bool = True,
    read_only: bool = False,
    superblock_count: int = 2,
    encryption_key: _Key | None = None,
    lock_timeout: float = 0.0,
    shared: bool = False,
    durability: Literal["full", "ordered"] = "full",
) -> Ambrik:
    """Open (or create) a database file; without a path, a new in-memory database."""
