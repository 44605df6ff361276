// KeyMap's writes: put and remove, and the Writer that undoes what a failed
// one had written (see key_map.h for the guarantees).
#include <algorithm>
#include <atomic>
#include <chrono>
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

Status KeyMap::finish_header(Writer& w, Header h) {
  h.stamp = next_stamp();
  TRY(w.update_header(header_handle_, header_, h));
  header_ = h;
  cache_stamp_ = h.stamp;
  return w.finish();
}

template <typename Body>
Result<bool> KeyMap::run_write(TransactionManager& tm, Writer& w, Body&& body) {
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
  std::vector<Frame> path;
  if (found) {
    // An existing key keeps its handle and the nodes stay as they are.
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
      TRY(descend(tm, h, key, path));
    }
    // (An existing map's path is the one found above: nothing was written
    // since, and the value's allocation leaves the nodes alone.)
    const uint64_t value_handle = TRY(w.allocate(value, 0));
    // Insert upwards: each level either absorbs the entry or splits and
    // hands its parent a separator and a new right sibling.
    Key carry_key = key;
    std::vector<uint8_t> separator;  // carry_key's bytes after a split
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
      items.clear();  // its keys may point into `separator`, about to be replaced
      const uint64_t level = f.view.level();
      const uint64_t left_handle = f.handle;
      TRY(w.update(left_handle, std::move(left)));
      const uint64_t right_handle = TRY(w.allocate_node(std::move(right)));
      separator = std::move(sep);
      carry_key = separator;
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

}  // namespace ambrik::keymap
