// The tool layer: trees built bottom-up must read back through the engine's
// own readers, and check / compact must agree with the engine on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <vector>

#include "fault_storage.h"
#include "freemap_tree.h"
#include "handle_table.h"
#include "membership_index.h"
#include "overflow.h"
#include "pending_record.h"
#include "shared/reader_table.h"
#include "test_util.h"
#include "tools/backup.h"
#include "tools/checker.h"
#include "tools/compactor.h"
#include "tools/page_sink.h"
#include "tools/tree_io.h"
#include "transaction/transaction_manager.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;
using testing::TempPath;
using tools::BuiltTree;
using tools::TreeBuilder;

// Builder output straight into a page cache, where the readers find it.
class CacheWriter final : public tools::PageWriter {
 public:
  explicit CacheWriter(PageCache& cache) : cache_(cache) {}
  uint64_t reserve() override { return must(cache_.new_page()); }
  Status put(uint64_t id, const uint8_t* page) override {
    uint8_t* dst = TRY(cache_.get_mut(id));
    std::memcpy(dst, page, kPageSize);
    return ok_status();
  }

 private:
  PageCache& cache_;
};

HandleEntry entry_for(uint64_t h) {
  HandleEntry e;
  e.location = 1000 + h;
  e.slot = static_cast<uint16_t>(h % 7);
  e.tag = static_cast<uint32_t>(h % 3);
  e.client_byte = static_cast<uint8_t>(h);
  e.kind = h % 2 ? ValueKind::Inline : ValueKind::Overflow;
  return e;
}

TEST(ToolsTreeBuilder, HandleTablesReadBackThroughTheEngine) {
  const std::vector<std::vector<uint64_t>> cases = {
      {1, 2, 509},                                   // one leaf
      {509, 510},                                    // two leaves
      {5000},                                        // leaf 0 must still exist
      {3, 520709, 520710, 600000},                   // depth 2
      {7, uint64_t{1} << 40, (uint64_t{1} << 40) + 1},  // deep and sparse
  };
  for (const auto& handles : cases) {
    PageCache cache(memory_io(), CacheSettings{}, 2);
    CacheWriter out(cache);
    TreeBuilder b = TreeBuilder::handle_table(out);
    for (uint64_t h : handles) must(b.add_entry(h, entry_for(h)));
    BuiltTree t = must(b.finish());
    ASSERT_NE(t.root, kNoPage);
    EXPECT_EQ(must(HandleTable::recover_depth(cache, t.root)), t.depth);
    EXPECT_LT(handles.back(), HandleTable::span(t.depth));
    HandleList live = must(HandleTable::iter_live(t.depth, cache, t.root));
    ASSERT_EQ(live.size(), handles.size());
    for (size_t i = 0; i < handles.size(); ++i) {
      EXPECT_EQ(live[i].first, handles[i]);
      EXPECT_EQ(live[i].second, entry_for(handles[i]));
      auto found = must(HandleTable::lookup(t.depth, cache, t.root, handles[i]));
      ASSERT_TRUE(found.has_value());
    }
    EXPECT_FALSE(must(HandleTable::lookup(t.depth, cache, t.root, handles.back() + 1)));
  }
}

TEST(ToolsTreeBuilder, RadixTreesAndEmptyBuilders) {
  PageCache cache(memory_io(), CacheSettings{}, 2);
  CacheWriter out(cache);
  TreeBuilder empty = TreeBuilder::radix(out);
  EXPECT_EQ(must(empty.finish()).root, kNoPage);

  std::vector<uint64_t> keys = {5, 1020, 1021, 2000000, 4294967295ull};
  TreeBuilder b = TreeBuilder::radix(out);
  for (uint64_t k : keys) must(b.add_value(k, k * 2 + 1));
  BuiltTree t = must(b.finish());
  EXPECT_EQ(must(RadixU64::recover_depth(cache, t.root)), t.depth);
  RadixList all;
  must(RadixU64::iter(cache, t.root, t.depth, kNoPage, all));
  ASSERT_EQ(all.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(all[i], std::make_pair(keys[i], keys[i] * 2 + 1));
    EXPECT_EQ(must(RadixU64::lookup(t.depth, cache, t.root, keys[i])), keys[i] * 2 + 1);
  }
}

