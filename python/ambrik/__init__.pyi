"""ambrik: an embedded, single-file, transactional store of opaque byte values."""

from dataclasses import dataclass

from ._ambrik import (
    AlreadyFinishedError as AlreadyFinishedError,
    Ambrik as Ambrik,
    AmbrikError as AmbrikError,
    CacheFullError as CacheFullError,
    ChecksumMismatchError as ChecksumMismatchError,
    ClosedError as ClosedError,
    CorruptKeyMapError as CorruptKeyMapError,
    CorruptPageError as CorruptPageError,
    CorruptSuperblockError as CorruptSuperblockError,
    DatabaseFileNotFoundError as DatabaseFileNotFoundError,
    DecryptionFailedError as DecryptionFailedError,
    DrainInsertion as DrainInsertion,
    DuplicateSavepointError as DuplicateSavepointError,
    EncryptionNotSupportedError as EncryptionNotSupportedError,
    FatalError as FatalError,
    FileSizeMismatchError as FileSizeMismatchError,
    InvalidEncryptionKeyError as InvalidEncryptionKeyError,
    InvalidHandleError as InvalidHandleError,
    InvalidPageIdError as InvalidPageIdError,
    InvalidRootNameError as InvalidRootNameError,
    InvalidSuperblockCountError as InvalidSuperblockCountError,
    IoError as IoError,
    KeyMap as KeyMap,
    KeyMapIterator as KeyMapIterator,
    LastKeySlotError as LastKeySlotError,
    LockFailedError as LockFailedError,
    NoActiveTransactionError as NoActiveTransactionError,
    NoEncryptionKeyError as NoEncryptionKeyError,
    NoFreeKeySlotError as NoFreeKeySlotError,
    NotAKeyMapError as NotAKeyMapError,
    WriterBusyError as WriterBusyError,
    OperationalError as OperationalError,
    PoisonedError as PoisonedError,
    ReadOnlyModeError as ReadOnlyModeError,
    RootNameTableFullError as RootNameTableFullError,
    Savepoint as Savepoint,
    SavepointNotFoundError as SavepointNotFoundError,
    Snapshot as Snapshot,
    SpillwayFullError as SpillwayFullError,
    TagMismatchError as TagMismatchError,
    Transaction as Transaction,
    TransactionAlreadyActiveError as TransactionAlreadyActiveError,
    TransactionInProgressError as TransactionInProgressError,
    UnsupportedFormatVersionError as UnsupportedFormatVersionError,
    UnsupportedPageSizeError as UnsupportedPageSizeError,
    open as open,
)

__version__: str

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
    """Tuning of Ambrik.defrag(): the live fraction below which a page is emptied, and a bound on values moved (0: none)."""

    sparse_threshold: float = 0.25
    max_values: int = 0

# Everything public except open, so that a star import does not shadow the builtin.
__all__ = [
    "AlreadyFinishedError",
    "Ambrik",
    "AmbrikError",
    "CacheFullError",
    "ChecksumMismatchError",
    "ClosedError",
    "CorruptKeyMapError",
    "CorruptPageError",
    "CorruptSuperblockError",
    "DatabaseFileNotFoundError",
    "DecryptionFailedError",
    "DrainInsertion",
    "DuplicateSavepointError",
    "EncryptionNotSupportedError",
    "FatalError",
    "FileSizeMismatchError",
    "InvalidEncryptionKeyError",
    "InvalidHandleError",
    "InvalidPageIdError",
    "InvalidRootNameError",
    "InvalidSuperblockCountError",
    "IoError",
    "KeyMap",
    "KeyMapIterator",
    "LastKeySlotError",
    "LockFailedError",
    "NoActiveTransactionError",
    "NoEncryptionKeyError",
    "NoFreeKeySlotError",
    "NotAKeyMapError",
    "WriterBusyError",
    "OperationalError",
    "PoisonedError",
    "ReadOnlyModeError",
    "RootNameTableFullError",
    "Savepoint",
    "SavepointNotFoundError",
    "Snapshot",
    "SpillwayFullError",
    "TagMismatchError",
    "Transaction",
    "TransactionAlreadyActiveError",
    "TransactionInProgressError",
    "UnsupportedFormatVersionError",
    "UnsupportedPageSizeError",
    "Stats",
    "Counters",
    "DefragStats",
    "DefragOptions",
    "BackupStats",
]
