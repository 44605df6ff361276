// Helpers shared by the structure tests.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "page_cache.h"
#include "page_io.h"
#include "result.h"

namespace ambrik::testing {

// The value of a Result that is expected to succeed; a failure is recorded
// and a default value returned so the test can go on to report more.
template <typename T>
T must(Result<T> r) {
  if (!r.ok()) {
    ADD_FAILURE() << r.error().message();
    return T{};
  }
  return std::move(r).value();
}

inline void must(Status s) {
  if (!s.ok()) ADD_FAILURE() << s.error().message();
}

// Page I/O over an empty memory image.
inline std::unique_ptr<PageIo> memory_io() {
  return std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false);
}

// A fresh path under /tmp that does not exist yet; the file and its spill
// file are removed when the object goes.
class TempPath {
 public:
  TempPath() {
    char tmpl[] = "/tmp/ambrik-test-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) ::close(fd);
    ::unlink(tmpl);
    path_ = tmpl;
  }
  ~TempPath() {
    ::unlink(path_.c_str());
    ::unlink((path_ + ".spillway").c_str());
  }
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ambrik::testing
