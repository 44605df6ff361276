#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fault_storage.h"
#include "freemap_tree.h"
#include "oracle.h"
#include "test_peer.h"
#include "transaction/manager_impl.h"
#include "test_util.h"
#include "transaction/transaction_manager.h"

namespace ambrik {
namespace {

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

using testing::TempPath;

std::unique_ptr<TransactionManager> open_or_die(OpenOptions o) {
  auto r = TransactionManager::open(o);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : nullptr;
}

TEST(TransactionManager, MemoryRoundTripAndVisibility) {
  auto db = open_or_die({});
  ASSERT_TRUE(db);
  EXPECT_EQ(db->allocate(bytes_of("x")).error().kind(), ErrorKind::NoActiveTransaction);
  ASSERT_TRUE(db->begin().ok());
  auto h1 = db->allocate(bytes_of("hello"));
  ASSERT_TRUE(h1.ok());
  EXPECT_EQ(h1.value(), 1u);
  std::vector<uint8_t> big(20000, 7);
  auto h2 = db->allocate(big);
  ASSERT_TRUE(h2.ok());
  EXPECT_EQ(h2.value(), 2u);
  EXPECT_EQ(db->read(1).value(), bytes_of("hello"));
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(db->read(2).value(), big);
  EXPECT_EQ(db->handles().value(), (std::vector<uint64_t>{1, 2}));

  ASSERT_TRUE(db->begin().ok());
  ASSERT_TRUE(db->delete_handle(1).ok());
  EXPECT_EQ(db->delete_handle(1).error().kind(), ErrorKind::InvalidHandle);
  ASSERT_TRUE(db->update(2, bytes_of("small now")).ok());
  EXPECT_EQ(db->handles().value(), (std::vector<uint64_t>{2}));
  ASSERT_TRUE(db->rollback().ok());
  EXPECT_EQ(db->read(1).value(), bytes_of("hello"));
  EXPECT_EQ(db->read(2).value(), big);
  EXPECT_EQ(db->read(0).error().message(), "invalid handle: 0");
}

TEST(TransactionManager, PathWithNulIsRefusedBeforeAnythingIsOpened) {
  TempPath tmp;
  OpenOptions o;
  o.path = tmp.path() + std::string("\0x", 2);
  auto r = TransactionManager::open(o);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().io_kind(), IoKind::InvalidInput);
  EXPECT_NE(::access(tmp.path().c_str(), F_OK), 0);
}

TEST(TransactionManager, FileReopenSeesLastCommit) {
  TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  std::vector<uint64_t> handles;
  {
    auto db = open_or_die(o);
    ASSERT_TRUE(db);
    for (int t = 0; t < 5; ++t) {
      ASSERT_TRUE(db->begin().ok());
      for (int i = 0; i < 300; ++i) {
        std::string v = "value-" + std::to_string(t) + "-" + std::to_string(i);
        auto h = db->allocate(bytes_of(v));
        ASSERT_TRUE(h.ok()) << h.error().message();
        handles.push_back(h.value());
      }
      for (int i = 0; i < 100; ++i) ASSERT_TRUE(db->delete_handle(handles[t * 300 + i]).ok());
      ASSERT_TRUE(db->commit().ok());
    }
    ASSERT_TRUE(db->begin().ok());
    ASSERT_TRUE(db->allocate(bytes_of("uncommitted")).ok());
  }
  auto db = open_or_die(o);
  ASSERT_TRUE(db);
  auto live = db->handles().value();
  EXPECT_EQ(live.size(), 5u * 200);
  for (int t = 0; t < 5; ++t)
    for (int i = 100; i < 300; ++i) {
      auto v = db->read(handles[t * 300 + i]);
      ASSERT_TRUE(v.ok());
      EXPECT_EQ(v.value(), bytes_of("value-" + std::to_string(t) + "-" + std::to_string(i)));
    }
  // Nodes superseded within a transaction are reused at once and released
  // pages are recycled by later ones, so the file stays near the size of
  // the live data instead of growing with every copied path.
  auto& m = db->impl();
  EXPECT_LT(TestPeer::cache(m).io().page_count(), 60u);
}

TEST(TransactionManager, TornFirstCommitCannotCostTheLastSuperblock) {
  TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  { ASSERT_TRUE(open_or_die(o)); }
  auto corrupt_slot = [&](int slot) {
    std::fstream f(tmp.path(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(slot * 8192 + 100);
    f.put('\x5a');
  };
  corrupt_slot(0);
  {
    auto db = open_or_die(o);
    ASSERT_TRUE(db);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(db->begin().ok());
      ASSERT_TRUE(db->allocate(bytes_of("v")).ok());
      ASSERT_TRUE(db->commit().ok());
    }
  }
  // Both slots now hold commits; damaging either leaves the other.
  corrupt_slot(1);
  auto db = open_or_die(o);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->handles().value().size(), 1u);
}

// A damaged free-map leaf whose only bit names a page far beyond the end of
// the file: the next commit must fail without touching the file rather than
// claim that page and stretch the file to it.
TEST(TransactionManager, FreeBitBeyondThePageCountIsCorruption) {
  TempPath tmp;
  OpenOptions o;
  o.path = tmp.path();
  std::vector<uint64_t> handles;
  {
    auto db = open_or_die(o);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->begin().ok());
    for (int i = 0; i < 12; ++i)
      handles.push_back(db->allocate(std::vector<uint8_t>(3000, uint8_t(i))).value());
    ASSERT_TRUE(db->commit().ok());
    ASSERT_TRUE(db->begin().ok());
    ASSERT_TRUE(db->delete_handle(handles[0]).ok());
    ASSERT_TRUE(db->update(handles[1], bytes_of("short")).ok());
    ASSERT_TRUE(db->commit().ok());
    handles.erase(handles.begin());
  }
  std::fstream f(tmp.path(), std::ios::in | std::ios::out | std::ios::binary);
  auto page_at = [&](uint64_t id) {
    std::vector<uint8_t> page(kPageSize);
    f.seekg(static_cast<std::streamoff>(id * kPageSize));
    f.read(reinterpret_cast<char*>(page.data()), kPageSize);
    return page;
  };
  auto sb0 = page_at(0), sb1 = page_at(1);
  auto& sb = load_u64(sb0.data() + 8) > load_u64(sb1.data() + 8) ? sb0 : sb1;
  const uint64_t page_count = load_u64(sb.data() + 32);
  const uint64_t leaf_id = load_u64(sb.data() + 24);
  ASSERT_EQ(load_u32(sb.data() + 320), 0u);  // a single leaf
  ASSERT_LT(page_count, 65000u);
  auto leaf = page_at(leaf_id);
  std::memset(leaf.data() + kFreeMapBodyOffset, 0, kFreeMapLeafBits / 8);
  freemap_mark_free(leaf.data(), 65000);
  page_trailer_set(leaf.data());
  f.seekp(static_cast<std::streamoff>(leaf_id * kPageSize));
  f.write(reinterpret_cast<const char*>(leaf.data()), kPageSize);
  f.close();
  const auto size = std::filesystem::file_size(tmp.path());
  {
    auto db = open_or_die(o);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->begin().ok());
    auto allocated = db->allocate(bytes_of("x"));
    Status st = allocated.ok() ? db->commit() : Status(std::move(allocated).error());
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::CorruptPage);
    EXPECT_EQ(st.error().message(),
              "corrupt page structure at page " + std::to_string(leaf_id));
    EXPECT_TRUE(db->is_poisoned());
  }
  EXPECT_EQ(std::filesystem::file_size(tmp.path()), size);
  auto db = open_or_die(o);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->handles().value(), handles);
  EXPECT_EQ(db->read(handles[0]).value(), bytes_of("short"));
}

