#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "keymap/key_map.h"
#include "fault_storage.h"
#include "keymap/verify.h"
#include "oracle.h"
#include "page_io.h"
#include "test_util.h"
#include "test_peer.h"
#include "transaction/transaction_manager.h"

namespace ambrik::testing {
// The switch of the failing operator new exception_boundary_test.cc puts in
// this binary: the allocation that many from now throws std::bad_alloc,
// once; -1: none.
extern thread_local long t_allocations_left;
}  // namespace ambrik::testing

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

  // Long keys in the smallest nodes, where an internal node holds two or
  // three children: every split must still widen the tree, so inserts keep
  // the height within 1 + log2(keys) (it used to grow a level per long key
  // until the header could not hold it).
  KeyMap wide("wide", KeyMapOptions{0, 1u << 16});
  std::map<Bytes, Bytes> keys;
  must(tm->begin());
  for (int i = 0; i < 400; ++i) {
    Bytes k(i % 2 ? 900 + rng() % 125 : 1 + rng() % 12);
    for (auto& c : k) c = static_cast<uint8_t>('a' + rng() % 3);
    EXPECT_EQ(must(wide.put(*tm, k, b("v"))), keys.emplace(k, b("v")).second);
  }
  must(tm->commit());
  const uint64_t hh = must(tm->get_root_name("wide")).value_or(0);
  EXPECT_LE(must(decode_header(hh, must(tm->read(hh)))).height, std::bit_width(keys.size()));
  expect_sound(*tm, "wide", keys.size());
  must(tm->begin());
  for (auto it = keys.begin(); it != keys.end();) {
    if (rng() % 4 == 0) {
      ++it;
      continue;
    }
    EXPECT_TRUE(must(wide.remove(*tm, it->first)));
    it = keys.erase(it);
  }
  must(tm->commit());
  expect_sound(*tm, "wide", keys.size());
  EXPECT_EQ(scan_all(wide, *tm, {}, 50).size(), keys.size());
}

// Shapes the writes reach only by rare paths, written node by node: a
// map under `name` with `count` keys and root `root` of `height` levels.
uint64_t put_node(TransactionManager& tm, uint8_t level,
                  const std::vector<std::pair<std::string, uint64_t>>& entries) {
  NodeBuilder nb(level);
  for (const auto& [k, h] : entries) nb.add(as_key(k), h);
  return must(tm.allocate(nb.finish(), kMapTag));
}
void bind_map(TransactionManager& tm, const std::string& name, uint64_t root, uint16_t height,
              uint64_t count) {
  Header h;
  h.height = height;
  h.root = root;
  h.count = count;
  h.stamp = 1;
  must(tm.set_root_name(name, must(tm.allocate(encode_header(h), kMapTag))));
}

// A removal that empties a subtree beside a single-child internal node
// (which a removal that could neither merge nor share may leave) hands the
// root down past it; and a sibling a merge would take entries from is
// checked against its parent's range first.
TEST(KeyMap, RemovalsHandTheRootDownAndCheckTheSiblingTheyMerge) {
  auto tm = must(TransactionManager::open({}));
  must(tm->begin());
  auto value = [&](const char* v) { return must(tm->allocate(b(v))); };
  const uint64_t l1 = put_node(*tm, 0, {{"a", value("a")}, {"b", value("b")}});
  const uint64_t l2 = put_node(*tm, 0, {{"n", value("n")}});
  const uint64_t a = put_node(*tm, 1, {{"", l1}});
  const uint64_t root = put_node(*tm, 2, {{"", a}, {"m", put_node(*tm, 1, {{"", l2}})}});
  bind_map(*tm, "chain", root, 3, 3);
  expect_sound(*tm, "chain", 3);
  KeyMap chain("chain");
  EXPECT_TRUE(must(chain.remove(*tm, b("n"))));
  expect_sound(*tm, "chain", 2);  // no root with a single child
  const uint64_t hh = must(tm->get_root_name("chain")).value_or(0);
  const Header h = must(decode_header(hh, must(tm->read(hh))));
  EXPECT_EQ(h.height, 1);
  EXPECT_EQ(h.root, l1);

  // "a" lies below the separator "m" that routes to its leaf.
  const uint64_t left = put_node(*tm, 0, {{"c", value("c")}, {"d", value("d")}});
  const uint64_t right = put_node(*tm, 0, {{"a", value("a")}, {"n", value("n")}});
  const uint64_t top = put_node(*tm, 1, {{"", left}, {"m", right}});
  bind_map(*tm, "stray", top, 2, 4);
  std::vector<Bytes> before;
  for (uint64_t n : {left, right, top}) before.push_back(must(tm->read(n)));
  KeyMap stray("stray");
  auto r = stray.remove(*tm, b("c"));  // leaves "d" alone: a merge with its sibling
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptKeyMap);
  EXPECT_EQ(r.error().a(), right);
  EXPECT_FALSE(tm->is_poisoned());
  std::vector<Bytes> after;
  for (uint64_t n : {left, right, top}) after.push_back(must(tm->read(n)));
  EXPECT_EQ(after, before);
  EXPECT_EQ(must(stray.find(*tm, b("c"))).has_value(), true);
}

