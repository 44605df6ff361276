// Pending-free records: pages that commits released while readers in other
// processes (or a fallback superblock) may still read them. They are not
// marked free in the free map; instead the committed state lists them in
// ordinary values under the reserved tag kPendingFreeTag, so that a crash,
// or the next writer in another process, loses none of them, and a build
// that does not know the records sees ordinary values.
//
// Record value (integers little-endian):
//   offset  width  field
//   0       8      magic "AMBRKPFR"
//   8       u32    group count k, 1 to 2^20
//   12      u32    zero
//   16      ...    k groups, each: u64 generation g, u64 page count n,
//                  then n u64 page ids. The pages were released by the
//                  commit of generation g (or by earlier commits whose
//                  records were merged into g's) and may be marked free once
//                  no reader pins a generation below g.
//   end-8   u64    XXH3-64 (seed 0) of every byte before it
//
// A value under the tag that does not decode (a user's value written by a
// build that did not reserve the tag) is not a record: it is left alone and
// lists nothing.
//
// Invariant of a committed state: every page id a record lists is below the
// committed page count and at or above the superblock count, listed once
// in all records together, not marked free, and reachable from nothing
// else (no tree node, data page or overflow chain of the state).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ambrik {

inline constexpr uint32_t kPendingFreeTag = 0xFFFFFFFEu;
inline constexpr char kPendingRecordMagic[8] = {'A', 'M', 'B', 'R', 'K', 'P', 'F', 'R'};

struct PendingGroup {
  uint64_t generation = 0;
  std::vector<uint64_t> pages;
};

// The value bytes of a record holding `groups`. REQUIRES: 1 <= groups.size()
// <= 2^20.
std::vector<uint8_t> encode_pending_record(std::span<const PendingGroup> groups);
// The groups of a record, or nullopt when `value` is not one.
std::optional<std::vector<PendingGroup>> decode_pending_record(std::span<const uint8_t> value);
// Bytes of a record of k groups listing n pages in all.
inline uint64_t pending_record_size(uint64_t groups, uint64_t pages) {
  return 16 + 16 * groups + 8 * pages + 8;
}

}  // namespace ambrik
