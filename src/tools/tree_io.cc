#include "tools/tree_io.h"

#include <cstring>

#include "freemap_tree.h"
#include "membership_index.h"
#include "page.h"

namespace ambrik::tools {
namespace {

// Node bodies of all three tree kinds start here: handle entries (16 bytes
// each), child ids and radix slots (8 bytes each), free-map bits.
constexpr uint64_t kBody = 16;
constexpr uint64_t kEntryBytes = 16;
constexpr uint64_t kInternalFanout = 1021;

uint64_t slot_u64(const uint8_t* page, uint64_t i) { return load_u64(page + kBody + 8 * i); }

bool type_ok(Role role, const uint8_t* p) {
  switch (role) {
    case Role::HandleInternal: return p[0] == kPageHandleNode && p[1] == kHandleNodeInternal;
    case Role::HandleLeaf: return p[0] == kPageHandleNode && p[1] == kHandleNodeLeaf;
    case Role::MemberInternal: return p[0] == kPageMemberInternal;
    case Role::MemberLeaf: return p[0] == kPageMemberLeaf;
    case Role::FreeMapInterior: return p[0] == kPageFreeMapInterior;
    case Role::FreeMapLeaf: return p[0] == kPageFreeMapLeaf;
    default: return false;
  }
}


class Walk {
 public:
  Walk(PageCache& cache, WalkHooks& hooks) : cache_(cache), hooks_(hooks) {}

  // Copies `page` into `buf` when it is to be walked; false when it was
  // skipped or reported.
  Result<bool> load(uint64_t page, Role role, uint64_t parent, std::vector<uint8_t>& buf) {
    if (hooks_.enter && !hooks_.enter(page, role, parent)) return false;
    auto got = cache_.get(page);
    if (hooks_.read) hooks_.read();
    if (!got.ok()) {
      if (!page_level(got.error()) || !hooks_.fault) return std::move(got).error();
      TRY(hooks_.fault(page, role, parent, &got.error(), nullptr));
      return false;
    }
    if (!type_ok(role, got.value())) {
      if (!hooks_.fault) return Error::corrupt_page(page);
      TRY(hooks_.fault(page, role, parent, nullptr, got.value()));
      return false;
    }
    buf.assign(got.value(), got.value() + kPageSize);
    return true;
  }

  // A depth no writer produces: reported against the root, nothing walked.
  Status bad_depth(uint64_t root, Role role) {
    Error err = Error::corrupt_page(root);
    if (!hooks_.fault) return err;
    return hooks_.fault(root, role, kNoPage, &err, nullptr);
  }

  // Both radix trees: interior nodes hold `fanout` child ids, a child at
  // depth d covers span(d) keys, and `leaf` visits the slots of a leaf.
  template <typename SpanFn, typename LeafFn>
  Status radix_tree(uint64_t node, uint64_t base, uint32_t depth, uint64_t parent,
                    Role leaf_role, Role inner_role, uint64_t fanout, const SpanFn& span,
                    const LeafFn& leaf) {
    std::vector<uint8_t> buf;
    if (!TRY(load(node, depth == 0 ? leaf_role : inner_role, parent, buf))) return ok_status();
    if (depth == 0) return leaf(node, base, buf.data());
    const uint64_t below = span(depth - 1);
    for (uint64_t i = 0; i < fanout; ++i) {
      if (uint64_t c = slot_u64(buf.data(), i))
        TRY(radix_tree(c, sat_add(base, sat_mul(i, below)), depth - 1, node, leaf_role,
                       inner_role, fanout, span, leaf));
    }
    return ok_status();
  }

  Status handles(uint64_t node, uint64_t base, uint32_t depth, uint64_t parent,
                 const HandleVisit& visit) {
    return radix_tree(
        node, base, depth, parent, Role::HandleLeaf, Role::HandleInternal, kHandleFanout,
        [](uint32_t d) { return HandleTable::span(d); },
        [&](uint64_t leaf, uint64_t first, const uint8_t* page) -> Status {
          for (uint64_t i = 0; i < kHandlesPerLeaf; ++i) {
            if (auto e = decode_handle_entry(page + kBody + kEntryBytes * i))
              TRY(visit(leaf, sat_add(first, i), *e));
          }
          return ok_status();
        });
  }