// --- The fault sweep -------------------------------------------------------

enum class Fault { kStorage, kAllocation, kRoom };

struct SweepFigures {  // indexed by Fault
  int cases[3] = {};
  int failures[3] = {};  // writes that failed and were caught
  int poisoned[3] = {};  // of them, the ones that left the database poisoned
  int thrown = 0;        // allocation failures passed on as std::bad_alloc
  int damaged = 0;       // maps that differed from what the program was told
};

using Model = std::map<Bytes, Bytes>;

// How the map the engine holds differs from `model` ("" when it does not),
// read through a fresh KeyMap and through `own`, the writer's, which must
// not answer from nodes a failed write left in its memory. The cache's
// budget is lifted meanwhile: reads must not fail for the room the writes
// took up.
std::string differences(TransactionManager& tm, KeyMap& own, const Model& model, const Bytes& key) {
  PageCache& cache = TestPeer::cache(tm.impl());
  const uint64_t budget = cache.cap_pages() * kPageSize;
  cache.set_cache_max_bytes(uint64_t{1} << 26);
  std::string out = [&]() -> std::string {
    KeyMap fresh("idx");
    auto n = fresh.size(tm);
    if (!n.ok() || n.value() != model.size()) return "size";
    auto mine = own.find(tm, key);
    if (!mine.ok() || mine.value().has_value() != model.contains(key)) return "own find";
    if (!own.size(tm).ok() || own.size(tm).value() != model.size()) return "own size";
    auto it = model.begin();
    for (ScanRange r;;) {
      auto got = fresh.scan(tm, r, 64);
      if (!got.ok()) return got.error().message();
      for (const MapEntry& e : got.value().entries) {
        if (it == model.end() || e.key != it->first) return "keys";
        auto v = tm.read(e.handle);
        if (!v.ok() || v.value() != it->second) return "value";
        ++it;
      }
      if (got.value().done) break;
      r.resume = got.value().entries.back().key;
    }
    if (it != model.end()) return "keys missing";
    uint64_t hh = tm.get_root_name("idx").value().value_or(0);
    auto h = decode_header(hh, tm.read(hh).value());
    if (!h.ok()) return h.error().message();
    ValueReader read = [&](uint64_t handle, bool want) -> Result<std::optional<StoredValue>> {
      auto tag = tm.tag(handle);
      if (!tag.ok()) return std::optional<StoredValue>();
      StoredValue v;
      v.tag = tag.value();
      if (want) v.bytes = TRY(tm.read(handle));
      return std::optional<StoredValue>(std::move(v));
    };
    auto walk = verify_map(hh, h.value(), read, 1);
    if (!walk.ok()) return walk.error().message();
    return walk.value().problems.empty() ? "" : walk.value().problems[0].text;
  }();
  cache.set_cache_max_bytes(budget);
  return out;
}

