// Chooses the hash map of the page cache by measurement.
//
// The cache has two tables keyed by page id (entries and LRU nodes), so the
// map decides the cost of every hit. This program runs the cache's hit
// path, miss path (memory storage, one clean eviction per miss) and clean
// eviction over two tables: std::unordered_map and U64Map (open addressing,
// multiplicative hash). Both run through a model of the cache that follows
// the same steps as PageCache over the real BasicLruIndex, PageIo and
// trailer check; the real PageCache (built on U64Map) runs the same loads
// as a check that the model is faithful.
//
// Rows: hits over a cache of 1024 and of 16384 pages (random ids); misses
// from memory storage, each evicting one clean page; shrinking a full cache
// of clean pages to one page, with pages loaded in id order and shuffled;
// and the map work of that eviction alone, without buffers to free.
//
// Output: one table of nanoseconds per operation, best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "lru_index.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "u64_map.h"

namespace ambrik {
namespace {

// std::unordered_map behind the U64Map interface the LRU index uses.
template <typename V>
class StdU64Map {
 public:
  size_t size() const { return m_.size(); }
  V* find(uint64_t k) {
    auto it = m_.find(k);
    return it == m_.end() ? nullptr : &it->second;
  }
  const V* find(uint64_t k) const { return const_cast<StdU64Map*>(this)->find(k); }
  bool contains(uint64_t k) const { return m_.count(k) != 0; }
  V& get_or_insert(uint64_t k, bool* inserted = nullptr) {
    auto [it, ins] = m_.try_emplace(k);
    if (inserted) *inserted = ins;
    return it->second;
  }
  V& operator[](uint64_t k) { return m_[k]; }
  bool erase(uint64_t k) { return m_.erase(k) != 0; }
  void clear() { m_.clear(); }
  void reserve(size_t n) { m_.reserve(n); }

 private:
  std::unordered_map<uint64_t, V> m_;
};

// The cache's read path over a chosen map: lookup, load on miss after
// dropping clean pages from the LRU end, move to the LRU front.
template <template <typename> class Map>
class CacheModel {
 public:
  CacheModel(std::unique_ptr<PageIo> io, uint64_t cap) : io_(std::move(io)), cap_(cap) {}

  const uint8_t* get(uint64_t id) {
    Entry* e = entries_.find(id);
    if (!e) {
      evict_clean_to_cap();
      load(id);
      e = entries_.find(id);
    }
    lru_.push_front(id);
    return e->page.get();
  }

  void set_cap(uint64_t cap) {
    cap_ = cap;
    evict_clean_to_cap();
  }

 private:
  struct Entry {
    std::unique_ptr<uint8_t[]> page;
    bool dirty = false;
  };

  void load(uint64_t id) {
    auto page = std::make_unique_for_overwrite<uint8_t[]>(kPageSize);
    if (!io_->read_page_unit_into(id, page.get()).ok() || !page_trailer_ok(page.get())) std::abort();
    entries_.get_or_insert(id) = Entry{std::move(page), false};
    lru_.push_front(id);
  }

  void evict_clean_to_cap() {
    std::optional<uint64_t> cur = lru_.tail();
    while (entries_.size() > cap_) {
      while (cur && entries_.find(*cur)->dirty) cur = lru_.prev(*cur);
      if (!cur) return;
      std::optional<uint64_t> towards_head = lru_.prev(*cur);
      entries_.erase(*cur);
      lru_.remove(*cur);
      cur = towards_head;
    }
  }

  std::unique_ptr<PageIo> io_;
  uint64_t cap_;
  Map<Entry> entries_;
  BasicLruIndex<Map> lru_;
};

std::unique_ptr<PageIo> memory_db(uint64_t pages) {
  auto io = std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false);
  std::vector<uint8_t> page(kPageSize);
  for (uint64_t id = 0; id < pages; ++id) {
    std::memset(page.data(), static_cast<int>(id), kTrailerOffset);
    page_trailer_set(page.data());
    if (!io->write_page_unit(id, page.data(), kPageSize).ok()) std::abort();
  }
  return io;
}

CacheSettings budget(uint64_t pages) {
  CacheSettings s;
  s.cache_max_bytes = pages * kPageSize;
  return s;
}

// Best ns/op over `rounds` runs; `setup` is untimed, `run` does `ops` ops.
double best_ns(int rounds, uint64_t ops, const std::function<void()>& setup,
               const std::function<void()>& run) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    setup();
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / ops);
  }
  return best;
}

volatile uint8_t g_sink;

// The model returns the page, the real cache a Result of it.
const uint8_t* deref(const uint8_t* p) { return p; }
const uint8_t* deref(Result<const uint8_t*> r) { return r.value(); }