std::unique_ptr<TransactionManager> open_db(const std::string& path) {
  OpenOptions o;
  o.path = path;
  o.superblock_count = 3;
  return must(TransactionManager::open(o));
}

// The compactor's sink writes through a Storage from its writer thread: a
// page put long after it was reserved lands where it belongs, and a failed
// write of the writer comes back from finish().
TEST(ToolsPageSink, LatePagesAndWriteFailures) {
  for (int fail_write = 0; fail_write <= 3; fail_write += 3) {
    auto image = std::make_shared<testing::SharedImage>();
    testing::FaultStorage out(image);
    out.fail_write_at = fail_write;
    tools::PageSink sink(out, 2, nullptr);
    const uint64_t early = sink.reserve();
    std::vector<uint8_t> page(kPageSize);
    Status put = ok_status();
    for (int i = 0; i < 1500 && put.ok(); ++i) {
      const uint64_t id = sink.reserve();
      page.assign(kPageSize, static_cast<uint8_t>(id));
      put = sink.put(id, page.data());
    }
    page.assign(kPageSize, 0xEE);
    if (put.ok()) put = sink.put(early, page.data());
    Status finished = put.ok() ? sink.finish() : std::move(put);
    if (fail_write) {
      ASSERT_FALSE(finished.ok());
      EXPECT_EQ(finished.error().message(), Error::io_errno(EIO).message());
      continue;
    }
    ASSERT_TRUE(finished.ok()) << finished.error().message();
    ASSERT_EQ(image->bytes.size(), sink.next() * kPageSize);
    EXPECT_EQ(image->bytes[early * kPageSize + 100], 0xEE);
    EXPECT_EQ(image->bytes[(sink.next() - 1) * kPageSize], static_cast<uint8_t>(sink.next() - 1));
  }
}

TEST(ToolsFiles, CheckAndCompactAgreeWithTheEngine) {
  TempPath src, dst;
  std::vector<std::vector<uint8_t>> values;
  {
    auto db = open_db(src.path());
    must(db->begin());
    for (int i = 0; i < 400; ++i) {
      std::vector<uint8_t> v(static_cast<size_t>((i * 977) % 20000), static_cast<uint8_t>(i));
      uint64_t h = must(db->allocate(v, i % 4 == 0 ? 9 : 0));
      if (i % 3 == 0) must(db->delete_handle(h));
    }
    must(db->set_root_name("top", 4));
    must(db->commit());
  }
  tools::CheckReport before = must(tools::check_file(src.path(), std::nullopt, nullptr));
  EXPECT_EQ(before.problems, 0u);
  EXPECT_GT(before.live_handles, 0u);

  tools::Destination to(dst.path(), false);
  tools::CompactReport c = must(tools::compact_file(src.path(), to, std::nullopt, nullptr));
  EXPECT_EQ(c.handles, before.live_handles);
  tools::CheckReport after = must(tools::check_file(dst.path(), std::nullopt, nullptr));
  EXPECT_EQ(after.problems, 0u);
  EXPECT_EQ(after.leaked_pages, 0u);
  EXPECT_EQ(after.free_pages, 0u);
  EXPECT_EQ(after.superblock_count, 3u);

  auto a = open_db(src.path());
  auto b = open_db(dst.path());
  auto ha = must(a->handles());
  ASSERT_EQ(ha, must(b->handles()));
  for (uint64_t h : ha) {
    EXPECT_EQ(must(a->read(h)), must(b->read(h)));
    EXPECT_EQ(must(a->tag(h)), must(b->tag(h)));
  }
  EXPECT_EQ(must(a->handles_with_tag(9)), must(b->handles_with_tag(9)));
  EXPECT_EQ(must(b->get_root_name("top")), std::optional<uint64_t>(4));
}

