// LruIndex: the page cache's recency order, a doubly linked list of nodes
// in one array, with a hash map from page id to node.
//
// Links are array positions (slots), so moving a node to the front or
// unlinking it touches at most three nodes and no hash table: an operation
// named by id costs one map lookup, one named by slot none. A removed
// node's slot goes on a free list and is reused by the next new id, so the
// array never holds more slots than ids were ever linked at once. `head` is
// the most recently used end, `tail` the least recently used; eviction
// walks from the tail towards the head through `prev`.
//
// Guarantees (after every public call):
//  - head is absent exactly when no id is linked, and then tail is too;
//  - head has no prev, tail has no next;
//  - following next from head visits every linked id once and ends at tail;
//  - the slot of an id stays the same until the id is removed.
// `unlink` alone leaves a detached node in the map; its only callers inside
// this class overwrite it at once, and `remove` deletes it.
//
// The map type is a parameter so that the cache-map benchmark can run this
// very code over another table; the engine uses `LruIndex` (U64Map).
//
// REQUIRES (every id argument): id != 2^64 - 1, which marks a missing link.
// No page of a real file can carry that id. A slot argument must be the
// current slot of a linked id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.h"
#include "u64_map.h"

namespace ambrik {

struct LruNode {
  static constexpr uint64_t kNone = ~uint64_t{0};
  static constexpr uint32_t kNoSlot = ~uint32_t{0};
  uint64_t id = kNone;      // kNone for a slot on the free list
  uint32_t prev = kNoSlot;  // towards head
  uint32_t next = kNoSlot;  // towards tail (the free list's link when free)
};

template <template <typename> class Map>
class BasicLruIndex {
 public:
  static constexpr uint64_t kNone = LruNode::kNone;
  static constexpr uint32_t kNoSlot = LruNode::kNoSlot;

  // Makes `id` the most recently used, linking it in if absent. Returns its
  // slot.
  uint32_t push_front(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (head_ != kNoSlot && nodes_[head_].id == id) return head_;
    uint32_t s = slot_for(id);
    touch(s);
    return s;
  }

  // Makes the id at slot `s` the most recently used.
  void touch(uint32_t s) {
    AMBRIK_DCHECK(s < nodes_.size() && nodes_[s].id != kNone);
    if (head_ == s) return;
    detach(s);
    LruNode& n = nodes_[s];
    n.next = head_;
    if (head_ != kNoSlot) nodes_[head_].prev = s;
    else tail_ = s;
    head_ = s;
  }

  // Makes `id` the least recently used, linking it in if absent.
  void push_back(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (tail_ != kNoSlot && nodes_[tail_].id == id) return;
    uint32_t s = slot_for(id);
    detach(s);
    LruNode& n = nodes_[s];
    n.prev = tail_;
    if (tail_ != kNoSlot) nodes_[tail_].next = s;
    else head_ = s;
    tail_ = s;
  }

  // Detaches `id` from its neighbours; its map entry stays. Absent ids are
  // ignored.
  void unlink(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (const uint32_t* s = slots_.find(id)) detach(*s);
  }

  // Unlinks `id` and deletes its map entry. Absent ids are ignored.
  void remove(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    const uint32_t* found = slots_.find(id);
    if (!found) return;
    const uint32_t s = *found;
    detach(s);
    slots_.erase(id);
    nodes_[s].id = kNone;
    nodes_[s].next = free_;
    free_ = s;
  }

  void clear() {
    slots_.clear();
    nodes_.clear();
    head_ = tail_ = free_ = kNoSlot;
  }

  std::optional<uint64_t> head() const { return id_at(head_); }
  std::optional<uint64_t> tail() const { return id_at(tail_); }
  // Neighbours of a linked id (absent at the ends or for an unknown id).
  std::optional<uint64_t> prev(uint64_t id) const {
    AMBRIK_DCHECK(id != kNone);
    const uint32_t* s = slots_.find(id);
    return s ? id_at(nodes_[*s].prev) : std::nullopt;
  }
  std::optional<uint64_t> next(uint64_t id) const {
    AMBRIK_DCHECK(id != kNone);
    const uint32_t* s = slots_.find(id);
    return s ? id_at(nodes_[*s].next) : std::nullopt;
  }
  bool contains(uint64_t id) const { return slots_.find(id) != nullptr; }
  // Map entries, detached nodes included.
  size_t size() const { return slots_.size(); }
  bool empty() const { return head_ == kNoSlot; }
  void reserve(size_t n) {
    slots_.reserve(n);
    nodes_.reserve(n);
  }

 private:
  std::optional<uint64_t> id_at(uint32_t s) const {
    return s == kNoSlot ? std::nullopt : std::optional<uint64_t>(nodes_[s].id);
  }

  // The slot of `id`, a new detached node when absent.
  uint32_t slot_for(uint64_t id) {
    bool inserted = false;
    uint32_t& s = slots_.get_or_insert(id, &inserted);
    if (!inserted) return s;
    if (free_ != kNoSlot) {
      s = free_;
      free_ = nodes_[s].next;
    } else {
      // Each linked id is a cached page of 8 KiB: memory runs out long
      // before 2^32 of them.
      AMBRIK_DCHECK(nodes_.size() < kNoSlot);
      s = static_cast<uint32_t>(nodes_.size());
      nodes_.emplace_back();
    }
    nodes_[s] = LruNode{id, kNoSlot, kNoSlot};
    return s;
  }

  // Joins the neighbours of slot `s` to each other. The ends move only when
  // `s` really is an end: a node detached earlier has no links either, and
  // must not clear head or tail.
  void detach(uint32_t s) {
    LruNode& n = nodes_[s];
    if (n.prev != kNoSlot) nodes_[n.prev].next = n.next;
    else if (head_ == s) head_ = n.next;
    if (n.next != kNoSlot) nodes_[n.next].prev = n.prev;
    else if (tail_ == s) tail_ = n.prev;
    n.prev = n.next = kNoSlot;
  }

  uint32_t head_ = kNoSlot;
  uint32_t tail_ = kNoSlot;
  uint32_t free_ = kNoSlot;  // first slot of the free list
  std::vector<LruNode> nodes_;
  Map<uint32_t> slots_;
};

extern template class BasicLruIndex<U64Map>;
using LruIndex = BasicLruIndex<U64Map>;

}  // namespace ambrik
