// Whole-map verification for offline checkers: walks every node of one key
// map and reports what is wrong with it, without the engine.
//
// Verified: the header; every node parses, carries kMapTag, sits at the
// level its parent implies and is reached once; keys lie inside the range
// their parent routes to them; an internal root has at least two children
// and every node but a root leaf at least one entry; the number of keys
// equals the header's count; every leaf entry names a live value.
//
// Memory: one node copy per level and the set of node handles reached.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keymap/node.h"
#include "result.h"

namespace ambrik::keymap {

struct StoredValue {
  std::vector<uint8_t> bytes;  // empty unless asked for
  uint32_t tag = 0;
};

// The value of `handle` (its bytes only when `want_bytes`), or nullopt when
// the handle is not live. Errors end the walk.
using ValueReader =
    std::function<Result<std::optional<StoredValue>>(uint64_t handle, bool want_bytes)>;

struct MapFinding {
  uint64_t handle = 0;  // the header or node at fault
  std::string text;
};

struct MapSummary {
  uint64_t keys = 0;   // entries found in leaves
  uint64_t nodes = 0;
  uint32_t height = 0;
  std::vector<MapFinding> problems;  // at most `max_problems`
  uint64_t problem_count = 0;
  std::vector<uint64_t> reached;  // every node handle the walk reached
};

// REQUIRES: `header` holds a header that decode_header accepts.
Result<MapSummary> verify_map(uint64_t header_handle, const Header& header,
                              const ValueReader& read, size_t max_problems);

}  // namespace ambrik::keymap