std::string file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// Whatever the spill file's name already leads to (the database through a
// symbolic or a hard link, another file), the first spill refuses with an
// I/O error instead of emptying it; a stale spill file is replaced.
TEST(TransactionManager, SpillFileNeverClobbersWhatItsNameLeadsTo) {
  enum Variant { LinkToDatabase, LinkToOther, HardLinkToDatabase, StaleFile };
  for (Variant v : {LinkToDatabase, LinkToOther, HardLinkToDatabase, StaleFile}) {
    SCOPED_TRACE(v);
    TempPath tmp;
    const std::string spill = tmp.path() + ".spillway";
    const std::string other = tmp.path() + ".other";
    struct Remove {
      std::string path;
      ~Remove() { ::unlink(path.c_str()); }
    } remove_other{other};
    OpenOptions o;
    o.path = tmp.path();
    uint64_t kept;
    {
      auto db = open_or_die(o);
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->begin().ok());
      kept = db->allocate(bytes_of("keep")).value();
      ASSERT_TRUE(db->commit().ok());
    }
    std::ofstream(other) << "precious";
    switch (v) {
      case LinkToDatabase: ASSERT_EQ(::symlink(tmp.path().c_str(), spill.c_str()), 0); break;
      case LinkToOther: ASSERT_EQ(::symlink(other.c_str(), spill.c_str()), 0); break;
      case HardLinkToDatabase: ASSERT_EQ(::link(tmp.path().c_str(), spill.c_str()), 0); break;
      case StaleFile: std::ofstream(spill) << "left over by an earlier handle"; break;
    }
    const std::string before = file_bytes(tmp.path());

    o.cache_max_bytes = 4 * kPageSize;
    {
      auto db = open_or_die(o);
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->begin().ok());
      Status st = ok_status();
      for (int i = 0; i < 40 && st.ok(); ++i) {
        auto h = db->allocate(std::vector<uint8_t>(3000, uint8_t(i)));
        if (!h.ok()) st = std::move(h).error();
      }
      if (v == StaleFile) {
        ASSERT_TRUE(st.ok()) << st.error().message();
        ASSERT_TRUE(db->commit().ok());
        EXPECT_EQ(std::filesystem::file_size(spill), 0u);
      } else {
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind(), ErrorKind::Io);
        EXPECT_EQ(st.error().os_errno(), v == HardLinkToDatabase ? EEXIST : ELOOP);
        EXPECT_TRUE(db->is_poisoned());
        EXPECT_EQ(file_bytes(tmp.path()), before);
      }
    }
    EXPECT_EQ(file_bytes(other), "precious");
    if (v != StaleFile) {
      EXPECT_EQ(file_bytes(tmp.path()), before);
      EXPECT_EQ(std::filesystem::is_symlink(spill), v != HardLinkToDatabase);
    }
    auto db = open_or_die(o);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->read(kept).value(), bytes_of("keep"));
  }
}

