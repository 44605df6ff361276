// Commit under injected failures and simulated power cuts: whatever happens,
// the file must reopen to the last committed state or the one being
// committed, never to anything else.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "fault_storage.h"
#include "oracle.h"
#include "pending_record.h"
#include "test_peer.h"
#include "test_util.h"
#include "transaction/manager_impl.h"

namespace ambrik {
namespace {

using testing::CrashStorage;
using testing::FaultStorage;
using testing::SharedImage;
using testing::storage_from;

using State = std::map<uint64_t, std::vector<uint8_t>>;

std::vector<uint8_t> value_for(std::mt19937_64& rng) {
  size_t len = rng() % 5 == 0 ? 8163 + rng() % 20000 : rng() % 300;
  std::vector<uint8_t> v(len);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// One random transaction applied to both the database and the model.
void random_transaction(TransactionManagerImpl& m, State& model, std::mt19937_64& rng) {
  ASSERT_TRUE(m.begin().ok());
  int ops = 1 + rng() % 40;
  for (int i = 0; i < ops; ++i) {
    int what = rng() % 4;
    if (model.empty() || what < 2) {
      auto v = value_for(rng);
      auto h = m.allocate(v, 0);
      ASSERT_TRUE(h.ok()) << h.error().message();
      model[h.value()] = v;
    } else {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      if (what == 2) {
        auto v = value_for(rng);
        ASSERT_TRUE(m.update(it->first, v).ok());
        it->second = v;
      } else {
        ASSERT_TRUE(m.delete_inner(it->first).ok());
        model.erase(it);
      }
    }
  }
}

State contents(TransactionManagerImpl& m) {
  State s;
  auto hs = m.handles();
  EXPECT_TRUE(hs.ok());
  if (!hs.ok()) return s;
  for (uint64_t h : hs.value()) {
    auto entry = m.lookup_live(h);
    if (entry.ok() && entry.value().tag == kPendingFreeTag) continue;  // the engine's own
    auto v = m.read(h);
    EXPECT_TRUE(v.ok()) << v.error().message();
    if (v.ok()) s[h] = v.value();
  }
  return s;
}

OpenOptions small_cache() {
  OpenOptions o;
  o.cache_max_bytes = 8 * 8192;  // forces spilling during larger transactions
  return o;
}

std::unique_ptr<TransactionManagerImpl> reopen(std::vector<uint8_t> image,
                                               const std::optional<Key>& key = {}) {
  auto io = std::make_unique<PageIo>(storage_from(std::move(image)), false);
  OpenOptions o = small_cache();
  o.encryption_key = key;
  auto r = TransactionManagerImpl::open_storage(std::move(io), std::move(o));
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : nullptr;
}

// The Nth write (or sync) of a commit fails, for every N up to the number
// the commit makes: each such round must really have failed.
TEST(CommitFaults, FailedWriteOrSyncPoisonsAndKeepsACommittedState) {
  for (int mode = 0; mode < 2; ++mode) {
    for (int seed = 1; seed <= 3; ++seed) {
      for (int k = 1;; ++k) {
        std::mt19937_64 rng(1000 * mode + seed);
        auto image = std::make_shared<SharedImage>();
        auto storage = std::make_unique<FaultStorage>(image);
        FaultStorage* faults = storage.get();
        auto io = std::make_unique<PageIo>(std::move(storage), false);
        auto opened = TransactionManagerImpl::open_storage(std::move(io), small_cache());
        ASSERT_TRUE(opened.ok());
        auto& m = *opened.value();
        State before;
        random_transaction(m, before, rng);
        ASSERT_TRUE(m.commit().ok());
        State after = before;
        random_transaction(m, after, rng);
        faults->writes = faults->syncs = 0;
        (mode == 0 ? faults->fail_write_at : faults->fail_sync_at) = k;
        Status st = m.commit();
        if ((mode == 0 ? faults->writes : faults->syncs) < k) {
          // The commit makes fewer calls than k: every one has failed once.
          ASSERT_TRUE(st.ok());
          ASSERT_GT(k, mode == 0 ? 3 : 1);
          break;
        }
        ASSERT_FALSE(st.ok()) << "mode " << mode << " k " << k;
        EXPECT_TRUE(m.is_poisoned());
        auto db = reopen(image->bytes);
        ASSERT_TRUE(db);
        State seen = contents(*db);
        EXPECT_TRUE(seen == before || seen == after) << "mode " << mode << " k " << k;
      }
    }
  }
}

// Every storage call of a transaction that spills (reads, writes, lengths,
// syncs, of the database and of the spill storage alike) fails in turn.
// A fatal error poisons, an operational one never does and leaves the
// database usable with its last commit; the image reopens to the last
// commit, or to the one being made when the failure came after its
// superblock was written.
TEST(CommitFaults, AnyFailedCallOfASpillingTransaction) {
  using testing::FaultPlan;
  bool spilled_and_swept = false;
  for (int k = 1; !spilled_and_swept; ++k) {
    auto plan = std::make_shared<FaultPlan>();
    auto image = std::make_shared<SharedImage>();
    auto storage = std::make_unique<FaultStorage>(image, plan);
    FaultStorage* faults = storage.get();
    // Through the public interface, which poisons on fatal errors.
    auto opened = TransactionManager::open_storage(
        std::make_unique<PageIo>(std::move(storage), false), small_cache());
    ASSERT_TRUE(opened.ok());
    TransactionManager& m = *opened.value();
    State before;
    ASSERT_TRUE(m.begin().ok());
    for (uint8_t i = 0; i < 6; ++i) {
      std::vector<uint8_t> v(300 + 2000 * i, i);
      before[m.allocate(v).value()] = v;
    }
    ASSERT_TRUE(m.commit().ok());
    ASSERT_FALSE(faults->spill_image) << "the first commit must not spill";

    State after = before;
    bool in_commit = false;
    plan->calls = 0;
    plan->fail_at = k;
    Status st = [&]() -> Status {
      TRY(m.begin());
      std::vector<uint64_t> added;
      for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> v(1500 + 1700 * (i % 5), static_cast<uint8_t>(i));
        if (i % 4 == 3) {
          // Reading back what was spilled earlier, then changing an old value.
          auto back = TRY(m.read(added[added.size() / 2]));
          if (back != after[added[added.size() / 2]]) return Error::internal("read back");
          auto it = after.begin();
          std::advance(it, static_cast<long>(i % after.size()));
          TRY(m.update(it->first, v));
          it->second = v;
        } else {
          uint64_t h = TRY(m.allocate(v, 0));
          added.push_back(h);
          after[h] = v;
        }
      }
      in_commit = true;
      return m.commit();
    }();
    if (plan->injected == 0) {
      // The whole transaction made fewer calls than k: each has failed once.
      ASSERT_TRUE(st.ok()) << st.error().message();
      ASSERT_TRUE(faults->spill_image) << "the transaction must spill";
      // Reads (of the file and of spilled pages), writes, cuts and syncs.
      const unsigned swept =
          FaultPlan::kRead | FaultPlan::kWrite | FaultPlan::kSetLength | FaultPlan::kSync;
      EXPECT_EQ(plan->kinds_seen & swept, swept);
      ASSERT_GT(k, 100);
      spilled_and_swept = true;
    } else {
      ASSERT_FALSE(st.ok()) << "k " << k << ": the failure was swallowed";
      const bool fatal = in_commit || st.error().poisons_database();
      EXPECT_EQ(m.is_poisoned(), fatal) << "k " << k << ": " << st.error().message();
      if (!fatal) {
        EXPECT_TRUE(m.rollback().ok());
        EXPECT_TRUE(contents(m.impl()) == before) << "k " << k;
      }
    }
    testing::expect_sound(image->bytes, {}, "k " + std::to_string(k));
    auto db = reopen(image->bytes);
    ASSERT_TRUE(db) << "k " << k;
    State seen = contents(*db);
    EXPECT_TRUE(seen == before || (in_commit && seen == after)) << "k " << k;
  }
}

// Commits over storage that keeps what a power cut would leave; every image
// taken before a write must open to the commit before or the one being made
// (in the ordered durability mode, whose commit leaves its superblock
// unsynced: also the one before that). In shared mode a second member pins
// generations at random, so records of released pages pile up and are
// released again; every image of those modes must also check sound (the
// records' pages reachable, none leaked).
void power_cut_run(bool shared, uint32_t superblocks, uint64_t seed, bool ordered = false,
                   const std::optional<Key>& key = {}) {
  std::mt19937_64 rng(seed);
  auto storage = std::make_unique<CrashStorage>();
  CrashStorage* crash = storage.get();
  std::vector<std::vector<uint8_t>> snapshots;
  std::vector<size_t> snapshot_commit;
  size_t commit_no = 0;
  crash->before_write = [&](CrashStorage& s) {
    // Creation itself is not crash-safe (a torn first file may not open).
    if (commit_no > 0 && rng() % 3 == 0) {
      snapshots.push_back(s.crash_image(rng));
      snapshot_commit.push_back(commit_no);
    }
  };
  auto io = std::make_unique<PageIo>(std::move(storage), false);
  OpenOptions o = small_cache();
  o.superblock_count = superblocks;
  if (ordered) o.durability = Durability::Ordered;
  o.encryption_key = key;
  auto opened = TransactionManagerImpl::open_storage(std::move(io), o);
  ASSERT_TRUE(opened.ok());
  auto& m = *opened.value();
  testing::TempDir dir;
  std::unique_ptr<ReaderTable> other;
  if (shared) {
    const std::string path = dir.file("db");
    auto t = ReaderTable::open(path, 1, 1, 8);
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.value()->claim_slot().ok());
    TestPeer::share(m, std::move(t).value());
    auto o2 = ReaderTable::open(path, 1, 1, 8);
    ASSERT_TRUE(o2.ok());
    other = std::move(o2).value();
    ASSERT_TRUE(other->claim_slot().ok());
  }
  std::vector<State> states(1);
  bool held_records = false;
  for (commit_no = 1; commit_no <= 25; ++commit_no) {
    if (other && rng() % 3 == 0) {
      if (other->pinned() != 0) other->unpin();
      else other->pin();
    }
    State next = states.back();
    random_transaction(m, next, rng);
    ASSERT_TRUE(m.commit().ok());
    states.push_back(next);
    for (const auto& r : TestPeer::pending(m).records()) held_records |= r.groups.size() > 1;
  }
  if (shared) {
    EXPECT_TRUE(held_records) << "a pin never kept records";
  }
  ASSERT_GT(snapshots.size(), 50u);
  if (key) {  // the images really are sealed: without the key none opens
    auto io = std::make_unique<PageIo>(storage_from(snapshots.back()), false);
    EXPECT_FALSE(TransactionManagerImpl::open_storage(std::move(io), small_cache()).ok());
  }
  for (size_t i = 0; i < snapshots.size(); ++i) {
    const std::string where = "snapshot " + std::to_string(i);
    if (shared || ordered) testing::expect_sound(snapshots[i], key, where);
    auto db = reopen(snapshots[i], key);
    ASSERT_TRUE(db) << where;
    State seen = contents(*db);
    size_t c = snapshot_commit[i];
    const bool older = ordered && c >= 2 && seen == states[c - 2];
    EXPECT_TRUE(seen == states[c - 1] || seen == states[c] || older) << where << " commit " << c;
  }
}

TEST(CommitFaults, PowerCutAtAnyWriteLeavesACommittedState) { power_cut_run(false, 2, 42); }

TEST(CommitFaults, OrderedCommitsLeaveOneOfTheLastCommits) {
  power_cut_run(false, 2, 11, /*ordered=*/true);
  power_cut_run(false, 3, 12, /*ordered=*/true);
  // The same over an encrypted file: sealed pages and superblocks.
  const std::string raw = "power cut key";
  Key key{KeyKind::Raw, SecretBytes(reinterpret_cast<const uint8_t*>(raw.data()), raw.size())};
  power_cut_run(false, 2, 13, /*ordered=*/true, key);
  power_cut_run(false, 3, 14, /*ordered=*/true, key);
}

TEST(CommitFaults, SharedModeCommitsLeaveACommittedStateWithItsRecords) {
  power_cut_run(true, 2, 7);
  power_cut_run(true, 3, 8);
}

}  // namespace
}  // namespace ambrik
