// KeyMap's writes: put and remove, and the Writer that lets a failed one
// leave the map as it was (see key_map.h for the guarantees).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <utility>

#include "keymap/key_map.h"

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

// Each half of a split keeps at least this many entries. Two children on
// each side of an internal split make every split widen the tree as much
// as it deepens it: with one, a long key arriving in a small internal node
// split it into two single-child nodes, and the tree grew a level per
// such insert until its height was beyond what a header may hold. An
// internal node holds three children whatever their size (at most
// 8 + 3 * 2 + 12 + 2 * entry_bytes(kMaxKeyBytes) bytes, well within a slot).
size_t least_half(bool internal) { return internal ? 2 : 1; }

// Whether a node that would hold `entries` entries may split in two.
bool may_split(size_t entries, bool internal) { return entries >= 2 * least_half(internal); }

// Where `items` (a node of `total` encoded bytes) splits: the first entry
// of the right half, as even in bytes as least_half allows.
// REQUIRES: may_split(items.size(), internal).
size_t split_point(const std::vector<Item>& items, size_t total, bool internal) {
  const size_t least = least_half(internal);
  size_t s = 0, acc = kNodeHeadBytes;
  while (s < least) acc += entry_bytes(items[s++].key.size());
  while (s + least < items.size() && acc < total / 2) acc += entry_bytes(items[s++].key.size());
  return s;
}

}  // namespace

// The engine calls of one map write, made so that a failure leaves the map
// as it was:
//  1. plan: the new bytes of every node are built and every new value (the
//     key's value, new nodes, a new map's header) is allocated; nothing the
//     map reaches changes;
//  2. apply: the existing nodes are rewritten, usually one, then the
//     header, whose write is the last that may fail (for a new map, binding
//     the name is this step: it needs no room); a failure writes back the
//     nodes already rewritten;
//  3. finish: the values the map no longer reaches are deleted (a deleted
//     handle can never be brought back, so nothing may fail after one).
// On a failure in 1 or 2 the values created are deleted again; one that
// cannot be is left unreachable, dead weight rather than damage. A write
// back needs room in the engine as any write does; when it fails the map
// is damaged, so the database is poisoned: nothing is committed on top.
// What the undo writes back is kept from the plan on and the undo itself
// allocates nothing, so it works the same when the failure was an
// allocation (std::bad_alloc, passed on after the undo).
class KeyMap::Writer {
 public:
  // Room reserved for `creates` new values, so that none is lost track of.
  Writer(KeyMap& map, TransactionManager& tm, size_t creates) : map_(map), tm_(tm) {
    created_.reserve(creates);
  }

  // A new value, reached by nothing until step 2.
  Result<uint64_t> create(std::span<const uint8_t> bytes, uint32_t tag) {
    AMBRIK_DCHECK(created_.size() < created_.capacity());
    const uint64_t h = TRY(tm_.allocate(bytes, tag));
    created_.push_back(h);
    return h;
  }
  Result<uint64_t> create_node(std::vector<uint8_t> bytes) {
    const uint64_t h = TRY(create(bytes, kMapTag));
    new_nodes_.emplace_back(h, std::move(bytes));
    return h;
  }

  // Node `handle` is to hold `bytes` from step 2 on. The bytes it holds now
  // are the undo record: moved out of the cache, whose entry (and every
  // view of it) keeps seeing them until the write ends.
  Status rewrite(uint64_t handle, std::vector<uint8_t> bytes) {
    // A node met twice on one write's way is a cycle in a damaged map.
    for (const Rewrite& r : rewrites_)
      if (r.handle == handle) return Error::corrupt_key_map(handle);
    std::vector<uint8_t> old;
    if (const std::unique_ptr<Cached>* known = map_.cache_.find(handle))
      old = std::move((*known)->bytes);
    else
      old = TRY(read_linked(tm_, handle));
    rewrites_.push_back({handle, std::move(bytes), std::move(old)});
    return ok_status();
  }
  // The bytes node `handle` is to hold, when this write rewrites it.
  const std::vector<uint8_t>* rewritten(uint64_t handle) const {
    for (const Rewrite& r : rewrites_)
      if (r.handle == handle) return &r.bytes;
    return nullptr;
  }
  void doom(uint64_t handle) { doomed_.push_back(handle); }

