#include "tools/compactor.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "crypto/cipher.h"
#include "data_page.h"
#include "membership_index.h"
#include "overflow.h"
#include "page.h"
#include "page_io.h"
#include "pending_record.h"
#include "tools/page_sink.h"
#include "tools/source.h"
#include "tools/tree_io.h"

namespace ambrik::tools {
namespace {

constexpr uint64_t kCacheBytes = 64ull << 20;

class Copier {
 public:
  Copier(const CommittedView& src, PageSink& sink, const ProgressFn& progress)
      : src_(src), sb_(src.superblock), cache_(*src.cache), sink_(sink), progress_(progress),
        seen_(sb_.page_count / 64 + 1, 0) {
    hooks_.enter = [this](uint64_t page, Role, uint64_t) {
      // A node outside the committed pages, or shared (whose content would
      // be copied twice), is refused after the walk.
      if (page >= sb_.page_count) {
        bad_node_ = page;
        return false;
      }
      uint64_t& word = seen_[page / 64];
      const uint64_t bit = uint64_t{1} << (page % 64);
      if (word & bit) {
        bad_node_ = page;
        return false;
      }
      word |= bit;
      return true;
    };
    hooks_.read = [this]() { tick(); };
  }

  Status copy_handles(BuiltTree& out) {
    TreeBuilder table = TreeBuilder::handle_table(sink_);
    std::vector<uint8_t> value;
    if (sb_.handle_root != kNoPage) {
      const uint32_t depth = TRY(HandleTable::recover_depth(cache_, sb_.handle_root));
      TRY(walk_handle_table(cache_, sb_.handle_root, depth, hooks_,
                            [&](uint64_t, uint64_t handle, const HandleEntry& e) -> Status {
                              if (e.kind == ValueKind::Inline) {
                                value = TRY(read_data_slot(cache_, e.location, e.slot));
                              } else {
                                TRY(Overflow::read_chain(cache_, e.location, value));
                              }
                              tick();
                              // The pages a record lists are ids of this file,
                              // which mean nothing in the copy (a later writer
                              // would mark them free there); being garbage
                              // here, they are simply not copied.
                              if (e.tag == kPendingFreeTag && decode_pending_record(value)) {
                                dropped_.push_back(handle);
                                return ok_status();
                              }
                              HandleEntry copy = e;
                              TRY(store(value, copy));
                              if (e.tag != 0) table_tags_.add(e.tag, handle);
                              ++report_.handles;
                              report_.value_bytes += value.size();
                              return table.add_entry(handle, copy);
                            }));
      TRY(refuse_bad_nodes());
    }
    TRY(close_data_page());
    out = TRY(table.finish());
    return ok_status();
  }

  Status copy_membership(BuiltTree& out) {
    TreeBuilder tags = TreeBuilder::radix(sink_);
    PairDigest listed;
    if (sb_.membership_root != kNoPage) {
      const uint32_t depth = TRY(membership_recover_depth(cache_, sb_.membership_root));
      TRY(walk_radix(
          cache_, sb_.membership_root, depth, hooks_,
          [&](uint64_t, uint64_t tag, uint64_t value) -> Status {
            const uint64_t set = value & kMemberPageMask;
            const uint64_t set_depth = value >> kMemberDepthShift;
            if (tag == 0 || tag > 0xFFFFFFFFull || set == 0 || set_depth > kRadixMaxDepth)
              return Error::corrupt_page(set == 0 ? sb_.membership_root : set);
            TreeBuilder members = TreeBuilder::radix(sink_);
            TRY(walk_radix(cache_, set, static_cast<uint32_t>(set_depth), hooks_,
                           [&](uint64_t, uint64_t handle, uint64_t) -> Status {
                             if (tag == kPendingFreeTag &&
                                 std::binary_search(dropped_.begin(), dropped_.end(), handle))
                               return ok_status();
                             listed.add(static_cast<uint32_t>(tag), handle);
                             return members.add_value(handle, 1);
                           }));
            BuiltTree built = TRY(members.finish());
            if (built.root == kNoPage) return ok_status();  // an empty set lists nothing
            ++report_.tags;
            return tags.add_value(tag, (uint64_t{built.depth} << kMemberDepthShift) | built.root);
          }));
      TRY(refuse_bad_nodes());
    }
    // The copy must list exactly the tags its handles carry.
    if (!(listed == table_tags_))
      return Error::corrupt_page(sb_.membership_root == kNoPage ? chosen_slot_
                                                                : sb_.membership_root);
    out = TRY(tags.finish());
    return ok_status();
  }

  CompactReport& report() { return report_; }
  // The page a disagreement is blamed on when there is no membership index.
  void set_chosen_slot(uint64_t slot) { chosen_slot_ = slot; }

 private:
  void tick() {
    ++done_;
    if (progress_ && (done_ & 1023) == 0 && done_ < src_.units) progress_(done_, src_.units);
  }

  Status refuse_bad_nodes() {
    if (bad_node_ != kNoPage) return Error::corrupt_page(bad_node_);
    return ok_status();
  }

