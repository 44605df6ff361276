#include "pending_record.h"

#include <cstring>

#include "page.h"

namespace ambrik {

namespace {
constexpr uint32_t kMaxGroups = 1u << 20;
}

std::vector<uint8_t> encode_pending_record(std::span<const PendingGroup> groups) {
  uint64_t pages = 0;
  for (const PendingGroup& g : groups) pages += g.pages.size();
  std::vector<uint8_t> out(pending_record_size(groups.size(), pages));
  uint8_t* p = out.data();
  std::memcpy(p, kPendingRecordMagic, 8);
  store_u32(p + 8, static_cast<uint32_t>(groups.size()));
  store_u32(p + 12, 0);
  size_t at = 16;
  for (const PendingGroup& g : groups) {
    store_u64(p + at, g.generation);
    store_u64(p + at + 8, g.pages.size());
    at += 16;
    for (uint64_t id : g.pages) {
      store_u64(p + at, id);
      at += 8;
    }
  }
  store_u64(p + at, xxh3(p, at));
  return out;
}

std::optional<std::vector<PendingGroup>> decode_pending_record(std::span<const uint8_t> v) {
  if (v.size() < 16 + 8 || v.size() % 8 != 0) return std::nullopt;
  if (std::memcmp(v.data(), kPendingRecordMagic, 8) != 0) return std::nullopt;
  const size_t body = v.size() - 8;
  if (load_u64(v.data() + body) != xxh3(v.data(), body)) return std::nullopt;
  const uint32_t k = load_u32(v.data() + 8);
  if (k == 0 || k > kMaxGroups || load_u32(v.data() + 12) != 0) return std::nullopt;
  std::vector<PendingGroup> groups;
  size_t at = 16;
  for (uint32_t i = 0; i < k; ++i) {
    if (body - at < 16) return std::nullopt;
    PendingGroup g;
    g.generation = load_u64(v.data() + at);
    const uint64_t n = load_u64(v.data() + at + 8);
    at += 16;
    if (n > (body - at) / 8) return std::nullopt;
    g.pages.resize(n);
    for (uint64_t j = 0; j < n; ++j, at += 8) g.pages[j] = load_u64(v.data() + at);
    groups.push_back(std::move(g));
  }
  if (at != body) return std::nullopt;
  return groups;
}

}  // namespace ambrik