  // Step 2 for an existing map: its nodes, then `h` into its header.
  Status apply(uint64_t header, const Header& h) {
    const std::vector<uint8_t> bytes = encode_header(h);
    for (const Rewrite& r : rewrites_) {
      TRY(tm_.update(r.handle, r.bytes));
      ++applied_;
    }
    return tm_.update(header, bytes);
  }
  // Step 2 for a new map: the name is bound to its header.
  Status bind(uint64_t header) { return tm_.set_root_name(map_.name_, header); }

  // Step 3, with the cache brought up to date first (new bytes replace
  // the old ones it still views). A deletion that fails without poisoning
  // leaves an unreachable value, not a damaged map.
  Status finish() {
    finished_ = true;
    try {
      for (Rewrite& r : rewrites_) map_.remember(r.handle, std::move(r.bytes));
      for (auto& [h, bytes] : new_nodes_) map_.remember(h, std::move(bytes));
    } catch (const std::bad_alloc&) {
      map_.forget_all();  // the map has changed: only the cache failed
    }
    for (uint64_t h : doomed_) {
      map_.forget(h);
      auto r = tm_.delete_handle(h);
      if (!r.ok() && r.error().poisons_database()) return r;
    }
    return ok_status();
  }

  // After a failure in step 1 or 2 (one in step 3 leaves the change made).
  void undo() noexcept {
    map_.forget_all();
    if (finished_) return;
    bool damaged = false;
    for (size_t i = applied_; i-- > 0;)
      damaged |= !write_back(rewrites_[i].handle, rewrites_[i].old);
    if (damaged) {
      tm_.poison();
    } else {
      for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        try {
          (void)tm_.delete_handle(*it);
        } catch (...) {
        }
      }
    }
  }

 private:
  struct Rewrite {
    uint64_t handle;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> old;
  };

  bool write_back(uint64_t handle, const std::vector<uint8_t>& bytes) noexcept {
    try {
      return tm_.update(handle, bytes).ok();
    } catch (...) {
      return false;
    }
  }

  KeyMap& map_;
  TransactionManager& tm_;
  std::vector<Rewrite> rewrites_;
  size_t applied_ = 0;
  bool finished_ = false;
  std::vector<uint64_t> created_;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> new_nodes_;
  std::vector<uint64_t> doomed_;
};

Status KeyMap::finish_write(Writer& w, Header h) {
  h.stamp = next_stamp();
  TRY(w.apply(header_handle_, h));
  header_ = h;
  cache_stamp_ = h.stamp;
  return w.finish();
}

