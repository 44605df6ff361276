// The checker's walk of the handle table (and through it the data pages and
// overflow chains) and of the membership index.
#include <string>

#include "data_page.h"
#include "membership_index.h"
#include "overflow.h"
#include "page.h"
#include "pending_record.h"
#include "keymap/node.h"
#include "tools/checker_impl.h"

namespace ambrik::tools::detail {

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
          if (e.tag == keymap::kMapTag) map_tagged_.push_back(handle);
          if (e.tag == kPendingFreeTag) pending_.emplace_back(handle, e);
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

}  // namespace ambrik::tools::detail
