#include "named_roots.h"

#include <cstring>

#include "page.h"

namespace ambrik {

namespace {

using Padded = std::array<uint8_t, kRootNameBytes>;

Padded pad(std::string_view name) {
  Padded p{};
  std::memcpy(p.data(), name.data(), name.size());
  return p;
}

bool occupied(const NamedRootTable& t, size_t slot) { return t[slot * kRootSlotBytes] != 0; }

bool holds(const NamedRootTable& t, size_t slot, const Padded& name) {
  return occupied(t, slot) &&
         std::memcmp(t.data() + slot * kRootSlotBytes, name.data(), kRootNameBytes) == 0;
}

std::optional<size_t> slot_of(const NamedRootTable& t, std::string_view name) {
  const Padded p = pad(name);
  for (size_t i = 0; i < kRootSlots; ++i)
    if (holds(t, i, p)) return i;
  return std::nullopt;
}

}  // namespace

Status validate_root_name(std::string_view name) {
  if (name.empty() || name.size() > kRootNameBytes || name.find('\0') != std::string_view::npos)
    return Error::simple(ErrorKind::InvalidRootName);
  return ok_status();
}

std::optional<uint64_t> find_root(const NamedRootTable& table, std::string_view name) {
  auto slot = slot_of(table, name);
  if (!slot) return std::nullopt;
  return load_u64(table.data() + *slot * kRootSlotBytes + kRootNameBytes);
}

Status bind_root(NamedRootTable& table, std::string_view name, uint64_t handle) {
  auto slot = slot_of(table, name);
  if (!slot) {
    for (size_t i = 0; i < kRootSlots && !slot; ++i)
      if (!occupied(table, i)) slot = i;
  }
  if (!slot) return Error::simple(ErrorKind::RootNameTableFull);
  uint8_t* p = table.data() + *slot * kRootSlotBytes;
  const Padded padded = pad(name);
  std::memcpy(p, padded.data(), kRootNameBytes);
  store_u64(p + kRootNameBytes, handle);
  return ok_status();
}

void clear_root(NamedRootTable& table, std::string_view name) {
  if (auto slot = slot_of(table, name))
    std::memset(table.data() + *slot * kRootSlotBytes, 0, kRootSlotBytes);
}

}  // namespace ambrik
