import pytest

from ambrik import _ambrik

MODULE_ORDER = [
    "AmbrikError", "OperationalError", "FatalError", "InvalidHandleError",
    "NoActiveTransactionError", "TransactionAlreadyActiveError", "SavepointNotFoundError",
    "DuplicateSavepointError", "ReadOnlyModeError", "DatabaseFileNotFoundError",
    "InvalidRootNameError", "RootNameTableFullError", "InvalidSuperblockCountError",
    "CacheFullError", "SpillwayFullError", "TransactionInProgressError", "ClosedError",
    "AlreadyFinishedError", "TagMismatchError", "NoEncryptionKeyError",
    "InvalidEncryptionKeyError", "EncryptionNotSupportedError", "NoFreeKeySlotError",
    "LastKeySlotError", "IoError", "ChecksumMismatchError", "CorruptSuperblockError",
    "FileSizeMismatchError", "LockFailedError", "UnsupportedFormatVersionError",
    "UnsupportedPageSizeError", "CorruptPageError", "InvalidPageIdError", "PoisonedError",
    "DecryptionFailedError", "CorruptKeyMapError", "NotAKeyMapError",
    "WriterBusyError",
]
FATAL = {
    "DecryptionFailedError", "ChecksumMismatchError", "CorruptSuperblockError",
    "InvalidPageIdError", "PoisonedError", "FileSizeMismatchError", "LockFailedError",
    "UnsupportedFormatVersionError", "UnsupportedPageSizeError", "CorruptPageError", "IoError",
}
OPERATIONAL = set(MODULE_ORDER[3:]) - FATAL - {"CorruptKeyMapError"}


def test_module_attributes_in_order():
    names = [n for n in vars(_ambrik) if n == "__version__" or not n.startswith("_")]
    assert names == ["__version__", *MODULE_ORDER,
                     "Ambrik", "DrainInsertion", "open", "Transaction", "Savepoint", "KeyMap",
                     "KeyMapIterator", "Snapshot"]
    assert _ambrik.__version__ == "1.0.0"
    assert _ambrik.__doc__ == ""


def test_class_tree():
    assert _ambrik.AmbrikError.__bases__ == (Exception,)
    assert _ambrik.OperationalError.__bases__ == (_ambrik.AmbrikError,)
    assert _ambrik.FatalError.__bases__ == (_ambrik.AmbrikError,)
    for name in OPERATIONAL:
        assert getattr(_ambrik, name).__bases__ == (_ambrik.OperationalError,), name
    for name in FATAL - {"IoError"}:
        assert getattr(_ambrik, name).__bases__ == (_ambrik.FatalError,), name
    assert _ambrik.CorruptKeyMapError.__bases__ == (_ambrik.CorruptPageError,)
    assert not issubclass(_ambrik.IoError, _ambrik.OperationalError)
    assert not issubclass(_ambrik.PoisonedError, _ambrik.OperationalError)


def test_ioerror_is_fatal_and_oserror():
    mro = _ambrik.IoError.__mro__
    assert _ambrik.IoError.__bases__ == (_ambrik.FatalError, OSError)
    assert mro.index(_ambrik.FatalError) < mro.index(OSError)
    doc = _ambrik.IoError.__doc__
    assert doc.startswith("Fatal I/O error. ")
    for fragment in ("ambrik.FatalError", "OSError", ".errno", ".kind"):
        assert fragment in doc
    exc = _ambrik.IoError(2, "I/O error: gone")
    assert exc.errno == 2 and str(exc) == "[Errno 2] I/O error: gone"


@pytest.mark.parametrize("name", MODULE_ORDER)
def test_module_name_and_docstring(name):
    cls = getattr(_ambrik, name)
    assert cls.__module__ == "_ambrik"
    assert cls.__qualname__ == name
    if name != "IoError":
        assert cls.__doc__ is None


def test_second_initialisation_reuses_declared_classes(second_instance):
    again = second_instance
    for name in MODULE_ORDER:
        if name != "IoError":
            assert getattr(again, name) is getattr(_ambrik, name), name
    # IoError is rebuilt for each initialisation, with the same shape.
    assert again.IoError is not _ambrik.IoError
    assert again.IoError.__bases__ == _ambrik.IoError.__bases__
    assert again.Ambrik is not _ambrik.Ambrik
