// How the file grows under churn, and what churn does to large reads.
//
// 1. Churn curve: 10 values of 70,000 bytes, each updated once per
//    transaction; file pages after 1, 10, 50, 100 and 200 rounds, next to the
//    pages the live data needs (ceil(70,000 / 8152) = 9 chain pages each).
// 2. Savepoints: 1,000 transactions each updating 10 values of 1,000 bytes,
//    with and without one savepoint per transaction; file pages at the end.
// 3. Large reads: 8 values of 1 MiB in a fresh file, and in a file where 4 of
//    them were replaced in each of 200 transactions; the database is
//    reopened with a 1 MiB cache and every value read in 8 passes (OS page
//    cache warm). Reports MiB/s of the best pass and how many pages of the chains do not
//    follow their predecessor in the file.
//
// Usage: space_churn [directory]   (default: $TMPDIR or /tmp)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "handle_table.h"
#include "overflow.h"
#include "transaction/manager_impl.h"
#include "transaction/transaction_manager.h"

namespace ambrik {
namespace {

constexpr uint64_t kMiB = 1 << 20;

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().message().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

void must(Status s, const char* what) {
  if (!s.ok()) {
    std::fprintf(stderr, "%s: %s\n", what, s.error().message().c_str());
    std::exit(1);
  }
}

std::unique_ptr<TransactionManager> open_fresh(const std::string& path, uint64_t cache) {
  ::unlink(path.c_str());
  OpenOptions o;
  o.path = path;
  o.cache_max_bytes = cache;
  return must(TransactionManager::open(o), "open");
}

uint64_t pages(TransactionManager& db) { return must(db.stats(), "stats").total_pages; }

std::vector<uint8_t> filled(size_t len, std::mt19937_64& rng) {
  std::vector<uint8_t> v(len);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void churn_curve(const std::string& dir) {
  std::mt19937_64 rng(1);
  auto db = open_fresh(dir + "/churn.ambrik", 8 * kMiB);
  std::vector<uint64_t> handles;
  must(db->begin(), "begin");
  for (int i = 0; i < 10; ++i) handles.push_back(must(db->allocate(filled(70000, rng)), "alloc"));
  must(db->commit(), "commit");
  const uint64_t live = 10 * ((70000 + kOverflowPayload - 1) / kOverflowPayload);
  std::printf("churn: 10 values of 70,000 bytes, one update each per transaction\n");
  std::printf("  live: %llu chain pages (%.2f MB of values)\n", (unsigned long long)live, 0.7);
  std::printf("  %8s %8s %10s %10s\n", "rounds", "pages", "MB", "x live");
  for (int round = 1; round <= 200; ++round) {
    must(db->begin(), "begin");
    for (uint64_t h : handles) must(db->update(h, filled(70000, rng)), "update");
    must(db->commit(), "commit");
    if (round == 1 || round == 10 || round == 50 || round == 100 || round == 200) {
      const uint64_t p = pages(*db);
      std::printf("  %8d %8llu %10.2f %10.2f\n", round, (unsigned long long)p,
                  p * 8192.0 / 1e6, p * 8192.0 / 700000.0);
    }
  }
}

uint64_t savepoint_workload(const std::string& dir, bool with_savepoint) {
  std::mt19937_64 rng(2);
  auto db = open_fresh(dir + "/sp.ambrik", 8 * kMiB);
  std::vector<uint64_t> handles;
  must(db->begin(), "begin");
  for (int i = 0; i < 10; ++i) handles.push_back(must(db->allocate(filled(1000, rng)), "alloc"));
  must(db->commit(), "commit");
  for (int t = 0; t < 1000; ++t) {
    must(db->begin(), "begin");
    if (with_savepoint) must(db->savepoint("sp"), "savepoint");
    for (uint64_t h : handles) must(db->update(h, filled(1000, rng)), "update");
    must(db->commit(), "commit");
  }
  return pages(*db);
}

struct ReadFigures {
  double mib_per_s = 0;
  uint64_t breaks = 0;  // chain pages not right after their predecessor
  uint64_t chain_pages = 0;
  uint64_t file_pages = 0;
};

// Walks each value's chain in the file itself (plaintext layout: the next
// id at byte 24 of every overflow page) and counts the pages that do not
// follow their predecessor.
void chain_layout(const std::string& path, TransactionManager& db, ReadFigures& f) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return;
  std::vector<uint8_t> page(8192);
  for (uint64_t h : must(db.handles(), "handles")) {
    HandleEntry e = must(db.impl().lookup_live(h), "lookup");
    if (e.kind != ValueKind::Overflow) continue;
    uint64_t id = e.location;
    while (id != 0) {
      if (std::fseek(file, static_cast<long>(id * 8192), SEEK_SET) != 0 ||
          std::fread(page.data(), 1, page.size(), file) != page.size())
        break;
      uint64_t next = 0;
      for (int b = 7; b >= 0; --b) next = (next << 8) | page[24 + b];
      f.chain_pages += 1;
      if (next != 0 && next != id + 1) f.breaks += 1;
      id = next;
    }
  }
  std::fclose(file);
}

ReadFigures large_reads(const std::string& dir, int churn_rounds) {
  const std::string path = dir + "/big.ambrik";
  std::mt19937_64 rng(3);
  std::vector<uint64_t> handles;
  {
    auto db = open_fresh(path, 8 * kMiB);
    must(db->begin(), "begin");
    for (int i = 0; i < 8; ++i) handles.push_back(must(db->allocate(filled(kMiB, rng)), "alloc"));
    must(db->commit(), "commit");
    for (int r = 0; r < churn_rounds; ++r) {
      must(db->begin(), "begin");
      for (int j = 0; j < 4; ++j) must(db->update(handles[rng() % 8], filled(kMiB, rng)), "update");
      must(db->commit(), "commit");
    }
  }
  ReadFigures f;
  OpenOptions o;
  o.path = path;
  o.cache_max_bytes = kMiB;
  auto db = must(TransactionManager::open(o), "reopen");
  f.file_pages = pages(*db);
  for (uint64_t h : handles) (void)must(db->read(h), "warm read");  // OS cache warm
  // Best of several passes: the machine is shared.
  for (int pass = 0; pass < 8; ++pass) {
    auto t0 = std::chrono::steady_clock::now();
    uint64_t bytes = 0;
    for (uint64_t h : handles) bytes += must(db->read(h), "read").size();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    f.mib_per_s = std::max(f.mib_per_s, bytes / double(kMiB) / s);
  }
  chain_layout(path, *db, f);
  return f;
}

}  // namespace
}  // namespace ambrik

