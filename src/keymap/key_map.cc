#include "keymap/key_map.h"

#include "check.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

namespace ambrik::keymap {

namespace {

// Stamps only need to differ from every stamp this process has seen: a
// header stamped in this process is never mistaken for another state of
// the map, and a stamp read from the file collides with one issued here
// with negligible odds thanks to the clock-derived start.
uint64_t next_stamp() {
  static std::atomic<uint64_t> counter{
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
          0x9E3779B97F4A7C15ull |
      1};
  uint64_t s = counter.fetch_add(1, std::memory_order_relaxed);
  return s != 0 ? s : counter.fetch_add(1, std::memory_order_relaxed);
}

// A read of a value the map links to: a handle that is no longer live is
// damage of the map, not a mistake of the caller.
Result<std::vector<uint8_t>> read_linked(TransactionManager& tm, uint64_t handle) {
  auto r = tm.read(handle);
  if (!r.ok() && r.error().kind() == ErrorKind::InvalidHandle)
    return Error::corrupt_key_map(handle);
  return r;
}

struct Item {
  Key key;
  uint64_t handle;
};

// Entries of a node with (key, handle) inserted at `at`.
std::vector<Item> items_with(const NodeView& v, size_t at, Key key, uint64_t handle) {
  std::vector<Item> out;
  out.reserve(v.size() + 1);
  for (size_t i = 0; i < at; ++i) out.push_back({v.key(i), v.handle(i)});
  out.push_back({key, handle});
  for (size_t i = at; i < v.size(); ++i) out.push_back({v.key(i), v.handle(i)});
  return out;
}

std::vector<uint8_t> build(uint8_t level, const std::vector<Item>& items, size_t from, size_t to,
                           bool drop_first_key) {
  NodeBuilder b(level);
  for (size_t i = from; i < to; ++i)
    b.add(i == from && drop_first_key ? Key{} : items[i].key, items[i].handle);
  return b.finish();
}

}  // namespace

// The engine writes of one map operation, with what undoing them takes.
// Deletions wait until everything else has succeeded: a deleted handle can
// never be brought back.
class KeyMap::Writer {
 public:
  Writer(KeyMap& map, TransactionManager& tm) : map_(map), tm_(tm) {}

  Result<uint64_t> allocate(std::span<const uint8_t> bytes, uint32_t tag) {
    uint64_t h = TRY(tm_.allocate(bytes, tag));
    created_.push_back(h);
    return h;
  }
  Result<uint64_t> allocate_node(std::vector<uint8_t> bytes) {
    uint64_t h = TRY(allocate(bytes, kMapTag));
    map_.remember(h, std::move(bytes));
    return h;
  }
  Status bind(uint64_t header) {
    TRY(tm_.set_root_name(map_.name_, header));
    bound_ = true;
    return ok_status();
  }
  Status update(uint64_t handle, std::vector<uint8_t> bytes) {
    // The cached copy is about to be replaced: its bytes become the undo
    // record (moved, so views of them stay valid).
    const std::unique_ptr<Cached>* known = map_.cache_.find(handle);
    std::vector<uint8_t> old;
    if (!known) old = TRY(read_linked(tm_, handle));
    TRY(tm_.update(handle, bytes));
    if (known) old = std::move((*known)->bytes);
    restore_.emplace_back(handle, std::move(old));
    map_.remember(handle, std::move(bytes));
    return ok_status();
  }
  // The header's last write: `old` is what it holds now (it encodes to
  // exactly its bytes, so the undo record needs no read).
  Status update_header(uint64_t handle, const std::optional<Header>& old, const Header& h) {
    std::vector<uint8_t> before = old ? encode_header(*old) : TRY(read_linked(tm_, handle));
    TRY(tm_.update(handle, encode_header(h)));
    restore_.emplace_back(handle, std::move(before));
    return ok_status();
  }
  void doom(uint64_t handle) { doomed_.push_back(handle); }

  // After every other write succeeded. A deletion that fails without
  // poisoning leaves an unreachable value behind, not a damaged map.
  Status finish() {
    for (uint64_t h : doomed_) {
      map_.forget(h);
      auto r = tm_.delete_handle(h);
      if (!r.ok() && r.error().poisons_database()) return r;
    }
    return ok_status();
  }

  void undo() {
    for (auto it = restore_.rbegin(); it != restore_.rend(); ++it)
      (void)tm_.update(it->first, it->second);
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) (void)tm_.delete_handle(*it);
    if (bound_) (void)tm_.clear_root_name(map_.name_);
    map_.forget_all();
  }

