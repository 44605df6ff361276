// AMBRIK_DCHECK(cond): a precondition check for debug builds.
//
// With NDEBUG unset (the Debug and sanitizer builds) a false condition
// prints file:line and the condition's text to stderr and aborts; with
// NDEBUG set it compiles to nothing and does not evaluate `cond`. Use it for
// the REQUIRES: clauses of the headers: conditions that only a bug in the
// engine can break. Anything that bytes read from disk can make false is
// an error value instead (CorruptPageError and friends), never a check.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace ambrik {

[[noreturn]] inline void check_failed(const char* file, int line, const char* cond) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, cond);
  std::abort();
}

}  // namespace ambrik

#ifdef NDEBUG
#define AMBRIK_DCHECK(cond) \
  do {                      \
  } while (false && (cond))
#else
#define AMBRIK_DCHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::ambrik::check_failed(__FILE__, __LINE__, #cond))
#endif
