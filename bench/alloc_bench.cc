// CPU cost of the engine's write path, without Python and without syncs.
//
// An in-memory database (no path: the storage is a memory image, so a
// commit's three syncs cost nothing) takes values of 100 bytes in
// transactions of 1,000, commits included. The figure is nanoseconds of
// process CPU time per value, best of the rounds. Rows for update and
// delete (1,000 per transaction over the values allocated) follow, and a
// bulk row: every value in one transaction under a small cache, so that
// dirty pages go to the spillway and come back at commit.
//
// Usage: alloc_bench [values] [rounds] [row...]   rows: alloc update delete
//        bulk (default: all). `values` defaults to 50,000.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transaction/transaction_manager.h"

namespace ambrik {
namespace {

constexpr uint64_t kPerTxn = 1000;
constexpr size_t kValueSize = 100;

double cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

[[noreturn]] void die(const char* what, const Error& e) {
  std::fprintf(stderr, "%s: %s\n", what, e.message().c_str());
  std::exit(1);
}

template <class T>
T check(Result<T> r, const char* what) {
  if (!r.ok()) die(what, r.error());
  return std::move(r).value();
}
void check(Status s, const char* what) {
  if (!s.ok()) die(what, s.error());
}

std::unique_ptr<TransactionManager> open_memory(uint64_t cache_bytes) {
  OpenOptions o;
  o.cache_max_bytes = cache_bytes;
  return check(TransactionManager::open(o), "open");
}

std::vector<uint64_t> fill(TransactionManager& db, uint64_t n, uint64_t per_txn) {
  std::vector<uint8_t> value(kValueSize, 0x5a);
  std::vector<uint64_t> handles;
  handles.reserve(n);
  for (uint64_t i = 0; i < n;) {
    check(db.begin(), "begin");
    for (uint64_t j = 0; j < per_txn && i < n; ++j, ++i) {
      value[0] = static_cast<uint8_t>(i);
      handles.push_back(check(db.allocate(value), "allocate"));
    }
    check(db.commit(), "commit");
  }
  return handles;
}

struct Row {
  double ns_per_value;
  CounterValues counters;
};

// One round of `row` over n values; only the measured part is timed.
Row run(const std::string& row, uint64_t n) {
  const uint64_t kDefaultCache = 8388608;
  if (row == "alloc") {
    auto db = open_memory(kDefaultCache);
    double t0 = cpu_ns();
    fill(*db, n, kPerTxn);
    double t = cpu_ns() - t0;
    return {t / n, check(db->counters(), "counters")};
  }
  if (row == "bulk") {
    // A tenth of the data's size as the cache: the spillway takes the rest.
    auto db = open_memory(std::max<uint64_t>(n * kValueSize / 10, 8192));
    double t0 = cpu_ns();
    fill(*db, n, n);
    double t = cpu_ns() - t0;
    return {t / n, check(db->counters(), "counters")};
  }
  auto db = open_memory(kDefaultCache);
  std::vector<uint64_t> handles = fill(*db, n, kPerTxn);
  std::vector<uint8_t> value(kValueSize, 0xa5);
  CounterValues before = check(db->counters(), "counters");
  double t0 = cpu_ns();
  for (uint64_t i = 0; i < n;) {
    check(db->begin(), "begin");
    for (uint64_t j = 0; j < kPerTxn && i < n; ++j, ++i) {
      if (row == "update") check(db->update(handles[i], value), "update");
      else check(db->delete_handle(handles[i]), "delete");
    }
    check(db->commit(), "commit");
  }
  double t = cpu_ns() - t0;
  CounterValues c = check(db->counters(), "counters");
  c.cache_hits -= before.cache_hits;
  c.cache_misses -= before.cache_misses;
  c.pages_allocated -= before.pages_allocated;
  c.fsync_calls -= before.fsync_calls;
  return {t / n, c};
}

}  // namespace
}  // namespace ambrik

int main(int argc, char** argv) {
  using namespace ambrik;
  uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<std::string> rows;
  for (int i = 3; i < argc; ++i) rows.emplace_back(argv[i]);
  if (rows.empty()) rows = {"alloc", "update", "delete", "bulk"};
  std::printf("%-8s %10s %14s %12s %12s\n", "row", "ns/value", "pages_alloc/v", "hits/v",
              "misses/v");
  for (const std::string& row : rows) {
    Row best{1e300, {}};
    for (int r = 0; r < rounds; ++r) {
      Row got = run(row, n);
      if (got.ns_per_value < best.ns_per_value) best = got;
    }
    std::printf("%-8s %10.1f %14.3f %12.2f %12.3f\n", row.c_str(), best.ns_per_value,
                double(best.counters.pages_allocated) / n, double(best.counters.cache_hits) / n,
                double(best.counters.cache_misses) / n);
  }
  return 0;
}
