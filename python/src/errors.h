// Exception classes of _ambrik and the one mapping from engine errors to them.
//
// The declared classes are process-wide: created once, on first use, and
// shared by every initialisation of the module in this process. IoError is
// the exception: each module initialisation builds its own class, and the
// first one built fills a process-wide slot that the error mapping reads.
#pragma once

#include <Python.h>

#include <string>

#include "error.h"

namespace ambrik::py {

// The module's exception classes, in module order.
enum class PyError : int {
  AmbrikError, OperationalError, FatalError,
  InvalidHandleError, NoActiveTransactionError, TransactionAlreadyActiveError,
  SavepointNotFoundError, DuplicateSavepointError, ReadOnlyModeError,
  DatabaseFileNotFoundError, InvalidRootNameError, RootNameTableFullError,
  InvalidSuperblockCountError, CacheFullError, SpillwayFullError,
  TransactionInProgressError, ClosedError, AlreadyFinishedError, TagMismatchError,
  NoEncryptionKeyError, InvalidEncryptionKeyError, EncryptionNotSupportedError,
  NoFreeKeySlotError, LastKeySlotError, IoError, ChecksumMismatchError,
  CorruptSuperblockError, FileSizeMismatchError, LockFailedError,
  UnsupportedFormatVersionError, UnsupportedPageSizeError, CorruptPageError,
  InvalidPageIdError, PoisonedError, DecryptionFailedError, CorruptKeyMapError,
  NotAKeyMapError, WriterBusyError,
};
inline constexpr int kExceptionCount = 38;

// Creates (if needed) the process-wide classes, builds a fresh IoError and
// adds all of them to `module` in order. Returns -1 with a Python error set.
int add_exception_classes(PyObject* module);

// Raises `cls` (a declared class, not IoError) with `message`; always
// returns nullptr.
PyObject* raise_error(PyError cls, const char* message);

// Raises the exception for an engine error; always returns nullptr.
PyObject* raise_engine_error(const ambrik::Error& error);

PyObject* raise_closed();

// Adds to the exception being raised a note naming the database file
// `path` (file system bytes) and, on an IoError, sets its `filename`;
// str() of the exception stays as it was.
void name_file_of_error(const std::string& path);

// Raises the module-private BaseException subclass used for broken internal
// invariants; always returns nullptr.
PyObject* raise_internal_error(const char* text);

}  // namespace ambrik::py
