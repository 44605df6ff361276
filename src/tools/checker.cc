#include "tools/checker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>

#include "named_roots.h"
#include "page.h"
#include "tools/checker_impl.h"

namespace ambrik::tools {
namespace detail {

std::string num(uint64_t v) { return std::to_string(v); }

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

void Checker::check_free() {
  for (uint64_t p = n_; p < limit_; ++p) {
    const Role role = static_cast<Role>(role_[p]);
    if (role != Role::None && free_bit(p))
      problem(p, std::string("marked free but reachable as ") + role_name(role));
  }
}

bool Checker::holds_freemap_node(uint64_t p) {
  auto page = cache_.get(p);
  return page.ok() &&
         (page.value()[0] == kPageFreeMapLeaf || page.value()[0] == kPageFreeMapInterior);
}

void Checker::report_leaked() {
  auto leaked = [this](uint64_t p) {
    return static_cast<Role>(role_[p]) == Role::None && !free_bit(p);
  };
  // Earlier releases kept the free-map nodes that commits retired in memory
  // only, and a normal close left them recorded nowhere: free-map pages, in
  // a file that is sound otherwise. Those are tolerated (a warning); any
  // other page that is neither reachable nor free means pages were lost, and
  // in a file with other damage even free-map pages may be a broken tree's.
  bool orphans = r_.problems == 0;
  for (uint64_t p = n_; p < limit_; ++p) {
    if (!leaked(p)) continue;
    ++r_.leaked_pages;
    if (orphans && !holds_freemap_node(p)) orphans = false;
  }
  if (orphans) r_.orphaned_freemap_pages = r_.leaked_pages;
  kind_ = orphans ? "orphaned_free_map_pages" : "leaked_pages";
  const char* what = orphans ? "orphaned free-map page" : "leaked";
  const char* why = orphans ? " (retired free-map pages that an earlier release left recorded "
                              "nowhere; defrag() or `ambrik compact` reclaims them)"
                            : "";
  uint64_t run_start = 0, run_len = 0;
  auto close_run = [&]() {
    if (run_len == 0) return;
    add(!orphans, run_start,
        std::string(what) +
            (run_len == 1 ? std::string(": neither reachable nor marked free")
                          : ": this page and the next " + num(run_len - 1) + " (through page " +
                                num(run_start + run_len - 1) +
                                ") are neither reachable nor marked free") +
            why);
    run_len = 0;
  };
  for (uint64_t p = n_; p < limit_; ++p) {
    if (!leaked(p)) continue;
    if (run_len != 0 && run_start + run_len == p) {
      ++run_len;
    } else {
      close_run();
      run_start = p;
      run_len = 1;
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
    NamedRoot root{name, load_u64(slot + kRootNameBytes), false, std::nullopt};
    if (handles_ok_ && root.handle != 0) {
      auto entry = HandleTable::lookup(handle_depth_, cache_, sb_.handle_root, root.handle);
      root.live = entry.ok() && entry.value().has_value();
    }
    if (!root.live)
      warning(at, where + "'" + name + "' names handle " + num(root.handle) +
                      ", which is not live");
    else
      TRY(check_key_map(root));
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
  kind_ = "file";
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

  kind_ = "handle_table";
  TRY(check_handles());
  kind_ = "membership_index";
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
  kind_ = "free_map";
  TRY(check_freemap());
  check_free();
  kind_ = "pending_free_records";
  TRY(check_pending_records());
  kind_ = "named_roots";
  TRY(check_named_roots());
  if (handles_ok_) report_stray_map_values();
  // Last: how leaked pages read depends on what else was found.
  report_leaked();
  if (progress_) progress_(limit_, limit_);
  return ok_status();
}

}  // namespace detail

namespace {

constexpr uint64_t kCacheBytes = 16ull << 20;

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

namespace {

Result<CheckReport> check_source(Source& src, const ProgressFn& progress) {
  CheckReport report;
  describe_header(src, report);
  if (src.select_error) {
    const auto& defects = src.select_error->defects();
    for (const SlotDefect& d : defects) {
      SlotReport s;
      s.index = d.slot;
      s.defect = d.defect.text();
      report.slots.push_back(s);
      report.findings.push_back(
          Finding{true, d.slot, "superblock slot " + detail::num(d.slot) + ": " + d.defect.text(),
                  "superblock"});
      ++report.problems;
    }
    report.findings.push_back(
        Finding{true, std::nullopt, "no valid superblock found", "superblock"});
    ++report.problems;
    return report;
  }
  detail::Checker checker(src, report, progress);
  TRY(checker.run());
  return report;
}

}  // namespace

Result<CheckReport> check_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress, const FileAccess& access) {
  auto src = TRY(open_source(path, key, kCacheBytes, access, SharedHold::Writer));
  return check_source(*src, progress);
}

Result<CheckReport> check_storage(std::unique_ptr<Storage> storage, const std::optional<Key>& key) {
  auto src = TRY(open_storage_source(std::move(storage), "(storage)", key, kCacheBytes));
  return check_source(*src, {});
}

Result<StatsReport> stats_file(const std::string& path, const std::optional<Key>& key,
                               const ProgressFn& progress, const FileAccess& access) {
  StatsReport out;
  // The check first: a file that is no database is refused as check
  // refuses it. The source stays open (and a file in shared use held
  // still) until the engine has counted, so that both describe one commit.
  auto src = TRY(open_source(path, key, kCacheBytes, access, SharedHold::Writer));
  out.detail = TRY(check_source(*src, progress));
  {
    OpenOptions options;
    options.path = path;
    options.read_only = true;
    // A member reads what the write lock held above keeps still; a plain
    // read-only open would be refused beside the other members.
    options.shared = src->shared != nullptr;
    options.create_if_missing = false;
    options.cache_max_bytes = kCacheBytes;
    if (key) options.encryption_key = *key;
    options.lock_timeout_seconds = access.lock_timeout_seconds;
    options.on_lock_wait = access.between_polls;
    // The engine owns these descriptors: tracked from their open, and let
    // go only with the engine, under the watch.
    int tracked = -1, table_tracked = -1;
    bool untracked = false;
    DescriptorWatch* watch = access.watch;
    if (watch) {
      options.on_file_opened = [&](int fd) {
        watch->hold();
        if (watch->add(fd)) tracked = fd;
        else untracked = true;
        watch->release();
      };
    }
    auto opened = TransactionManager::open(options);
    if (!opened.ok()) {
      // A failed open has closed its descriptor already.
      if (tracked >= 0) close_watched(watch, tracked, [] {});
      return std::move(opened).error();
    }
    std::unique_ptr<TransactionManager> db = std::move(opened).value();
    const int table_fd = db->reader_table_descriptor();
    if (watch && table_fd >= 0) {
      watch->hold();
      if (watch->add(table_fd)) table_tracked = table_fd;
      else untracked = true;
      watch->release();
    }
    auto stats = untracked ? Result<StatsValues>(Error::io_errno(ENOMEM)) : db->stats();
    if (watch) {
      watch->hold();
      if (tracked >= 0) watch->remove(tracked);
      if (table_tracked >= 0) watch->remove(table_tracked);
      db.reset();
      watch->release();
    } else {
      db.reset();
    }
    out.stats = TRY(std::move(stats));
  }
  return out;
}

}  // namespace ambrik::tools
