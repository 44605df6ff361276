#include "transaction/generation_pins.h"

#include <algorithm>

#include "check.h"
#include "shared/reader_table.h"

namespace ambrik {

void GenerationPins::attach(ReaderTable* table) {
  std::lock_guard<std::mutex> lock(mu_);
  AMBRIK_DCHECK(snapshots_.empty());
  table_ = table;
}

void GenerationPins::detach() {
  std::lock_guard<std::mutex> lock(mu_);
  table_ = nullptr;
}

uint64_t GenerationPins::pin_newest() {
  std::lock_guard<std::mutex> lock(mu_);
  AMBRIK_DCHECK(table_ != nullptr);
  // The slot keeps an older pin of ours, which protects the newest too.
  const uint64_t g = table_->pin();
  add_locked(g);
  return g;
}

void GenerationPins::add_locked(uint64_t generation) {
  auto it = std::lower_bound(snapshots_.begin(), snapshots_.end(),
                             std::make_pair(generation, uint64_t{0}));
  if (it != snapshots_.end() && it->first == generation) ++it->second;
  else snapshots_.insert(it, {generation, 1});
  open_.fetch_add(1, std::memory_order_acq_rel);
}

void GenerationPins::pin(uint64_t generation) {
  std::lock_guard<std::mutex> lock(mu_);
  add_locked(generation);
}

void GenerationPins::unpin(uint64_t generation) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::lower_bound(snapshots_.begin(), snapshots_.end(),
                             std::make_pair(generation, uint64_t{0}));
  if (it == snapshots_.end() || it->first != generation) return;
  if (--it->second == 0) snapshots_.erase(it);
  open_.fetch_sub(1, std::memory_order_acq_rel);
  if (table_ != nullptr) {
    // Only ever raised here (or cleared): the oldest pin left.
    table_->set_pinned(snapshots_.empty() ? 0 : snapshots_.begin()->first);
    return;
  }
  prune_locked();
}

void GenerationPins::note_commit_slow(uint64_t generation, const std::vector<uint64_t>& freed) {
  std::lock_guard<std::mutex> lock(mu_);
  if (snapshots_.empty() || snapshots_.begin()->first >= generation || freed.empty()) return;
  std::vector<uint64_t>& rec = freed_by_[generation];
  rec.insert(rec.end(), freed.begin(), freed.end());
  auto next = std::make_shared<HeldPages>(held_ ? *held_ : HeldPages{});
  next->insert(freed.begin(), freed.end());
  held_ = std::move(next);
  any_held_.store(true, std::memory_order_release);
}

void GenerationPins::prune_locked() {
  // A record of commit g is needed while some snapshot is of a generation
  // below g, that is while the oldest one is.
  const uint64_t oldest = snapshots_.empty() ? UINT64_MAX : snapshots_.begin()->first;
  bool dropped = false;
  for (auto it = freed_by_.begin(); it != freed_by_.end() && it->first <= oldest;) {
    it = freed_by_.erase(it);
    dropped = true;
  }
  if (!dropped) return;
  releases_.fetch_add(1, std::memory_order_acq_rel);
  if (freed_by_.empty()) {
    held_.reset();
    any_held_.store(false, std::memory_order_release);
    return;
  }
  auto next = std::make_shared<HeldPages>();
  for (const auto& [g, pages] : freed_by_) next->insert(pages.begin(), pages.end());
  held_ = std::move(next);
}

std::shared_ptr<const HeldPages> GenerationPins::held() const {
  if (!any_held_.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

}  // namespace ambrik
