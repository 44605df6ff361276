// Streaming walks over the committed trees of a closed file, and bottom-up
// builders of new trees, for the operator tools (check, stats, compact).
//
// This is the one place in the tools that knows the node layouts of the
// handle table, the RadixU64 trees of the membership index and the free map
// beyond what their headers export; everything else goes through the
// engine's own decoders (decode_handle_entry, data_page_header, the
// RadixU64/HandleTable geometry) and readers.
//
// Walks: depth first, children in slot order, so handles and keys come out
// ascending. Memory is one copied node per level (at most 7), never a list
// of the tree's content. Every node is announced to `enter` before it is
// read (the caller marks reachability there and may skip it); a node that
// does not load (checksum, decryption, out of range) or has the wrong type
// for its level goes to `fault`, whose error, if any, ends the walk, and
// whose success skips the node's sub-tree.
//
// Builders: fed keys in strictly ascending order, they fill one node per
// level and write each node once it is complete, so a tree of any size is
// built with one page buffer per level. The leftmost path is always present
// at full depth (an empty leaf 0 if need be), because the engine derives a
// tree's depth by following child 0.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "handle_table.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik::tools {

// What a page is to the state that reaches it.
enum class Role : uint8_t {
  None = 0,
  Superblock,
  HandleInternal,
  HandleLeaf,
  Data,
  Overflow,
  FreeMapInterior,
  FreeMapLeaf,
  MemberInternal,
  MemberLeaf,
  // Listed by a pending-free record (pending_record.h): reachable from no
  // tree, waiting for readers before it may be marked free.
  PendingFree,
};
inline constexpr int kRoleCount = 11;
const char* role_name(Role role);

// The errors a single damaged page produces (checksum, decryption, page id,
// structure); anything else, such as I/O, ends a walk.
bool page_level(const Error& e);

struct WalkHooks {
  // Before `page` (reached from `parent`, kNoPage for a root) is read;
  // false skips it.
  std::function<bool(uint64_t page, Role role, uint64_t parent)> enter;
  // `page` did not load (`err` is the cache's error) or, when `found` is not
  // null, loaded with the wrong type for `role` (`found` is its content).
  // An error ends the walk; success skips the node.
  std::function<Status(uint64_t page, Role role, uint64_t parent, const Error* err,
                       const uint8_t* found)>
      fault;
  // Called once per node read, for progress.
  std::function<void()> read;
};

// Live entries of a handle table, ascending by handle. `leaf` is the page
// holding the entry.
using HandleVisit =
    std::function<Status(uint64_t leaf, uint64_t handle, const HandleEntry& entry)>;
Status walk_handle_table(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                         const HandleVisit& visit);

// Non-zero leaf slots of a RadixU64 tree, ascending by key.
using RadixVisit = std::function<Status(uint64_t leaf, uint64_t key, uint64_t value)>;
Status walk_radix(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                  const RadixVisit& visit);

// Page ids whose free bit is set, ascending, with the leaf that holds it.
using FreeVisit = std::function<Status(uint64_t leaf, uint64_t page)>;
Status walk_freemap(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                    const FreeVisit& visit);

// Where builders put the pages they finish.
class PageWriter {
 public:
  virtual ~PageWriter() = default;
  // A page id nobody else uses; the caller must put() it before finishing.
  virtual uint64_t reserve() = 0;
  // Writes the 8192-byte page (trailer already set) under `id`.
  virtual Status put(uint64_t id, const uint8_t* page) = 0;
};

struct BuiltTree {
  uint64_t root = kNoPage;  // kNoPage: nothing was added
  uint32_t depth = 0;
};

// Builds a handle table or a RadixU64 tree from ascending keys.
class TreeBuilder {
 public:
  static TreeBuilder handle_table(PageWriter& out);
  static TreeBuilder radix(PageWriter& out);
  TreeBuilder(TreeBuilder&&) noexcept;
  ~TreeBuilder();

  // REQUIRES: keys strictly ascending across calls.
  Status add_entry(uint64_t handle, const HandleEntry& entry);  // handle table
  Status add_value(uint64_t key, uint64_t value);               // radix, value != 0
  // Writes every open node; the builder is spent afterwards.
  Result<BuiltTree> finish();

 private:
  struct Level;
  TreeBuilder(PageWriter& out, bool handles);
  Result<uint8_t*> leaf_for(uint64_t key);
  Status attach(size_t level, uint64_t index, uint64_t child);
  Status emit(size_t level);

  PageWriter* out_;
  bool handles_;
  uint64_t leaf_fanout_;
  std::vector<std::unique_ptr<Level>> levels_;
  std::vector<uint64_t> emitted_;  // nodes written per level
};

}  // namespace ambrik::tools
