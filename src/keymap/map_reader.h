// MapReader: the reads a KeyMap makes of the database, so that one map
// reads the engine (its working state or last commit) or a Snapshot alike.
//
// Invariant a reader keeps: while change_count() stays the same, every read
// answers as it did before (the map trusts the header and nodes it decoded
// earlier on that ground alone). The engine raises it with each call that
// may change a read; a snapshot never changes, so its count is constant.
//
// TransactionManager is a MapReader as it stands; SnapshotReader lends a
// Snapshot's reads for as long as the caller holds its Access. The map's
// read calls are templates over the reader, so a hot lookup costs no
// indirect call.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "result.h"
#include "transaction/snapshot.h"
#include "transaction/transaction_manager.h"

namespace ambrik::keymap {

template <typename R>
concept MapReader = requires(R& r, const R& cr, uint64_t handle, std::string_view name,
                             const ValueSink& sink, std::span<const uint64_t> handles) {
  { r.read(handle) } -> std::same_as<Result<std::vector<uint8_t>>>;
  { r.read_into(handle, sink) } -> std::same_as<Result<bool>>;
  { r.tag(handle) } -> std::same_as<Result<uint32_t>>;
  { r.get_root_name(name) } -> std::same_as<Result<std::optional<uint64_t>>>;
  { cr.change_count() } -> std::same_as<uint64_t>;
  // Bytes of the page cache behind the reads; the map keeps its decoded
  // nodes within a share of it.
  { cr.cache_budget_bytes() } -> std::same_as<uint64_t>;
  // A hint that these values are read next (see TransactionManager).
  r.prefetch(handles);
};

class SnapshotReader {
 public:
  // REQUIRES: `access` outlives this reader.
  explicit SnapshotReader(Snapshot::Access& access) : a_(access) {}

  Result<std::vector<uint8_t>> read(uint64_t handle) { return a_.read(handle); }
  Result<bool> read_into(uint64_t handle, const ValueSink& sink) {
    return a_.read_into(handle, sink);
  }
  Result<uint32_t> tag(uint64_t handle) { return a_.tag(handle); }
  Result<std::optional<uint64_t>> get_root_name(std::string_view name) {
    return a_.get_root_name(name);
  }
  uint64_t change_count() const { return 0; }
  uint64_t cache_budget_bytes() const { return a_.cache_budget_bytes(); }
  // A snapshot's pages come from its own small cache or the file: nothing
  // worth pulling ahead.
  void prefetch(std::span<const uint64_t>) {}

 private:
  Snapshot::Access& a_;
};

static_assert(MapReader<TransactionManager>);
static_assert(MapReader<SnapshotReader>);

}  // namespace ambrik::keymap
