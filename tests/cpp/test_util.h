// Helpers shared by the structure tests.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "page.h"
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

// A well-formed page (trailer set) whose bytes are a pattern of `tag`.
inline std::vector<uint8_t> make_page(uint64_t tag) {
  std::vector<uint8_t> p(kPageSize);
  for (size_t i = 0; i < kTrailerOffset; ++i) p[i] = static_cast<uint8_t>(tag * 31 + i);
  page_trailer_set(p.data());
  return p;
}

// Whether page `id`, once written out by a flush of `cache`, carries a
// correct trailer (a dirty page's trailer is only set as it leaves memory).
inline bool written_trailer_ok(PageCache& cache, uint64_t id) {
  if (!cache.flush().ok()) return false;
  std::vector<uint8_t> unit(cache.io().stride());
  return cache.io().read_page_unit_into(id, unit.data()).ok() && page_trailer_ok(unit.data());
}

// Page I/O over an empty memory image.
inline std::unique_ptr<PageIo> memory_io() {
  return std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false);
}

// A mkstemp/mkdtemp template in $TMPDIR (else /tmp): "<dir>/ambrik-<what>-XXXXXX".
inline std::string temp_template(const char* what) {
  const char* dir = std::getenv("TMPDIR");
  std::string root = dir && *dir ? dir : "/tmp";
  return root + "/ambrik-" + what + "-XXXXXX";
}

// A fresh path in the temporary directory that does not exist yet; the file
// and its spill file are removed when the object goes.
class TempPath {
 public:
  TempPath() {
    std::string tmpl = temp_template("test");
    int fd = mkstemp(tmpl.data());
    if (fd >= 0) ::close(fd);
    ::unlink(tmpl.c_str());
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

// A fresh directory in the temporary directory, removed with its contents
// when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = temp_template("dir");
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const char* name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ambrik::testing
