// Checker: verifies a closed database file end to end and describes it.
//
// What is verified, for the superblock chosen by the engine's rule:
//  - every superblock slot: valid or why not; an invalid slot is a warning
//    only where an interrupted commit would have left it (the slot the next
//    superblock goes to), a problem anywhere else;
//  - every page reachable from the roots is reached once, lies inside the
//    committed page count and past the slots, loads (trailer, decryption)
//    and has the type its parent expects;
//  - handle table: live handles are non-zero and below next_handle; inline
//    values sit in structurally valid data pages, in readable slots, and no
//    data page is referenced more often than it has slots; overflow chains
//    obey the engine's chain rules and have exactly the pages their length
//    needs;
//  - membership index: keys are tags, handle-set values are well-formed,
//    sets are non-empty, and the index lists exactly the tags of the live
//    handles (compared by a fingerprint; on a mismatch the differing pairs
//    are named by lookups with the engine's readers);
//  - free map: free bits only for content pages inside the committed page
//    count, and no page both reachable and free; a page below the committed
//    page count that is neither reachable nor free is leaked, a problem:
//    every commit leaves each such page one or the other (pages past the
//    count, which a crash may leave, are not leaks). One exception: in a
//    file with no other problem, leaked pages that all hold free-map nodes
//    are the retired free-map pages earlier releases left recorded nowhere
//    on a normal close; they are orphaned free-map pages, a warning (defrag
//    or compact reclaims them);
//  - pending-free records (values under kPendingFreeTag that decode, see
//    pending_record.h): the pages they list count as reachable, and each
//    must lie inside the committed page count and past the slots, be listed
//    once in all records together, not be marked free and be reachable from
//    nothing else. A value under the tag that does not decode is ordinary;
//  - named roots: names well-formed and unique; a root naming a handle that
//    is not live is a warning;
//  - key maps: every named root whose value carries the key-map tag is
//    walked whole (see keymap/verify.h); its defects are problems.
//
// Memory: a role byte, a free bit and a live count per page of the file,
// one copied node per tree level and a bounded page cache; never a list of
// handles or values, except the handles under kPendingFreeTag and the
// largest record. Problems are capped (the count goes on).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/key.h"
#include "result.h"
#include "tools/source.h"
#include "tools/tree_io.h"
#include "transaction/transaction_manager.h"

namespace ambrik::tools {

// (pages done, pages in all) while a long run goes on.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

struct Finding {
  bool problem = true;  // false: a warning
  std::optional<uint64_t> page;
  std::string text;
  // What was being examined, for programs: "superblock", "file",
  // "handle_table", "membership_index", "free_map", "pending_free_records",
  // "leaked_pages", "orphaned_free_map_pages" (a warning) or "named_roots".
  // The text is for people and may change.
  const char* kind = "superblock";
};

struct KeySlotInfo {
  uint32_t index = 0;
  uint8_t kind = 0;  // 1 raw key, 2 passphrase
  Argon2Params costs{0, 0, 0};
};

// A key map found under a named root (its header carries the reserved tag).
struct KeyMapInfo {
  uint64_t keys = 0;
  uint64_t nodes = 0;
  uint32_t height = 0;
};

struct NamedRoot {
  std::string name;
  uint64_t handle = 0;
  bool live = false;
  std::optional<KeyMapInfo> key_map;
};

struct CheckReport {
  // The file and its superblocks.
  std::string path;
  uint64_t file_bytes = 0;
  uint64_t stride = 0;
  uint64_t units = 0;
  std::vector<SlotReport> slots;  // slots 0..N-1 (or the first candidates)
  std::optional<uint32_t> chosen;
  uint64_t generation = 0;
  uint32_t format_version = 0;
  uint32_t superblock_count = 0;
  uint64_t page_count = 0;
  uint64_t next_handle = 0;
  bool encrypted = false;
  std::vector<KeySlotInfo> key_slots;  // active ones
  // What the committed state holds. Pages listed by pending-free records
  // are counted under Role::PendingFree.
  std::array<uint64_t, kRoleCount> pages_by_role{};
  uint64_t free_pages = 0;
  uint64_t leaked_pages = 0;  // neither reachable nor free, orphans included
  // Leaked pages tolerated as orphaned free-map pages (then all of them).
  uint64_t orphaned_freemap_pages = 0;
  uint64_t tail_units = 0;  // units past the committed page count
  uint64_t live_handles = 0;
  uint64_t inline_values = 0;
  uint64_t overflow_values = 0;
  uint64_t value_bytes = 0;
  uint64_t data_page_slots = 0;  // slots of the reachable data pages
  uint64_t tags_in_use = 0;
  uint64_t tagged_handles = 0;
  uint64_t pending_free_records = 0;  // values under kPendingFreeTag that decode
  std::vector<NamedRoot> named_roots;
  // The verdict.
  std::vector<Finding> findings;
  uint64_t problems = 0;
  uint64_t warnings = 0;
  uint64_t findings_dropped = 0;
};

// Errors only when the file cannot be examined (see open_source, which
// opens it with `access`, here and below); everything wrong inside it is a
// finding. A file in shared use is examined holding its write lock
// (SharedHold::Writer: the free map is read too), its writers waiting.
Result<CheckReport> check_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress, const FileAccess& access = {});
// check_file over storage the caller provides (no lock is taken).
Result<CheckReport> check_storage(std::unique_ptr<Storage> storage, const std::optional<Key>& key);

// The numbers of the engine's stats() (the file opened read-only through
// the TransactionManager, in shared mode for a file in shared use) plus the
// full description of check_file, both of one commit.
struct StatsReport {
  StatsValues stats;
  CheckReport detail;
};
Result<StatsReport> stats_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress, const FileAccess& access = {});

}  // namespace ambrik::tools