// A program's transaction of map writes over a committed map (`base`,
// `image`): puts of new and existing keys of 1 to 1,024 bytes (values up to
// overflow size) and removals, with failures of one kind: storage call `k`
// (which poisons), every k-th allocation inside a map call, or the cache's
// room (`k` pages, spillway of `spill` pages, 0: none). Each failure is
// caught and the program goes on, unless the database is poisoned; the
// map must then read as before the call. The end commits and reopens.
void sweep_case(const std::vector<uint8_t>& image_bytes, const Model& base, Fault fault, int k,
                int spill, SweepFigures& fig, bool* swept = nullptr) {
  const std::string where = "fault " + std::to_string(static_cast<int>(fault)) + " k " +
                            std::to_string(k) + " spill " + std::to_string(spill);
  auto plan = std::make_shared<ambrik::testing::FaultPlan>();
  auto image = std::make_shared<ambrik::testing::SharedImage>();
  image->bytes = image_bytes;
  OpenOptions o;
  o.cache_max_bytes = (fault == Fault::kRoom ? k : 16) * kPageSize;
  if (fault == Fault::kStorage) o.spillway_max_bytes = 64 * kPageSize;  // spills, read back
  if (fault == Fault::kRoom) o.spillway_max_bytes = spill * kPageSize;
  auto tm = must(TransactionManager::open_storage(
      std::make_unique<PageIo>(std::make_unique<ambrik::testing::FaultStorage>(image, plan), false),
      o));
  const int f = static_cast<int>(fault);
  ++fig.cases[f];
  KeyMap m("idx", KeyMapOptions{512, 0});
  Model model = base;
  std::mt19937_64 rng(k * 31 + spill);
  auto random_key = [&] {
    Bytes key(rng() % 4 == 0 ? 200 + rng() % (kMaxKeyBytes - 199) : 1 + rng() % 24);
    for (auto& c : key) c = static_cast<uint8_t>('a' + rng() % 16);
    return key;
  };
  plan->calls = 0;
  if (fault == Fault::kStorage) plan->fail_at = k;
  long allocations = k;
  bool damaged = false, alive = true;
  must(tm->begin());
  for (int i = 0; i < 120 && alive && !damaged; ++i) {
    Bytes key = random_key();
    if (rng() % 2 && !model.empty()) key = std::next(model.begin(), rng() % model.size())->first;
    std::optional<Bytes> value;
    if (rng() % 3 != 0)
      value = Bytes(rng() % 6 == 0 ? 9000 : rng() % 400, static_cast<uint8_t>(i));
    std::optional<Result<bool>> r;
    if (fault == Fault::kAllocation) ambrik::testing::t_allocations_left = allocations;
    try {
      r = value ? m.put(*tm, key, *value) : m.remove(*tm, key);
    } catch (const std::bad_alloc&) {
      ++fig.thrown;
    }
    if (fault == Fault::kAllocation) {
      const long left = ambrik::testing::t_allocations_left;
      ambrik::testing::t_allocations_left = -1;
      allocations = left == -1 ? k : left;  // once failed, the next k-th fails
    }
    if (r && r->ok()) {
      if (value) model[key] = *value;
      else model.erase(key);
      continue;
    }
    ++fig.failures[f];
    if (tm->is_poisoned()) {
      ++fig.poisoned[f];
      alive = false;
      break;
    }
    if (r && r->error().kind() == ErrorKind::CorruptKeyMap) {
      damaged = true;
      ADD_FAILURE() << where << " op " << i << ": " << r->error().message();
      break;
    }
    // The program was told the write failed: nothing changed.
    const std::string diff = differences(*tm, m, model, key);
    if (!diff.empty()) {
      damaged = true;
      ADD_FAILURE() << where << " op " << i << " (" << (value ? "put" : "remove") << " of "
                    << key.size() << " bytes): " << diff;
    }
  }
  bool landed = false, committed = false;
  if (alive && !damaged) {
    Status st = tm->commit();
    committed = st.ok();
    landed = !committed;  // a commit that failed after its superblock went out may have landed
  }
  if (swept) *swept = plan->injected == 0;
  tm.reset();
  ambrik::testing::expect_sound(image->bytes, {}, where);
  auto again = must(TransactionManager::open_storage(
      std::make_unique<PageIo>(ambrik::testing::storage_from(image->bytes), false), o));
  if (!again) return;
  KeyMap seen("idx");
  Model want = committed ? model : base;
  std::string diff = differences(*again, seen, want, {'k'});
  if (!diff.empty() && landed) diff = differences(*again, seen, model, {'k'});
  if (!diff.empty()) {
    damaged = true;
    ADD_FAILURE() << where << " after reopening: " << diff;
  }
  fig.damaged += damaged;
}

