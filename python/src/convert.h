// Argument binding and conversion of Python objects to engine values.
//
// Every conversion runs before a database lock is taken: a failure raises a
// Python exception (returning false / -1) and leaves the engine untouched.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/key.h"
#include "page_cache.h"

namespace ambrik::py {

// Parameters of one callable, named for binding error messages.
struct Signature {
  const char* function;       // "read()"
  const char* const* names;   // all parameter names, positional-or-keyword first
  int positional;             // number of positional-or-keyword parameters
  int required;               // leading positional parameters without default
  int keyword_only;           // optional keyword-only parameters after them
};

// Binds a vectorcall (the `nargs` positional arguments in `args`, followed
// by one value per name in the tuple `kwnames`, which may be nullptr) as
// Python would for `sig`, filling `out` (size positional + keyword_only)
// with borrowed references; parameters not given are left nullptr. Returns
// -1 with TypeError set on a binding failure.
int bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out);

// "'{type}' object is not an instance of '{target}'", prefixed with the
// parameter name when one is given. Always returns nullptr.
PyObject* raise_downcast(PyObject* obj, const char* target, const char* param = nullptr);

// A bytes-like value: a view of the object's own buffer, held (so the
// object cannot resize it) until the ValueView is destroyed. Nothing may
// run Python code that could mutate the object while the view is in use.
class ValueView {
 public:
  ValueView() = default;
  ~ValueView();
  ValueView(const ValueView&) = delete;
  ValueView& operator=(const ValueView&) = delete;

  // Accepts C-contiguous buffers of unsigned or signed bytes; otherwise
  // raises TypeError or BufferError (or the ValueError of an exporter that
  // can no longer export, such as a released memoryview) and returns false.
  bool acquire(PyObject* obj);
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

bool to_u64(PyObject* obj, const char* param, uint64_t* out);
bool to_u32(PyObject* obj, const char* param, uint32_t* out);
bool to_u8(PyObject* obj, const char* param, uint8_t* out);
// A u32 tag that must not be 0 (0 is the engine's "untagged"): ValueError.
bool to_tag(PyObject* obj, const char* param, uint32_t* out);
// A str (or subclass) as UTF-8; other types raise TypeError naming `param`,
// and a string that cannot be encoded raises the encoding error.
bool to_utf8(PyObject* obj, const char* param, std::string* out);
// Python bool or numpy.bool_.
bool to_bool(PyObject* obj, const char* param, bool* out);
// Sequence (other than str) of handles, snapshotted before conversion.
bool to_u64_list(PyObject* obj, const char* param, std::vector<uint64_t>* out);

// None (in memory) or a file system path (see to_fs_path).
bool to_path(PyObject* obj, std::optional<std::string>* out);
// bytes -> raw key, str -> passphrase; anything else raises TypeError with
// `type_error_message`.
bool to_key(PyObject* obj, const char* type_error_message, ambrik::Key* out);
// A DrainInsertion member; anything else raises TypeError naming `param`.
bool to_drain_insertion(PyObject* obj, const char* param, ambrik::DrainInsertion* out);

}  // namespace ambrik::py
