// The checker's walk, shared by checker.cc (superblock, free map, named
// roots, the verdict) and checker_values.cc (handle table, values,
// membership index). Internal to the tools.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/checker.h"
#include "tools/source.h"
#include "tools/tree_io.h"

namespace ambrik::tools::detail {

inline constexpr size_t kMaxFindings = 2000;
inline constexpr size_t kMaxPairsNamed = 50;
inline constexpr uint64_t kMaxTag = 0xFFFFFFFFull;

std::string num(uint64_t v);
// What a page that has the wrong type looks like ("a data page", ...).
std::string describe_found(const uint8_t* page);
// A page error in words ("trailer checksum does not match", ...).
std::string describe_error(const Error& e);
// " (reached from page P)", or " (a root in the superblock)".
std::string from(uint64_t parent);

// One run over one Source: bookkeeping per page (the role it was reached
// as, its free bit, a data page's live count and slots), the two sides of
// the tag comparison, and the findings written straight into the report.
class Checker {
 public:
  Checker(Source& src, CheckReport& report, const ProgressFn& progress)
      : src_(src), sb_(src.superblock), r_(report), cache_(*src.cache), progress_(progress) {}

  Status run();

 private:
  void add(bool problem, std::optional<uint64_t> page, std::string text) {
    (problem ? r_.problems : r_.warnings) += 1;
    if (r_.findings.size() >= kMaxFindings) {
      ++r_.findings_dropped;
      return;
    }
    r_.findings.push_back(Finding{problem, page, std::move(text), kind_});
  }
  void problem(std::optional<uint64_t> page, std::string text) { add(true, page, std::move(text)); }
  void warning(std::optional<uint64_t> page, std::string text) {
    add(false, page, std::move(text));
  }

  void tick() {
    ++done_;
    // Pages are counted as they are reached; a few are read twice.
    if (progress_ && (done_ & 1023) == 0 && done_ < limit_) progress_(done_, limit_);
  }

  // Reachability bookkeeping: false when the page must not be read.
  bool enter(uint64_t page, Role role, uint64_t parent);
  WalkHooks marking_hooks();
  WalkHooks quiet_hooks();

  // A tree whose depth cannot be derived: nothing below its root is walked.
  void unreadable_root(uint64_t root, Role role, const char* tree, const Error& err);
  void check_slots();
  Status check_handles();
  void check_inline(uint64_t leaf, uint64_t handle, const HandleEntry& e);
  Status check_chain(uint64_t leaf, uint64_t handle, const HandleEntry& e);
  Status check_membership();
  Status pinpoint_membership();
  Status check_freemap();
  bool free_bit(uint64_t p) const { return (free_[p / 64] >> (p % 64)) & 1; }
  // Pages both reachable and free.
  void check_free();
  // Pages neither reachable nor free (after every other check).
  void report_leaked();
  // Whether page p loads and holds a free-map node.
  bool holds_freemap_node(uint64_t p);
  Status check_named_roots();
  // After the free map: the pages that pending-free records list.
  Status check_pending_records();
  // Page `page` as listed by the record pending_[record].
  void list_pending(size_t record, uint64_t page);
  // The key map under `root`, when its value is one.
  Status check_key_map(NamedRoot& root);
  // After every named root: values with the key-map tag that no map uses.
  void report_stray_map_values();

  const char* kind_ = "superblock";  // of the findings being made (Finding::kind)
  Source& src_;
  const Superblock& sb_;
  CheckReport& r_;
  PageCache& cache_;
  const ProgressFn& progress_;
  uint64_t n_ = 0;      // superblock slots
  uint64_t limit_ = 0;  // pages with bookkeeping: min(page_count, units)
  uint64_t done_ = 0;
  uint32_t handle_depth_ = 0;
  uint32_t member_depth_ = 0;
  bool handles_ok_ = false;  // the handle table could be walked from its root
  bool members_ok_ = false;
  std::vector<uint8_t> role_;
  std::vector<uint64_t> free_;      // bitmap
  std::vector<uint32_t> live_;      // data pages: live values (high 16) | slots (low 16);
                                    // listed pages: the index in pending_ of their record
  PairDigest from_table_, from_index_;
  std::vector<uint64_t> map_tagged_;            // live handles with the key-map tag
  std::vector<std::pair<uint64_t, HandleEntry>> pending_;  // live values under kPendingFreeTag
  std::unordered_set<uint64_t> map_reached_;    // headers and nodes of the maps found
};

}  // namespace ambrik::tools::detail