 private:
  KeyMap& map_;
  TransactionManager& tm_;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> restore_;
  std::vector<uint64_t> created_;
  std::vector<uint64_t> doomed_;
  bool bound_ = false;
};

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

void KeyMap::trim(const TransactionManager& tm) {
  const size_t budget =
      options_.cache_bytes != 0
          ? options_.cache_bytes
          : static_cast<size_t>(std::max<uint64_t>(kMinNodeCacheBytes, tm.cache_budget_bytes() / 2));
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

Result<std::optional<Header>> KeyMap::header(TransactionManager& tm) {
  if (known_ && tm.change_count() == seen_changes_) return header_;
  known_ = false;
  auto bound = TRY(tm.get_root_name(name_));
  if (!bound) {
    header_.reset();
    cache_.clear();
    cache_size_ = 0;
  } else {
    const uint64_t hh = *bound;
    std::vector<uint8_t> bytes = TRY(read_linked(tm, hh));
    Header h = TRY(decode_header(hh, bytes));
    if (hh != header_handle_ || !header_) {
      if (TRY(tm.tag(hh)) != kMapTag) return Error::corrupt_key_map(hh);
    }
    if (hh != header_handle_ || h.stamp != cache_stamp_) {
      cache_.clear();
      cache_size_ = 0;
      cache_stamp_ = h.stamp;
    }
    header_handle_ = hh;
    header_ = h;
  }
  known_ = true;
  seen_changes_ = tm.change_count();
  return header_;
}

Result<const KeyMap::Cached*> KeyMap::node(TransactionManager& tm, uint64_t handle,
                                           unsigned level) {
  const Cached* c;
  if (const std::unique_ptr<Cached>* known = cache_.find(handle)) {
    c = known->get();
  } else {
    c = TRY(cache_node(handle, TRY(read_linked(tm, handle)), false));
  }
  if (c->view.level() != level) return Error::corrupt_key_map(handle);
  return c;
}

Status KeyMap::descend(TransactionManager& tm, const Header& h, Key key,
                       std::vector<Frame>& path) {
  path.clear();
  uint64_t handle = h.root;
  unsigned level = h.height - 1u;
  Bounds range;
  for (;;) {
    const Cached* c = TRY(node(tm, handle, level));
    TRY(range.check(handle, *c));
    if (c->view.leaf()) {
      path.push_back({handle, c->view, c->lower_bound(key)});
      return ok_status();
    }
    const size_t at = c->child_for(key);
    path.push_back({handle, c->view, at});
    range.narrow(*c, at);
    handle = c->handle(at);
    --level;
  }
}

Result<std::vector<KeyMap::Frame>> KeyMap::edge_path(TransactionManager& tm, const Header& h,
                                                     bool first) {
  std::vector<Frame> path;
  uint64_t handle = h.root;
  for (unsigned level = h.height - 1u;; --level) {
    const NodeView v = TRY(node(tm, handle, level))->view;
    if (v.leaf()) {
      path.push_back({handle, v, first ? 0 : v.size()});
      return path;
    }
    const size_t i = first ? 0 : v.size() - 1;
    path.push_back({handle, v, i});
    handle = v.handle(i);
  }
}

Result<bool> KeyMap::step_leaf(TransactionManager& tm, std::vector<Frame>& path, bool forward) {
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
    const NodeView v = TRY(node(tm, child, f.view.level() - 1u))->view;
    if (v.leaf()) {
      path.push_back({child, v, forward ? 0 : v.size()});
      return true;
    }
    if (v.size() == 0) return Error::corrupt_key_map(child);
    path.push_back({child, v, forward ? 0 : v.size() - 1});
  }
}

