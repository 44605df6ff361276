#include "keymap/key_map.h"

#include <algorithm>
#include <utility>

#include "check.h"

namespace ambrik::keymap {

// A read of a value the map links to: a handle that is no longer live is
// damage of the map, not a mistake of the caller.
template <MapReader R>
Result<std::vector<uint8_t>> KeyMap::read_linked(R& r, uint64_t handle) {
  auto got = r.read(handle);
  if (!got.ok() && got.error().kind() == ErrorKind::InvalidHandle)
    return Error::corrupt_key_map(handle);
  return got;
}

KeyMap::KeyMap(std::string root_name, KeyMapOptions options)
    : name_(std::move(root_name)), options_(options) {
  // A node splits only once it holds two entries, so the limit is soft by
  // up to one entry: half of (limit + the largest entry), plus that entry,
  // must still fit a data-page slot.
  options_.max_node_bytes = std::clamp<size_t>(options_.max_node_bytes, kMinNodeBytes,
                                               kMaxNodeBytes - 2 * entry_bytes(kMaxKeyBytes));
}

void KeyMap::forget_all() {
  cache_.clear();
  cache_size_ = 0;
  known_ = false;
}

template <MapReader R>
void KeyMap::trim(const R& r) {
  const size_t budget =
      options_.cache_bytes != 0
          ? options_.cache_bytes
          : static_cast<size_t>(std::max<uint64_t>(kMinNodeCacheBytes, r.cache_budget_bytes() / 2));
  if (cache_size_ <= budget) return;
  // Leaves go first: the internal nodes are a small share of the bytes and
  // every search passes through them. Slot order is as good as random.
  std::vector<uint64_t> leaves;
  size_t freed = 0;
  const size_t goal = cache_size_ - budget * 3 / 4;
  cache_.for_each([&](uint64_t h, std::unique_ptr<Cached>& c) {
    if (!c->view.leaf()) return true;
    leaves.push_back(h);
    freed += c->memory();
    return freed < goal;
  });
  for (uint64_t h : leaves) forget(h);
  if (cache_size_ > budget) {
    cache_.clear();
    cache_size_ = 0;
  }
}

void KeyMap::forget(uint64_t handle) {
  if (const std::unique_ptr<Cached>* c = cache_.find(handle)) {
    cache_size_ -= (*c)->memory();
    cache_.erase(handle);
  }
}

void KeyMap::remember(uint64_t handle, std::vector<uint8_t> bytes) {
  forget(handle);
  (void)cache_node(handle, std::move(bytes), true);
}

Result<const KeyMap::Cached*> KeyMap::cache_node(uint64_t handle, std::vector<uint8_t> bytes,
                                                 bool built_here) {
  auto c = std::make_unique<Cached>();
  c->bytes = std::move(bytes);
  if (built_here) {
    AMBRIK_DCHECK(NodeView::parse(handle, c->bytes).ok());
    c->view = NodeView::built(c->bytes);
  } else {
    c->view = TRY(NodeView::parse(handle, c->bytes));
  }
  const NodeView& v = c->view;
  const size_t n = v.size();
  const bool leaf = v.leaf();
  c->serial = ++serials_;
  const size_t first = leaf ? 0 : 1;
  if (n > first) {
    // Keys are ordered, so what the first and the last share, all share.
    const Key a = v.key(first), b = v.key(n - 1);
    const size_t most = std::min({a.size(), b.size(), Cached::kCommonMax});
    size_t common = 0;
    while (common < most && a[common] == b[common]) ++common;
    c->common = static_cast<uint8_t>(common);
    if (common > 0) std::memcpy(c->common_bytes, a.data(), common);
  }
  c->index.resize(leaf ? n : 2 * n);
  for (size_t i = 0; i < n; ++i) {
    c->index[i] = i < first ? 0 : key_prefix(v.key(i).subspan(c->common));
    if (!leaf) c->index[n + i] = v.handle(i);
  }
  cache_size_ += c->memory();
  const Cached* out = c.get();
  cache_[handle] = std::move(c);
  return out;
}

int KeyMap::Cached::against_common(Key key, uint64_t* q) const {
  const size_t m = std::min<size_t>(key.size(), common);
  if (m > 0) {
    const int c = std::memcmp(key.data(), common_bytes, m);
    if (c != 0) return c;
  }
  if (key.size() < common) return -1;
  *q = key_prefix(key.subspan(common));
  return 0;
}

int KeyMap::Cached::compare(size_t i, Key key, uint64_t q) const {
  const uint64_t p = index[i];
  if (p != q) return p < q ? -1 : 1;
  return compare_keys(view.key(i), key);
}

size_t KeyMap::Cached::lower_bound(Key key) const {
  uint64_t q = 0;
  if (const int side = against_common(key, &q); side != 0) return side < 0 ? 0 : view.size();
  size_t lo = 0, hi = view.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (compare(mid, key, q) < 0) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

size_t KeyMap::Cached::child_for(Key key) const {
  // The last entry whose key is <= `key`; entry 0 (minus infinity) always is.
  uint64_t q = 0;
  if (const int side = against_common(key, &q); side != 0)
    return side < 0 ? 0 : view.size() - 1u;
  size_t lo = 1, hi = view.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (compare(mid, key, q) <= 0) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}

Status KeyMap::Bounds::check(uint64_t handle, const Cached& node) const {
  const uint64_t lo_code = lo ? lo->serial << 16 | lo_at : 0;
  const uint64_t hi_code = hi ? hi->serial << 16 | hi_at : 0;
  if (node.checked_lo == lo_code && node.checked_hi == hi_code) return ok_status();
  const size_t n = node.view.size();
  const size_t first = node.view.leaf() ? 0 : 1;
  if (n > first) {
    if (lo && compare_keys(node.view.key(first), lo->view.key(lo_at)) < 0)
      return Error::corrupt_key_map(handle);
    if (hi && compare_keys(node.view.key(n - 1), hi->view.key(hi_at)) >= 0)
      return Error::corrupt_key_map(handle);
  }
  node.checked_lo = lo_code;
  node.checked_hi = hi_code;
  return ok_status();
}

void KeyMap::Bounds::narrow(const Cached& parent, size_t i) {
  if (i > 0) {
    lo = &parent;
    lo_at = i;
  }
  if (i + 1 < parent.view.size()) {
    hi = &parent;
    hi_at = i + 1;
  }
}

template <MapReader R>
Result<std::optional<Header>> KeyMap::header(R& r) {
  if (known_ && r.change_count() == seen_changes_) return header_;
  known_ = false;
  auto bound = TRY(r.get_root_name(name_));
  if (!bound) {
    header_.reset();
    cache_.clear();
    cache_size_ = 0;
  } else {
    const uint64_t hh = *bound;
    if (hh != header_handle_ || !header_) {
      // Only a map's header carries the map tag: a name bound to anything
      // else (or to nothing live) is the caller's, not a damaged map.
      auto tag = r.tag(hh);
      if (!tag.ok() && tag.error().kind() == ErrorKind::InvalidHandle)
        return Error::not_a_key_map(name_, hh);
      if (TRY(std::move(tag)) != kMapTag) return Error::not_a_key_map(name_, hh);
    }
    std::vector<uint8_t> bytes = TRY(read_linked(r, hh));
    Header h = TRY(decode_header(hh, bytes));
    if (hh != header_handle_ || h.stamp != cache_stamp_) {
      cache_.clear();
      cache_size_ = 0;
      cache_stamp_ = h.stamp;
    }
    header_handle_ = hh;
    header_ = h;
  }
  known_ = true;
  seen_changes_ = r.change_count();
  return header_;
}

template <MapReader R>
Result<const KeyMap::Cached*> KeyMap::node(R& r, uint64_t handle, unsigned level) {
  const Cached* c;
  if (const std::unique_ptr<Cached>* known = cache_.find(handle)) {
    c = known->get();
  } else {
    c = TRY(cache_node(handle, TRY(read_linked(r, handle)), false));
  }
  if (c->view.level() != level) return Error::corrupt_key_map(handle);
  return c;
}

template <MapReader R>
Status KeyMap::descend(R& r, const Header& h, Key key, std::vector<Frame>& path) {
  path.clear();
  uint64_t handle = h.root;
  unsigned level = h.height - 1u;
  Bounds range;
  for (;;) {
    const Cached* c = TRY(node(r, handle, level));
    TRY(range.check(handle, *c));
    if (c->view.leaf()) {
      path.push_back({handle, c->view, c->lower_bound(key), c, range});
      return ok_status();
    }
    const size_t at = c->child_for(key);
    path.push_back({handle, c->view, at, c, range});
    range.narrow(*c, at);
    handle = c->handle(at);
    --level;
  }
}

template <MapReader R>
Result<std::vector<KeyMap::Frame>> KeyMap::edge_path(R& r, const Header& h, bool first) {
  std::vector<Frame> path;
  uint64_t handle = h.root;
  for (unsigned level = h.height - 1u;; --level) {
    const Cached* c = TRY(node(r, handle, level));
    const NodeView v = c->view;
    if (v.leaf()) {
      path.push_back({handle, v, first ? 0 : v.size(), c, {}});
      return path;
    }
    const size_t i = first ? 0 : v.size() - 1;
    path.push_back({handle, v, i, c, {}});
    handle = v.handle(i);
  }
}

template <MapReader R>
Result<bool> KeyMap::step_leaf(R& r, std::vector<Frame>& path, bool forward) {
  path.pop_back();
  while (!path.empty()) {
    Frame& f = path.back();
    if (forward ? f.index + 1 < f.view.size() : f.index > 0) {
      f.index = forward ? f.index + 1 : f.index - 1;
      break;
    }
    path.pop_back();
  }
  if (path.empty()) return false;
  for (;;) {
    const Frame& f = path.back();
    const uint64_t child = f.view.handle(f.index);
    const Cached* c = TRY(node(r, child, f.view.level() - 1u));
    const NodeView v = c->view;
    if (v.leaf()) {
      path.push_back({child, v, forward ? 0 : v.size(), c, {}});
      return true;
    }
    if (v.size() == 0) return Error::corrupt_key_map(child);
    path.push_back({child, v, forward ? 0 : v.size() - 1, c, {}});
  }
}

template <MapReader R>
Result<std::optional<uint64_t>> KeyMap::find(R& r, Key key) {
  trim(r);
  auto h = TRY(header(r));
  if (!h) return std::optional<uint64_t>();
  // descend() without the path: gets are the hot call.
  uint64_t handle = h->root;
  unsigned level = h->height - 1u;
  Bounds range;
  for (;;) {
    const Cached* c = TRY(node(r, handle, level));
    TRY(range.check(handle, *c));
    if (c->view.leaf()) {
      const size_t i = c->lower_bound(key);
      if (i < c->view.size() && compare_keys(c->view.key(i), key) == 0)
        return std::optional<uint64_t>(c->handle(i));
      return std::optional<uint64_t>();
    }
    const size_t at = c->child_for(key);
    range.narrow(*c, at);
    handle = c->handle(at);
    --level;
  }
}

template <MapReader R>
Result<uint64_t> KeyMap::size(R& r) {
  auto h = TRY(header(r));
  return h ? h->count : 0;
}

template <MapReader R>
Result<uint64_t> KeyMap::stamp(R& r) {
  auto h = TRY(header(r));
  return h ? h->stamp : 0;
}

std::optional<std::vector<uint8_t>> prefix_stop(Key prefix) {
  std::vector<uint8_t> stop(prefix.begin(), prefix.end());
  while (!stop.empty() && stop.back() == 0xFF) stop.pop_back();
  if (stop.empty()) return std::nullopt;
  ++stop.back();
  return stop;
}

template <MapReader R>
Result<std::optional<MapEntry>> KeyMap::edge(R& r, bool last) {
  ScanRange whole;
  whole.reverse = last;
  ScanBatch b = TRY(scan(r, whole, 1));
  if (b.entries.empty()) return std::optional<MapEntry>();
  return std::optional<MapEntry>(std::move(b.entries.front()));
}

template <MapReader R>
Result<ScanBatch> KeyMap::scan(R& r, const ScanRange& range, size_t max) {
  trim(r);
  ScanBatch batch;
  auto h = TRY(header(r));
  if (!h) {
    batch.done = true;
    return batch;
  }
  batch.stamp = h->stamp;
  const bool fwd = !range.reverse;
  std::vector<Frame> path;
  const std::optional<std::vector<uint8_t>>& from =
      range.resume ? range.resume : (fwd ? range.start : range.stop);
  if (from) {
    TRY(descend(r, *h, *from, path));
    Frame& leaf = path.back();
    if (fwd && range.resume && leaf.index < leaf.view.size() &&
        compare_keys(leaf.view.key(leaf.index), *range.resume) == 0)
      ++leaf.index;
  } else {
    path = TRY(edge_path(r, *h, fwd));
  }
  // Keys come out strictly ordered or the map is damaged.
  std::optional<Key> prev;
  if (range.resume) prev = Key(*range.resume);
  while (batch.entries.size() < max) {
    Frame& leaf = path.back();
    if (fwd ? leaf.index >= leaf.view.size() : leaf.index == 0) {
      if (!TRY(step_leaf(r, path, fwd))) {
        batch.done = true;
        break;
      }
      continue;
    }
    const size_t i = fwd ? leaf.index++ : --leaf.index;
    const Key k = leaf.view.key(i);
    if (fwd ? (range.stop && compare_keys(k, *range.stop) >= 0)
            : (range.start && compare_keys(k, *range.start) < 0)) {
      batch.done = true;
      break;
    }
    if (prev && (fwd ? compare_keys(*prev, k) >= 0 : compare_keys(*prev, k) <= 0))
      return Error::corrupt_key_map(leaf.handle);
    prev = k;
    batch.entries.push_back({std::vector<uint8_t>(k.begin(), k.end()), leaf.view.handle(i)});
  }
  return batch;
}

// The readers maps are read through; the writes (key_map_write.cc) use the
// engine's.
#define AMBRIK_KEYMAP_READS(R)                                                 \
  template Result<std::optional<uint64_t>> KeyMap::find<R>(R&, Key);         \
  template Result<uint64_t> KeyMap::size<R>(R&);                               \
  template Result<uint64_t> KeyMap::stamp<R>(R&);                              \
  template Result<ScanBatch> KeyMap::scan<R>(R&, const ScanRange&, size_t); \
  template Result<std::optional<MapEntry>> KeyMap::edge<R>(R&, bool);
AMBRIK_KEYMAP_READS(TransactionManager)
AMBRIK_KEYMAP_READS(SnapshotReader)
#undef AMBRIK_KEYMAP_READS
template Result<std::vector<uint8_t>> KeyMap::read_linked(TransactionManager&, uint64_t);
template Result<std::optional<Header>> KeyMap::header(TransactionManager&);
template Result<const KeyMap::Cached*> KeyMap::node(TransactionManager&, uint64_t, unsigned);
template Status KeyMap::descend(TransactionManager&, const Header&, Key, std::vector<Frame>&);
template Result<bool> KeyMap::step_leaf(TransactionManager&, std::vector<Frame>&, bool);
template void KeyMap::trim(const TransactionManager&);

}  // namespace ambrik::keymap
