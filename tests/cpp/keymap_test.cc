#include <gtest/gtest.h>

#include <algorithm>
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
    if (got.done || got.entries.empty()) return out;  // (empty also after a failure)
    r.resume = out.back().key;
  }
}

// Every structural rule of the map holds (keymap/verify.h), read through
// the engine.
bool expect_sound(TransactionManager& tm, const std::string& name, uint64_t keys) {
  uint64_t hh = must(tm.get_root_name(name)).value_or(0);
  if (hh == 0) ADD_FAILURE() << "no map " << name;
  if (hh == 0) return false;
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
  return s.problems.empty() && s.keys == keys;
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
      if (i % 150 == 149) {
        ScanRange r;
        r.start = k.size() > 2 ? Bytes(k.begin(), k.begin() + 2) : k;
        r.stop = random_key();
        if (*r.stop < *r.start) std::swap(r.start, r.stop);
        auto from = model.lower_bound(*r.start), to = model.lower_bound(*r.stop);
        EXPECT_EQ(must(m.remove_range(*tm, r)), static_cast<uint64_t>(std::distance(from, to)));
        model.erase(from, to);
      } else if (rng() % 3 == 0) {
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
  EXPECT_EQ(prefix_stop(b("a\xff\xff")), b("b"));
  EXPECT_EQ(prefix_stop(b("\xff")), std::nullopt);
  // Emptied, the map keeps working from a single leaf.
  must(tm->begin());
  for (auto& [k, v] : model) EXPECT_TRUE(must(m.remove(*tm, k)));
  EXPECT_EQ(must(m.size(*tm)), 0u);
  expect_sound(*tm, "idx", 0);
  EXPECT_TRUE(scan_all(m, *tm, {}, 3).empty());
  EXPECT_FALSE(must(m.edge(*tm, true)).has_value());
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
  std::erase_if(keys,
                [&](const auto& kv) { return rng() % 4 && must(wide.remove(*tm, kv.first)); });
  must(tm->commit());
  expect_sound(*tm, "wide", keys.size());
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
  const Header h{.height = height, .root = root, .count = count, .stamp = 1};
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
  auto nodes = [&] {
    return std::vector{must(tm->read(left)), must(tm->read(right)), must(tm->read(top))};
  };
  const std::vector<Bytes> before = nodes();
  KeyMap stray("stray");
  auto r = stray.remove(*tm, b("c"));  // leaves "d" alone: a merge with its sibling
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptKeyMap);
  EXPECT_EQ(r.error().a(), right);
  EXPECT_FALSE(tm->is_poisoned());
  EXPECT_EQ(nodes(), before);
  EXPECT_TRUE(must(stray.find(*tm, b("c"))).has_value());
}

// --- The fault sweep: what a program sees that goes on after failures ----

enum Fault { kStorage, kAllocation, kRoom };
struct SweepFigures {  // indexed by Fault
  int cases[3] = {}, failures[3] = {}, poisoned[3] = {};
  int thrown = 0;   // allocation failures passed on as std::bad_alloc
  int damaged = 0;  // cases where a map differed from what the program was told
  int ranges = 0;   // range deletes that failed and left the database usable
};
using Model = std::map<Bytes, Bytes>;

// The map reads as `model` through a fresh KeyMap and through `own` (which
// must not answer from nodes a failed write left in its memory) and walks
// sound. The cache budget is lifted meanwhile: reads must not fail for the
// room the writes took up.
Model contents(TransactionManager& tm) {
  KeyMap fresh("idx");
  Model seen;
  for (const MapEntry& e : scan_all(fresh, tm, {}, 64)) seen[e.key] = must(tm.read(e.handle));
  return seen;
}
bool matches(TransactionManager& tm, KeyMap& own, const Model& model, const Bytes& key) {
  PageCache& cache = TestPeer::cache(tm.impl());
  const uint64_t budget = cache.cap_pages() * kPageSize;
  cache.set_cache_max_bytes(uint64_t{1} << 26);
  const bool ok = contents(tm) == model && must(own.size(tm)) == model.size() &&
                  must(own.find(tm, key)).has_value() == model.contains(key) &&
                  expect_sound(tm, "idx", model.size());
  cache.set_cache_max_bytes(budget);
  return ok;
}

