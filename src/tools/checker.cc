#include "tools/checker.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "data_page.h"
#include "membership_index.h"
#include "named_roots.h"
#include "overflow.h"
#include "page.h"

namespace ambrik::tools {
namespace {

constexpr uint64_t kCacheBytes = 16ull << 20;
constexpr size_t kMaxFindings = 2000;
constexpr size_t kMaxPairsNamed = 50;
constexpr uint64_t kMaxTag = 0xFFFFFFFFull;

std::string num(uint64_t v) { return std::to_string(v); }

const char* page_type_name(uint8_t t) {
  switch (t) {
    case kPageHandleNode: return "a handle-table node";
    case kPageData: return "a data page";
    case kPageOverflow: return "an overflow page";
    case kPageFreeMapLeaf: return "a free-map leaf";
    case kPageMemberInternal: return "a membership-index internal node";
    case kPageMemberLeaf: return "a membership-index leaf";
    case kPageFreeMapInterior: return "a free-map interior node";
    default: return nullptr;
  }
}

std::string describe_found(const uint8_t* page) {
  if (std::memcmp(page, "KBMA", 4) == 0) return "a superblock";
  const char* name = page_type_name(page[0]);
  std::string s = name ? name : "page type " + num(page[0]);
  if (page[0] == kPageHandleNode) {
    s += page[1] == kHandleNodeLeaf       ? " (leaf)"
         : page[1] == kHandleNodeInternal ? " (internal)"
                                          : " (node type " + num(page[1]) + ")";
  }
  return s;
}

std::string describe_error(const Error& e) {
  switch (e.kind()) {
    case ErrorKind::ChecksumMismatch: return "trailer checksum does not match";
    case ErrorKind::DecryptionFailed: return "does not decrypt with the data key";
    case ErrorKind::InvalidPageId: return "lies beyond the end of the file";
    case ErrorKind::CorruptPage: return "corrupt structure";
    default: return e.message();
  }
}

std::string from(uint64_t parent) {
  if (parent == kNoPage) return " (a root in the superblock)";
  return " (reached from page " + num(parent) + ")";
}

bool valid_utf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = s[i];
    size_t len = c < 0x80            ? 1
                 : (c >> 5) == 0x6   ? 2
                 : (c >> 4) == 0xE   ? 3
                 : (c >> 3) == 0x1E  ? 4
                                     : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

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
    r_.findings.push_back(Finding{problem, page, std::move(text)});
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
  void check_free_and_leaked();
  Status check_named_roots();

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
  std::vector<uint32_t> live_;      // data pages: live values (high 16) | slots (low 16)
  PairDigest from_table_, from_index_;
};

bool Checker::enter(uint64_t page, Role role, uint64_t parent) {
  tick();
  if (page < n_) {
    problem(page, std::string(role_name(role)) + " expected" + from(parent) +
                      ", but the page is a superblock slot");
    return false;
  }
  if (page >= sb_.page_count) {
    problem(page, std::string(role_name(role)) + from(parent) +
                      " lies beyond the committed page count " + num(sb_.page_count));
    return false;
  }
  if (page >= limit_) {
    problem(page, std::string(role_name(role)) + from(parent) +
                      " lies beyond the end of the file (truncated)");
    return false;
  }
  Role before = static_cast<Role>(role_[page]);
  if (before != Role::None) {
    problem(page, std::string("reached twice: as ") + role_name(role) + from(parent) +
                      " and before as " + role_name(before));
    return false;
  }
  role_[page] = static_cast<uint8_t>(role);
  ++r_.pages_by_role[static_cast<int>(role)];
  return true;
}

WalkHooks Checker::marking_hooks() {
  WalkHooks h;
  h.enter = [this](uint64_t page, Role role, uint64_t parent) {
    return enter(page, role, parent);
  };
  h.fault = [this](uint64_t page, Role role, uint64_t parent, const Error* err,
                   const uint8_t* found) -> Status {
    if (err) {
      problem(page, std::string(role_name(role)) + from(parent) + ": " + describe_error(*err));
    } else {
      problem(page, std::string(role_name(role)) + " expected" + from(parent) + ", found " +
                        describe_found(found));
    }
    return ok_status();
  };
  return h;
}

// For second passes: no bookkeeping, damage already reported.
WalkHooks Checker::quiet_hooks() {
  WalkHooks h;
  h.enter = [this](uint64_t page, Role role, uint64_t) {
    return page < limit_ && page >= n_ && static_cast<Role>(role_[page]) == role;
  };
  h.fault = [](uint64_t, Role, uint64_t, const Error*, const uint8_t*) { return ok_status(); };
  return h;
}

void Checker::unreadable_root(uint64_t root, Role role, const char* tree, const Error& err) {
  std::string where = std::string(tree) + " root";
  if (root < n_) {
    problem(root, where + " is a superblock slot");
  } else if (root >= sb_.page_count) {
    problem(root, where + " lies beyond the committed page count " + num(sb_.page_count));
  } else {
    if (root < limit_ && role_[root] == 0) {
      role_[root] = static_cast<uint8_t>(role);
      ++r_.pages_by_role[static_cast<int>(role)];
    }
    problem(err.a(), where + ": " + describe_error(err));
  }
}

void Checker::check_slots() {
  const uint64_t chosen = src_.chosen;
  // Where the engine writes its next superblock: one generation on, never
  // over the slot it stands on.
  uint64_t next_gen = sb_.generation + 1;
  if (next_gen % n_ == chosen) ++next_gen;
  const uint64_t next_slot = next_gen % n_;
  for (const SlotReport& s : src_.candidates) {
    if (s.index >= n_) {
      if (s.index == chosen)
        problem(s.index, "the chosen superblock lies in page " + num(s.index) +
                             ", outside the " + num(n_) + " superblock slots");
      continue;
    }
    r_.slots.push_back(s);
    if (s.index == chosen) continue;
    const std::string slot = "superblock slot " + num(s.index) + ": ";
    if (!s.valid) {
      if (s.index == next_slot)
        warning(s.index, slot + s.defect + " (where an interrupted commit leaves a torn slot)");
      else if (sb_.generation < n_)
        warning(s.index, slot + s.defect + " (the file never got past its creation)");
      else
        problem(s.index, slot + s.defect);
      continue;
    }
    if (s.encrypted != src_.encrypted())
      problem(s.index, slot + "plaintext and encrypted superblocks in one file");
    else if (s.encrypted && !s.body_opens)
      problem(s.index, slot + "sealed body does not open with the data key");
    if (s.superblock_count != n_)
      problem(s.index, slot + "superblock count " + num(s.superblock_count) +
                           ", the chosen one says " + num(n_));
    if (s.generation == sb_.generation)
      problem(s.index, slot + "same generation " + num(s.generation) + " as the chosen slot");
  }
  for (uint64_t i = src_.candidates.size(); i < n_; ++i)
    problem(i, "superblock slot " + num(i) + ": missing (file too short)");
}

void Checker::check_inline(uint64_t leaf, uint64_t handle, const HandleEntry& e) {
  const uint64_t page = e.location;
  const std::string who = "handle " + num(handle) + " (leaf " + num(leaf) + ")";
  if (page < limit_ && role_[page] == static_cast<uint8_t>(Role::Data)) {
    // Seen before: only the slot is new.
  } else if (page < limit_ && page >= n_ && page < sb_.page_count &&
             role_[page] == static_cast<uint8_t>(Role::None)) {
    role_[page] = static_cast<uint8_t>(Role::Data);
    ++r_.pages_by_role[static_cast<int>(Role::Data)];
    tick();
    auto got = cache_.get(page);
    if (!got.ok()) {
      problem(page, std::string("data page of ") + who + ": " + describe_error(got.error()));
      live_[page] = 0xFFFFFFFFu;  // unusable: later references stay quiet
      return;
    }
    auto header = data_page_header(got.value());
    if (!header) {
      if (got.value()[0] != kPageData)
        problem(page, "data page expected for " + who + ", found " + describe_found(got.value()));
      else
        problem(page, "data page of " + who + ": header is not structurally valid");
      live_[page] = 0xFFFFFFFFu;
      return;
    }
    live_[page] = header->slot_count;
    r_.data_page_slots += header->slot_count;
  } else {
    // Out of range, a slot, or a page already reached as something else.
    if (page < limit_ && page >= n_ && page < sb_.page_count)
      problem(page, "data page of " + who + " was reached before as " +
                        role_name(static_cast<Role>(role_[page])));
    else
      enter(page, Role::Data, leaf);
    return;
  }
  if (live_[page] == 0xFFFFFFFFu) return;
  auto value = read_data_slot(cache_, page, e.slot);
  if (!value.ok()) {
    problem(page, "slot " + num(e.slot) + " of data page " + num(page) + " for " + who +
                      " is not readable");
    return;
  }
  r_.value_bytes += value.value().size();
  ++r_.inline_values;
  const uint32_t slots = live_[page] & 0xFFFF;
  const uint32_t live = (live_[page] >> 16) + 1;
  if (live == slots + 1)
    problem(page, "data page holds " + num(slots) + " slots but more live handles point into it");
  if (live <= 0xFFFF) live_[page] = (live << 16) | slots;
}

Status Checker::check_chain(uint64_t leaf, uint64_t handle, const HandleEntry& e) {
  const uint64_t first = e.location;
  const std::string who = "overflow chain of handle " + num(handle) + " (leaf " + num(leaf) + ")";
  if (first < n_ || first >= limit_ || role_[first] != 0) {
    enter(first, Role::Overflow, leaf);
    return ok_status();
  }
  auto ids = Overflow::collect_chain_pages(cache_, first);
  if (!ids.ok()) {
    const Error& err = ids.error();
    switch (err.kind()) {
      case ErrorKind::ChecksumMismatch:
      case ErrorKind::DecryptionFailed:
      case ErrorKind::InvalidPageId:
      case ErrorKind::CorruptPage:
        problem(err.a(), who + ": " +
                             (err.kind() == ErrorKind::CorruptPage
                                  ? std::string("broken chain (wrong page type, zero length, "
                                                "or longer than its length allows)")
                                  : describe_error(err)));
        // Whatever pages the chain has are still its own.
        enter(first, Role::Overflow, leaf);
        return ok_status();
      default:
        return std::move(ids).error();
    }
  }
  const uint8_t* head = TRY(cache_.get(first));
  const uint64_t len = load_u64(head + kOverflowLengthOffset);
  const uint64_t want = len / kOverflowPayload + (len % kOverflowPayload != 0);
  uint64_t parent = leaf;
  for (uint64_t id : ids.value()) {
    if (!enter(id, Role::Overflow, parent)) break;
    parent = id;
  }
  if (ids.value().size() != want)
    problem(first, who + ": broken chain, " + num(ids.value().size()) + " pages for a length of " +
                       num(len) + " bytes (" + num(want) + " needed)");
  ++r_.overflow_values;
  r_.value_bytes += len;
  return ok_status();
}

Status Checker::check_handles() {
  if (sb_.handle_root == kNoPage) {
    handles_ok_ = true;
    return ok_status();
  }
  auto depth = HandleTable::recover_depth(cache_, sb_.handle_root);
  if (!depth.ok()) {
    const Error& err = depth.error();
    if (err.kind() == ErrorKind::Io) return std::move(depth).error();
    unreadable_root(sb_.handle_root, Role::HandleLeaf, "handle-table", err);
    return ok_status();
  }
  handle_depth_ = depth.value();
  handles_ok_ = true;
  WalkHooks hooks = marking_hooks();
  return walk_handle_table(
      cache_, sb_.handle_root, handle_depth_, hooks,
      [this](uint64_t leaf, uint64_t handle, const HandleEntry& e) -> Status {
        if (handle == 0) problem(leaf, "handle-table leaf holds an entry for handle 0");
        else if (handle >= sb_.next_handle)
          problem(leaf, "handle " + num(handle) + " is live but next_handle is " +
                            num(sb_.next_handle));
        ++r_.live_handles;
        if (e.tag != 0) {
          from_table_.add(e.tag, handle);
          ++r_.tagged_handles;
        }
        if (e.kind == ValueKind::Inline) check_inline(leaf, handle, e);
        else TRY(check_chain(leaf, handle, e));
        return ok_status();
      });
}

Status Checker::check_membership() {
  if (sb_.membership_root == kNoPage) {
    members_ok_ = true;
    return ok_status();
  }
  auto depth = membership_recover_depth(cache_, sb_.membership_root);
  if (!depth.ok()) {
    const Error& err = depth.error();
    if (err.kind() == ErrorKind::Io) return std::move(depth).error();
    unreadable_root(sb_.membership_root, Role::MemberLeaf, "membership-index", err);
    return ok_status();
  }
  member_depth_ = depth.value();
  members_ok_ = true;
  WalkHooks hooks = marking_hooks();
  return walk_radix(
      cache_, sb_.membership_root, member_depth_, hooks,
      [&](uint64_t leaf, uint64_t key, uint64_t value) -> Status {
        if (key == 0 || key > kMaxTag) {
          problem(leaf, "membership index holds key " + num(key) + ", which is not a tag");
          return ok_status();
        }
        const uint32_t tag = static_cast<uint32_t>(key);
        const uint64_t set = value & kMemberPageMask;
        const uint64_t set_depth = value >> kMemberDepthShift;
        if (set == 0) {
          problem(leaf, "tag " + num(tag) + ": value " + num(value) + " names no handle set");
          return ok_status();
        }
        if (set_depth > kRadixMaxDepth) {
          problem(leaf, "tag " + num(tag) + ": handle-set depth " + num(set_depth) +
                            " out of range");
          return ok_status();
        }
        ++r_.tags_in_use;
        uint64_t members = 0;
        const uint64_t problems_before = r_.problems;
        WalkHooks inner = marking_hooks();
        TRY(walk_radix(cache_, set, static_cast<uint32_t>(set_depth), inner,
                       [&](uint64_t set_leaf, uint64_t handle, uint64_t v) -> Status {
                         if (v != 1)
                           problem(set_leaf, "tag " + num(tag) + ": handle " + num(handle) +
                                                 " stored with value " + num(v) + ", not 1");
                         from_index_.add(tag, handle);
                         ++members;
                         return ok_status();
                       }));
        if (members == 0 && r_.problems == problems_before)
          problem(set, "tag " + num(tag) + " has an empty handle set");
        return ok_status();
      });
}

Status Checker::pinpoint_membership() {
  // Lookups with the engine's readers name each pair only one side holds.
  size_t named = 0;
  auto name_pair = [&](uint64_t page, std::string text) {
    if (++named <= kMaxPairsNamed) problem(page, std::move(text));
  };
  WalkHooks quiet = quiet_hooks();
  if (handles_ok_) {
    TRY(walk_handle_table(
        cache_, sb_.handle_root, handle_depth_, quiet,
        [&](uint64_t leaf, uint64_t handle, const HandleEntry& e) -> Status {
          if (e.tag == 0) return ok_status();
          auto set_value = RadixU64::lookup(member_depth_, cache_, sb_.membership_root, e.tag);
          if (!set_value.ok()) return ok_status();
          const uint64_t set = set_value.value() & kMemberPageMask;
          bool listed = false;
          if (set != 0 && (set_value.value() >> kMemberDepthShift) <= kRadixMaxDepth) {
            auto in = RadixU64::lookup(
                static_cast<uint32_t>(set_value.value() >> kMemberDepthShift), cache_, set,
                handle);
            if (!in.ok()) return ok_status();
            listed = in.value() != 0;
          }
          if (!listed) {
            name_pair(leaf, "handle " + num(handle) + " carries tag " + num(e.tag) +
                          " but the membership index does not list it");
          }
          return ok_status();
        }));
  }
  if (members_ok_ && sb_.membership_root != kNoPage) TRY(walk_radix(
      cache_, sb_.membership_root, member_depth_, quiet,
      [&](uint64_t, uint64_t key, uint64_t value) -> Status {
        const uint64_t set = value & kMemberPageMask;
        const uint64_t set_depth = value >> kMemberDepthShift;
        if (key == 0 || key > kMaxTag || set == 0 || set_depth > kRadixMaxDepth)
          return ok_status();
        WalkHooks inner = quiet_hooks();
        return walk_radix(
            cache_, set, static_cast<uint32_t>(set_depth), inner,
            [&](uint64_t set_leaf, uint64_t handle, uint64_t) -> Status {
              if (!handles_ok_) return ok_status();
              auto entry = HandleTable::lookup(handle_depth_, cache_, sb_.handle_root, handle);
              if (!entry.ok()) return ok_status();
              if (!entry.value()) {
                name_pair(set_leaf, "membership index lists handle " + num(handle) +
                                      " under tag " + num(key) + ", but the handle is not live");
              } else if (entry.value()->tag != key) {
                name_pair(set_leaf, "membership index lists handle " + num(handle) +
                                      " under tag " + num(key) + ", but it carries tag " +
                                      num(entry.value()->tag));
              }
              return ok_status();
            });
      }));
  if (named > kMaxPairsNamed)
    problem(std::nullopt, num(named - kMaxPairsNamed) + " more (tag, handle) pairs differ");
  return ok_status();
}

Status Checker::check_freemap() {
  if (sb_.freemap_root == kNoPage) return ok_status();
  WalkHooks hooks = marking_hooks();
  return walk_freemap(cache_, sb_.freemap_root, sb_.freemap_depth, hooks,
                      [this](uint64_t leaf, uint64_t page) -> Status {
                        if (page < n_) {
                          problem(leaf, "superblock slot " + num(page) + " is marked free");
                        } else if (page >= sb_.page_count) {
                          problem(leaf, "page " + num(page) +
                                            " is marked free but lies beyond the committed "
                                            "page count " + num(sb_.page_count));
                        } else {
                          ++r_.free_pages;
                          if (page < limit_) free_[page / 64] |= uint64_t{1} << (page % 64);
                        }
                        return ok_status();
                      });
}

void Checker::check_free_and_leaked() {
  uint64_t run_start = 0, run_len = 0;
  auto close_run = [&]() {
    if (run_len == 0) return;
    warning(run_start, run_len == 1
                           ? std::string("leaked: neither reachable nor marked free")
                           : "leaked: this page and the next " + num(run_len - 1) +
                                 " (through page " + num(run_start + run_len - 1) +
                                 ") are neither reachable nor marked free");
    run_len = 0;
  };
  for (uint64_t p = n_; p < limit_; ++p) {
    const bool is_free = (free_[p / 64] >> (p % 64)) & 1;
    const Role role = static_cast<Role>(role_[p]);
    if (is_free && role != Role::None)
      problem(p, std::string("marked free but reachable as ") + role_name(role));
    if (!is_free && role == Role::None) {
      ++r_.leaked_pages;
      if (run_len != 0 && run_start + run_len == p) {
        ++run_len;
      } else {
        close_run();
        run_start = p;
        run_len = 1;
      }
    }
  }
  close_run();
}

Status Checker::check_named_roots() {
  const uint64_t at = src_.chosen;
  std::unordered_set<std::string> names;
  for (size_t s = 0; s < kRootSlots; ++s) {
    const uint8_t* slot = sb_.named_roots.data() + s * kRootSlotBytes;
    const std::string where = "named-root slot " + num(s) + ": ";
    if (slot[0] == 0) {
      if (std::any_of(slot, slot + kRootSlotBytes, [](uint8_t b) { return b != 0; }))
        warning(at, where + "free but not zeroed");
      continue;
    }
    size_t len = 0;
    while (len < kRootNameBytes && slot[len] != 0) ++len;
    std::string name(reinterpret_cast<const char*>(slot), len);
    if (std::any_of(slot + len, slot + kRootNameBytes, [](uint8_t b) { return b != 0; }))
      problem(at, where + "bytes after the name are not zero");
    if (!valid_utf8(slot, len)) problem(at, where + "name is not valid UTF-8");
    if (!names.insert(name).second) problem(at, where + "name '" + name + "' appears twice");
    NamedRoot root{name, load_u64(slot + kRootNameBytes), false};
    if (handles_ok_ && root.handle != 0) {
      auto entry = HandleTable::lookup(handle_depth_, cache_, sb_.handle_root, root.handle);
      root.live = entry.ok() && entry.value().has_value();
    }
    if (!root.live)
      warning(at, where + "'" + name + "' names handle " + num(root.handle) +
                      ", which is not live");
    r_.named_roots.push_back(std::move(root));
  }
  return ok_status();
}

Status Checker::run() {
  n_ = src_.superblock_count;
  limit_ = std::min(sb_.page_count, src_.units);
  role_.assign(limit_, 0);
  free_.assign(limit_ / 64 + 1, 0);
  live_.assign(limit_, 0);
  for (uint64_t i = 0; i < std::min(n_, limit_); ++i) {
    role_[i] = static_cast<uint8_t>(Role::Superblock);
    ++r_.pages_by_role[static_cast<int>(Role::Superblock)];
  }

  check_slots();
  if (sb_.page_count < n_)
    problem(src_.chosen, "superblock page count " + num(sb_.page_count) + " is below its " +
                             num(n_) + " slots");
  if (src_.units < sb_.page_count)
    problem(src_.units, "file truncated: it holds " + num(src_.units) +
                            " page units, the superblock counts " + num(sb_.page_count));
  if (sb_.next_handle == 0) problem(src_.chosen, "next_handle is 0");
  r_.tail_units = src_.units > sb_.page_count ? src_.units - sb_.page_count : 0;
  if (src_.file_bytes % src_.stride != 0)
    warning(std::nullopt, "file length " + num(src_.file_bytes) + " is not a whole number of " +
                              num(src_.stride) + "-byte page units");

  TRY(check_handles());
  TRY(check_membership());
  // Compared only when both could be walked from their roots; damage below
  // a root is reported where it is, and the pairs it hides are named.
  if (handles_ok_ && members_ok_ && !(from_table_ == from_index_)) {
    problem(sb_.membership_root == kNoPage ? src_.chosen : sb_.membership_root,
            "membership index disagrees with the tags of the live handles (" +
                num(from_index_.count) + " pairs listed, " + num(from_table_.count) +
                " tagged handles)");
    TRY(pinpoint_membership());
  }
  TRY(check_freemap());
  check_free_and_leaked();
  TRY(check_named_roots());
  if (progress_) progress_(limit_, limit_);
  return ok_status();
}

void describe_header(const Source& src, CheckReport& r) {
  r.path = src.path;
  r.file_bytes = src.file_bytes;
  r.stride = src.stride;
  r.units = src.units;
  if (src.select_error) return;
  const Superblock& sb = src.superblock;
  r.chosen = static_cast<uint32_t>(src.chosen);
  r.generation = sb.generation;
  r.format_version = sb.format_version;
  r.superblock_count = sb.superblock_count;
  r.page_count = sb.page_count;
  r.next_handle = sb.next_handle;
  r.encrypted = sb.encryption.has_value();
  if (sb.encryption) {
    for (size_t i = 0; i < kKeySlotCount; ++i) {
      const KeySlot& slot = sb.encryption->slots[i];
      if (slot.active())
        r.key_slots.push_back(KeySlotInfo{static_cast<uint32_t>(i), slot.kind, slot.costs});
    }
  }
}

}  // namespace

Result<CheckReport> check_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress) {
  auto src = TRY(open_source(path, key, kCacheBytes));
  CheckReport report;
  describe_header(*src, report);
  if (src->select_error) {
    const auto& defects = src->select_error->defects();
    for (const SlotDefect& d : defects) {
      SlotReport s;
      s.index = d.slot;
      s.defect = d.defect.text();
      report.slots.push_back(s);
      report.findings.push_back(
          Finding{true, d.slot, "superblock slot " + num(d.slot) + ": " + d.defect.text()});
      ++report.problems;
    }
    report.findings.push_back(Finding{true, std::nullopt, "no valid superblock found"});
    ++report.problems;
    return report;
  }
  Checker checker(*src, report, progress);
  TRY(checker.run());
  return report;
}

Result<StatsReport> stats_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress) {
  StatsReport out;
  {
    OpenOptions options;
    options.path = path;
    options.read_only = true;
    options.create_if_missing = false;
    options.cache_max_bytes = kCacheBytes;
    if (key) options.encryption_key = *key;
    auto db = TRY(TransactionManager::open(options));
    out.stats = TRY(db->stats());
  }
  out.detail = TRY(check_file(path, key, progress));
  return out;
}

}  // namespace ambrik::tools
