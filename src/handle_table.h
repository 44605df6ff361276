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
// Copy-on-write: every insert copies the whole root-to-leaf path (even nodes
// written earlier in the same transaction) and every delete that removes an
// entry copies the path to it; superseded ids go to the caller's `pending`
// list. Nodes are never removed and the depth never shrinks. When a writer
// fails, the caller keeps its old root, which still names the intact tree.
//
// Growth keeps the old root at child 0 of each new root, so the leftmost
// path is as deep as the tree; recover_depth relies on it.
//
// Reads are type-checked: a node whose page type or node type does not
// match its level is CorruptPageError naming it. Root and depth are owned
// by the caller (the transaction manager's state records).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

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
inline constexpr uint64_t kHandleFanout = 1021;
inline constexpr uint32_t kHandleMaxDepth = 6;
inline constexpr uint8_t kHandleNodeLeaf = 1;
inline constexpr uint8_t kHandleNodeInternal = 2;

using HandleList = std::vector<std::pair<uint64_t, HandleEntry>>;

struct HandleDeleteResult {
  uint64_t node;                      // the new node id (unchanged if nothing removed)
  std::optional<HandleEntry> removed;
};

struct HandleTable {
  // 510 * 1021^depth, saturating.
  static uint64_t span(uint32_t depth);
  // True when `handle` can be present in a tree of `depth`.
  static bool admits(uint32_t depth, uint64_t handle);

  // Writes an empty node (leaf or internal) into a page buffer, trailer set.
  static void format_node(uint8_t* page, bool leaf);
  // A new empty leaf from new_page: the first node of a table.
  static Result<uint64_t> create_root_leaf(PageCache& cache);

  // The entry of `handle`; nullopt when absent or vacant. root == kNoPage
  // means no table.
  static Result<std::optional<HandleEntry>> lookup(uint32_t depth, PageCache& cache,
                                                   uint64_t root, uint64_t handle);

  // Inserts or overwrites; returns the new root and may raise `depth`.
  // REQUIRES: root != kNoPage (create_root_leaf first).
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root,
                                 uint64_t handle, const HandleEntry& entry,
                                 const PageAllocFn& alloc, std::vector<uint64_t>& pending);
  // REQUIRES: rem < span(depth).
  static Result<uint64_t> insert_recursive(PageCache& cache, uint64_t node, uint64_t rem,
                                           const HandleEntry& entry, uint32_t depth,
                                           const PageAllocFn& alloc,
                                           std::vector<uint64_t>& pending);

  // Removes the entry under `rem`, copying the path only if there is one.
  // REQUIRES: rem < span(depth) (callers check admits() first).
  static Result<HandleDeleteResult> delete_recursive(PageCache& cache, uint64_t node,
                                                     uint64_t rem, uint32_t depth,
                                                     const PageAllocFn& alloc,
                                                     std::vector<uint64_t>& pending);

  // Every live entry, ascending by handle. REQUIRES: root != kNoPage.
  static Result<HandleList> iter_live(uint32_t depth, PageCache& cache, uint64_t root);
  // Appends the live entries under `node` (handles from `base`) to `out`.
  // A node met twice in one walk is CorruptPageError: a copy-on-write tree
  // never shares nodes, and a shared one would multiply the output.
  static Status iter_recursive(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                               HandleList& out);

  // The depth of the tree at `root` (0 when root == kNoPage), found by
  // following child 0 of internal nodes; CorruptPageError for an internal
  // node with the wrong page type or a seventh internal level.
  static Result<uint32_t> recover_depth(PageCache& cache, uint64_t root);
};

// Entry codec, exposed for the tests and the defragmenter.
// REQUIRES: p points to 16 readable (writable) bytes.
std::optional<HandleEntry> decode_handle_entry(const uint8_t* p);
void encode_handle_entry(uint8_t* p, const HandleEntry& e);

}  // namespace ambrik
