// Result<T>: a value or an Error, returned by every fallible engine call.
//
// The success path holds only the T (plus a discriminator); errors are moved,
// never copied deep. `Status` is Result<void>.
//
// TRY(expr) evaluates a Result-returning expression and returns its error
// from the enclosing function; on success it yields the value (a GNU
// statement expression, so `auto x = TRY(f());` works and TRY(g()); too).
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "check.h"
#include "error.h"

namespace ambrik {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(const T& value) : ok_(true) { new (&value_) T(value); }
  Result(T&& value) : ok_(true) { new (&value_) T(std::move(value)); }
  Result(Error error) : ok_(false) { new (&error_) Error(std::move(error)); }

  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) new (&value_) T(std::move(other.value_));
    else new (&error_) Error(std::move(other.error_));
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&& other) noexcept {
    if (this != &other) {
      destroy();
      ok_ = other.ok_;
      if (ok_) new (&value_) T(std::move(other.value_));
      else new (&error_) Error(std::move(other.error_));
    }
    return *this;
  }
  ~Result() { destroy(); }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }

  // REQUIRES: ok()
  T& value() & {
    AMBRIK_DCHECK(ok_);
    return value_;
  }
  const T& value() const& {
    AMBRIK_DCHECK(ok_);
    return value_;
  }
  T&& value() && {
    AMBRIK_DCHECK(ok_);
    return std::move(value_);
  }
  // REQUIRES: !ok()
  const Error& error() const& {
    AMBRIK_DCHECK(!ok_);
    return error_;
  }
  Error&& error() && {
    AMBRIK_DCHECK(!ok_);
    return std::move(error_);
  }

 private:
  void destroy() {
    if (ok_) value_.~T();
    else error_.~Error();
  }
  bool ok_;
  union {
    T value_;
    Error error_;
  };
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::make_unique<Error>(std::move(error))) {}
  Result(Result&&) noexcept = default;
  Result& operator=(Result&&) noexcept = default;

  bool ok() const { return error_ == nullptr; }
  explicit operator bool() const { return ok(); }
  void value() const {}
  // REQUIRES: !ok()
  const Error& error() const& {
    AMBRIK_DCHECK(error_ != nullptr);
    return *error_;
  }
  Error error() && {
    AMBRIK_DCHECK(error_ != nullptr);
    return std::move(*error_);
  }

 private:
  // Errors are rare: keep the success path one pointer wide.
  std::unique_ptr<Error> error_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace ambrik

#define AMBRIK_CONCAT_INNER(a, b) a##b
#define AMBRIK_CONCAT(a, b) AMBRIK_CONCAT_INNER(a, b)

#define TRY(expr)                                         \
  ({                                                      \
    auto&& AMBRIK_CONCAT(_try_r, __LINE__) = (expr);      \
    if (!AMBRIK_CONCAT(_try_r, __LINE__).ok())            \
      return std::move(AMBRIK_CONCAT(_try_r, __LINE__)).error(); \
    std::move(AMBRIK_CONCAT(_try_r, __LINE__)).value();   \
  })