template <typename Body>
Result<bool> KeyMap::run_write(TransactionManager& tm, Writer& w, Body&& body) {
  Status done = ok_status();
  try {
    done = body();
  } catch (...) {
    w.undo();
    throw;
  }
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
  std::vector<Frame> path;
  if (!found) {
    // A new map is written whole, then named.
    Writer w(*this, tm, 3);
    return run_write(tm, w, [&]() -> Status {
      Header h;
      NodeBuilder leaf(0);
      leaf.add(key, TRY(w.create(value, 0)));
      h.root = TRY(w.create_node(leaf.finish()));
      h.count = 1;
      h.stamp = next_stamp();
      const uint64_t hh = TRY(w.create(encode_header(h), kMapTag));
      TRY(w.bind(hh));
      header_handle_ = hh;
      header_ = h;
      cache_stamp_ = h.stamp;
      return w.finish();
    });
  }
  TRY(descend(tm, *found, key, path));
  {
    // An existing key keeps its handle and the nodes stay as they are.
    const Frame& leaf = path.back();
    if (leaf.index < leaf.view.size() && compare_keys(leaf.view.key(leaf.index), key) == 0) {
      TRY(tm.update(leaf.view.handle(leaf.index), value));
      seen_changes_ = tm.change_count();
      return false;
    }
  }
  // The value, a right sibling per level and a new root.
  Writer w(*this, tm, path.size() + 2);
  return run_write(tm, w, [&]() -> Status {
    Header h = *found;
    // Insert upwards: each level either absorbs the entry or splits and
    // hands its parent a separator and a new right sibling.
    Key carry_key = key;
    std::vector<uint8_t> separator;  // carry_key's bytes after a split
    uint64_t carry = TRY(w.create(value, 0));
    for (size_t d = path.size(); d-- > 0;) {
      const Frame& f = path[d];
      const bool internal = !f.view.leaf();
      const size_t at = internal ? f.index + 1 : f.index;
      const size_t total = f.view.byte_size() + entry_bytes(carry_key.size());
      if (total <= options_.max_node_bytes || !may_split(f.view.size() + 1, internal)) {
        TRY(w.rewrite(f.handle, with_entry(f.view, at, carry_key, carry)));
        break;
      }
      std::vector<Item> items = items_with(f.view, at, carry_key, carry);
      const size_t s = split_point(items, total, internal);
      std::vector<uint8_t> left = build(f.view.level(), items, 0, s, false);
      std::vector<uint8_t> right = build(f.view.level(), items, s, items.size(), internal);
      std::vector<uint8_t> sep(items[s].key.begin(), items[s].key.end());
      items.clear();  // its keys may point into `separator`, about to be replaced
      TRY(w.rewrite(f.handle, std::move(left)));
      carry = TRY(w.create_node(std::move(right)));
      separator = std::move(sep);
      carry_key = separator;
      if (d == 0) {
        NodeBuilder root(static_cast<uint8_t>(f.view.level() + 1));
        root.add(Key{}, f.handle);
        root.add(carry_key, carry);
        h.root = TRY(w.create_node(root.finish()));
        h.height = static_cast<uint16_t>(h.height + 1);
      }
    }
    h.count += 1;
    return finish_write(w, h);
  });
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
  return remove_entries(tm, *found, path, path.back().index + 1);
}

