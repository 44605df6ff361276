// U64Map<V>: an open-addressing hash map keyed by u64, for the page cache's
// hot paths (cached entries, LRU nodes, spill slots).
//
// Layout: one power-of-two array of {key, value} slots, linear probing,
// Fibonacci (multiplicative) hashing of the key, load factor at most 3/4.
// Erasure shifts later members of the probe run backwards, so there are no
// tombstones and lookups never degrade after churn. Page ids are mostly
// dense runs; the multiplicative hash spreads them evenly without the cost
// of a mixing hash.
//
// The all-ones key marks an empty slot inside the array; a member with that
// key is kept beside the array so that every u64 is a valid key.
//
// Guarantees:
//  - find/insert/erase are expected O(1);
//  - pointers and references to values are invalidated by any insertion
//    (the table may grow) and by any erasure (members may shift);
//  - iteration order is slot order, stable while the map is not modified;
//  - erasing a member destroys its value at once (a page buffer is freed
//    there, not when the slot is reused).
//
// REQUIRES: V is default-constructible and nothrow move-assignable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace ambrik {

template <typename V>
class U64Map {
 public:
  U64Map() = default;
  U64Map(const U64Map&) = delete;
  U64Map& operator=(const U64Map&) = delete;
  U64Map(U64Map&&) noexcept = default;
  U64Map& operator=(U64Map&&) noexcept = default;

  size_t size() const { return size_ + (has_max_ ? 1 : 0); }
  bool empty() const { return size() == 0; }

  V* find(uint64_t key) {
    if (key == kEmpty) return has_max_ ? &max_value_ : nullptr;
    if (!slots_) return nullptr;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
  }
  const V* find(uint64_t key) const { return const_cast<U64Map*>(this)->find(key); }
  bool contains(uint64_t key) const { return find(key) != nullptr; }

  // The value under `key`, default-constructed and inserted when absent.
  // `inserted` (if given) tells which.
  V& get_or_insert(uint64_t key, bool* inserted = nullptr) {
    if (key == kEmpty) {
      if (inserted) *inserted = !has_max_;
      has_max_ = true;
      return max_value_;
    }
    if ((size_ + 1) * 4 > capacity() * 3) grow();
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.key == key) {
        if (inserted) *inserted = false;
        return s.value;
      }
      if (s.key == kEmpty) {
        s.key = key;
        ++size_;
        if (inserted) *inserted = true;
        return s.value;
      }
    }
  }
  V& operator[](uint64_t key) { return get_or_insert(key); }

  // Removes `key`; false when it was absent.
  bool erase(uint64_t key) {
    if (key == kEmpty) {
      if (!has_max_) return false;
      has_max_ = false;
      max_value_ = V{};
      return true;
    }
    if (!slots_) return false;
    size_t i = home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == kEmpty) return false;
      i = (i + 1) & mask_;
    }
    // Backward shift: pull each later member of the run into the hole when
    // the hole lies on its probe path (between its home and its slot).
    size_t hole = i;
    for (size_t j = (i + 1) & mask_; slots_[j].key != kEmpty; j = (j + 1) & mask_) {
      size_t h = home(slots_[j].key);
      if (((j - h) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole].key = slots_[j].key;
        slots_[hole].value = std::move(slots_[j].value);
        hole = j;
      }
    }
    slots_[hole].key = kEmpty;
    slots_[hole].value = V{};
    --size_;
    return true;
  }

  // Removes every member; the table keeps its capacity. Costs one pass over
  // the table unless the map is already empty.
  void clear() {
    if (empty()) return;
    for (size_t i = 0; slots_ && i <= mask_; ++i) {
      if (slots_[i].key != kEmpty) {
        slots_[i].key = kEmpty;
        slots_[i].value = V{};
      }
    }
    size_ = 0;
    has_max_ = false;
    max_value_ = V{};
  }

  void reserve(size_t n) {
    while (n * 4 > capacity() * 3) grow();
  }

  // Calls f(key, value&) for every member in slot order. When f returns
  // bool, returning false stops the walk. REQUIRES: f does not modify the
  // map.
  template <typename F>
  void for_each(F&& f) {
    for (size_t i = 0; slots_ && i <= mask_; ++i) {
      Slot& s = slots_[i];
      if (s.key == kEmpty) continue;
      if (!call(f, s.key, s.value)) return;
    }
    if (has_max_) call(f, kEmpty, max_value_);
  }
  template <typename F>
  void for_each(F&& f) const {
    const_cast<U64Map*>(this)->for_each([&](uint64_t k, V& v) { return call(f, k, v); });
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static constexpr uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;
  static constexpr size_t kMinCapacity = 16;

  struct Slot {
    uint64_t key = kEmpty;
    V value{};
  };

  template <typename F, typename T>
  static bool call(F& f, uint64_t k, T& v) {
    if constexpr (std::is_same_v<decltype(f(k, v)), bool>) {
      return f(k, v);
    } else {
      f(k, v);
      return true;
    }
  }

  size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  size_t home(uint64_t key) const { return static_cast<size_t>((key * kFibonacci) >> shift_); }

  void grow() {
    size_t old_cap = capacity();
    size_t new_cap = old_cap ? old_cap * 2 : kMinCapacity;
    std::unique_ptr<Slot[]> old = std::move(slots_);
    slots_ = std::make_unique<Slot[]>(new_cap);
    mask_ = new_cap - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(new_cap));
    for (size_t i = 0; i < old_cap; ++i) {
      if (old[i].key == kEmpty) continue;
      size_t j = home(old[i].key);
      while (slots_[j].key != kEmpty) j = (j + 1) & mask_;
      slots_[j].key = old[i].key;
      slots_[j].value = std::move(old[i].value);
    }
  }

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t size_ = 0;  // members in the array (the all-ones key excluded)
  bool has_max_ = false;
  V max_value_{};
};

}  // namespace ambrik