// After a range delete of [start, stop) failed: what it removed must be the
// range's first keys, which `model` then loses too.
bool removed_a_prefix(TransactionManager& tm, Model& model, const Bytes& start, const Bytes& stop) {
  PageCache& cache = TestPeer::cache(tm.impl());
  const uint64_t budget = cache.cap_pages() * kPageSize;
  cache.set_cache_max_bytes(uint64_t{1} << 26);
  const Model seen = contents(tm);
  cache.set_cache_max_bytes(budget);
  auto it = model.lower_bound(start), end = model.lower_bound(stop);
  while (it != end && !seen.contains(it->first)) it = model.erase(it);
  return std::all_of(it, end, [&](const auto& kv) { return seen.contains(kv.first); });
}

// A transaction of 120 map writes (puts of new and existing keys of 1 to
// 1,024 bytes, values up to overflow size, removals, range deletes) over
// the committed map `base` in `image`, with one kind of failure: storage call k (fatal),
// every k-th allocation in a map call, or room (a cache of k pages, a
// spillway of `spill`). The program goes on after each failure unless the
// database is poisoned; the map must read as before the failed call. Then
// commit, the checker on the image, and a reopen.
bool sweep_case(const std::vector<uint8_t>& image, const Model& base, Fault fault, int k,
                int spill, SweepFigures& fig) {
  SCOPED_TRACE("fault " + std::to_string(fault) + " k " + std::to_string(k) + " spill " +
               std::to_string(spill));
  auto plan = std::make_shared<ambrik::testing::FaultPlan>();
  auto shared = std::make_shared<ambrik::testing::SharedImage>(image);
  OpenOptions o;
  o.cache_max_bytes = (fault == kRoom ? k : 16) * kPageSize;
  if (fault == kStorage) o.spillway_max_bytes = 64 * kPageSize;  // spills, read back
  if (fault == kRoom) o.spillway_max_bytes = spill * kPageSize;
  using ambrik::testing::FaultStorage;
  auto tm = must(TransactionManager::open_storage(
      std::make_unique<PageIo>(std::make_unique<FaultStorage>(shared, plan), false), o));
  ++fig.cases[fault];
  plan->calls = 0;
  if (fault == kStorage) plan->fail_at = k;
  KeyMap m("idx", KeyMapOptions{512, 0});
  Model model = base;
  std::mt19937_64 rng(k * 31 + spill);
  long allocations = k;
  bool alive = true, damaged = false;
  must(tm->begin());
  for (int i = 0; i < 120 && alive && !damaged; ++i) {
    Bytes key(rng() % 4 == 0 ? 200 + rng() % (kMaxKeyBytes - 199) : 1 + rng() % 24);
    for (auto& c : key) c = static_cast<uint8_t>('a' + rng() % 16);
    if (rng() % 2 && !model.empty()) key = std::next(model.begin(), rng() % model.size())->first;
    std::optional<Bytes> value;
    if (rng() % 3) value = Bytes(rng() % 6 == 0 ? 9000 : rng() % 400, static_cast<uint8_t>(i));
    ScanRange range;  // a range delete of [key, stop) when its stop is set
    if (rng() % 12 == 0) {
      range.start = key;
      range.stop = Bytes(key.begin(), key.begin() + std::min<size_t>(key.size(), 4));
      ++range.stop->back();  // a tenth of the base's keys at most
    }
    std::optional<Result<bool>> r;
    if (fault == kAllocation) ambrik::testing::t_allocations_left = allocations;
    try {
      if (range.stop) {
        auto removed = m.remove_range(*tm, range);
        r = removed.ok() ? Result<bool>(true) : Result<bool>(removed.error());
      } else {
        r = value ? m.put(*tm, key, *value) : m.remove(*tm, key);
      }
    } catch (const std::bad_alloc&) {
      ++fig.thrown;
    }
    if (fault == kAllocation) {  // once one failed, the k-th from then fails
      long& left = ambrik::testing::t_allocations_left;
      allocations = left == -1 ? k : left;
      left = -1;
    }
    if (r && r->ok()) {
      if (range.stop) model.erase(model.lower_bound(key), model.lower_bound(*range.stop));
      else if (value) model[key] = *value;
      else model.erase(key);
      continue;
    }
    ++fig.failures[fault];
    alive = !tm->is_poisoned();
    fig.poisoned[fault] += !alive;
    if (alive && range.stop) {
      ++fig.ranges;
      damaged = !removed_a_prefix(*tm, model, key, *range.stop);
    }
    damaged = damaged || (alive && !matches(*tm, m, model, key));
    EXPECT_FALSE(damaged) << "op " << i;
  }
  const bool committed = alive && !damaged && tm->commit().ok();
  const bool swept = plan->injected == 0;
  tm.reset();
  ambrik::testing::expect_sound(shared->bytes, {}, "");
  tm = must(TransactionManager::open_storage(
      std::make_unique<PageIo>(ambrik::testing::storage_from(shared->bytes), false), o));
  KeyMap seen("idx");
  // A commit that failed after its superblock went out may have landed.
  const bool landed = alive && !committed && contents(*tm) == model;
  damaged |= !matches(*tm, seen, committed || landed ? model : base, {});
  fig.damaged += damaged;
  return swept;
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
    EXPECT_EQ(must(tm->handles()).size(), 0u);
  }
  // The committed map: 300 keys, some of them long, some values overflow.
  auto image = std::make_shared<ambrik::testing::SharedImage>();
  Model base;
  {
    auto tm = must(TransactionManager::open_storage(
        std::make_unique<PageIo>(std::make_unique<ambrik::testing::FaultStorage>(image), false),
        {}));
    KeyMap m("idx", KeyMapOptions{512, 0});
    must(tm->begin());
    for (int i = 0; i < 300; ++i) {
      Bytes key = b("key" + std::to_string(i * 7919 % 1000));
      key.resize(key.size() + (i % 7 == 0 ? i * 3 : 0), 'x');
      base[key] = Bytes(i % 11 == 0 ? 9000 : 60, static_cast<uint8_t>(i));
      must(m.put(*tm, key, base[key]));
    }
    must(tm->commit());
  }
  SweepFigures fig;
  for (int k = 1; !sweep_case(image->bytes, base, kStorage, k, 0, fig); ++k) {
  }
  for (int k = 1; k < 3000; k += 1 + k / 12) sweep_case(image->bytes, base, kAllocation, k, 0, fig);
  for (int pages = 6; pages <= 24; pages += 2)
    for (int spill : {0, 1, 3, 6}) sweep_case(image->bytes, base, kRoom, pages, spill, fig);
  std::printf(
      "key-map fault sweep: cases %d/%d/%d, failed writes %d/%d/%d (%d std::bad_alloc), "
      "poisoning %d/%d/%d (storage/allocation/room), failed range deletes %d, "
      "damaged maps %d\n",
      fig.cases[0], fig.cases[1], fig.cases[2], fig.failures[0], fig.failures[1],
      fig.failures[2], fig.thrown, fig.poisoned[0], fig.poisoned[1], fig.poisoned[2],
      fig.ranges, fig.damaged);
  EXPECT_EQ(fig.damaged, 0);
  // What the sweep is for: programs going on after failures.
  EXPECT_GT(fig.thrown, 100);
  EXPECT_GT(fig.ranges, 20);
  EXPECT_GT(fig.failures[kRoom] - fig.poisoned[kRoom], 1000);
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