// Records the page units each write touches, and the syncs between them.
class WriteLog final : public Storage {
 public:
  std::vector<std::vector<uint64_t>> flushes{{}};  // units written before each sync
  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override {
    return mem_.read_at(offset, buf, len);
  }
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override {
    for (uint64_t u = offset / kPageSize; u < (offset + len) / kPageSize; ++u)
      flushes.back().push_back(u);
    return mem_.write_at(offset, buf, len);
  }
  Status set_length(uint64_t len) override { return mem_.set_length(len); }
  Result<uint64_t> length() override { return mem_.length(); }
  Status sync() override {
    flushes.emplace_back();
    return ok_status();
  }

 private:
  MemoryStorage mem_;
};

TEST(TransactionManager, CommitWritesEveryPageOnceInThreeSyncs) {
  auto storage = std::make_unique<WriteLog>();
  WriteLog* log = storage.get();
  auto opened = TransactionManagerImpl::open_storage(
      std::make_unique<PageIo>(std::move(storage), false), OpenOptions{});
  ASSERT_TRUE(opened.ok());
  auto& m = *opened.value();
  std::vector<uint64_t> handles;
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(m.begin().ok());
    // Updates and deletes free pages, so the free map is written by every
    // commit after the first; a small value takes a recycled page.
    if (!handles.empty()) {
      ASSERT_TRUE(m.update(handles.back(), bytes_of("updated")).ok());
    }
    if (handles.size() > 2) {
      ASSERT_TRUE(m.delete_inner(handles.front()).ok());
      handles.erase(handles.begin());
    }
    handles.push_back(m.allocate(bytes_of("value"), 0).value());
    log->flushes.assign(1, {});
    ASSERT_TRUE(m.commit().ok());
    ASSERT_EQ(log->flushes.size(), 4u);  // three syncs
    std::vector<uint64_t> all;
    for (int k = 0; k < 3; ++k) all.insert(all.end(), log->flushes[k].begin(), log->flushes[k].end());
    std::vector<uint64_t> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "round " << round;
    // The superblock alone goes out last.
    ASSERT_EQ(log->flushes[2].size(), 1u);
    EXPECT_LT(log->flushes[2][0], 2u);
  }
}