Result<std::optional<uint64_t>> KeyMap::find(TransactionManager& tm, Key key) {
  trim(tm);
  auto h = TRY(header(tm));
  if (!h) return std::optional<uint64_t>();
  // descend() without the path: gets are the hot call.
  uint64_t handle = h->root;
  unsigned level = h->height - 1u;
  Bounds range;
  for (;;) {
    const Cached* c = TRY(node(tm, handle, level));
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

Result<uint64_t> KeyMap::size(TransactionManager& tm) {
  auto h = TRY(header(tm));
  return h ? h->count : 0;
}

Result<uint64_t> KeyMap::stamp(TransactionManager& tm) {
  auto h = TRY(header(tm));
  return h ? h->stamp : 0;
}

Status KeyMap::finish_header(Writer& w, Header h) {
  h.stamp = next_stamp();
  TRY(w.update_header(header_handle_, header_, h));
  header_ = h;
  cache_stamp_ = h.stamp;
  return w.finish();
}

Result<bool> KeyMap::run_write(TransactionManager& tm, Writer& w,
                               const std::function<Status()>& body) {
  Status done = body();
  if (!done.ok()) {
    w.undo();
    return std::move(done).error();
  }
  known_ = true;
  seen_changes_ = tm.change_count();
  return true;
}

Result<bool> KeyMap::put(TransactionManager& tm, Key key, std::span<const uint8_t> value) {
  trim(tm);
  std::optional<Header> found = TRY(header(tm));
  if (found) {
    // An existing key keeps its handle and the nodes stay as they are.
    std::vector<Frame> path;
    TRY(descend(tm, *found, key, path));
    const Frame& leaf = path.back();
    if (leaf.index < leaf.view.size() && compare_keys(leaf.view.key(leaf.index), key) == 0) {
      TRY(tm.update(leaf.view.handle(leaf.index), value));
      seen_changes_ = tm.change_count();
      return false;
    }
  }
  Writer w(*this, tm);
  auto body = [&]() -> Status {
    Header h;
    if (found) {
      h = *found;
    } else {
      h.root = TRY(w.allocate_node(empty_leaf()));
      header_handle_ = TRY(w.allocate(encode_header(h), kMapTag));
      TRY(w.bind(header_handle_));
    }
    std::vector<Frame> path;
    TRY(descend(tm, h, key, path));
    const uint64_t value_handle = TRY(w.allocate(value, 0));
    // Insert upwards: each level either absorbs the entry or splits and
    // hands its parent a separator and a new right sibling.
    std::vector<uint8_t> carry_key(key.begin(), key.end());
    uint64_t carry = value_handle;
    for (size_t d = path.size(); d-- > 0;) {
      const Frame& f = path[d];
      const size_t at = f.view.leaf() ? f.index : f.index + 1;
      const size_t total = f.view.byte_size() + entry_bytes(carry_key.size());
      if (total <= options_.max_node_bytes || f.view.size() < 1) {
        TRY(w.update(f.handle, with_entry(f.view, at, carry_key, carry)));
        carry = 0;
        break;
      }
      std::vector<Item> items = items_with(f.view, at, carry_key, carry);
      size_t s = 1, acc = kNodeHeadBytes + entry_bytes(items[0].key.size());
      while (s + 1 < items.size() && acc < total / 2) acc += entry_bytes(items[s++].key.size());
      const bool internal = !f.view.leaf();
      std::vector<uint8_t> left = build(f.view.level(), items, 0, s, false);
      std::vector<uint8_t> right = build(f.view.level(), items, s, items.size(), internal);
      std::vector<uint8_t> sep(items[s].key.begin(), items[s].key.end());
      const uint64_t level = f.view.level();
      const uint64_t left_handle = f.handle;
      TRY(w.update(left_handle, std::move(left)));
      const uint64_t right_handle = TRY(w.allocate_node(std::move(right)));
      carry_key = std::move(sep);
      carry = right_handle;
      if (d == 0) {
        NodeBuilder root(static_cast<uint8_t>(level + 1));
        root.add(Key{}, left_handle);
        root.add(carry_key, right_handle);
        h.root = TRY(w.allocate_node(root.finish()));
        h.height = static_cast<uint16_t>(h.height + 1);
      }
    }
    h.count += 1;
    return finish_header(w, h);
  };
  return run_write(tm, w, body);
}

Result<bool> KeyMap::remove(TransactionManager& tm, Key key) {
  trim(tm);
  std::optional<Header> found = TRY(header(tm));
  if (!found) return false;
  std::vector<Frame> path;
  TRY(descend(tm, *found, key, path));
  {
    const Frame& leaf = path.back();
    if (leaf.index >= leaf.view.size() || compare_keys(leaf.view.key(leaf.index), key) != 0)
      return false;
  }
  Header h = *found;
  Writer w(*this, tm);
  auto body = [&]() -> Status {
    const Frame& leaf = path.back();
    w.doom(leaf.view.handle(leaf.index));
    // The node at depth d without entry `drop`, merged into a sibling when
    // it has become small and the two fit one node.
    size_t drop = leaf.index;
    const size_t small = options_.max_node_bytes / 4;
    for (size_t d = path.size(); d-- > 0;) {
      const Frame& f = path[d];
      NodeBuilder cur(f.view.level());
      cur.add_range(f.view, 0, drop);
      for (size_t k = drop + 1; k < f.view.size(); ++k)
        // Without its first child an internal node's next one stands for
        // everything below it.
        cur.add(k == 1 && drop == 0 && !f.view.leaf() ? Key{} : f.view.key(k), f.view.handle(k));
      if (d == 0) {
        if (!f.view.leaf() && cur.count() == 1) {
          // A root with one child hands the root over to it.
          std::vector<uint8_t> bytes = cur.finish();
          h.root = NodeView::parse(f.handle, bytes).value().handle(0);
          h.height = static_cast<uint16_t>(h.height - 1);
          w.doom(f.handle);
        } else if (cur.count() == 0) {
          h.height = 1;
          TRY(w.update(f.handle, empty_leaf()));
        } else {
          TRY(w.update(f.handle, cur.finish()));
        }
        break;
      }
      const Frame& p = path[d - 1];
      if (cur.count() == 0) {
        // An empty node leaves its parent; only a root leaf may be empty.
        w.doom(f.handle);
        drop = p.index;
        continue;
      }
      if (cur.encoded_size() >= small || p.view.size() == 1) {
        TRY(w.update(f.handle, cur.finish()));
        break;
      }
      const size_t i = p.index;
      const size_t j = i > 0 ? i - 1 : i + 1;
      const NodeView sib = TRY(node(tm, p.view.handle(j), f.view.level()))->view;
      std::vector<uint8_t> mine = cur.finish();
      const NodeView me = NodeView::parse(f.handle, mine).value();
      const NodeView& l = j < i ? sib : me;
      const NodeView& r = j < i ? me : sib;
      const size_t ri = std::max(i, j);
      NodeBuilder merged(f.view.level());
      merged.add_range(l, 0, l.size());
      if (r.size() > 0) {
        merged.add(f.view.leaf() ? r.key(0) : p.view.key(ri), r.handle(0));
        merged.add_range(r, 1, r.size());
      }
      if (merged.encoded_size() > options_.max_node_bytes) {
        // Too much for one node: the two share their entries evenly
        // instead, and the parent takes the right one's new first key.
        std::vector<Item> items;
        items.reserve(l.size() + r.size());
        for (size_t k = 0; k < l.size(); ++k) items.push_back({l.key(k), l.handle(k)});
        for (size_t k = 0; k < r.size(); ++k)
          items.push_back({k == 0 ? (f.view.leaf() ? r.key(0) : p.view.key(ri)) : r.key(k),
                           r.handle(k)});
        const size_t total = merged.encoded_size();
        size_t s = 1, acc = kNodeHeadBytes + entry_bytes(items[0].key.size());
        while (s + 1 < items.size() && acc < total / 2) acc += entry_bytes(items[s++].key.size());
        NodeBuilder parent(p.view.level());
        parent.add_range(p.view, 0, ri);
        parent.add(items[s].key, p.view.handle(ri));
        parent.add_range(p.view, ri + 1, p.view.size());
        if (parent.encoded_size() > options_.max_node_bytes) {
          TRY(w.update(f.handle, std::move(mine)));
          break;
        }
        const bool internal = !f.view.leaf();
        std::vector<uint8_t> left = build(f.view.level(), items, 0, s, false);
        std::vector<uint8_t> right = build(f.view.level(), items, s, items.size(), internal);
        std::vector<uint8_t> above = parent.finish();
        TRY(w.update(p.view.handle(ri - 1), std::move(left)));
        TRY(w.update(p.view.handle(ri), std::move(right)));
        TRY(w.update(p.handle, std::move(above)));
        break;
      }
      TRY(w.update(p.view.handle(ri - 1), merged.finish()));
      w.doom(p.view.handle(ri));
      drop = ri;
    }
    h.count -= 1;
    return finish_header(w, h);
  };
  return run_write(tm, w, body);
}

Result<ScanBatch> KeyMap::scan(TransactionManager& tm, const ScanRange& range, size_t max) {
  trim(tm);
  ScanBatch batch;
  auto h = TRY(header(tm));
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
    TRY(descend(tm, *h, *from, path));
    Frame& leaf = path.back();
    if (fwd && range.resume && leaf.index < leaf.view.size() &&
        compare_keys(leaf.view.key(leaf.index), *range.resume) == 0)
      ++leaf.index;
  } else {
    path = TRY(edge_path(tm, *h, fwd));
  }
  // Keys come out strictly ordered or the map is damaged.
  std::optional<Key> prev;
  if (range.resume) prev = Key(*range.resume);
  while (batch.entries.size() < max) {
    Frame& leaf = path.back();
    if (fwd ? leaf.index >= leaf.view.size() : leaf.index == 0) {
      if (!TRY(step_leaf(tm, path, fwd))) {
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

}  // namespace ambrik::keymap