TEST(ToolsFiles, CheckReportsAFlippedPageAndRefusesLockedFiles) {
  TempPath path;
  uint64_t root;
  {
    auto db = open_db(path.path());
    must(db->begin());
    for (int i = 0; i < 50; ++i) must(db->allocate(std::vector<uint8_t>(300, 1)));
    must(db->commit());
    EXPECT_EQ(tools::check_file(path.path(), std::nullopt, nullptr).error().kind(),
              ErrorKind::LockFailed);
    const auto start = std::chrono::steady_clock::now();
    tools::FileAccess wait;
    wait.lock_timeout_seconds = 0.2;
    EXPECT_EQ(tools::check_file(path.path(), std::nullopt, nullptr, wait).error().kind(),
              ErrorKind::LockFailed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  }
  {
    // Read-only opens and the tools share the file, and keep writers out.
    OpenOptions ro;
    ro.path = path.path();
    ro.read_only = true;
    auto a = must(TransactionManager::open(ro)), b = must(TransactionManager::open(ro));
    ASSERT_TRUE(a && b);
    tools::CheckReport sound = must(tools::check_file(path.path(), std::nullopt, nullptr));
    ASSERT_EQ(sound.problems, 0u);
    OpenOptions rw;
    rw.path = path.path();
    EXPECT_EQ(TransactionManager::open(rw).error().message(),
              "failed to acquire exclusive file lock");
    // Members of the reader table see them, and are seen by them.
    const int probe = ::open(path.path().c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(must(ReaderTable::plain_reader_present(probe)));
    a.reset();
    b.reset();
    struct stat st;
    ASSERT_EQ(::fstat(probe, &st), 0);
    auto member = must(ReaderTable::open(path.path(), ReaderTable::identity_of(st), 1, 4));
    auto refused = TransactionManager::open(ro);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(),
              "failed to acquire exclusive file lock: the file is in shared use (opened with "
              "shared=True)");
    // The tools join the members instead: check waits for a pause between
    // commits, compact copies a pinned commit while a writer goes on.
    must(member->lock_writer(0));
    member->publish_commit_start(member->newest() + 1);  // as a writer that dies in its commit
    tools::FileAccess brief;
    brief.lock_timeout_seconds = 0.1;
    EXPECT_EQ(tools::check_file(path.path(), std::nullopt, nullptr, brief).error().message(),
              "failed to acquire exclusive file lock: the file is in shared use and its writers "
              "kept the write lock for 0.1 s (reading the free map waits for a pause between "
              "commits)");
    tools::Destination copy(path.path() + ".copy", false);
    EXPECT_EQ(must(tools::compact_file(path.path(), copy, std::nullopt, nullptr)).handles, 50u);
    EXPECT_EQ(member->oldest_pinned(100), 100u);  // the tool's pin went with it
    member->unlock_writer();
    EXPECT_EQ(must(tools::check_file(path.path(), std::nullopt, nullptr)).problems, 0u);
    EXPECT_NE(member->committing(), 0u);  // left for the next writer to repair
    EXPECT_FALSE(must(ReaderTable::plain_reader_present(probe)));
    ::unlink((path.path() + ".copy").c_str());
    member.reset();
    ::close(probe);
    ::unlink((path.path() + ".readers").c_str());
  }
  {
    std::fstream f(path.path(), std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(f)), {});
    // The newest slot's handle_root.
    uint64_t best = 0, gen = 0;
    for (uint64_t s = 0; s < 3; ++s) {
      uint64_t g = load_u64(reinterpret_cast<uint8_t*>(&data[s * kPageSize + 8]));
      if (g >= gen) gen = g, best = s;
    }
    root = load_u64(reinterpret_cast<uint8_t*>(&data[best * kPageSize + 16]));
    f.seekp(static_cast<std::streamoff>(root * kPageSize + 500));
    char c = static_cast<char>(data[root * kPageSize + 500] ^ 1);
    f.write(&c, 1);
  }
  tools::CheckReport r = must(tools::check_file(path.path(), std::nullopt, nullptr));
  EXPECT_GE(r.problems, 1u);
  ASSERT_FALSE(r.findings.empty());
  EXPECT_EQ(r.findings[0].page, std::optional<uint64_t>(root));
  tools::Destination out(path.path() + ".out", false);
  EXPECT_FALSE(tools::compact_file(path.path(), out, std::nullopt, nullptr).ok());
  EXPECT_FALSE(out.failure());
}