  Status radix(uint64_t node, uint64_t base, uint32_t depth, uint64_t parent,
               const RadixVisit& visit) {
    return radix_tree(
        node, base, depth, parent, Role::MemberLeaf, Role::MemberInternal, kRadixSlots,
        [](uint32_t d) { return RadixU64::capacity(d); },
        [&](uint64_t leaf, uint64_t first, const uint8_t* page) -> Status {
          for (uint64_t i = 0; i < kRadixSlots; ++i) {
            if (uint64_t v = slot_u64(page, i)) TRY(visit(leaf, sat_add(first, i), v));
          }
          return ok_status();
        });
  }

  Status freemap(uint64_t node, uint64_t base, uint32_t level, uint64_t parent,
                 const FreeVisit& visit) {
    std::vector<uint8_t> buf;
    Role role = level == 0 ? Role::FreeMapLeaf : Role::FreeMapInterior;
    if (!TRY(load(node, role, parent, buf))) return ok_status();
    if (level == 0) {
      // 8168 bitmap bytes: 1021 words, bit k of the leaf is bit k % 64 of
      // word k / 64 (little-endian words keep the byte/bit order).
      for (uint64_t w = 0; w < kFreeMapLeafBits / 64; ++w) {
        uint64_t word = slot_u64(buf.data(), w);
        while (word != 0) {
          uint64_t k = w * 64 + static_cast<uint64_t>(__builtin_ctzll(word));
          word &= word - 1;
          TRY(visit(node, sat_add(base, k)));
        }
      }
      return ok_status();
    }
    const uint64_t span = freemap_span(level);
    for (uint64_t i = 0; i < kFreeMapFanout; ++i) {
      if (uint64_t c = slot_u64(buf.data(), i))
        TRY(freemap(c, sat_add(base, sat_mul(i, span)), level - 1, node, visit));
    }
    return ok_status();
  }

