#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "keymap/key_map.h"
#include "fault_storage.h"
#include "keymap/verify.h"
#include "oracle.h"
#include "page_io.h"
#include "test_util.h"
#include "transaction/transaction_manager.h"

namespace ambrik::keymap {
namespace {

using ambrik::testing::must;
using Bytes = std::vector<uint8_t>;

Bytes b(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<MapEntry> scan_all(KeyMap& m, TransactionManager& tm, ScanRange r, size_t batch) {
  std::vector<MapEntry> out;
  for (;;) {
    ScanBatch got = must(m.scan(tm, r, batch));
    for (MapEntry& e : got.entries) out.push_back(std::move(e));
    if (got.done || out.empty()) return out;
    r.resume = out.back().key;
  }
}

// Every structural rule of the map holds (keymap/verify.h), read through
// the engine.
void expect_sound(TransactionManager& tm, const std::string& name, uint64_t keys) {
  uint64_t hh = must(tm.get_root_name(name)).value_or(0);
  ASSERT_NE(hh, 0u);
  Header h = must(decode_header(hh, must(tm.read(hh))));
  ValueReader read = [&](uint64_t handle, bool want) -> Result<std::optional<StoredValue>> {
    auto tag = tm.tag(handle);
    if (!tag.ok()) {
      if (tag.error().kind() == ErrorKind::InvalidHandle) return std::optional<StoredValue>();
      return tag.error();
    }
    StoredValue v;
    v.tag = tag.value();
    if (want) v.bytes = TRY(tm.read(handle));
    return std::optional<StoredValue>(std::move(v));
  };
  MapSummary s = must(verify_map(hh, h, read, 10));
  for (const MapFinding& f : s.problems) ADD_FAILURE() << f.text;
  EXPECT_EQ(s.keys, keys);
}

// Random inserts, overwrites and removals of keys of every length against
// std::map, through splits, merges and root changes of the smallest nodes;
// every committed state read back in full and in ranges.
TEST(KeyMap, AgreesWithAnOrderedMapThroughSplitsAndMerges) {
  auto tm = must(TransactionManager::open({}));
  KeyMap m("idx", KeyMapOptions{0, 1u << 16});  // clamped to the smallest node
  std::map<Bytes, Bytes> model;
  std::mt19937_64 rng(7);
  auto random_key = [&] {
    size_t len = rng() % 8 == 0 ? 1 + rng() % kMaxKeyBytes : 1 + rng() % 12;
    Bytes k(len);
    for (auto& c : k) c = static_cast<uint8_t>('a' + rng() % 4);
    return k;
  };
  for (int round = 0; round < 8; ++round) {
    must(tm->begin());
    for (int i = 0; i < 600; ++i) {
      Bytes k = random_key();
      if (rng() % 3 == 0) {
        bool had = model.erase(k) > 0;
        EXPECT_EQ(must(m.remove(*tm, k)), had);
      } else {
        Bytes v = b("v" + std::to_string(rng() % 1000));
        EXPECT_EQ(must(m.put(*tm, k, v)), model.find(k) == model.end());
        model[k] = v;
      }
    }
    must(tm->commit());
    ASSERT_EQ(must(m.size(*tm)), model.size());
    expect_sound(*tm, "idx", model.size());
    auto all = scan_all(m, *tm, {}, 1 + round * 37);
    ASSERT_EQ(all.size(), model.size());
    auto it = model.begin();
    for (const MapEntry& e : all) {
      EXPECT_EQ(e.key, it->first);
      EXPECT_EQ(must(tm->read(e.handle)), it->second);
      EXPECT_EQ(must(m.find(*tm, e.key)), std::optional<uint64_t>(e.handle));
      ++it;
    }
    // A reversed half-open range.
    ScanRange r;
    r.start = b("ab");
    r.stop = b("c");
    r.reverse = true;
    auto part = scan_all(m, *tm, r, 5);
    std::vector<Bytes> want;
    for (auto i = model.lower_bound(*r.start); i != model.lower_bound(*r.stop); ++i)
      want.insert(want.begin(), i->first);
    ASSERT_EQ(part.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(part[i].key, want[i]);
  }
  // Emptied, the map keeps working from a single leaf.
  must(tm->begin());
  for (auto& [k, v] : model) EXPECT_TRUE(must(m.remove(*tm, k)));
  EXPECT_EQ(must(m.size(*tm)), 0u);
  expect_sound(*tm, "idx", 0);
  EXPECT_TRUE(scan_all(m, *tm, {}, 3).empty());
  EXPECT_TRUE(must(m.put(*tm, b("z"), b("1"))));
  must(tm->rollback());
  EXPECT_EQ(must(m.size(*tm)), model.size());
}

// A write that fails part-way undoes itself: the map reads as it was. And
// every storage call of a spilling transaction of map writes fails in turn
// (such errors poison): the image stays sound and holds a committed map.
TEST(KeyMap, AFailedWriteLeavesTheMapAsItWas) {
  {
    // The first put creates the header and a root leaf, then cannot bind
    // the name: both are deleted again.
    auto tm = must(TransactionManager::open({}));
    must(tm->begin());
    for (int i = 0; i < 8; ++i) must(tm->set_root_name("r" + std::to_string(i), 0));
    KeyMap m("idx");
    auto r = m.put(*tm, b("k"), b("v"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::RootNameTableFull);
    EXPECT_FALSE(tm->is_poisoned());
    EXPECT_EQ(must(m.size(*tm)), 0u);
    EXPECT_TRUE(must(tm->handles_with_tag(kMapTag)).empty());
    EXPECT_EQ(must(tm->handles()).size(), 0u);
  }
  bool swept = false;
  for (int k = 1; !swept; ++k) {
    auto plan = std::make_shared<ambrik::testing::FaultPlan>();
    auto image = std::make_shared<ambrik::testing::SharedImage>();
    OpenOptions o;
    o.cache_max_bytes = 8 * 8192;
    auto tm = must(TransactionManager::open_storage(
        std::make_unique<PageIo>(std::make_unique<ambrik::testing::FaultStorage>(image, plan),
                                 false),
        o));
    KeyMap m("idx", KeyMapOptions{0, 1u << 12});  // small nodes, a small node cache
    auto key = [](int i) { return b("key" + std::to_string(i * 7919 % 1000)); };
    must(tm->begin());
    for (int i = 0; i < 40; ++i) must(m.put(*tm, key(i), b("committed")));
    must(tm->commit());
    plan->calls = 0;
    plan->fail_at = k;
    uint64_t keys = 40;
    bool in_commit = false;
    Status st = [&]() -> Status {
      TRY(tm->begin());
      for (int i = 0; i < 160; ++i) {
        Bytes v(i % 5 == 0 ? 9000 : 200, static_cast<uint8_t>(i));  // some overflow values
        if (i % 3 == 2) keys -= TRY(m.remove(*tm, key(i / 3))) ? 1 : 0;
        else keys += TRY(m.put(*tm, key(40 + i), v)) ? 1 : 0;
      }
      in_commit = true;
      return tm->commit();
    }();
    swept = plan->injected == 0;
    ASSERT_EQ(st.ok(), swept) << "k " << k << (st.ok() ? "" : st.error().message());
    tm.reset();
    ambrik::testing::expect_sound(image->bytes, {}, "k " + std::to_string(k));
    auto again = must(TransactionManager::open_storage(
        std::make_unique<PageIo>(ambrik::testing::storage_from(image->bytes), false), o));
    KeyMap seen("idx");
    const uint64_t n = must(seen.size(*again));
    // A commit that failed after its superblock went out may have landed.
    EXPECT_TRUE(n == 40 || (n == keys && in_commit)) << "k " << k;
    expect_sound(*again, "idx", n);
  }
}

// Damage that a read must report rather than route through.
TEST(KeyMap, DamagedNodesAreCorruptionNotAnswers) {
  auto tm = must(TransactionManager::open({}));
  KeyMap m("idx");
  must(tm->begin());
  for (int i = 0; i < 1000; ++i) must(m.put(*tm, b("key" + std::to_string(1000 + i)), b("v")));
  must(tm->commit());
  auto root_of = [&] {
    uint64_t hh = must(tm->get_root_name("idx")).value();
    return must(decode_header(hh, must(tm->read(hh))));
  };
  Header h = root_of();
  ASSERT_GE(h.height, 2);
  const Bytes root = must(tm->read(h.root));
  NodeView rv = must(NodeView::parse(h.root, root));
  const uint64_t child = rv.handle(1);

  auto expect_corrupt = [&](const Bytes& damaged, uint64_t at) {
    must(tm->begin());
    must(tm->update(at, damaged));
    KeyMap fresh("idx");
    auto r = fresh.find(*tm, b("key1999"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::CorruptKeyMap);
    auto s = fresh.scan(*tm, {}, 1000);
    EXPECT_FALSE(s.ok());
    must(tm->rollback());
  };
  Bytes bad = root;
  bad[0] ^= 1;  // magic
  expect_corrupt(bad, h.root);
  // Children swapped: each is a valid node in the wrong place.
  NodeBuilder nb(rv.level());
  for (size_t i = 0; i < rv.size(); ++i)
    nb.add(rv.key(i), i == 1 ? rv.handle(rv.size() - 1) : i + 1 == rv.size() ? child : rv.handle(i));
  expect_corrupt(nb.finish(), h.root);
  // A child that is an ordinary value.
  must(tm->begin());
  uint64_t plain = must(tm->allocate(b("not a node")));
  must(tm->commit());
  NodeBuilder nc(rv.level());
  nc.add_range(rv, 0, rv.size() - 1);
  nc.add(rv.key(rv.size() - 1), plain);
  expect_corrupt(nc.finish(), h.root);
  // Keys out of order inside a leaf.
  Bytes leaf = must(tm->read(child));
  NodeView lv = must(NodeView::parse(child, leaf));
  Bytes k0(lv.key(0).begin(), lv.key(0).end()), k1(lv.key(1).begin(), lv.key(1).end());
  NodeBuilder nl(0);
  nl.add(k1, lv.handle(1));
  nl.add(k0, lv.handle(0));
  EXPECT_FALSE(NodeView::parse(child, nl.finish()).ok());
  // Truncations of a valid node never parse.
  for (size_t cut = 0; cut < leaf.size(); cut += 7)
    EXPECT_FALSE(NodeView::parse(child, std::span(leaf).first(cut)).ok()) << cut;
}

}  // namespace
}  // namespace ambrik::keymap
