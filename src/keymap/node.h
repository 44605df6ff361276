// Key-map nodes and the map header: the byte layouts of the values a key
// map is made of, and the checks that make reading them safe.
//
// A key map is a B+tree whose nodes are ordinary values carrying the
// reserved tag kMapTag. A named root names the map's header value; the
// header names the root node. Nothing here touches the engine: callers hand
// in the bytes of a value and get back a validated view or a corruption
// error naming the value's handle.
//
// Header (32 bytes, all integers little-endian):
//
//   | offset | size | field                                             |
//   |--------|------|---------------------------------------------------|
//   | 0      | 4    | magic "AKMH"                                      |
//   | 4      | 2    | layout version (1)                                |
//   | 6      | 2    | height: levels of nodes, 1 when the root is a leaf|
//   | 8      | 8    | root node handle                                  |
//   | 16     | 8    | number of keys                                    |
//   | 24     | 8    | stamp: changes with every insert or removal       |
//
// Node (at most kMaxNodeBytes, one data-page slot):
//
//   | offset | size  | field                                            |
//   |--------|-------|--------------------------------------------------|
//   | 0      | 4     | magic "AKMN"                                     |
//   | 4      | 1     | level: 0 for a leaf                              |
//   | 5      | 1     | zero                                             |
//   | 6      | 2     | n, the number of entries                         |
//   | 8      | 2n    | offset of entry i from byte 0                    |
//   | ...    |       | entries: u16 key length, key bytes, u64 handle   |
//
// A leaf entry maps a key (1 to kMaxKeyBytes bytes) to its value's handle.
// An internal entry i names child i; its key is the smallest key the child
// may hold, and entry 0's key is empty (it stands for minus infinity).
// Entries lie back to back in key order, strictly increasing, and fill the
// node exactly: there is one way to encode a node, so any other byte string
// is damage.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "page.h"
#include "result.h"

namespace ambrik::keymap {

inline constexpr uint32_t kMapTag = 0xFFFFFFFFu;  // reserved for headers and nodes
inline constexpr uint32_t kHeaderMagic = 0x484D4B41u;  // "AKMH"
inline constexpr uint32_t kNodeMagic = 0x4E4D4B41u;    // "AKMN"
inline constexpr uint16_t kLayoutVersion = 1;
inline constexpr size_t kHeaderBytes = 32;
inline constexpr size_t kNodeHeadBytes = 8;
inline constexpr size_t kMaxKeyBytes = 1024;
// One data-page slot: a node never becomes an overflow chain.
inline constexpr size_t kMaxNodeBytes = 8162;
// Deeper than any map of 2^64 keys with the smallest legal fan-out of 2.
inline constexpr unsigned kMaxHeight = 64;

// Bytes an entry with a key of `key_len` bytes adds to a node.
inline constexpr size_t entry_bytes(size_t key_len) { return 2 + 2 + key_len + 8; }

using Key = std::span<const uint8_t>;

inline Key as_key(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Bytewise order; a proper prefix sorts first.
int compare_keys(Key a, Key b);

// The first eight bytes of `key` as a big-endian integer, zero-padded: when
// the prefixes of two keys differ they order the keys; when equal, only
// compare_keys can.
inline uint64_t key_prefix(Key key) {
  uint8_t b[8] = {};
  if (!key.empty()) std::memcpy(b, key.data(), key.size() < 8 ? key.size() : 8);
  return __builtin_bswap64(load_u64(b));
}

struct Header {
  uint16_t height = 1;
  uint64_t root = 0;
  uint64_t count = 0;
  uint64_t stamp = 0;
};

// CorruptKeyMap naming `handle` when `bytes` is not a header.
Result<Header> decode_header(uint64_t handle, std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_header(const Header& h);

// A validated node. Borrows the bytes it was made from: they must outlive
// the view and not change.
class NodeView {
 public:
  NodeView() = default;  // an empty leaf over no bytes
  // Checks everything the layout above promises. CorruptKeyMap naming
  // `handle` otherwise.
  static Result<NodeView> parse(uint64_t handle, std::span<const uint8_t> bytes);
  // A view of bytes this process encoded (NodeBuilder, with_entry), which
  // need no checks. REQUIRES: parse() would accept them.
  static NodeView built(std::span<const uint8_t> bytes) {
    return NodeView(bytes, load_u16(bytes.data() + 6));
  }

  uint8_t level() const { return bytes_[4]; }
  bool leaf() const { return level() == 0; }
  size_t size() const { return n_; }
  size_t byte_size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }

  // REQUIRES: i < size().
  Key key(size_t i) const {
    const uint8_t* e = bytes_.data() + load_u16(bytes_.data() + kNodeHeadBytes + 2 * i);
    return {e + 2, load_u16(e)};
  }
  uint64_t handle(size_t i) const {
    const uint8_t* e = bytes_.data() + load_u16(bytes_.data() + kNodeHeadBytes + 2 * i);
    return load_u64(e + 2 + load_u16(e));
  }
  // Leaf: the first index whose key is >= `key` (size() when none).
  size_t lower_bound(Key key) const;
  // Internal: the child whose range holds `key`. REQUIRES: !leaf().
  size_t child_for(Key key) const;

 private:
  NodeView(std::span<const uint8_t> bytes, size_t n) : bytes_(bytes), n_(n) {}
  static constexpr uint8_t kNoBytes[kNodeHeadBytes] = {};
  std::span<const uint8_t> bytes_{kNoBytes};
  size_t n_ = 0;
};

// Builds a node from entries appended in key order. The caller keeps the
// size within kMaxNodeBytes (see entry_bytes).
class NodeBuilder {
 public:
  explicit NodeBuilder(uint8_t level) : level_(level) {}
  void add(Key key, uint64_t handle);
  // Appends entries [from, to) of `node`.
  void add_range(const NodeView& node, size_t from, size_t to);
  size_t encoded_size() const { return kNodeHeadBytes + 2 * count_ + body_.size(); }
  size_t count() const { return count_; }
  std::vector<uint8_t> finish() const;

 private:
  uint8_t level_;
  size_t count_ = 0;
  std::vector<uint16_t> starts_;  // entry offsets within body_
  std::vector<uint8_t> body_;
};

// The bytes of `v` with (key, handle) inserted as entry `at`, built in one
// pass. REQUIRES: at <= v.size(), the key keeps the entries in order, and
// the result fits kMaxNodeBytes.
std::vector<uint8_t> with_entry(const NodeView& v, size_t at, Key key, uint64_t handle);

// An empty leaf: the root of a map without keys.
std::vector<uint8_t> empty_leaf();

}  // namespace ambrik::keymap
