// Snapshots of an open database: what they show while the database commits
// over them, the pages they keep from reuse, and reads from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "oracle.h"
#include "test_util.h"
#include "transaction/transaction_manager.h"

namespace ambrik {
namespace {

using testing::must;

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::vector<uint8_t> value_of(uint32_t seed, size_t size) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed * 131 + i * 7);
  return v;
}

struct Entry {
  std::vector<uint8_t> value;
  uint32_t tag = 0;
  uint8_t client_byte = 0;
};
using Model = std::map<uint64_t, Entry>;

// Every read of `snap` shows exactly `model` (and the root `r` bound to `root`).
void expect_shows(Snapshot& snap, const Model& model, uint64_t root, const std::string& where) {
  auto a = snap.access();
  ASSERT_TRUE(a.has_value()) << where;
  std::vector<uint64_t> want;
  std::map<uint32_t, std::vector<uint64_t>> by_tag;
  for (const auto& [h, e] : model) {
    want.push_back(h);
    if (e.tag) by_tag[e.tag].push_back(h);
    auto v = a->read(h);
    ASSERT_TRUE(v.ok()) << where << " handle " << h << ": " << v.error().message();
    ASSERT_EQ(v.value(), e.value) << where << " handle " << h;
    std::vector<uint8_t> into;
    auto filled = a->read_into(h, [&](size_t n) {
      into.resize(n);
      return into.data();
    });
    ASSERT_TRUE(filled.ok() && filled.value()) << where;
    ASSERT_EQ(into, e.value) << where;
    EXPECT_EQ(must(a->tag(h)), e.tag) << where;
    EXPECT_EQ(must(a->client_byte(h)), e.client_byte) << where;
  }
  EXPECT_EQ(must(a->handles()), want) << where;
  for (const auto& [t, hs] : by_tag) EXPECT_EQ(must(a->handles_with_tag(t)), hs) << where;
  EXPECT_EQ(must(a->get_root_name("r")), std::optional<uint64_t>(root)) << where;
}

class SnapshotChurn : public ::testing::TestWithParam<bool> {};

// A snapshot opened before a long run of commits that update, delete and
// allocate values of every size class keeps showing its commit, read after
// every commit and from inside the next transaction; every commit checks
// sound with no leaked page. Once it closes, the freed pages are taken
// again and the file stops growing.
TEST_P(SnapshotChurn, ShowsItsCommitAndPinsWhatLaterCommitsFree) {
  testing::TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  std::optional<Key> key;
  if (GetParam()) {
    key = Key{KeyKind::Raw, SecretBytes(reinterpret_cast<const uint8_t*>("snapkey"), 7)};
    o.encryption_key = Key{key->kind, SecretBytes(key->bytes.data(), key->bytes.size())};
  }
  auto db = std::move(TransactionManager::open(o)).value();
  const size_t sizes[] = {1, 40, 900, 8000, 9000, 30000};
  std::mt19937 rng(7);
  Model model;
  uint64_t root = 0;
  uint32_t seed = 0;
  auto store = [&](uint64_t h, size_t size) {
    auto v = value_of(++seed, size);
    must(db->update(h, v));
    model[h].value = v;
  };
  must(db->begin());
  for (int i = 0; i < 60; ++i) {
    const size_t size = sizes[i % 6];
    const uint32_t tag = i % 3 == 0 ? 5 + i % 2 : 0;
    auto v = value_of(++seed, size);
    uint64_t h = must(db->allocate(v, tag));
    must(db->set_client_byte(h, static_cast<uint8_t>(i)));
    model[h] = Entry{v, tag, static_cast<uint8_t>(i)};
  }
  root = model.begin()->first;
  must(db->set_root_name("r", root));
  must(db->commit());

  auto snap = std::move(db->snapshot()).value();
  const Model shown = model;
  const uint64_t shown_root = root;
  uint64_t pages_at_close = 0;
  for (int c = 0; c < 25; ++c) {
    must(db->begin());
    for (auto it = model.begin(); it != model.end();) {
      const uint64_t h = it->first;
      ++it;
      switch (rng() % 4) {
        case 0:
          if (h != root) {
            must(db->delete_handle(h));
            model.erase(h);
          }
          break;
        case 1: store(h, sizes[rng() % 6]); break;
        default: break;
      }
    }
    for (int i = 0; i < 10; ++i) {
      auto v = value_of(++seed, sizes[rng() % 6]);
      uint64_t h = must(db->allocate(v, rng() % 2 ? 9 : 0));
      model[h] = Entry{v, must(db->tag(h)), 0};
    }
    if (c % 5 == 0) expect_shows(*snap, shown, shown_root, "inside transaction " + std::to_string(c));
    must(db->commit());
    expect_shows(*snap, shown, shown_root, "after commit " + std::to_string(c));
    testing::expect_sound(file_bytes(tmp.path()), key, "commit " + std::to_string(c));
  }
  pages_at_close = must(db->stats()).total_pages;
  snap.reset();
  // The same churn without the snapshot: the held pages are taken first.
  std::vector<uint64_t> live;
  for (const auto& [h, e] : model) live.push_back(h);
  for (int c = 0; c < 15; ++c) {
    must(db->begin());
    for (uint64_t h : live) store(h, sizes[rng() % 6]);
    must(db->commit());
  }
  testing::expect_sound(file_bytes(tmp.path()), key, "after close");
  EXPECT_LE(must(db->stats()).total_pages, pages_at_close);
}

