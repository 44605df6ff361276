// The exception classes of _ambrik by name and parent, and the class each
// engine error kind raises. Header-only so that every native module of the
// package maps engine errors through the same table.
#pragma once

#include "errors.h"

namespace ambrik::py {

struct ClassSpec {
  const char* name;
  PyError parent;  // ignored for AmbrikError, whose base is Exception
};

using E = PyError;

// Indexed by PyError. IoError has a second base, the builtin OSError, and is
// built by calling `type` (see build_io_error).
constexpr ClassSpec kClasses[kExceptionCount] = {
    {"AmbrikError", E::AmbrikError},
    {"OperationalError", E::AmbrikError},
    {"FatalError", E::AmbrikError},
    {"InvalidHandleError", E::OperationalError},
    {"NoActiveTransactionError", E::OperationalError},
    {"TransactionAlreadyActiveError", E::OperationalError},
    {"SavepointNotFoundError", E::OperationalError},
    {"DuplicateSavepointError", E::OperationalError},
    {"ReadOnlyModeError", E::OperationalError},
    {"DatabaseFileNotFoundError", E::OperationalError},
    {"InvalidRootNameError", E::OperationalError},
    {"RootNameTableFullError", E::OperationalError},
    {"InvalidSuperblockCountError", E::OperationalError},
    {"CacheFullError", E::OperationalError},
    {"SpillwayFullError", E::OperationalError},
    {"TransactionInProgressError", E::OperationalError},
    {"ClosedError", E::OperationalError},
    {"AlreadyFinishedError", E::OperationalError},
    {"TagMismatchError", E::OperationalError},
    {"NoEncryptionKeyError", E::OperationalError},
    {"InvalidEncryptionKeyError", E::OperationalError},
    {"EncryptionNotSupportedError", E::OperationalError},
    {"NoFreeKeySlotError", E::OperationalError},
    {"LastKeySlotError", E::OperationalError},
    {"IoError", E::FatalError},
    {"ChecksumMismatchError", E::FatalError},
    {"CorruptSuperblockError", E::FatalError},
    {"FileSizeMismatchError", E::FatalError},
    {"LockFailedError", E::FatalError},
    {"UnsupportedFormatVersionError", E::FatalError},
    {"UnsupportedPageSizeError", E::FatalError},
    {"CorruptPageError", E::FatalError},
    {"InvalidPageIdError", E::FatalError},
    {"PoisonedError", E::FatalError},
    {"DecryptionFailedError", E::FatalError},
    {"CorruptKeyMapError", E::CorruptPageError},
    {"NotAKeyMapError", E::OperationalError},
    {"WriterBusyError", E::OperationalError},
};

// The class each engine error kind raises, indexed by ErrorKind.
constexpr PyError kClassOfKind[kErrorKindCount] = {
    E::InvalidHandleError,         E::NoActiveTransactionError,
    E::TransactionAlreadyActiveError, E::SavepointNotFoundError,
    E::DuplicateSavepointError,    E::ReadOnlyModeError,
    E::DatabaseFileNotFoundError,  E::InvalidRootNameError,
    E::RootNameTableFullError,     E::InvalidSuperblockCountError,
    E::CacheFullError,             E::SpillwayFullError,
    E::TransactionInProgressError, E::TagMismatchError,
    E::IoError,                    E::ChecksumMismatchError,
    E::CorruptSuperblockError,     E::FileSizeMismatchError,
    E::LockFailedError,            E::UnsupportedFormatVersionError,
    E::PoisonedError,              E::CorruptPageError,
    E::InvalidPageIdError,         E::UnsupportedPageSizeError,
    E::NoEncryptionKeyError,       E::InvalidEncryptionKeyError,
    E::EncryptionNotSupportedError, E::NoFreeKeySlotError,
    E::LastKeySlotError,           E::DecryptionFailedError,
    E::CorruptKeyMapError,         E::NotAKeyMapError,
    E::WriterBusyError,
};
static_assert(kClassOfKind[static_cast<int>(ErrorKind::Io)] == E::IoError);
static_assert(kClassOfKind[static_cast<int>(ErrorKind::Poisoned)] == E::PoisonedError);
static_assert(kClassOfKind[kErrorKindCount - 1] == E::WriterBusyError);

// The name of the class that `kind` raises.
constexpr const char* class_name_of(ErrorKind kind) {
  return kClasses[static_cast<int>(kClassOfKind[static_cast<int>(kind)])].name;
}

}  // namespace ambrik::py