 private:
  PageCache& cache_;
  WalkHooks& hooks_;
};

}  // namespace

bool page_level(const Error& e) {
  switch (e.kind()) {
    case ErrorKind::ChecksumMismatch:
    case ErrorKind::DecryptionFailed:
    case ErrorKind::InvalidPageId:
    case ErrorKind::CorruptPage:
      return true;
    default:
      return false;
  }
}

const char* role_name(Role role) {
  switch (role) {
    case Role::None: return "unreached page";
    case Role::Superblock: return "superblock slot";
    case Role::HandleInternal: return "handle-table internal node";
    case Role::HandleLeaf: return "handle-table leaf";
    case Role::Data: return "data page";
    case Role::Overflow: return "overflow page";
    case Role::FreeMapInterior: return "free-map interior node";
    case Role::FreeMapLeaf: return "free-map leaf";
    case Role::MemberInternal: return "membership-index internal node";
    case Role::MemberLeaf: return "membership-index leaf";
    case Role::PendingFree: return "page listed by a pending-free record";
  }
  return "page";
}

Status walk_handle_table(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                         const HandleVisit& visit) {
  Walk w(cache, hooks);
  if (root == kNoPage) return ok_status();
  if (depth > kHandleMaxDepth) return w.bad_depth(root, Role::HandleInternal);
  return w.handles(root, 0, depth, kNoPage, visit);
}

Status walk_radix(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                  const RadixVisit& visit) {
  Walk w(cache, hooks);
  if (root == kNoPage) return ok_status();
  if (depth > kRadixMaxDepth) return w.bad_depth(root, Role::MemberInternal);
  return w.radix(root, 0, depth, kNoPage, visit);
}

Status walk_freemap(PageCache& cache, uint64_t root, uint32_t depth, WalkHooks& hooks,
                    const FreeVisit& visit) {
  Walk w(cache, hooks);
  if (root == kNoPage) return ok_status();
  if (depth > kFreeMapMaxDepth) return w.bad_depth(root, Role::FreeMapInterior);
  return w.freemap(root, 0, depth, kNoPage, visit);
}

// ---- builders

struct TreeBuilder::Level {
  std::array<uint8_t, kPageSize> page{};
  uint64_t index = 0;
  bool open = false;
};

TreeBuilder::TreeBuilder(PageWriter& out, bool handles)
    : out_(&out), handles_(handles), leaf_fanout_(handles ? kHandlesPerLeaf : kRadixSlots) {}
TreeBuilder::TreeBuilder(TreeBuilder&&) noexcept = default;
TreeBuilder::~TreeBuilder() = default;

TreeBuilder TreeBuilder::handle_table(PageWriter& out) { return TreeBuilder(out, true); }
TreeBuilder TreeBuilder::radix(PageWriter& out) { return TreeBuilder(out, false); }

Status TreeBuilder::emit(size_t level) {
  Level& lv = *levels_[level];
  page_trailer_set(lv.page.data());
  uint64_t id = out_->reserve();
  TRY(out_->put(id, lv.page.data()));
  lv.open = false;
  ++emitted_[level];
  // A second node on this level exists or will: a parent is needed.
  return attach(level + 1, lv.index, id);
}

Status TreeBuilder::attach(size_t level, uint64_t child_index, uint64_t child) {
  while (levels_.size() <= level) {
    levels_.push_back(std::make_unique<Level>());
    emitted_.push_back(0);
  }
  Level& lv = *levels_[level];
  const uint64_t index = child_index / kInternalFanout;
  if (lv.open && lv.index != index) TRY(emit(level));
  if (!lv.open) {
    if (handles_) HandleTable::format_node(lv.page.data(), false);
    else RadixU64::format_node(lv.page.data(), false);
    lv.index = index;
    lv.open = true;
  }
  store_u64(lv.page.data() + kBody + 8 * (child_index % kInternalFanout), child);
  return ok_status();
}

Result<uint8_t*> TreeBuilder::leaf_for(uint64_t key) {
  if (levels_.empty()) {
    // Leaf 0 opens first whatever the first key is: the leftmost path.
    levels_.push_back(std::make_unique<Level>());
    emitted_.push_back(0);
  }
  Level& leaf = *levels_[0];
  const uint64_t index = key / leaf_fanout_;
  if (leaf.open && leaf.index != index) TRY(emit(0));
  if (!leaf.open) {
    if (handles_) HandleTable::format_node(leaf.page.data(), true);
    else RadixU64::format_node(leaf.page.data(), true);
    leaf.index = emitted_[0] == 0 ? 0 : index;
    leaf.open = true;
    if (leaf.index != index) {
      // The empty leaf 0 goes out first.
      TRY(emit(0));
      return leaf_for(key);
    }
  }
  return leaf.page.data();
}

Status TreeBuilder::add_entry(uint64_t handle, const HandleEntry& entry) {
  uint8_t* page = TRY(leaf_for(handle));
  encode_handle_entry(page + kBody + kEntryBytes * (handle % kHandlesPerLeaf), entry);
  return ok_status();
}

Status TreeBuilder::add_value(uint64_t key, uint64_t value) {
  uint8_t* page = TRY(leaf_for(key));
  RadixU64::write_slot(page, key % kRadixSlots, value);
  return ok_status();
}

Result<BuiltTree> TreeBuilder::finish() {
  if (levels_.empty()) return BuiltTree{};
  for (size_t level = 0;; ++level) {
    Level& lv = *levels_[level];
    const bool only = emitted_[level] == 0 && level + 1 == levels_.size();
    if (only) {
      // The single node of the highest level: the root.
      page_trailer_set(lv.page.data());
      uint64_t id = out_->reserve();
      TRY(out_->put(id, lv.page.data()));
      lv.open = false;
      return BuiltTree{id, static_cast<uint32_t>(level)};
    }
    if (lv.open) TRY(emit(level));
  }
}

}  // namespace ambrik::tools