// The bookkeeping of eviction alone: the same walk and removals over the two
// tables, with no page buffers to free (freeing 8 KiB chunks otherwise
// dominates and mostly measures the allocator's heap layout).
template <template <typename> class Map>
double eviction_bookkeeping(uint64_t n) {
  struct Entry {
    std::unique_ptr<uint8_t[]> page;
    bool dirty = false;
  };
  Map<Entry> entries;
  BasicLruIndex<Map> lru;
  return best_ns(5, n - 1, [&] {
    for (uint64_t id = 0; id < n; ++id) {
      entries.get_or_insert(id);
      lru.push_front(id);
    }
  }, [&] {
    std::optional<uint64_t> cur = lru.tail();
    while (entries.size() > 1) {
      while (cur && entries.find(*cur)->dirty) cur = lru.prev(*cur);
      std::optional<uint64_t> towards_head = lru.prev(*cur);
      entries.erase(*cur);
      lru.remove(*cur);
      cur = towards_head;
    }
    entries.erase(*lru.head());
    lru.clear();
  });
}

// Random ids over [0, n): a hit workload with no locality to hide behind.
std::vector<uint64_t> random_ids(uint64_t n, size_t count) {
  std::mt19937_64 rng(12345);
  std::vector<uint64_t> ids(count);
  for (auto& id : ids) id = rng() % n;
  return ids;
}

// Hit path: every page cached, random gets.
template <typename Cache>
double hit_path(uint64_t pages, std::function<std::unique_ptr<Cache>(uint64_t)> make) {
  std::unique_ptr<Cache> cache = make(pages);
  for (uint64_t id = 0; id < pages; ++id) (void)deref(cache->get(id));
  std::vector<uint64_t> ids = random_ids(pages, 2'000'000);
  return best_ns(5, ids.size(), [] {}, [&] {
    for (uint64_t id : ids) g_sink = *deref(cache->get(id));
  });
}

// Miss path: a cyclic scan over twice the budget misses on every get and
// evicts one clean page per get.
template <typename Cache>
double miss_path(uint64_t cap, std::function<std::unique_ptr<Cache>(uint64_t)> make) {
  std::unique_ptr<Cache> cache = make(cap);
  const uint64_t span = 2 * cap, ops = 200'000;
  return best_ns(5, ops, [] {}, [&] {
    for (uint64_t i = 0; i < ops; ++i) g_sink = *deref(cache->get(i % span));
  });
}

// Eviction: fill the budget with clean pages (in id order, or shuffled as a
// tree walk would load them), then shrink the budget to one page.
template <typename Cache>
double eviction(uint64_t cap, bool shuffled,
                std::function<std::unique_ptr<Cache>(uint64_t)> make) {
  std::vector<uint64_t> order(cap);
  for (uint64_t id = 0; id < cap; ++id) order[id] = id;
  if (shuffled) std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  std::unique_ptr<Cache> cache;
  return best_ns(5, cap - 1, [&] {
    cache = make(cap);
    for (uint64_t id : order) (void)deref(cache->get(id));
  }, [&] { cache->set_cap(1); });
}

// The real cache under the model's interface.
class RealCache {
 public:
  RealCache(std::unique_ptr<PageIo> io, uint64_t cap) : c_(std::move(io), budget(cap), 0) {}
  Result<const uint8_t*> get(uint64_t id) { return c_.get(id); }
  void set_cap(uint64_t cap) { c_.set_cache_max_bytes(cap * kPageSize); }

 private:
  PageCache c_;
};

struct Row {
  const char* name;
  double std_map, u64_map, real;
};

template <typename F>
Row measure(const char* name, F&& per_map) {
  return Row{name, per_map.template operator()<CacheModel<StdU64Map>>(),
             per_map.template operator()<CacheModel<U64Map>>(),
             per_map.template operator()<RealCache>()};
}

}  // namespace
}  // namespace ambrik

int main() {
  using namespace ambrik;
  std::vector<Row> rows;
  static const char* const kHitNames[] = {"hit, 1024 pages cached", "hit, 16384 pages cached"};
  for (int i = 0; i < 2; ++i) {
    uint64_t pages = i == 0 ? 1024 : 16384;
    rows.push_back(measure(kHitNames[i], [&]<typename C>() {
      return hit_path<C>(pages, [&](uint64_t cap) {
        return std::make_unique<C>(memory_db(pages), cap);
      });
    }));
  }
  rows.push_back(measure("miss (memory storage), cap 1024", [&]<typename C>() {
    return miss_path<C>(1024, [&](uint64_t cap) { return std::make_unique<C>(memory_db(2 * cap), cap); });
  }));
  rows.push_back(measure("clean eviction, id order", [&]<typename C>() {
    return eviction<C>(8192, false, [&](uint64_t cap) { return std::make_unique<C>(memory_db(cap), cap); });
  }));
  rows.push_back(measure("clean eviction, shuffled order", [&]<typename C>() {
    return eviction<C>(8192, true, [&](uint64_t cap) { return std::make_unique<C>(memory_db(cap), cap); });
  }));

  rows.push_back(Row{"eviction bookkeeping only", eviction_bookkeeping<StdU64Map>(8192),
                     eviction_bookkeeping<U64Map>(8192), -1});

  std::printf("%-36s %14s %10s %10s\n", "ns/op", "unordered_map", "U64Map", "PageCache");
  for (const Row& r : rows) {
    std::printf("%-36s %14.1f %10.1f ", r.name, r.std_map, r.u64_map);
    if (r.real < 0) std::printf("%10s\n", "-");
    else std::printf("%10.1f\n", r.real);
  }
  return 0;
}
