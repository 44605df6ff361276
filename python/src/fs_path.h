// Paths as the file system sees them, for both native modules of the
// package: a name that os.listdir() can return opens in either.
#pragma once

#include <Python.h>

#include <string>

namespace ambrik::py {

// A str, bytes or os.PathLike of either (os.fspath) as the bytes the system
// calls receive: a str is encoded as os.fsencode() does, so a name that is
// not valid in the file system encoding survives the round trip. Other types
// raise os.fspath()'s TypeError; a NUL raises ValueError "embedded null
// byte". Returns false with the exception set.
bool to_fs_path(PyObject* obj, std::string* out);

// The str os.fsdecode() gives for `path`, for messages and reprs.
PyObject* fs_path_text(const std::string& path);

}  // namespace ambrik::py
