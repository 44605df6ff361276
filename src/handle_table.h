// HandleTable: the radix tree from 64-bit handle to HandleEntry.
//
// A tree of depth d has a leaf at d = 0 and internal nodes above it; it
// admits handles [0, span(d)), span(d) = 510 * 1021^d saturating at
// 2^64 - 1 (a saturated span admits every handle; depth never exceeds 6).
// Routing at an internal node of depth d: child = h / span(d - 1), the
// remainder h mod span(d - 1) goes down; at a leaf the entry is h mod 510.
//
// Node page:
//   offset  size  field
//   0       1     page type, 1
//   1       1     node type: 1 leaf, 2 internal
//   2       14    zero
//   16      8160  leaf: 510 entries of 16 bytes, entry i at 16 + 16 i
//                 (8176..8183 stay zero)
//   16      8168  internal: 1021 child ids u64 LE, child i at 16 + 8 i;
//                 0 = no child
//   8184    8     trailer
// Leaf entry:
//   0   u64  location (data page, or first overflow page)
//   8   u16  slot (0 for an overflow value)
//   10  u8   kind: 1 inline, 2 overflow; anything else is vacant
//   11  u32  tag (unaligned; 0 = untagged)
//   15  u8   client byte
//
// The tree itself is a CowRadix (cow_radix.h: copy-on-write rules, growth,
// type checks, the walk); this module adds the leaf layout and the entry
// codec. Root and depth are owned by the caller (the transaction manager's
// state records).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "cow_radix.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

enum class ValueKind : uint8_t { Inline = 1, Overflow = 2 };

struct HandleEntry {
  uint64_t location = 0;
  uint32_t tag = 0;
  uint16_t slot = 0;
  uint8_t client_byte = 0;
  ValueKind kind = ValueKind::Inline;
  bool operator==(const HandleEntry&) const = default;
};

inline constexpr uint64_t kHandlesPerLeaf = 510;
inline constexpr uint64_t kHandleFanout = kInteriorFanout;
inline constexpr uint32_t kHandleMaxDepth = 6;
inline constexpr uint8_t kHandleNodeLeaf = 1;
inline constexpr uint8_t kHandleNodeInternal = 2;
inline constexpr uint64_t kHandleEntrySize = 16;

using HandleList = std::vector<std::pair<uint64_t, HandleEntry>>;

// Entry codec, exposed for the tests and the defragmenter. Inline: built
// in registers, the decoded entry does not come back through memory as
// narrow stores that a wide copy then stalls on.
// REQUIRES: p points to 16 readable (writable) bytes.
inline std::optional<HandleEntry> decode_handle_entry(const uint8_t* p) {
  uint8_t kind = p[10];
  if (kind != 1 && kind != 2) return std::nullopt;
  HandleEntry e;
  e.location = load_u64(p);
  e.slot = load_u16(p + 8);
  e.kind = kind == 1 ? ValueKind::Inline : ValueKind::Overflow;
  e.tag = load_u32(p + 11);
  e.client_byte = p[15];
  return e;
}
inline void encode_handle_entry(uint8_t* p, const HandleEntry& e) {
  store_u64(p, e.location);
  store_u16(p + 8, e.slot);
  p[10] = static_cast<uint8_t>(e.kind);
  store_u32(p + 11, e.tag);
  p[15] = e.client_byte;
}

// The leaf layout of the handle table for CowRadix.
struct HandleTableLayout {
  static constexpr uint64_t kLeafSlots = kHandlesPerLeaf;
  static constexpr uint64_t kSlotWidth = kHandleEntrySize;
  static constexpr uint32_t kMaxDepth = kHandleMaxDepth;
  static void format(uint8_t* page, bool leaf) {
    page[0] = kPageHandleNode;
    page[1] = leaf ? kHandleNodeLeaf : kHandleNodeInternal;
  }
  static bool is_node(const uint8_t* page, bool leaf) {
    return page[0] == kPageHandleNode && page[1] == (leaf ? kHandleNodeLeaf : kHandleNodeInternal);
  }
  static bool marks_interior(const uint8_t* page) { return page[1] == kHandleNodeInternal; }
  static bool slot_live(const uint8_t* slot) { return slot[10] == 1 || slot[10] == 2; }
};

struct HandleDeleteResult {
  uint64_t node;                      // the new root (unchanged if nothing removed)
  std::optional<HandleEntry> removed;
};

struct HandleTable {
  using Tree = CowRadix<HandleTableLayout>;

  // 510 * 1021^depth, saturating.
  static uint64_t span(uint32_t depth) { return Tree::span(depth); }
  // True when `handle` can be present in a tree of `depth`.
  static bool admits(uint32_t depth, uint64_t handle) { return Tree::admits(depth, handle); }
  // Writes an empty node (leaf or internal) into a page buffer; the trailer
  // is left to the page cache.
  static void format_node(uint8_t* page, bool leaf) { Tree::format_node(page, leaf); }

  // The entry of `handle`; nullopt when absent or vacant. root == kNoPage
  // means no table.
  static Result<std::optional<HandleEntry>> lookup(uint32_t depth, PageCache& cache,
                                                   uint64_t root, uint64_t handle) {
    auto slot = TRY(Tree::lookup(depth, cache, root, handle));
    return decode_handle_entry(slot.data());
  }

  // Where the entry of `handle` lies if its path is cached (see
  // CowRadix::peek_slot): a hint, unchecked.
  static const uint8_t* peek_entry(uint32_t depth, const PageCache& cache, uint64_t root,
                                   uint64_t handle) {
    return Tree::peek_slot(depth, cache, root, handle);
  }

  // Inserts or overwrites; returns the new root and may raise `depth`. An
  // empty table (root == kNoPage) first gets a leaf from `alloc`. Nodes that
  // `in_place` accepts are changed where they lie (CowRadix::insert).
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root,
                                 uint64_t handle, const HandleEntry& entry,
                                 const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                                 const PageInPlaceFn* in_place = nullptr) {
    uint8_t slot[kHandleEntrySize];
    encode_handle_entry(slot, entry);
    return Tree::insert(depth, cache, root, handle, slot, alloc, pending, in_place);
  }

  // Removes the entry of `handle`, copying the path only if there is one;
  // a handle the table cannot hold is simply absent. `in_place` as for
  // insert.
  static Result<HandleDeleteResult> remove(uint32_t depth, PageCache& cache, uint64_t root,
                                           uint64_t handle, const PageAllocFn& alloc,
                                           std::vector<uint64_t>& pending,
                                           const PageInPlaceFn* in_place = nullptr) {
    Tree::Removed cut;
    TRY(Tree::remove_into(depth, cache, root, handle, alloc, pending, in_place, cut));
    if (!cut.found) return HandleDeleteResult{cut.node, std::nullopt};
    return HandleDeleteResult{cut.node, decode_handle_entry(cut.slot.data())};
  }

  // Every live entry, ascending by handle; empty when root == kNoPage.
  static Result<HandleList> iter_live(uint32_t depth, PageCache& cache, uint64_t root);

  // The depth of the tree at `root` (0 when root == kNoPage), found by
  // following child 0 of internal nodes; CorruptPageError for an internal
  // node with the wrong page type or a seventh internal level.
  static Result<uint32_t> recover_depth(PageCache& cache, uint64_t root) {
    return Tree::recover_depth(cache, root);
  }
};

}  // namespace ambrik
