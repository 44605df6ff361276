#include "membership_index.h"

namespace ambrik {

Status RadixU64::iter(PageCache& cache, uint64_t node, uint32_t depth, uint64_t limit,
                      RadixList& out) {
  if (out.size() >= limit) return ok_status();
  return Tree::for_each(cache, node, 0, depth, [&](uint64_t key, const uint8_t* slot) {
    out.emplace_back(key, load_u64(slot));
    return out.size() < limit;
  });
}

// --- the two-level tag index

namespace {

// Where a tag's handle set lives; root 0 means the tag is not in use.
struct HandleSet {
  uint64_t root = 0;
  uint32_t depth = 0;
};

Result<HandleSet> decode_set(uint64_t value) {
  uint64_t page = value & kMemberPageMask;
  uint64_t depth = value >> kMemberDepthShift;
  if (page == 0) return HandleSet{};
  if (depth > kRadixMaxDepth) return Error::corrupt_page(page);
  return HandleSet{page, static_cast<uint32_t>(depth)};
}

Result<uint64_t> encode_set(const HandleSet& set) {
  if ((set.root & ~kMemberPageMask) != 0) {
    return Error::internal("handle-set page id does not fit in 58 bits");
  }
  return (uint64_t{set.depth} << kMemberDepthShift) | set.root;
}

Result<HandleSet> find_set(PageCache& cache, const MembershipRoot& index, uint32_t tag) {
  if (index.root == kNoPage) return HandleSet{};
  uint64_t value = TRY(RadixU64::lookup(index.depth, cache, index.root, tag));
  return decode_set(value);
}

}  // namespace

Status membership_add(PageCache& cache, MembershipRoot& working, uint64_t handle, uint32_t tag,
                      const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                      const PageInPlaceFn* in_place) {
  // Superseded ids are collected apart so that a failure hands nothing of
  // the still-current trees to the free list.
  std::vector<uint64_t> superseded;
  MembershipRoot index = working;
  HandleSet set = TRY(find_set(cache, index, tag));
  // A tag not in use gets its set here; an absent index gets its tag tree
  // from the second insert.
  if (set.root == 0) set = HandleSet{kNoPage, 0};
  const uint64_t old_root = set.root;
  set.root = TRY(RadixU64::insert(set.depth, cache, set.root, handle, 1, alloc, superseded,
                                  in_place));
  // A set changed where it lies keeps its root and depth, so the tag tree
  // already says where it is (and nothing may fail after that write).
  if (set.root != old_root) {
    uint64_t value = TRY(encode_set(set));
    index.root = TRY(RadixU64::insert(index.depth, cache, index.root, tag, value, alloc,
                                      superseded, in_place));
  }
  pending.insert(pending.end(), superseded.begin(), superseded.end());
  working = index;
  return ok_status();
}

Status membership_remove(PageCache& cache, MembershipRoot& working, uint64_t handle,
                         uint32_t tag, const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                         const PageInPlaceFn* in_place) {
  HandleSet set = TRY(find_set(cache, working, tag));
  if (set.root == 0) return ok_status();
  // Everything that reads comes first: a change made where it lies must be
  // the operation's last step that can fail.
  if (TRY(RadixU64::lookup(set.depth, cache, set.root, handle)) == 0) return ok_status();
  bool members_left = false;
  TRY(RadixU64::Tree::for_each(cache, set.root, 0, set.depth, [&](uint64_t key, const uint8_t*) {
    members_left = key != handle;
    return !members_left;
  }));
  std::vector<uint64_t> superseded;
  MembershipRoot index = working;
  if (members_left) {
    auto cut = TRY(RadixU64::remove(set.depth, cache, set.root, handle, alloc, superseded,
                                    in_place));
    if (cut.node != set.root) {
      uint64_t value = TRY(encode_set(HandleSet{cut.node, set.depth}));
      index.root = TRY(RadixU64::insert(index.depth, cache, index.root, tag, value, alloc,
                                        superseded, in_place));
    }
  } else {
    TRY(RadixU64::free_subtree(cache, set.root, set.depth, superseded));
    auto gone = TRY(RadixU64::remove(index.depth, cache, index.root, tag, alloc, superseded,
                                     in_place));
    index.root = gone.node;
  }
  pending.insert(pending.end(), superseded.begin(), superseded.end());
  working = index;
  return ok_status();
}

Result<std::vector<uint64_t>> membership_handles(PageCache& cache, const MembershipRoot& index,
                                                 uint32_t tag, uint64_t limit) {
  std::vector<uint64_t> handles;
  HandleSet set = TRY(find_set(cache, index, tag));
  if (set.root == 0) return handles;
  RadixList members;
  TRY(RadixU64::iter(cache, set.root, set.depth, limit, members));
  handles.reserve(members.size());
  for (const auto& [handle, one] : members) handles.push_back(handle);
  return handles;
}

Result<uint32_t> membership_recover_depth(PageCache& cache, uint64_t root) {
  return RadixU64::recover_depth(cache, root);
}

}  // namespace ambrik
