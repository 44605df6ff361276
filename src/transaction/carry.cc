#include "transaction/carry.h"

#include <algorithm>
#include <cstring>

#include "check.h"
#include "handle_table.h"

namespace ambrik {

namespace {

uint64_t leaf_of(uint64_t handle) { return handle / kHandlesPerLeaf; }

#ifndef NDEBUG
// The number of Inline entries of the table pointing into `page`, or nullopt
// when the table could not be read (the check is then skipped: a debug
// build must fail where a release build fails, nowhere else).
std::optional<uint32_t> entries_at(PageCache& cache, uint64_t root, uint32_t depth,
                                   uint64_t page) {
  auto all = HandleTable::iter_live(depth, cache, root);
  if (!all.ok()) return std::nullopt;
  uint32_t n = 0;
  for (const auto& [handle, entry] : all.value())
    n += entry.kind == ValueKind::Inline && entry.location == page;
  return n;
}
#endif

}  // namespace

void TailCarry::note_stored(uint64_t handle, uint64_t page) {
  if (page != tail_.page) {
    tail_.clear();
    tail_.page = page;
  }
  if (tail_.count == kMaxResidents) tail_.complete = false;
  if (tail_.complete) tail_.residents[tail_.count++] = handle;
}

std::optional<size_t> TailCarry::find(uint64_t handle, bool appended) const {
  const uint64_t leaf = leaf_of(handle);
  // Best first: a page of the trigger's own leaf (no leaf beyond the
  // trigger's); for an appended value, then the page a stream of appends
  // carried across into this leaf, then one still wholly in the leaf
  // before (one extra leaf each). The newest of a kind.
  std::optional<size_t> found;
  int found_rank = 3;
  for (size_t i = parked_.size(); i-- > 0;) {
    const Parked& p = parked_[i];
    int rank = 3;
    if (p.first_leaf == leaf && !p.two_leaves) rank = 0;
    else if (appended && leaf > 0 && p.first_leaf == leaf - 1) rank = p.two_leaves ? 1 : 2;
    if (rank >= found_rank || std::find(taken_.begin(), taken_.end(), i) != taken_.end()) continue;
    found = i;
    found_rank = rank;
    if (rank == 0) break;
  }
  return found;
}

Result<std::optional<TailCarry::Carried>> TailCarry::run(size_t which, PageCache& cache,
                                                         SlotPacker& packer, uint64_t root,
                                                         uint32_t depth, const PageAllocFn& alloc,
                                                         uint64_t value_size) {
  const std::optional<Carried> not_carried;
  taken_.push_back(which);
  const Parked& from = parked_[which];
  const uint64_t page = from.page;
  auto counted = packer.working_counts().find(page);
  if (counted == packer.working_counts().end()) return not_carried;
  const uint32_t live = counted->second;

  std::array<uint8_t, kPageSize> old;
  std::memcpy(old.data(), TRY(cache.get(page)), kPageSize);
  if (!data_page_header(old.data())) return not_carried;

  // The listed handles whose entries still point into the page.
  const uint64_t base = from.first_leaf * kHandlesPerLeaf;
  std::vector<uint64_t> residents(from.count);
  for (uint32_t i = 0; i < from.count; ++i) residents[i] = base + from.offsets[i];
  std::sort(residents.begin(), residents.end());
  residents.erase(std::unique(residents.begin(), residents.end()), residents.end());
  std::vector<std::pair<uint64_t, HandleEntry>> moved;
  uint64_t bytes = 0;
  for (uint64_t handle : residents) {
    auto entry = TRY(HandleTable::lookup(depth, cache, root, handle));
    if (!entry || entry->kind != ValueKind::Inline || entry->location != page) continue;
    auto value = TRY(data_slot_view(cache, page, entry->slot));
    bytes += value.size() + kSlotRecordSize;
    moved.emplace_back(handle, *entry);
  }
  // Every live value of the page must be one of these, or an entry would be
  // left pointing at a page that is freed.
  if (moved.size() != live) return not_carried;
#ifndef NDEBUG
  const auto in_table = entries_at(cache, root, depth, page);
  AMBRIK_DCHECK(!in_table || *in_table == live);
#endif
  // Repacked, the live values leave out the slots of values gone since.
  if (kDataHeaderSize + bytes + value_size + kSlotRecordSize > kTrailerOffset) return not_carried;

  // Table nodes this carry copied are its own until the root is stored:
  // changed in place after their first copy, never visible half-done.
  std::vector<uint64_t> taken;
  const PageAllocFn take = [&]() -> Result<uint64_t> {
    const uint64_t id = TRY(alloc());
    taken.push_back(id);
    return id;
  };
  const PageInPlaceFn ours = [&](uint64_t id) {
    return std::find(taken.begin(), taken.end(), id) != taken.end();
  };

  const uint64_t copy = TRY(alloc());
  uint8_t* dst = TRY(cache.get_mut(copy));
  bool first = true;
  for (auto& [handle, entry] : moved) {
    const uint8_t* rec = old.data() + kDataHeaderSize + kSlotRecordSize * uint64_t{entry.slot};
    std::span<const uint8_t> value(old.data() + load_u16(rec), load_u16(rec + 2));
    if (first) {
      data_page_init(dst, value);
      entry.slot = 0;
      first = false;
    } else {
      auto slot = data_page_append(dst, value);
      if (!slot) return Error::internal("carried values do not fit their page");
      entry.slot = *slot;
    }
    entry.location = copy;
  }
  Carried out{root, depth, {}};
  for (const auto& [handle, entry] : moved)
    out.handle_root = TRY(HandleTable::insert(out.handle_depth, cache, out.handle_root, handle,
                                              entry, take, out.superseded, &ours));
  out.superseded.push_back(page);
  packer.adopt(page, copy);
  tail_.clear();
  tail_.page = copy;
  for (const auto& [handle, entry] : moved) tail_.residents[tail_.count++] = handle;
  return std::optional<Carried>(std::move(out));
}

void TailCarry::park(const Tail& t) {
  uint64_t lo = leaf_of(t.residents[0]), hi = lo;
  for (uint32_t i = 1; i < t.count; ++i) {
    lo = std::min(lo, leaf_of(t.residents[i]));
    hi = std::max(hi, leaf_of(t.residents[i]));
  }
  if (hi - lo > 1) return;  // no carry could take it within the bound
  Parked p{t.page, lo, hi != lo, t.count, {}};
  const uint64_t base = lo * kHandlesPerLeaf;
  for (uint32_t i = 0; i < t.count; ++i)
    p.offsets[i] = static_cast<uint16_t>(t.residents[i] - base);
  // The newest page of its leaves is the one to fill.
  std::erase_if(parked_, [&](const Parked& q) {
    return q.page == p.page || (q.first_leaf == p.first_leaf && q.two_leaves == p.two_leaves);
  });
  if (parked_.size() == kMaxParked) parked_.erase(parked_.begin());
  parked_.push_back(p);
}

void TailCarry::commit(std::optional<uint64_t> current, const SlotPacker& packer) {
  if (!taken_.empty()) {
    std::sort(taken_.begin(), taken_.end());
    taken_.erase(std::unique(taken_.begin(), taken_.end()), taken_.end());
    for (size_t i = taken_.size(); i-- > 0;) parked_.erase(parked_.begin() + taken_[i]);
    taken_.clear();
  }
  // A page released since it was parked can take no value.
  std::erase_if(parked_,
                [&](const Parked& p) { return !packer.working_counts().count(p.page); });
  if (current && *current == tail_.page && tail_.complete && tail_.count > 0) park(tail_);
  tail_.clear();
}

TailCarry::Snapshot TailCarry::savepoint() {
  Snapshot snap{tail_, taken_.size()};
  tail_.clear();
  return snap;
}

void TailCarry::restore(const Snapshot& snap) {
  tail_ = snap.tail;
  taken_.resize(snap.taken);
}

}  // namespace ambrik
