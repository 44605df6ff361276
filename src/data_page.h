// Data pages (small values, several to a page) and the SlotPacker that
// decides where the next small value goes.
//
// Data page:
//   offset        size  field
//   0             1     page type, 2
//   1             1     0
//   2             2     slot count n (u16)
//   4             2     directory end: 16 + 6 n
//   6             2     data start: lowest byte holding value bytes (8184
//                       when none)
//   8             8     zero
//   16            6 n   slot directory; slot i at 16 + 6 i:
//                         u16 offset, u16 length, u16 flags (1 = live)
//   dir end .. data start   free gap
//   data start .. 8183      value bytes, placed downward (slot 0 highest)
//   8184          8     trailer
//
// A page is structurally valid when byte 0 is 2, 16 <= directory end <=
// data start <= 8184 and 16 + 6 n <= directory end; a slot is readable when
// its index is below n, offset >= 16, offset + length <= 8184 and flags == 1.
// Values are never removed from a page: a released value only lowers the
// page's live count, and the page is retired whole when the count reaches 0.
//
// SlotPacker guarantees: only pages created by the running transaction are
// ever appended to (a committed page is carried on only as a new copy, see
// adopt) (the current page is forgotten at begin, commit, rollback
// and savepoint creation, so a page made after a savepoint is never part of
// the state it saved; returning to a savepoint brings back the page that was
// current when it was created, whose unused gap no saved entry refers to). The live count of a page equals the number of Inline
// handle entries pointing at it; pages without live values have no entry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

// 8184 - 16 (header) - 6 (one slot record).
inline constexpr uint64_t kMaxSmallValue = 8162;
inline constexpr uint16_t kDataHeaderSize = 16;
inline constexpr uint16_t kSlotRecordSize = 6;
inline constexpr uint16_t kSlotLive = 1;

struct DataPageHeader {
  uint16_t slot_count = 0;
  uint16_t dir_end = 0;
  uint16_t data_start = 0;
};

// The header when the page is structurally valid, else nullopt.
// REQUIRES: page points to a full page buffer.
std::optional<DataPageHeader> data_page_header(const uint8_t* page);
// Formats `page` as a data page holding `value` in slot 0 (the page cache
// sets the trailer when the page leaves memory).
// REQUIRES: value.size() <= kMaxSmallValue.
void data_page_init(uint8_t* page, std::span<const uint8_t> value);
// Appends `value` when the page is valid and has room (gap >= size + 6);
// returns the slot index, or nullopt with the page untouched.
std::optional<uint16_t> data_page_append(uint8_t* page, std::span<const uint8_t> value);
// A copy of slot `slot` of data page `page`; CorruptPageError naming the page
// when the page is not valid or the slot is not readable.
Result<std::vector<uint8_t>> read_data_slot(PageCache& cache, uint64_t page, uint16_t slot);
// The bytes of that slot inside the cached page: valid until the next call
// into the cache.
Result<std::span<const uint8_t>> data_slot_view(PageCache& cache, uint64_t page, uint16_t slot);

using LiveCounts = std::unordered_map<uint64_t, uint32_t>;

struct DataSlot {
  uint64_t page;
  uint16_t slot;
  bool operator==(const DataSlot&) const = default;
};

// Values are packed in two lanes, each with its own current page: untagged
// values, and values carrying a tag. Tagged values are typically rewritten
// or dropped as a group (an index's nodes, a collection), so keeping them
// apart lets their pages empty and retire instead of being held by a
// long-lived neighbour.
enum class PackLane : uint8_t { Untagged = 0, Tagged = 1 };
inline constexpr int kPackLanes = 2;

// Where a savepoint left the packer: its current pages and how far the
// undo log had grown.
struct PackerSnapshot {
  std::optional<uint64_t> current[kPackLanes];
  size_t undo_mark = 0;
};

// Live counts are kept as one working map plus an undo log of the changes
// made since the last commit, so that begin and commit cost nothing and a
// rollback (to the commit or to a savepoint) costs one step per change made
// after that point, never a copy of every count.
class SlotPacker {
 public:
  SlotPacker() = default;
  static SlotPacker from_committed(LiveCounts counts);

  // Begin and rollback: working := committed, current page unset.
  void reset();
  // Savepoint creation: returns the current page and the point to return
  // the counts to, then unsets the current page.
  PackerSnapshot snapshot();
  // Back to the counts and current page of `snap`, which must come from
  // this transaction (an open savepoint).
  void restore(const PackerSnapshot& snap);
  // committed := working, current page unset.
  void commit();
  // Before commit(): every page whose count the transaction changed, with
  // its count now (0: none left), each once.
  std::vector<std::pair<uint64_t, uint32_t>> changed_counts() const;
  // Outside a transaction: the committed counts of the pages listed become
  // the counts given (0: the page holds no live value).
  void apply_committed(std::span<const std::pair<uint64_t, uint32_t>> counts);
  // `copy` takes over the live count of `page` (which must have one) and
  // becomes the untagged lane's current page: the tail-page carry has moved
  // every live value of `page` into it.
  void adopt(uint64_t page, uint64_t copy);

  // Stores a small value in the lane's current page, or in a new page from
  // `alloc` (which becomes the lane's current page). Nothing is counted when
  // it fails. REQUIRES: value.size() <= kMaxSmallValue.
  Result<DataSlot> insert_into_data_page(PageCache& cache, std::span<const uint8_t> value,
                                         const PageAllocFn& alloc,
                                         PackLane lane = PackLane::Untagged);
  // One live value of `page` is gone; a page left with none is forgotten and
  // appended to `pending` (its bytes are left alone).
  void release_data_slot(uint64_t page, std::vector<uint64_t>& pending);

  // Pages currently holding live small values (working counts).
  std::unordered_set<uint64_t> data_page_ids_snapshot() const;

  std::optional<uint64_t> current_page(PackLane lane = PackLane::Untagged) const {
    return current_[static_cast<int>(lane)];
  }
  const LiveCounts& working_counts() const { return working_; }
  // The counts as of the last commit (built on demand: tests and
  // diagnostics).
  LiveCounts committed_counts() const;

 private:
  // Records the count of `page` before a change (0: no entry).
  void log_change(uint64_t page, uint32_t old_count);
  // Undoes logged changes until the log is `mark` entries long.
  static void undo_to(LiveCounts& counts, std::vector<std::pair<uint64_t, uint32_t>>& undo,
                      size_t mark);

  void set_current(int lane, std::optional<uint64_t> page) {
    current_[lane] = page;
    current_count_[lane] = nullptr;
  }
  void unset_current() {
    for (int l = 0; l < kPackLanes; ++l) set_current(l, std::nullopt);
  }

  std::optional<uint64_t> current_[kPackLanes];
  // working_[*current_[l]] once looked up (map nodes stay put while other
  // pages come and go), so that filling a page finds its count once; null
  // until then. Only set_current moves current_, and it clears this.
  uint32_t* current_count_[kPackLanes] = {};
  LiveCounts working_;
  // (page, count before the change), oldest first, since the last commit.
  std::vector<std::pair<uint64_t, uint32_t>> undo_;
  // Log length at the newest savepoint (or restore): entries below it must
  // stay, later ones may absorb further changes of the same page.
  size_t undo_floor_ = 0;
};

}  // namespace ambrik
