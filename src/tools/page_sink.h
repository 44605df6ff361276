// PageSink: the pages of a new database file, written behind the caller.
//
// Ids are handed out in order by reserve(); pages are put in roughly that
// order (the compactor's current data page is reserved when started and put
// when full). A window of ids collects the sealed units; when a page falls
// past the window, the whole window goes to a writer thread, which writes
// each contiguous run of it with one call while the caller goes on preparing
// the next window. A page put behind the window (a data page reserved long
// before it filled) travels with the current window and is written with it.
//
// The writer thread exists only while a sink does: it is joined when the
// sink is finished or destroyed, never outlives it and touches nothing but
// the storage and the buffers handed to it. It is the only thread that calls
// the storage until finish() returns, so the storage needs no locking of its
// own. At most two windows are queued, so memory is bounded (about 12 MiB
// and the few pages put behind each window). The first write error is kept
// and returned by the next put() or by finish().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "crypto/cipher.h"
#include "page_io.h"
#include "result.h"
#include "tools/tree_io.h"

namespace ambrik::tools {

class PageSink final : public PageWriter {
 public:
  // Pages from `first_id` on, into `out` (not owned; it must outlive the
  // sink), sealed with `cipher` (not owned; null for a plaintext file).
  PageSink(Storage& out, uint64_t first_id, const PageCipher* cipher);
  ~PageSink() override;
  PageSink(const PageSink&) = delete;
  PageSink& operator=(const PageSink&) = delete;

  uint64_t reserve() override { return next_++; }
  Status put(uint64_t id, const uint8_t* page) override;
  // Writes what is left and waits for the writer. REQUIRES: every reserved
  // id has been put.
  Status finish();

  uint64_t next() const { return next_; }
  uint64_t stride() const { return stride_; }

 private:
  struct Window {
    uint64_t base = 0;
    std::vector<uint8_t> units;
    std::vector<bool> filled;
    // Pages put behind `base`: their ids and units, one after the other.
    std::vector<uint64_t> late_ids;
    std::vector<uint8_t> late_units;
  };
  Status seal(uint64_t id, const uint8_t* page, uint8_t* unit) const;
  // Hands the current window to the writer and takes an empty one.
  Status hand_over(uint64_t new_base);
  Status write_runs(const Window& w) const;
  void writer_loop();
  Status first_error();

  Storage& out_;
  uint64_t next_;
  const PageCipher* cipher_;
  uint64_t stride_;
  std::unique_ptr<Window> current_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<Window>> queued_;  // to write, oldest first
  std::vector<std::unique_ptr<Window>> spare_;  // written, for reuse
  bool busy_ = false;
  bool stop_ = false;
  std::optional<Error> error_;
  std::thread writer_;
};

}  // namespace ambrik::tools
