// Chooses the key map's node size by measurement.
//
// For each node-size limit: 100,000 keys of 16 bytes with 100-byte values
// are put in random order, 1,000 per transaction, into a database file;
// then a hot get of a random key, a scan of 10,000 keys, the file size and
// the pages the load allocated. The engine is reached directly (no Python),
// so the rows compare node sizes, not bindings.
//
// Output: one row per node size; times in nanoseconds per key. "get hot"
// reads the value too, "find only" stops at its handle, "read only" reads
// the same values by handle.
//
// Environment: KEYMAP_BENCH_MEMORY=1 an in-memory database (CPU only, no
// syncs); KEYMAP_BENCH_CACHE_MB the engine's cache (default 8);
// KEYMAP_BENCH_NODE_CACHE_MB the map's node cache (default 4);
// KEYMAP_BENCH_KEYS=named keys that share their start.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "best_of.h"
#include "keymap/key_map.h"
#include "transaction/transaction_manager.h"

namespace ambrik::keymap {
namespace {

constexpr int kKeys = 100000;
constexpr int kPerTxn = 1000;

// KEYMAP_BENCH_KEYS=named: keys that share their first bytes, as names and
// paths do ("user:00000012345").
std::vector<uint8_t> key_of(uint64_t i) {
  char buf[24];
  if (std::getenv("KEYMAP_BENCH_KEYS")) {
    std::snprintf(buf, sizeof buf, "user:%011llu", static_cast<unsigned long long>(i * 7919 % 100000));
  } else {
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ull));
  }
  return {buf, buf + 16};
}

template <typename T>
T must(Result<T> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s\n", r.error().message().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}
void must(Status s) {
  if (!s.ok()) {
    std::fprintf(stderr, "%s\n", s.error().message().c_str());
    std::exit(1);
  }
}

void row(size_t node_bytes) {
  char path[] = "/tmp/ambrik-keymap-bench-XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  unlink(path);
  OpenOptions o;
  // KEYMAP_BENCH_MEMORY=1: an in-memory database, so the put row is CPU
  // without the commits' syncs.
  if (!std::getenv("KEYMAP_BENCH_MEMORY")) o.path = path;
  if (const char* mb = std::getenv("KEYMAP_BENCH_CACHE_MB"))
    o.cache_max_bytes = std::strtoull(mb, nullptr, 10) << 20;
  auto tm = must(TransactionManager::open(o));
  const char* node_mb = std::getenv("KEYMAP_BENCH_NODE_CACHE_MB");
  KeyMap m("bench", KeyMapOptions{node_bytes, (node_mb ? std::strtoull(node_mb, nullptr, 10) : 4) << 20});
  std::vector<uint8_t> value(100, 'v');
  std::vector<int> order(kKeys);
  for (int i = 0; i < kKeys; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(1));
  const uint64_t pages_before = must(tm->counters()).pages_allocated;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kKeys; i += kPerTxn) {
    must(tm->begin());
    for (int j = i; j < i + kPerTxn; ++j) must(m.put(*tm, key_of(order[j]), value));
    must(tm->commit());
  }
  const double put_ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
      kKeys;
  const uint64_t pages = must(tm->counters()).pages_allocated - pages_before;
  std::mt19937 rng(2);
  std::vector<std::vector<uint8_t>> probes;
  // Random keys of the whole map, as an application's gets would be.
  std::vector<uint64_t> handles;
  for (int i = 0; i < 65536; ++i) probes.push_back(key_of(rng() % kKeys));
  for (auto& k : probes) handles.push_back(*must(m.find(*tm, k)));
  const double get_ns = best_ns_per_op(100000, [&](int i) {
    auto h = must(m.find(*tm, probes[i & 65535]));
    (void)must(tm->read(*h));
  });
  const double find_ns = best_ns_per_op(100000, [&](int i) {
    (void)must(m.find(*tm, probes[i & 65535]));
  });
  const double read_ns = best_ns_per_op(100000, [&](int i) {
    (void)must(tm->read(handles[i & 65535]));
  });
  const double scan_ns = best_ns_per_op(1, [&](int) {
    ScanRange r;
    size_t n = 0;
    while (n < 10000) {
      auto b = must(m.scan(*tm, r, 256));
      for (auto& e : b.entries) (void)must(tm->read(e.handle));
      n += b.entries.size();
      if (b.done || b.entries.empty()) break;
      r.resume = b.entries.back().key;
    }
  }) / 10000;
  const uint64_t file_bytes = must(tm->stats()).file_size_bytes;
  std::printf("| %5zu | %8.0f | %6.0f | %6.0f | %6.0f | %6.0f | %6.1f | %8.1f |\n", node_bytes,
              put_ns, get_ns, find_ns, read_ns, scan_ns, file_bytes / 1048576.0, static_cast<double>(pages) / kKeys);
  tm.reset();
  unlink(path);
}

}  // namespace
}  // namespace ambrik::keymap

int main(int argc, char** argv) {
  std::printf("| node bytes | put ns (1,000/txn) | get hot ns | find only ns | read only ns | scan ns/key | file MiB "
              "| pages/put |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) ambrik::keymap::row(std::strtoul(argv[i], nullptr, 10));
  } else {
    for (size_t n : {512, 1024, 2048, 4096, 6090}) ambrik::keymap::row(n);
  }
  return 0;
}