  // Places `value` in the copy and points `e` at it.
  Status store(const std::vector<uint8_t>& value, HandleEntry& e) {
    if (value.size() <= kMaxSmallValue) {
      if (data_open_) {
        if (auto slot = data_page_append(data_.data(), value)) {
          e.location = data_id_;
          e.slot = *slot;
          e.kind = ValueKind::Inline;
          return ok_status();
        }
        TRY(close_data_page());
      }
      data_id_ = sink_.reserve();
      data_page_init(data_.data(), value);
      data_open_ = true;
      e.location = data_id_;
      e.slot = 0;
      e.kind = ValueKind::Inline;
      return ok_status();
    }
    const uint64_t len = value.size();
    const uint64_t n = len / kOverflowPayload + (len % kOverflowPayload != 0);
    const uint64_t first = sink_.reserve();
    for (uint64_t j = 1; j < n; ++j) sink_.reserve();
    for (uint64_t j = 0; j < n; ++j) {
      const uint64_t from = j * kOverflowPayload;
      const uint64_t part = std::min(kOverflowPayload, len - from);
      overflow_format_page(page_.data(), len, j + 1 < n ? first + j + 1 : 0,
                           std::span<const uint8_t>(value).subspan(from, part));
      TRY(sink_.put(first + j, page_.data()));
    }
    e.location = first;
    e.slot = 0;
    e.kind = ValueKind::Overflow;
    return ok_status();
  }

  Status close_data_page() {
    if (!data_open_) return ok_status();
    data_open_ = false;
    // The data-page writers leave the trailer to whoever writes the page out.
    page_trailer_set(data_.data());
    return sink_.put(data_id_, data_.data());
  }

  const CommittedView& src_;
  const Superblock& sb_;
  PageCache& cache_;
  PageSink& sink_;
  const ProgressFn& progress_;
  WalkHooks hooks_;
  std::vector<uint64_t> seen_;
  uint64_t bad_node_ = kNoPage;
  uint64_t chosen_slot_ = 0;
  uint64_t done_ = 0;
  PairDigest table_tags_;
  std::vector<uint64_t> dropped_;  // handles of the records left out, ascending
  CompactReport report_;
  std::array<uint8_t, kPageSize> data_{};
  std::array<uint8_t, kPageSize> page_{};
  uint64_t data_id_ = 0;
  bool data_open_ = false;
};

Status write_superblocks(PageSink& sink, Storage& out, const CommittedView& src,
                         const BuiltTree& handles, const BuiltTree& members,
                         uint64_t page_count) {
  const uint32_t n = src.superblock.superblock_count;
  Superblock sb;
  sb.format_version = src.encrypted() ? kFormatVersionEncrypted : kFormatVersionPlain;
  sb.handle_root = handles.root;
  sb.freemap_root = kNoPage;
  sb.freemap_depth = 0;
  sb.membership_root = members.root;
  sb.page_count = page_count;
  sb.next_handle = src.superblock.next_handle;
  sb.named_roots = src.superblock.named_roots;
  sb.superblock_count = n;
  sb.encryption = src.superblock.encryption;
  std::vector<uint8_t> unit(sink.stride(), 0);
  for (uint32_t i = 0; i < n; ++i) {
    sb.generation = n - 1 - i;
    if (sb.encryption) {
      auto bytes = TRY(serialize_encrypted(sb, src.cipher->key()));
      std::memcpy(unit.data(), bytes.data(), kPageSize);
    } else {
      auto bytes = serialize(sb);
      std::memcpy(unit.data(), bytes.data(), kPageSize);
    }
    TRY(out.write_at(uint64_t{i} * sink.stride(), unit.data(), unit.size()));
  }
  return ok_status();
}

}  // namespace

Result<CompactReport> write_compacted(const CommittedView& view, Destination& dst,
                                      const ProgressFn& progress, uint64_t chosen_slot) {
  TRY(dst.open(view.database_path));
  PageSink sink(dst.storage(), view.superblock.superblock_count, view.cipher);

  Copier copier(view, sink, progress);
  copier.set_chosen_slot(chosen_slot);
  BuiltTree handles, members;
  TRY(copier.copy_handles(handles));
  TRY(copier.copy_membership(members));
  TRY(sink.finish());
  const uint64_t page_count = sink.next();
  TRY(write_superblocks(sink, dst.storage(), view, handles, members, page_count));
  TRY(dst.commit());
  if (progress) progress(view.units, view.units);

  CompactReport report = copier.report();
  report.source_pages = view.superblock.page_count;
  report.dest_pages = page_count;
  report.dest_bytes = page_count * sink.stride();
  return report;
}

Result<CompactReport> compact_file(const std::string& src_path, Destination& dst,
                                   const std::optional<Key>& key, const ProgressFn& progress,
                                   const FileAccess& access) {
  // Nothing here reads the free map: a pin keeps the rest of the commit
  // intact while writers of a file in shared use go on.
  auto src = TRY(open_source(src_path, key, kCacheBytes, access, SharedHold::Pin));
  if (src->select_error) return *src->select_error;
  const Superblock& sb = src->superblock;
  if (src->units < sb.page_count)
    return Error::file_size_mismatch(sat_mul(sb.page_count, src->stride),
                                     sat_mul(src->units, src->stride));
  // Its structures cannot be carried over faithfully.
  if (src->newer_minor)
    return Error::unsupported_format_version(
        sb.format_version, sb.encryption ? kFormatVersionEncrypted : kFormatVersionPlain);
  CompactReport report =
      TRY(write_compacted(src->view(), dst, progress, src->chosen));
  report.source_bytes = src->file_bytes;
  return report;
}

}  // namespace ambrik::tools
