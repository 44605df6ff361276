// Test storages: a memory image shared with the test (so it survives the
// engine that wrote it), with failure injection on the Nth write or sync, or
// on the Nth call of any kind (a FaultPlan, shared with the spill storage
// the image hands out).
#pragma once

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "page_io.h"

namespace ambrik::testing {

struct SharedImage {
  std::vector<uint8_t> bytes;
};

// Counts the calls of every storage that shares it and fails one of them.
struct FaultPlan {
  enum Call : unsigned { kRead = 1, kWrite = 2, kSetLength = 4, kLength = 8, kSync = 16 };
  int fail_at = 0;  // 1-based over all calls; 0 disables
  int calls = 0;
  int injected = 0;
  unsigned last_failed = 0;  // the Call that failed
  unsigned kinds_seen = 0;   // every Call made so far
  bool fails(Call call) {
    kinds_seen |= call;
    if (++calls != fail_at) return false;
    ++injected;
    last_failed = call;
    return true;
  }
};

class FaultStorage final : public Storage {
 public:
  explicit FaultStorage(std::shared_ptr<SharedImage> image,
                        std::shared_ptr<FaultPlan> plan = nullptr)
      : image_(std::move(image)), plan_(std::move(plan)) {}

  // 1-based: the Nth call fails with EIO; 0 disables.
  int fail_write_at = 0;
  int fail_sync_at = 0;
  int writes = 0;
  int syncs = 0;

  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override {
    if (fails(FaultPlan::kRead)) return Error::io_errno(EIO);
    auto& b = image_->bytes;
    if (offset > b.size() || b.size() - offset < len)
      return Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
    std::memcpy(buf, b.data() + offset, len);
    return ok_status();
  }
  // Vectored transfers are the default's, one call per buffer: a failure
  // part-way is a short transfer that left a prefix behind.
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override {
    if (++writes == fail_write_at || fails(FaultPlan::kWrite)) return Error::io_errno(EIO);
    auto& b = image_->bytes;
    if (b.size() < offset + len) b.resize(offset + len, 0);
    std::memcpy(b.data() + offset, buf, len);
    return ok_status();
  }
  Status set_length(uint64_t len) override {
    if (fails(FaultPlan::kSetLength)) return Error::io_errno(EIO);
    image_->bytes.resize(len, 0);
    return ok_status();
  }
  Result<uint64_t> length() override {
    if (fails(FaultPlan::kLength)) return Error::io_errno(EIO);
    return static_cast<uint64_t>(image_->bytes.size());
  }
  Status sync() override {
    if (++syncs == fail_sync_at || fails(FaultPlan::kSync)) return Error::io_errno(EIO);
    return ok_status();
  }
  // With a plan, spills go to a memory image of their own under the same
  // plan; without one, the engine's own choice.
  std::unique_ptr<Storage> make_spill_storage() override {
    if (!plan_) return nullptr;
    spill_image = std::make_shared<SharedImage>();
    return std::make_unique<FaultStorage>(spill_image, plan_);
  }
  std::shared_ptr<SharedImage> spill_image;  // the last spill storage's bytes

 private:
  bool fails(FaultPlan::Call call) { return plan_ && plan_->fails(call); }

  std::shared_ptr<SharedImage> image_;
  std::shared_ptr<FaultPlan> plan_;
};

}  // namespace ambrik::testing

namespace ambrik::testing {

// Keeps what a power cut would leave: `durable` holds the bytes as of the
// last sync; `current` what reads see. A snapshot applies an arbitrary subset
// of the unsynced writes (the last one possibly torn) over `durable`.
class CrashStorage final : public Storage {
 public:
  struct Write {
    uint64_t offset;
    std::vector<uint8_t> bytes;
  };

  std::vector<uint8_t> durable;
  std::vector<uint8_t> current;
  std::vector<Write> unsynced;
  uint64_t durable_length = 0;
  // Called before every write, with this storage; tests take snapshots here.
  std::function<void(CrashStorage&)> before_write;

  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override {
    if (offset > current.size() || current.size() - offset < len)
      return Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
    std::memcpy(buf, current.data() + offset, len);
    return ok_status();
  }
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override {
    if (before_write) before_write(*this);
    if (current.size() < offset + len) current.resize(offset + len, 0);
    std::memcpy(current.data() + offset, buf, len);
    unsynced.push_back({offset, std::vector<uint8_t>(buf, buf + len)});
    return ok_status();
  }
  Status set_length(uint64_t len) override {
    current.resize(len, 0);
    // A length change is not ordered with respect to later writes; model it
    // as immediately durable, the harsher case for a shrink.
    durable.resize(len, 0);
    return ok_status();
  }
  Result<uint64_t> length() override { return static_cast<uint64_t>(current.size()); }
  Status sync() override {
    durable = current;
    unsynced.clear();
    return ok_status();
  }

  // The bytes a crash right now could leave behind.
  template <typename Rng>
  std::vector<uint8_t> crash_image(Rng& rng) const {
    std::vector<uint8_t> img = durable;
    for (size_t i = 0; i < unsynced.size(); ++i) {
      if (rng() % 2) continue;
      const Write& w = unsynced[i];
      size_t len = w.bytes.size();
      if (rng() % 4 == 0) len = rng() % (len + 1);  // torn
      if (img.size() < w.offset + len) img.resize(w.offset + len, 0);
      std::memcpy(img.data() + w.offset, w.bytes.data(), len);
    }
    return img;
  }
};

// Storage over a fixed image, for reopening a crash snapshot.
inline std::unique_ptr<FaultStorage> storage_from(std::vector<uint8_t> bytes) {
  auto image = std::make_shared<SharedImage>();
  image->bytes = std::move(bytes);
  return std::make_unique<FaultStorage>(image);
}

}  // namespace ambrik::testing
