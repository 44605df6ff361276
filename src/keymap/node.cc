#include "keymap/node.h"

#include <algorithm>
#include <cstring>

namespace ambrik::keymap {

int compare_keys(Key a, Key b) {
  const size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

Result<Header> decode_header(uint64_t handle, std::span<const uint8_t> bytes) {
  if (bytes.size() != kHeaderBytes) return Error::corrupt_key_map(handle);
  const uint8_t* p = bytes.data();
  Header h;
  h.height = load_u16(p + 6);
  h.root = load_u64(p + 8);
  h.count = load_u64(p + 16);
  h.stamp = load_u64(p + 24);
  if (load_u32(p) != kHeaderMagic || load_u16(p + 4) != kLayoutVersion || h.height == 0 ||
      h.height > kMaxHeight || h.root == 0)
    return Error::corrupt_key_map(handle);
  return h;
}

std::vector<uint8_t> encode_header(const Header& h) {
  std::vector<uint8_t> out(kHeaderBytes, 0);
  store_u32(out.data(), kHeaderMagic);
  store_u16(out.data() + 4, kLayoutVersion);
  store_u16(out.data() + 6, h.height);
  store_u64(out.data() + 8, h.root);
  store_u64(out.data() + 16, h.count);
  store_u64(out.data() + 24, h.stamp);
  return out;
}

Result<NodeView> NodeView::parse(uint64_t handle, std::span<const uint8_t> bytes) {
  const size_t size = bytes.size();
  if (size < kNodeHeadBytes || size > kMaxNodeBytes) return Error::corrupt_key_map(handle);
  const uint8_t* p = bytes.data();
  const uint8_t level = p[4];
  const size_t n = load_u16(p + 6);
  if (load_u32(p) != kNodeMagic || p[5] != 0 || level >= kMaxHeight)
    return Error::corrupt_key_map(handle);
  // An internal node routes through at least one child.
  if (level != 0 && n == 0) return Error::corrupt_key_map(handle);
  size_t at = kNodeHeadBytes + 2 * n;
  if (at > size) return Error::corrupt_key_map(handle);
  Key prev;
  for (size_t i = 0; i < n; ++i) {
    if (load_u16(p + kNodeHeadBytes + 2 * i) != at || at + 2 > size)
      return Error::corrupt_key_map(handle);
    const size_t len = load_u16(p + at);
    if (at + 2 + len + 8 > size) return Error::corrupt_key_map(handle);
    const Key key{p + at + 2, len};
    const bool first_child = level != 0 && i == 0;
    if (first_child ? len != 0 : (len == 0 || len > kMaxKeyBytes))
      return Error::corrupt_key_map(handle);
    if (i > static_cast<size_t>(level != 0) && compare_keys(prev, key) >= 0)
      return Error::corrupt_key_map(handle);
    prev = key;
    at += 2 + len + 8;
  }
  if (at != size) return Error::corrupt_key_map(handle);
  return NodeView(bytes, n);
}

size_t NodeView::lower_bound(Key key) const {
  size_t lo = 0, hi = n_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (compare_keys(this->key(mid), key) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

size_t NodeView::child_for(Key key) const {
  // The last entry whose key is <= `key`; entry 0 (minus infinity) always is.
  size_t lo = 1, hi = n_;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (compare_keys(this->key(mid), key) <= 0) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}

void NodeBuilder::add(Key key, uint64_t handle) {
  const size_t at = body_.size();
  starts_.push_back(static_cast<uint16_t>(at));
  body_.resize(at + 2 + key.size() + 8);
  uint8_t* e = body_.data() + at;
  store_u16(e, static_cast<uint16_t>(key.size()));
  if (!key.empty()) std::memcpy(e + 2, key.data(), key.size());
  store_u64(e + 2 + key.size(), handle);
  ++count_;
}

void NodeBuilder::add_range(const NodeView& node, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) add(node.key(i), node.handle(i));
}

std::vector<uint8_t> NodeBuilder::finish() const {
  std::vector<uint8_t> out(encoded_size());
  uint8_t* p = out.data();
  store_u32(p, kNodeMagic);
  p[4] = level_;
  p[5] = 0;
  store_u16(p + 6, static_cast<uint16_t>(count_));
  const size_t base = kNodeHeadBytes + 2 * count_;
  for (size_t i = 0; i < count_; ++i)
    store_u16(p + kNodeHeadBytes + 2 * i, static_cast<uint16_t>(base + starts_[i]));
  if (!body_.empty()) std::memcpy(p + base, body_.data(), body_.size());
  return out;
}

std::vector<uint8_t> with_entry(const NodeView& v, size_t at, Key key, uint64_t handle) {
  const size_t n = v.size();
  const std::span<const uint8_t> old = v.bytes();
  const uint8_t* src = old.data();
  const size_t grow = entry_bytes(key.size());
  std::vector<uint8_t> out(old.size() + grow);
  uint8_t* p = out.data();
  std::memcpy(p, src, kNodeHeadBytes);
  store_u16(p + 6, static_cast<uint16_t>(n + 1));
  // The offset table gains one slot, so every entry moves down by two, and
  // those after the new one by the new entry's length too.
  const size_t split = at < n ? load_u16(src + kNodeHeadBytes + 2 * at) : old.size();
  for (size_t i = 0; i < at; ++i)
    store_u16(p + kNodeHeadBytes + 2 * i,
              static_cast<uint16_t>(load_u16(src + kNodeHeadBytes + 2 * i) + 2));
  store_u16(p + kNodeHeadBytes + 2 * at, static_cast<uint16_t>(split + 2));
  for (size_t i = at; i < n; ++i)
    store_u16(p + kNodeHeadBytes + 2 * (i + 1),
              static_cast<uint16_t>(load_u16(src + kNodeHeadBytes + 2 * i) + grow));
  const size_t body = kNodeHeadBytes + 2 * n;
  std::memcpy(p + body + 2, src + body, split - body);
  uint8_t* e = p + split + 2;
  store_u16(e, static_cast<uint16_t>(key.size()));
  if (!key.empty()) std::memcpy(e + 2, key.data(), key.size());
  store_u64(e + 2 + key.size(), handle);
  std::memcpy(p + split + grow, src + split, old.size() - split);
  return out;
}

std::vector<uint8_t> empty_leaf() { return NodeBuilder(0).finish(); }

}  // namespace ambrik::keymap