std::vector<uint8_t> read_image(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

tools::CheckReport check(const std::vector<uint8_t>& bytes) {
  auto copy = std::make_unique<MemoryStorage>();
  copy->bytes() = bytes;
  return must(tools::check_storage(std::move(copy), std::nullopt));
}

std::unique_ptr<tools::Source> image_source(const std::vector<uint8_t>& image) {
  auto storage = std::make_unique<MemoryStorage>();
  storage->bytes() = image;
  return must(tools::open_storage_source(std::move(storage), "image", std::nullopt, 1 << 20));
}

// (page, the free-map leaf marking it) of every free page of a plaintext image.
std::vector<std::pair<uint64_t, uint64_t>> free_pages(const std::vector<uint8_t>& image) {
  auto src = image_source(image);
  std::vector<std::pair<uint64_t, uint64_t>> out;
  tools::WalkHooks hooks;
  hooks.enter = [](uint64_t, tools::Role, uint64_t) { return true; };
  must(tools::walk_freemap(*src->cache, src->superblock.freemap_root,
                           src->superblock.freemap_depth, hooks,
                           [&](uint64_t leaf, uint64_t page) -> Status {
                             out.emplace_back(page, leaf);
                             return ok_status();
                           }));
  return out;
}

std::vector<uint8_t> unfree(std::vector<uint8_t> bytes, std::pair<uint64_t, uint64_t> at) {
  uint8_t* leaf = bytes.data() + at.second * kPageSize;
  const uint64_t bit = at.first % kFreeMapLeafBits;
  leaf[kFreeMapBodyOffset + bit / 8] &= static_cast<uint8_t>(~(1u << (bit % 8)));
  page_trailer_set(leaf);
  return bytes;
}

// Earlier releases left the free-map nodes retired by the last commits
// recorded nowhere on a normal close. Such a file, crafted from a sound one
// by clearing the free bit of a page holding a retired free-map node, is
// sound with a warning; any other page lost that way, or the same page in a
// file with other damage, is a problem.
TEST(ToolsFiles, CheckToleratesOnlyOrphanedFreeMapPagesOfASoundFile) {
  TempPath path;
  {
    auto db = open_db(path.path());
    std::vector<uint64_t> last;
    for (int round = 0; round < 6; ++round) {  // each commit copies and retires free-map nodes
      must(db->begin());
      for (uint64_t h : last) must(db->delete_handle(h));
      last.clear();
      for (int i = 0; i < 40; ++i) last.push_back(must(db->allocate(std::vector<uint8_t>(3000))));
      must(db->commit());
    }
  }
  const std::vector<uint8_t> image = read_image(path.path());
  // Free pages by what they hold: a retired free-map node, or anything else.
  std::optional<std::pair<uint64_t, uint64_t>> freemap_page, other_page;  // (page, its leaf)
  for (const auto& at : free_pages(image)) {
    const uint8_t type = image[at.first * kPageSize];
    auto& slot = type == kPageFreeMapLeaf || type == kPageFreeMapInterior ? freemap_page
                                                                          : other_page;
    if (!slot) slot = at;
  }
  ASSERT_TRUE(freemap_page && other_page);
  tools::CheckReport orphan = check(unfree(image, *freemap_page));
  EXPECT_EQ(orphan.problems, 0u);
  EXPECT_EQ(orphan.leaked_pages, 1u);
  EXPECT_EQ(orphan.orphaned_freemap_pages, 1u);
  ASSERT_EQ(orphan.warnings, 1u);
  EXPECT_EQ(orphan.findings[0].page, std::optional<uint64_t>(freemap_page->first));
  EXPECT_STREQ(orphan.findings[0].kind, "orphaned_free_map_pages");
  EXPECT_NE(orphan.findings[0].text.find("defrag"), std::string::npos);

  tools::CheckReport lost = check(unfree(image, *other_page));
  EXPECT_EQ(lost.problems, 1u);
  EXPECT_EQ(lost.orphaned_freemap_pages, 0u);
  EXPECT_STREQ(lost.findings.at(0).kind, "leaked_pages");

  std::vector<uint8_t> damaged = unfree(image, *freemap_page);
  damaged[image_source(image)->superblock.handle_root * kPageSize + 300] ^= 1;
  tools::CheckReport both = check(damaged);
  EXPECT_EQ(both.orphaned_freemap_pages, 0u);
  EXPECT_EQ(both.warnings, 0u);
  EXPECT_STREQ(both.findings.back().kind, "leaked_pages");
}

// Pages a commit released while readers may hold them are listed by a
// record instead of marked free. Crafted from a sound file: a commit deletes
// a large value and stores a record of its pages, whose free bits are then
// cleared in the image.
TEST(ToolsFiles, PendingFreeRecordsCheckAndCompact) {
  TempPath path, compacted;
  const std::vector<uint8_t> not_a_record = {'A', 'M', 'B', 'R', 'K', 'P', 'F', 'R', 1};
  const PendingGroup placeholder{4, {0, 0, 0, 0}};
  uint64_t record, user;
  {
    auto db = open_db(path.path());
    must(db->begin());
    const uint64_t big = must(db->allocate(std::vector<uint8_t>(4 * kOverflowPayload, 7)));
    must(db->commit());
    must(db->begin());
    must(db->delete_handle(big));
    record = must(db->allocate(encode_pending_record({&placeholder, 1}), kPendingFreeTag));
    user = must(db->allocate(not_a_record, kPendingFreeTag));
    must(db->commit());
  }
  // `bytes` with the record listing the pages of `to` instead of `from`.
  auto relist = [](std::vector<uint8_t> bytes, const PendingGroup& from, const PendingGroup& to) {
    const auto a = encode_pending_record({&from, 1}), b = encode_pending_record({&to, 1});
    const auto at = std::search(bytes.begin(), bytes.end(), a.begin(), a.end());
    std::copy(b.begin(), b.end(), at);
    page_trailer_set(&bytes[(at - bytes.begin()) / kPageSize * kPageSize]);
    return bytes;
  };
  std::vector<uint8_t> sound = read_image(path.path());
  PendingGroup group{4, {}};  // the deleted value's pages, taken out of the free map
  for (const auto& at : free_pages(sound)) {
    if (sound[at.first * kPageSize] != kPageOverflow) continue;
    group.pages.push_back(at.first);
    sound = unfree(std::move(sound), at);
  }
  ASSERT_EQ(group.pages.size(), 4u);
  sound = relist(std::move(sound), placeholder, group);
  tools::CheckReport r = check(sound);
  EXPECT_EQ(r.problems + r.warnings + r.leaked_pages, 0u);
  EXPECT_EQ(r.pages_by_role[static_cast<int>(tools::Role::PendingFree)], 4u);
  EXPECT_EQ(r.pending_free_records, 1u);  // the user's value is not one

  // The record listing `id` as its page i: reported at `id`, naming the record.
  auto expect_found = [&](size_t i, uint64_t id, const char* what) {
    PendingGroup damaged = group;
    damaged.pages[i] = id;
    const std::string text = "pending-free record (handle " + std::to_string(record) +
                             ") lists page " + std::to_string(id) + what;
    const tools::CheckReport bad = check(relist(sound, group, damaged));
    EXPECT_TRUE(std::any_of(bad.findings.begin(), bad.findings.end(), [&](auto& f) {
      return f.page == id && f.text.starts_with(text) &&
             f.kind == std::string("pending_free_records");
    })) << text;
  };
  expect_found(0, free_pages(sound).at(0).first, ", which is marked free");
  expect_found(3, group.pages[0], " twice");
  expect_found(0, r.page_count + 5, ", beyond the committed page count");
  expect_found(0, image_source(sound)->superblock.handle_root, ", which is reachable as handle");

  // A copy (compact and backup both write one) leaves the record and its
  // pages out.
  tools::Destination to(compacted.path(), false);
  must(tools::write_compacted(image_source(sound)->view(), to, nullptr));
  r = must(tools::check_file(compacted.path(), std::nullopt, nullptr));
  EXPECT_EQ(r.problems + r.leaked_pages + r.pending_free_records, 0u);
  auto db = open_db(compacted.path());
  EXPECT_EQ(must(db->handles_with_tag(kPendingFreeTag)), std::vector<uint64_t>{user});
  EXPECT_EQ(must(db->read(user)), not_a_record);
}

TEST(ToolsFiles, BackupCopiesTheLastCommitOfAnOpenDatabase) {
  TempPath src, dst;
  auto db = open_db(src.path());
  must(db->begin());
  std::vector<uint64_t> handles;
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> v(static_cast<size_t>((i * 1531) % 30000), static_cast<uint8_t>(i));
    handles.push_back(must(db->allocate(v, i % 5 == 0 ? 7 : 0)));
    must(db->set_client_byte(handles.back(), static_cast<uint8_t>(i * 3)));
  }
  must(db->set_root_name("top", handles[4]));
  must(db->commit());
  // A transaction under way is not part of the copy, and goes on after it.
  must(db->begin());
  for (size_t i = 0; i < handles.size(); i += 2) must(db->delete_handle(handles[i]));
  must(db->update(handles[1], std::vector<uint8_t>(20000, 0xEE)));
  must(db->allocate(std::vector<uint8_t>(10, 1)));
  tools::Destination to(dst.path(), false);
  tools::BackupReport r = must(tools::backup(*db, to));

  tools::Destination again(dst.path(), false);
  EXPECT_EQ(tools::backup(*db, again).error().message(), Error::from_errno(EEXIST).message());
  EXPECT_TRUE(again.failure());
  for (const std::string& own : {src.path(), src.path() + ".spillway"}) {
    tools::Destination onto(own, true);
    EXPECT_EQ(tools::backup(*db, onto).error().message(),
              "I/O error: source and destination are the same file");
    EXPECT_TRUE(onto.failure());
  }
  must(db->commit());

  tools::CheckReport copy = must(tools::check_file(dst.path(), std::nullopt, nullptr));
  EXPECT_EQ(copy.problems, 0u);
  EXPECT_EQ(copy.leaked_pages, 0u);
  EXPECT_EQ(copy.free_pages, 0u);
  EXPECT_EQ(copy.superblock_count, 3u);
  EXPECT_EQ(copy.file_bytes, r.bytes);
  EXPECT_EQ(copy.page_count, r.pages);

  auto b = open_db(dst.path());
  ASSERT_EQ(must(b->handles()), handles);
  for (size_t i = 0; i < handles.size(); ++i) {
    std::vector<uint8_t> v(static_cast<size_t>((i * 1531) % 30000), static_cast<uint8_t>(i));
    EXPECT_EQ(must(b->read(handles[i])), v);
    EXPECT_EQ(must(b->tag(handles[i])), i % 5 == 0 ? 7u : 0u);
    EXPECT_EQ(must(b->client_byte(handles[i])), static_cast<uint8_t>(i * 3));
  }
  EXPECT_EQ(must(b->get_root_name("top")), std::optional<uint64_t>(handles[4]));
  must(b->begin());
  EXPECT_EQ(must(b->allocate(std::vector<uint8_t>(1, 1))), handles.back() + 1);
}

}  // namespace
}  // namespace ambrik
