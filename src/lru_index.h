// LruIndex: the page cache's recency order, a doubly linked list threaded
// through a hash map keyed by page id.
//
// Links are page ids, not pointers: a node is just the map entry of its id,
// so linking, moving and unlinking allocate nothing beyond that entry, and
// every operation touches at most three nodes. `head` is the most recently
// used end, `tail` the least recently used; eviction walks from the tail
// towards the head through `prev`.
//
// Guarantees (after every public call):
//  - head is absent exactly when no id is linked, and then tail is too;
//  - head has no prev, tail has no next;
//  - following next from head visits every linked id once and ends at tail.
// `unlink` alone leaves a detached node in the map; its only callers inside
// this class overwrite it at once, and `remove` deletes it.
//
// The map type is a parameter so that the cache-map benchmark can run this
// very code over another table; the engine uses `LruIndex` (U64Map).
//
// REQUIRES (every id argument): id != 2^64 - 1, which marks a missing link.
// No page of a real file can carry that id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "check.h"
#include "u64_map.h"

namespace ambrik {

struct LruNode {
  static constexpr uint64_t kNone = ~uint64_t{0};
  uint64_t prev = kNone;  // towards head
  uint64_t next = kNone;  // towards tail
};

template <template <typename> class Map>
class BasicLruIndex {
 public:
  static constexpr uint64_t kNone = LruNode::kNone;

  // Makes `id` the most recently used, linking it in if absent.
  void push_front(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (head_ == id) return;
    bool inserted = false;
    LruNode& self = nodes_.get_or_insert(id, &inserted);
    // detach only looks nodes up, so `self` survives it.
    if (!inserted) detach(id, self);
    self.prev = kNone;
    self.next = head_;
    if (head_ != kNone) nodes_.find(head_)->prev = id;
    else tail_ = id;
    head_ = id;
  }

  // Makes `id` the least recently used, linking it in if absent.
  void push_back(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (tail_ == id) return;
    bool inserted = false;
    LruNode& self = nodes_.get_or_insert(id, &inserted);
    if (!inserted) detach(id, self);
    self.next = kNone;
    self.prev = tail_;
    if (tail_ != kNone) nodes_.find(tail_)->next = id;
    else head_ = id;
    tail_ = id;
  }

  // Detaches `id` from its neighbours; its map entry stays. Absent ids are
  // ignored.
  void unlink(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    if (LruNode* n = nodes_.find(id)) detach(id, *n);
  }

  // Unlinks `id` and deletes its map entry. Absent ids are ignored.
  void remove(uint64_t id) {
    AMBRIK_DCHECK(id != kNone);
    LruNode* n = nodes_.find(id);
    if (!n) return;
    detach(id, *n);
    nodes_.erase(id);
  }

  void clear() {
    nodes_.clear();
    head_ = tail_ = kNone;
  }

  std::optional<uint64_t> head() const { return opt(head_); }
  std::optional<uint64_t> tail() const { return opt(tail_); }
  // Neighbours of a linked id (absent at the ends or for an unknown id).
  std::optional<uint64_t> prev(uint64_t id) const {
    AMBRIK_DCHECK(id != kNone);
    const LruNode* n = nodes_.find(id);
    return n ? opt(n->prev) : std::nullopt;
  }
  std::optional<uint64_t> next(uint64_t id) const {
    AMBRIK_DCHECK(id != kNone);
    const LruNode* n = nodes_.find(id);
    return n ? opt(n->next) : std::nullopt;
  }
  bool contains(uint64_t id) const { return nodes_.find(id) != nullptr; }
  // Map entries, detached nodes included.
  size_t size() const { return nodes_.size(); }
  bool empty() const { return head_ == kNone; }
  void reserve(size_t n) { nodes_.reserve(n); }

 private:
  static std::optional<uint64_t> opt(uint64_t v) {
    return v == kNone ? std::nullopt : std::optional<uint64_t>(v);
  }

  // Joins the neighbours of `n` (the node of `id`) to each other. The ends
  // move only when `id` really is an end: a node detached earlier has no
  // links either, and must not clear head or tail. Only looks nodes up, so
  // `n` stays valid.
  void detach(uint64_t id, LruNode& n) {
    if (n.prev != kNone) nodes_.find(n.prev)->next = n.next;
    else if (head_ == id) head_ = n.next;
    if (n.next != kNone) nodes_.find(n.next)->prev = n.prev;
    else if (tail_ == id) tail_ = n.prev;
    n.prev = n.next = kNone;
  }

  uint64_t head_ = kNone;
  uint64_t tail_ = kNone;
  Map<LruNode> nodes_;
};

extern template class BasicLruIndex<U64Map>;
using LruIndex = BasicLruIndex<U64Map>;

}  // namespace ambrik