// A write that fails undoes itself: the map reads as it was, the program
// goes on with its transaction, and what it commits is sound. Failures of
// storage calls (in turn), of allocations and of cache and spillway room.
TEST(KeyMap, AFailedWriteLeavesTheMapAsItWas) {
  {
    // The first put creates the map, then cannot bind the name: everything
    // it created is deleted again.
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
  // The committed map: 300 keys, some of them long.
  auto image = std::make_shared<ambrik::testing::SharedImage>();
  Model base;
  {
    auto tm = must(TransactionManager::open_storage(
        std::make_unique<PageIo>(std::make_unique<ambrik::testing::FaultStorage>(image), false),
        {}));
    KeyMap m("idx", KeyMapOptions{512, 0});
    std::mt19937_64 rng(5);
    must(tm->begin());
    for (int i = 0; i < 300; ++i) {
      Bytes key = b("key" + std::to_string(i * 7919 % 1000));
      key.resize(key.size() + (i % 7 == 0 ? rng() % 1000 : 0), 'x');
      Bytes value(i % 11 == 0 ? 9000 : 60, static_cast<uint8_t>(i));
      must(m.put(*tm, key, value));
      base[key] = value;
    }
    must(tm->commit());
  }
  SweepFigures fig;
  bool swept = false;
  for (int k = 1; !swept; ++k) sweep_case(image->bytes, base, Fault::kStorage, k, 0, fig, &swept);
  for (int k = 1; k < 3000; k += 1 + k / 12)
    sweep_case(image->bytes, base, Fault::kAllocation, k, 0, fig);
  for (int pages = 6; pages <= 24; pages += 2)
    for (int spill : {0, 1, 3, 6}) sweep_case(image->bytes, base, Fault::kRoom, pages, spill, fig);
  std::printf(
      "key-map fault sweep: cases %d/%d/%d, failed writes %d/%d/%d (%d std::bad_alloc), "
      "poisoning %d/%d/%d (storage/allocation/room), damaged maps %d\n",
      fig.cases[0], fig.cases[1], fig.cases[2], fig.failures[0], fig.failures[1],
      fig.failures[2], fig.thrown, fig.poisoned[0], fig.poisoned[1], fig.poisoned[2],
      fig.damaged);
  EXPECT_EQ(fig.damaged, 0);
  // The sweep reached what it is for: programs going on after failures.
  EXPECT_GT(fig.thrown, 20);
  EXPECT_GT(fig.failures[2] - fig.poisoned[2], 1000);
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

  // A name bound to something else than a map is the caller's mistake, not
  // damage: refused, with the name, and the value left alone.
  must(tm->begin());
  must(tm->set_root_name("plain", plain));
  must(tm->set_root_name("gone", uint64_t{1} << 40));
  KeyMap other("plain");
  auto n = other.size(*tm);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().kind(), ErrorKind::NotAKeyMap);
  EXPECT_EQ(n.error().message(), "named root plain is bound to handle " + std::to_string(plain) +
                                     ", which is not a key map");
  EXPECT_EQ(other.put(*tm, b("k"), b("v")).error().kind(), ErrorKind::NotAKeyMap);
  EXPECT_EQ(KeyMap("gone").find(*tm, b("k")).error().kind(), ErrorKind::NotAKeyMap);
  EXPECT_FALSE(tm->is_poisoned());
  EXPECT_EQ(must(tm->read(plain)), b("not a node"));
  must(tm->rollback());
}

}  // namespace
}  // namespace ambrik::keymap