TEST(TransactionManager, FailedFirstTableNodeReleasesDataSlot) {
  OpenOptions o;
  o.cache_max_bytes = 8192;  // one page
  o.spillway_max_bytes = 0;
  auto db = open_or_die(o);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->begin().ok());
  auto r = db->allocate(bytes_of("x"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CacheFull);
  EXPECT_FALSE(db->is_poisoned());
  EXPECT_TRUE(TestPeer::packer(db->impl()).working_counts().empty());
  ASSERT_TRUE(db->rollback().ok());
}

}  // namespace
}  // namespace ambrik

namespace ambrik {
namespace {

// A stream of one-value commits (the pattern of an event log) fills pages:
// the file stays within a small multiple of its data, deletes and updates
// in between included, and every value reads back after a reopen.
TEST(TransactionManager, OneValueCommitsFillPages) {
  auto image = std::make_shared<testing::SharedImage>();
  std::map<uint64_t, std::vector<uint8_t>> model;
  {
    auto db = TransactionManagerImpl::open_storage(
                  std::make_unique<PageIo>(std::make_unique<testing::FaultStorage>(image), false),
                  OpenOptions{})
                  .value();
    for (uint32_t i = 0; i < 3000; ++i) {
      ASSERT_TRUE(db->begin().ok());
      std::vector<uint8_t> v(100, static_cast<uint8_t>(i));
      if (i % 10 == 9) {
        const uint64_t h = std::next(model.begin(), i % model.size())->first;
        ASSERT_TRUE(db->update(h, v).ok());
        model[h] = v;
      } else if (i % 10 == 5) {
        const uint64_t h = std::next(model.begin(), i % model.size())->first;
        ASSERT_TRUE(db->delete_inner(h).ok());
        model.erase(h);
      } else {
        model[db->allocate(v, 0).value()] = v;
      }
      ASSERT_TRUE(db->commit().ok());
    }
    const uint64_t live = model.size() * 106;
    EXPECT_LT(image->bytes.size(), 3 * live) << "live " << live;
    // Updates of values spread over the table pay nothing for the packing:
    // a one-update commit takes a data page, a table leaf and its parent,
    // and free-map pages, however many updates came before it; and their
    // values still share pages instead of taking one per commit.
    auto allocated = [&] { return TestPeer::cache(*db).counters().pages_allocated; };
    uint64_t most = 0;
    const size_t size_before = image->bytes.size();
    for (uint32_t i = 0; i < 300; ++i) {
      const uint64_t before = allocated();
      ASSERT_TRUE(db->begin().ok());
      std::vector<uint8_t> v(100, static_cast<uint8_t>(i));
      const uint64_t h = std::next(model.begin(), (i * 7919) % model.size())->first;
      ASSERT_TRUE(db->update(h, v).ok());
      model[h] = v;
      ASSERT_TRUE(db->commit().ok());
      most = std::max(most, allocated() - before);
    }
    EXPECT_LE(most, 5u);
    EXPECT_LT(image->bytes.size() - size_before, 300 * 106 * 3);
  }
  testing::expect_sound(image->bytes);
  auto db = TransactionManagerImpl::open_storage(
                std::make_unique<PageIo>(testing::storage_from(image->bytes), false), OpenOptions{})
                .value();
  for (const auto& [h, v] : model) ASSERT_EQ(db->read(h).value(), v) << h;
}

}  // namespace
}  // namespace ambrik
