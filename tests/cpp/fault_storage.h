// Test storages: a memory image shared with the test (so it survives the
// engine that wrote it), with failure injection on the Nth write or sync.
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "page_io.h"

namespace ambrik::testing {

struct SharedImage {
  std::vector<uint8_t> bytes;
};

class FaultStorage final : public Storage {
 public:
  explicit FaultStorage(std::shared_ptr<SharedImage> image) : image_(std::move(image)) {}

  // 1-based: the Nth call fails with EIO; 0 disables.
  int fail_write_at = 0;
  int fail_sync_at = 0;
  int writes = 0;
  int syncs = 0;

  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override {
    auto& b = image_->bytes;
    if (offset > b.size() || b.size() - offset < len)
      return Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
    std::memcpy(buf, b.data() + offset, len);
    return ok_status();
  }
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override {
    if (++writes == fail_write_at) return Error::io_errno(EIO);
    auto& b = image_->bytes;
    if (b.size() < offset + len) b.resize(offset + len, 0);
    std::memcpy(b.data() + offset, buf, len);
    return ok_status();
  }
  Status set_length(uint64_t len) override {
    image_->bytes.resize(len, 0);
    return ok_status();
  }
  Result<uint64_t> length() override { return static_cast<uint64_t>(image_->bytes.size()); }
  Status sync() override {
    if (++syncs == fail_sync_at) return Error::io_errno(EIO);
    return ok_status();
  }

 private:
  std::shared_ptr<SharedImage> image_;
};

}  // namespace ambrik::testing
