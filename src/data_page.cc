#include "data_page.h"

#include <cstring>

#include "check.h"
#include "page.h"

namespace ambrik {
namespace {

constexpr uint64_t kSlotCountOff = 2;
constexpr uint64_t kDirEndOff = 4;
constexpr uint64_t kDataStartOff = 6;

void write_slot(uint8_t* page, uint16_t index, uint16_t offset, uint16_t length) {
  uint8_t* rec = page + kDataHeaderSize + kSlotRecordSize * uint64_t{index};
  store_u16(rec, offset);
  store_u16(rec + 2, length);
  store_u16(rec + 4, kSlotLive);
}

void write_header(uint8_t* page, const DataPageHeader& h) {
  store_u16(page + kSlotCountOff, h.slot_count);
  store_u16(page + kDirEndOff, h.dir_end);
  store_u16(page + kDataStartOff, h.data_start);
}

}  // namespace

namespace {

// data_page_header's check, inlined where a page is appended to: returned
// through memory, the optional header cost a stalled reload per value.
inline bool read_header(const uint8_t* page, DataPageHeader& h) {
  if (page[0] != kPageData) return false;
  h = DataPageHeader{load_u16(page + kSlotCountOff), load_u16(page + kDirEndOff),
                     load_u16(page + kDataStartOff)};
  uint64_t dir_needed = kDataHeaderSize + uint64_t{kSlotRecordSize} * h.slot_count;
  return h.dir_end >= kDataHeaderSize && h.data_start <= kUsableBytes &&
         h.dir_end <= h.data_start && dir_needed <= h.dir_end;
}

}  // namespace

std::optional<DataPageHeader> data_page_header(const uint8_t* page) {
  DataPageHeader h;
  if (!read_header(page, h)) return std::nullopt;
  return h;
}

void data_page_init(uint8_t* page, std::span<const uint8_t> value) {
  AMBRIK_DCHECK(value.size() <= kMaxSmallValue);
  std::memset(page, 0, kTrailerOffset);
  page[0] = kPageData;
  auto len = static_cast<uint16_t>(value.size());
  auto off = static_cast<uint16_t>(kUsableBytes - len);
  if (len != 0) std::memcpy(page + off, value.data(), len);
  write_slot(page, 0, off, len);
  write_header(page, DataPageHeader{1, kDataHeaderSize + kSlotRecordSize, off});
}

namespace {

// data_page_append, returning the slot index or -1, for the packer: an
// optional<uint16_t> comes back through the stack as a byte and a halfword
// stored apart and reloaded as one word, which stalls.
inline int32_t append_slot(uint8_t* page, std::span<const uint8_t> value) {
  DataPageHeader h;
  if (!read_header(page, h)) return -1;
  uint64_t gap = h.data_start - h.dir_end;
  // Validity bounds n by 1361 (16 + 6 n <= 8184), so n + 1 cannot wrap.
  if (gap < value.size() + kSlotRecordSize) return -1;
  auto len = static_cast<uint16_t>(value.size());
  auto off = static_cast<uint16_t>(h.data_start - len);
  if (len != 0) std::memcpy(page + off, value.data(), len);
  // The directory may legitimately end past 16 + 6 n; the record goes at its
  // end, which the validity check keeps inside the gap.
  uint8_t* rec = page + h.dir_end;
  store_u16(rec, off);
  store_u16(rec + 2, len);
  store_u16(rec + 4, kSlotLive);
  uint16_t index = h.slot_count;
  write_header(page, DataPageHeader{static_cast<uint16_t>(index + 1),
                                    static_cast<uint16_t>(h.dir_end + kSlotRecordSize), off});
  return index;
}

}  // namespace

std::optional<uint16_t> data_page_append(uint8_t* page, std::span<const uint8_t> value) {
  int32_t slot = append_slot(page, value);
  if (slot < 0) return std::nullopt;
  return static_cast<uint16_t>(slot);
}

Result<std::vector<uint8_t>> read_data_slot(PageCache& cache, uint64_t page_id, uint16_t slot) {
  std::span<const uint8_t> v = TRY(data_slot_view(cache, page_id, slot));
  return std::vector<uint8_t>(v.begin(), v.end());
}

Result<std::span<const uint8_t>> data_slot_view(PageCache& cache, uint64_t page_id,
                                                uint16_t slot) {
  const uint8_t* page = TRY(cache.get(page_id));
  auto h = data_page_header(page);
  if (!h || slot >= h->slot_count) return Error::corrupt_page(page_id);
  const uint8_t* rec = page + kDataHeaderSize + kSlotRecordSize * uint64_t{slot};
  uint64_t off = load_u16(rec);
  uint64_t len = load_u16(rec + 2);
  if (off < kDataHeaderSize || off + len > kUsableBytes || load_u16(rec + 4) != kSlotLive) {
    return Error::corrupt_page(page_id);
  }
  return std::span<const uint8_t>(page + off, len);
}

SlotPacker SlotPacker::from_committed(LiveCounts counts) {
  SlotPacker p;
  p.working_ = std::move(counts);
  return p;
}

void SlotPacker::undo_to(LiveCounts& counts, std::vector<std::pair<uint64_t, uint32_t>>& undo,
                         size_t mark) {
  while (undo.size() > mark) {
    auto [page, old] = undo.back();
    undo.pop_back();
    if (old == 0) counts.erase(page);
    else counts[page] = old;
  }
}

void SlotPacker::log_change(uint64_t page, uint32_t old_count) {
  // The entry just before already holds this page's older count, and no
  // savepoint lies between it and now: undoing it alone restores both.
  if (undo_.size() > undo_floor_ && undo_.back().first == page) return;
  undo_.emplace_back(page, old_count);
}

void SlotPacker::reset() {
  undo_to(working_, undo_, 0);
  undo_floor_ = 0;
  unset_current();
}

PackerSnapshot SlotPacker::snapshot() {
  PackerSnapshot snap;
  for (int l = 0; l < kPackLanes; ++l) snap.current[l] = current_[l];
  snap.undo_mark = undo_.size();
  undo_floor_ = undo_.size();
  unset_current();
  return snap;
}

void SlotPacker::restore(const PackerSnapshot& snap) {
  if (snap.undo_mark <= undo_.size()) undo_to(working_, undo_, snap.undo_mark);
  undo_floor_ = undo_.size();
  for (int l = 0; l < kPackLanes; ++l) set_current(l, snap.current[l]);
}

void SlotPacker::commit() {
  undo_.clear();
  undo_floor_ = 0;
  unset_current();
}

std::vector<std::pair<uint64_t, uint32_t>> SlotPacker::changed_counts() const {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  out.reserve(undo_.size());
  std::unordered_set<uint64_t> seen;
  for (const auto& [page, old] : undo_) {
    if (!seen.insert(page).second) continue;
    auto it = working_.find(page);
    out.emplace_back(page, it == working_.end() ? 0 : it->second);
  }
  return out;
}

void SlotPacker::apply_committed(std::span<const std::pair<uint64_t, uint32_t>> counts) {
  AMBRIK_DCHECK(undo_.empty());
  for (const auto& [page, n] : counts) {
    if (n == 0) working_.erase(page);
    else working_[page] = n;
  }
}

void SlotPacker::adopt(uint64_t page, uint64_t copy) {
  auto it = working_.find(page);
  if (it == working_.end()) return;
  const uint32_t n = it->second;
  log_change(page, n);
  working_.erase(it);
  log_change(copy, 0);
  working_[copy] = n;
  set_current(static_cast<int>(PackLane::Untagged), copy);
}

LiveCounts SlotPacker::committed_counts() const {
  LiveCounts counts = working_;
  std::vector<std::pair<uint64_t, uint32_t>> undo = undo_;
  undo_to(counts, undo, 0);
  return counts;
}

Result<DataSlot> SlotPacker::insert_into_data_page(PageCache& cache,
                                                   std::span<const uint8_t> value,
                                                   const PageAllocFn& alloc, PackLane lane) {
  if (value.size() > kMaxSmallValue) {
    return Error::internal("small value larger than a data page holds");
  }
  const int l = static_cast<int>(lane);
  if (current_[l]) {
    const uint64_t cur = *current_[l];
    uint8_t* page = TRY(cache.get_mut(cur));
    if (int32_t slot = append_slot(page, value); slot >= 0) {
      if (!current_count_[l]) current_count_[l] = &working_[cur];
      log_change(cur, *current_count_[l]);
      *current_count_[l] += 1;
      return DataSlot{cur, static_cast<uint16_t>(slot)};
    }
  }
  uint64_t id = TRY(alloc());
  uint8_t* page = TRY(cache.get_mut(id));
  data_page_init(page, value);
  set_current(l, id);
  uint32_t& count = working_[id];
  current_count_[l] = &count;
  log_change(id, count);
  count += 1;
  return DataSlot{id, 0};
}

void SlotPacker::release_data_slot(uint64_t page, std::vector<uint64_t>& pending) {
  auto it = working_.find(page);
  if (it == working_.end()) return;
  log_change(page, it->second);
  if (it->second != 0) {
    it->second -= 1;
    if (it->second != 0) return;
  }
  working_.erase(it);
  for (int l = 0; l < kPackLanes; ++l)
    if (current_[l] == page) set_current(l, std::nullopt);
  pending.push_back(page);
}

std::unordered_set<uint64_t> SlotPacker::data_page_ids_snapshot() const {
  std::unordered_set<uint64_t> ids;
  ids.reserve(working_.size());
  for (const auto& [page, count] : working_) ids.insert(page);
  return ids;
}

}  // namespace ambrik
