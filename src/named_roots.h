// The named-root table: up to eight short names bound to handles, kept in the
// superblock so an application finds its top-level values after reopening.
//
// Table: 8 slots of 32 bytes (256 bytes), slot i at 32 * i:
//
//   offset  width  field
//        0     24  name: UTF-8 bytes, zero-padded; first byte 0 = free slot
//       24      8  handle (u64 LE)
//
// A valid name is 1..24 bytes without NUL, so the padded form identifies it
// exactly and no two slots hold the same name. Handles are stored as given;
// they are not checked against the handle table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "result.h"

namespace ambrik {

inline constexpr size_t kRootSlots = 8;
inline constexpr size_t kRootSlotBytes = 32;
inline constexpr size_t kRootNameBytes = 24;

using NamedRootTable = std::array<uint8_t, kRootSlots * kRootSlotBytes>;

// InvalidRootName for an empty name, one over 24 bytes, or one with a NUL.
Status validate_root_name(std::string_view name);

// REQUIRES: validate_root_name(name) succeeded.
std::optional<uint64_t> find_root(const NamedRootTable& table, std::string_view name);
// Rebinds an existing name or takes the lowest free slot; RootNameTableFull
// (table unchanged) when all eight slots hold other names.
Status bind_root(NamedRootTable& table, std::string_view name, uint64_t handle);
// Absent names are not an error.
void clear_root(NamedRootTable& table, std::string_view name);

}  // namespace ambrik
