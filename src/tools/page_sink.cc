#include "tools/page_sink.h"

#include <cstring>

#include "page.h"

namespace ambrik::tools {
namespace {

constexpr uint64_t kWindowUnits = 512;  // 4 MiB of plaintext units
constexpr size_t kMaxQueued = 2;

}  // namespace

PageSink::PageSink(Storage& out, uint64_t first_id, const PageCipher* cipher)
    : out_(out), next_(first_id), cipher_(cipher),
      stride_(cipher ? kSealedStride : kPlainStride), current_(std::make_unique<Window>()) {
  current_->base = first_id;
  current_->units.resize(kWindowUnits * stride_);
  current_->filled.assign(kWindowUnits, false);
  writer_ = std::thread([this] { writer_loop(); });
}

PageSink::~PageSink() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (writer_.joinable()) writer_.join();
}

Status PageSink::seal(uint64_t id, const uint8_t* page, uint8_t* unit) const {
  if (cipher_) return cipher_->seal(id, page, unit);
  std::memcpy(unit, page, kPageSize);
  return ok_status();
}

Status PageSink::first_error() {
  std::lock_guard<std::mutex> lock(mu_);
  if (error_) return *error_;
  return ok_status();
}

Status PageSink::put(uint64_t id, const uint8_t* page) {
  Window& w = *current_;
  if (id < w.base) {
    w.late_units.resize(w.late_units.size() + stride_);
    TRY(seal(id, page, w.late_units.data() + w.late_units.size() - stride_));
    w.late_ids.push_back(id);
    return first_error();
  }
  if (id >= w.base + kWindowUnits) TRY(hand_over(id));
  Window& cur = *current_;
  TRY(seal(id, page, cur.units.data() + (id - cur.base) * stride_));
  cur.filled[id - cur.base] = true;
  return ok_status();
}

Status PageSink::hand_over(uint64_t new_base) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return queued_.size() < kMaxQueued || error_; });
  if (error_) return *error_;
  queued_.push_back(std::move(current_));
  if (!spare_.empty()) {
    current_ = std::move(spare_.back());
    spare_.pop_back();
  } else {
    current_ = std::make_unique<Window>();
    current_->units.resize(kWindowUnits * stride_);
  }
  current_->base = new_base;
  current_->filled.assign(kWindowUnits, false);
  current_->late_ids.clear();
  current_->late_units.clear();
  lock.unlock();
  cv_.notify_all();
  return ok_status();
}

Status PageSink::write_runs(const Window& w) const {
  for (uint64_t i = 0; i < kWindowUnits;) {
    if (!w.filled[i]) {
      ++i;
      continue;
    }
    uint64_t j = i;
    while (j < kWindowUnits && w.filled[j]) ++j;
    TRY(out_.write_at((w.base + i) * stride_, w.units.data() + i * stride_, (j - i) * stride_));
    i = j;
  }
  for (size_t k = 0; k < w.late_ids.size(); ++k)
    TRY(out_.write_at(w.late_ids[k] * stride_, w.late_units.data() + k * stride_, stride_));
  return ok_status();
}

void PageSink::writer_loop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping with nothing left
    std::unique_ptr<Window> w = std::move(queued_.front());
    queued_.pop_front();
    busy_ = true;
    const bool skip = error_.has_value();
    lock.unlock();
    Status written = skip ? ok_status() : write_runs(*w);
    lock.lock();
    busy_ = false;
    if (!written.ok() && !error_) error_ = std::move(written).error();
    spare_.push_back(std::move(w));
    cv_.notify_all();
  }
}

Status PageSink::finish() {
  TRY(hand_over(next_));
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return (queued_.empty() && !busy_) || error_; });
  if (error_) return *error_;
  return ok_status();
}

}  // namespace ambrik::tools