int main(int argc, char** argv) {
  using namespace ambrik;
  std::string dir = argc > 1 ? argv[1] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  dir += "/space_churn." + std::to_string(::getpid());
  std::string mk = "mkdir -p '" + dir + "'";
  if (std::system(mk.c_str()) != 0) return 1;

  churn_curve(dir);

  const uint64_t plain = savepoint_workload(dir, false);
  const uint64_t with_sp = savepoint_workload(dir, true);
  std::printf("\nsavepoints: 1,000 transactions x 10 updates of 1,000 bytes\n");
  std::printf("  without savepoint: %llu pages; one savepoint per transaction: %llu pages\n",
              (unsigned long long)plain, (unsigned long long)with_sp);

  ReadFigures fresh = large_reads(dir, 0);
  ReadFigures churned = large_reads(dir, 200);
  std::printf("\n1 MiB reads, 8 values, 1 MiB cache, OS cache warm\n");
  for (const auto& [label, f] : {std::pair{"fresh file", fresh}, {"after 200 rounds", churned}})
    std::printf("  %-18s %7.0f MiB/s  %6llu file pages  %llu of %llu chain pages out of order\n",
                label, f.mib_per_s, (unsigned long long)f.file_pages,
                (unsigned long long)f.breaks, (unsigned long long)f.chain_pages);

  std::string rm = "rm -rf '" + dir + "'";
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