Result<bool> KeyMap::remove_entries(TransactionManager& tm, const Header& found,
                                    const std::vector<Frame>& path, size_t leaf_end) {
  Writer w(*this, tm, 0);
  return run_write(tm, w, [&]() -> Status {
    Header h = found;
    const Frame& leaf = path.back();
    for (size_t k = leaf.index; k < leaf_end; ++k) w.doom(leaf.view.handle(k));
    // The node at depth d without entries [drop, drop_end), merged into a
    // sibling when it has become small and the two fit one node (as three
    // children always do: sharing them would leave a side with one). Above
    // the leaf, one child leaves its parent at a time.
    size_t drop = leaf.index, drop_end = leaf_end;
    const size_t small = options_.max_node_bytes / 4;
    for (size_t d = path.size(); d-- > 0;) {
      const Frame& f = path[d];
      const bool internal = !f.view.leaf();
      NodeBuilder cur(f.view.level());
      cur.add_range(f.view, 0, drop);
      for (size_t k = drop_end; k < f.view.size(); ++k)
        // Without its first child an internal node's next one stands for
        // everything below it.
        cur.add(k == 1 && drop == 0 && internal ? Key{} : f.view.key(k), f.view.handle(k));
      if (d == 0) {
        if (internal && cur.count() == 1) {
          // A root with one child hands the root over to it, and on down
          // while the new root has a single child too (a removal that could
          // neither merge nor share a node may have left it with one).
          w.doom(f.handle);
          uint64_t root = f.view.handle(drop == 0 ? 1 : 0);
          unsigned level = f.view.level() - 1u;
          for (;;) {
            const std::vector<uint8_t>* planned = w.rewritten(root);
            const NodeView v =
                planned ? NodeView::built(*planned) : TRY(node(tm, root, level))->view;
            if (v.leaf() || v.size() != 1) break;
            w.doom(root);
            root = v.handle(0);
            --level;
          }
          h.root = root;
          h.height = static_cast<uint16_t>(level + 1);
        } else if (cur.count() == 0) {
          h.height = 1;
          TRY(w.rewrite(f.handle, empty_leaf()));
        } else {
          TRY(w.rewrite(f.handle, cur.finish()));
        }
        break;
      }
      const Frame& p = path[d - 1];
      if (cur.count() == 0) {
        // An empty node leaves its parent; only a root leaf may be empty.
        w.doom(f.handle);
        drop = p.index;
        drop_end = drop + 1;
        continue;
      }
      if (cur.encoded_size() >= small || p.view.size() == 1) {
        TRY(w.rewrite(f.handle, cur.finish()));
        break;
      }
      const size_t i = p.index;
      const size_t j = i > 0 ? i - 1 : i + 1;
      // The sibling is off the path the descent checked: it must lie in the
      // range the parent gives it, or its keys would be merged into a node
      // that cannot hold them.
      const Cached* sib_node = TRY(node(tm, p.view.handle(j), f.view.level()));
      Bounds sib_range = p.range;
      sib_range.narrow(*p.node, j);
      TRY(sib_range.check(p.view.handle(j), *sib_node));
      const NodeView sib = sib_node->view;
      std::vector<uint8_t> mine = cur.finish();
      const NodeView me = NodeView::built(mine);
      const NodeView& l = j < i ? sib : me;
      const NodeView& r = j < i ? me : sib;
      const size_t ri = std::max(i, j);
      NodeBuilder merged(f.view.level());
      merged.add_range(l, 0, l.size());
      if (r.size() > 0) {
        merged.add(internal ? p.view.key(ri) : r.key(0), r.handle(0));
        merged.add_range(r, 1, r.size());
      }
      if (merged.encoded_size() > options_.max_node_bytes && may_split(merged.count(), internal)) {
        // Too much for one node: the two share their entries evenly
        // instead, and the parent takes the right one's new first key.
        std::vector<Item> items;
        items.reserve(l.size() + r.size());
        for (size_t k = 0; k < l.size(); ++k) items.push_back({l.key(k), l.handle(k)});
        for (size_t k = 0; k < r.size(); ++k)
          items.push_back({k == 0 ? (internal ? p.view.key(ri) : r.key(0)) : r.key(k),
                           r.handle(k)});
        const size_t s = split_point(items, merged.encoded_size(), internal);
        NodeBuilder parent(p.view.level());
        parent.add_range(p.view, 0, ri);
        parent.add(items[s].key, p.view.handle(ri));
        parent.add_range(p.view, ri + 1, p.view.size());
        if (parent.encoded_size() > options_.max_node_bytes) {
          TRY(w.rewrite(f.handle, std::move(mine)));
          break;
        }
        TRY(w.rewrite(p.view.handle(ri - 1), build(f.view.level(), items, 0, s, false)));
        TRY(w.rewrite(p.view.handle(ri), build(f.view.level(), items, s, items.size(), internal)));
        TRY(w.rewrite(p.handle, parent.finish()));
        break;
      }
      TRY(w.rewrite(p.view.handle(ri - 1), merged.finish()));
      w.doom(p.view.handle(ri));
      drop = ri;
      drop_end = drop + 1;
    }
    h.count -= leaf_end - leaf.index;
    return finish_write(w, h);
  });
}

Result<uint64_t> KeyMap::remove_range(TransactionManager& tm, const ScanRange& range) {
  // A leaf at a time: each write removes the range's keys from the leaf
  // that holds its first remaining one, rewriting that leaf once.
  uint64_t removed = 0;
  std::vector<Frame> path;
  for (;;) {
    trim(tm);
    std::optional<Header> found = TRY(header(tm));
    if (!found) return removed;
    // (The empty key sorts before every key.)
    TRY(descend(tm, *found, range.start ? Key(*range.start) : Key{}, path));
    if (path.back().index == path.back().view.size()) {
      // The keys after the start begin in a later leaf: descend to it again,
      // so that every node on the way is checked against its range.
      if (!TRY(step_leaf(tm, path, true))) return removed;
      const Frame& later = path.back();
      if (later.view.size() == 0) return Error::corrupt_key_map(later.handle);
      const Key first = later.view.key(0);
      const std::vector<uint8_t> next(first.begin(), first.end());
      TRY(descend(tm, *found, next, path));
    }
    const Frame& leaf = path.back();
    size_t end = leaf.index;
    while (end < leaf.view.size() &&
           (!range.stop || compare_keys(leaf.view.key(end), *range.stop) < 0))
      ++end;
    if (end == leaf.index) return removed;
    TRY(remove_entries(tm, *found, path, end));
    removed += end - leaf.index;
  }
}

}  // namespace ambrik::keymap