INSTANTIATE_TEST_SUITE_P(PlainAndSealed, SnapshotChurn, ::testing::Bool());

// A reader thread takes snapshots and reads them while the writer commits
// blocks of equal values: every snapshot shows one whole block, and the
// blocks it sees never go back.
TEST(Snapshot, ReadFromAnotherThreadDuringCommits) {
  testing::TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  o.cache_max_bytes = 64 * kPageSize;
  auto db = std::move(TransactionManager::open(o)).value();
  std::mutex db_mu;  // the database's owner serialises its calls
  std::vector<uint64_t> block;
  must(db->begin());
  // The large values are more than a snapshot's cache holds: its later
  // passes read them from the file again.
  constexpr size_t kLarge = 1200000;
  for (int i = 0; i < 12; ++i)
    block.push_back(must(db->allocate(value_of(0, i % 3 ? 30 : kLarge))));
  must(db->commit());
  std::atomic<bool> stop{false};
  std::atomic<int> snapshots_read{0};
  std::atomic<uint32_t> commits{0};
  std::thread reader([&] {
    uint32_t last = 0;
    while (!stop.load()) {
      std::unique_ptr<Snapshot> snap;
      {
        std::lock_guard<std::mutex> g(db_mu);
        snap = std::move(db->snapshot()).value();
      }
      // Read over several passes, commits landing in between (a few of them
      // before the last pass: enough for their pages to be taken again).
      const uint32_t opened_at = commits.load();
      uint32_t seen = 0;
      for (int pass = 0; pass < 4; ++pass) {
        if (pass == 3)
          while (commits.load() < opened_at + 3 && !stop.load())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto a = snap->access();
        const uint8_t first = must(a->read(block[0]))[0];
        if (pass == 0)
          while (value_of(seen, 1)[0] != first) ++seen;
        for (size_t i = 0; i < block.size(); ++i)
          ASSERT_EQ(must(a->read(block[i])), value_of(seen, i % 3 ? 30 : kLarge))
              << "handle " << i << " pass " << pass;
        a.reset();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
      ASSERT_GE(snap->generation(), last);
      last = static_cast<uint32_t>(snap->generation());
      snapshots_read.fetch_add(1);
    }
  });
  for (uint32_t c = 1; c < 40; ++c) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    std::lock_guard<std::mutex> g(db_mu);
    must(db->begin());
    for (size_t i = 0; i < block.size(); ++i)
      must(db->update(block[i], value_of(c % 256, i % 3 ? 30 : kLarge)));
    must(db->commit());
    commits.fetch_add(1);
  }
  stop.store(true);
  reader.join();
  EXPECT_GT(snapshots_read.load(), 0);
  testing::expect_sound(file_bytes(tmp.path()));
}

// Memory has no file to read apart from the writer; the database closing
// first closes its snapshots and lets go of the file.
TEST(Snapshot, RefusedInMemoryAndClosedWithTheDatabase) {
  auto mem = std::move(TransactionManager::open(OpenOptions{})).value();
  auto refused = mem->snapshot();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::Io);
  EXPECT_FALSE(mem->is_poisoned());

  testing::TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  auto db = std::move(TransactionManager::open(o)).value();
  auto snap = std::move(db->snapshot()).value();
  db.reset();
  EXPECT_TRUE(snap->closed());
  EXPECT_FALSE(snap->access().has_value());
  EXPECT_TRUE(TransactionManager::open(o).ok()) << "the file is still locked";
}

}  // namespace
}  // namespace ambrik
