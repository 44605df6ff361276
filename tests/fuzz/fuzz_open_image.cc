// Fuzz target: the input is a whole database image, opened from memory.
//
// Everything a caller can reach runs over it: every handle is read with its
// tag and client byte, the tag lists, the named roots and the statistics;
// then one short transaction performs every value operation, returns to a
// savepoint, defragments and commits, and the result is read back. The
// engine must answer each step with a value or an error kind, never with a
// crash, a sanitizer report, a leak or unbounded growth; an error that is
// not fatal must never poison; and when the integrity checker finds the
// image sound before, it must find the committed result sound too.
//
// Page trailers are checksums that random mutations almost never keep
// right, so most inputs would stop at the first page load. When the lowest
// bit of the input's last byte is set, the trailer of every whole 8192-byte
// page is recomputed first (for a plaintext image that makes every page and
// superblock well formed), and the mutated structures themselves are read.
//
// Built two ways: with clang and libFuzzer (`make fuzz`), and with the
// ordinary compiler into `fuzz_replay`, which feeds the seed corpus through
// this same entry point under the test suite's sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "page.h"
#include "page_io.h"
#include "tools/checker.h"
#include "transaction/transaction_manager.h"

namespace {

using ambrik::TransactionManager;

// Larger images add no new structure, only time per run.
constexpr size_t kMaxImageBytes = 1 << 20;
// Bounds on the work one image may ask for, so a crafted table of many
// handles cannot turn a run into a timeout.
constexpr size_t kMaxHandlesRead = 512;
constexpr size_t kMaxTags = 16;
constexpr char const* kRootNames[] = {"root", "index", "a", "zzzzzzzzzzzzzzzz"};

// Once the database is poisoned every call refuses; nothing more to learn.
template <typename R>
bool alive(TransactionManager& db, const R& r) {
  if (!r.ok() && !r.error().poisons_database() && db.is_poisoned()) abort();
  return !db.is_poisoned();
}

// No problem and no leaked page.
bool sound(const std::vector<uint8_t>& image) {
  auto copy = std::make_unique<ambrik::MemoryStorage>();
  copy->bytes() = image;
  auto r = ambrik::tools::check_storage(std::move(copy), std::nullopt);
  return r.ok() && r.value().problems == 0 && r.value().leaked_pages == 0;
}

std::vector<uint8_t> value_of(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31);
  return v;
}

// Reads everything visible; false once the database is poisoned.
bool read_all(TransactionManager& db, std::vector<uint64_t>& handles) {
  auto listed = db.handles();
  if (!alive(db, listed)) return false;
  handles.clear();
  if (listed.ok()) handles = std::move(listed).value();
  if (handles.size() > kMaxHandlesRead) handles.resize(kMaxHandlesRead);
  std::set<uint32_t> tags;
  for (uint64_t h : handles) {
    auto v = db.read(h);
    if (!alive(db, v)) return false;
    auto t = db.tag(h);
    if (!alive(db, t)) return false;
    if (t.ok() && t.value() != 0 && tags.size() < kMaxTags) tags.insert(t.value());
    auto c = db.client_byte(h);
    if (!alive(db, c)) return false;
  }
  for (uint32_t t : tags) {
    auto tagged = db.handles_with_tag(t);
    if (!alive(db, tagged)) return false;
  }
  for (const char* name : kRootNames) {
    auto r = db.get_root_name(name);
    if (!alive(db, r)) return false;
  }
  auto s = db.stats();
  if (!alive(db, s)) return false;
  auto c = db.counters();
  return alive(db, c);
}

// One transaction with every kind of change; stops at the first error that
// poisons the database. True when it committed.
bool change_all(TransactionManager& db, const std::vector<uint64_t>& existing) {
  if (!db.begin().ok()) return false;
  const uint32_t tag = 7;
  const uint64_t old = existing.empty() ? 1 : existing.front();
  const uint64_t last = existing.empty() ? 2 : existing.back();

#define STEP(expr)                           \
  do {                                       \
    auto step_result = (expr);               \
    if (!alive(db, step_result)) return false;     \
  } while (0)

  auto small = db.allocate(value_of(100, 1), tag);
  if (!alive(db, small)) return false;
  auto large = db.allocate(value_of(20000, 2));
  if (!alive(db, large)) return false;
  const uint64_t h1 = small.ok() ? small.value() : old;
  const uint64_t h2 = large.ok() ? large.value() : last;
  STEP(db.update(old, value_of(9000, 3)));
  STEP(db.update(h2, value_of(50, 4)));
  STEP(db.set_client_byte(h1, 0xA5));
  STEP(db.set_root_name("root", h1));
  STEP(db.savepoint("sp"));
  STEP(db.allocate(value_of(3000, 5), tag));
  STEP(db.update(last, value_of(12000, 6)));
  STEP(db.delete_handle(old));
  STEP(db.delete_tagged(h1, tag));
  STEP(db.clear_root_name("index"));
  STEP(db.rollback_to("sp"));
  STEP(db.release("sp"));
  STEP(db.tag(h1));
  STEP(db.handles_with_tag(tag));
  uint64_t pair[] = {last, h2};
  STEP(db.delete_many(pair));
  STEP(db.delete_with_tag(tag, 3));
  STEP(db.clear_root_name("root"));
  STEP(db.allocate({}, tag));
  ambrik::DefragSettings settings;
  settings.sparse_threshold = 0.9;
  STEP(db.defrag(settings));
  // A commit may poison on any error once it has begun writing.
  return db.commit().ok();
#undef STEP
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxImageBytes) return 0;
  auto storage = std::make_unique<ambrik::MemoryStorage>();
  std::vector<uint8_t>& image = storage->bytes();
  image.assign(data, data + size);
  if (size > 0 && (data[size - 1] & 1) != 0) {
    for (size_t off = 0; off + ambrik::kPageSize <= size; off += ambrik::kPageSize)
      ambrik::page_trailer_set(image.data() + off);
  }
  const bool sound_before = sound(image);
  auto io = std::make_unique<ambrik::PageIo>(std::move(storage), false);
  ambrik::OpenOptions options;
  // A few pages of cache, so eviction and the (in-memory) spillway run too.
  options.cache_max_bytes = 6 * 8192;
  options.spillway_max_bytes = 4u << 20;
  auto opened = TransactionManager::open_storage(std::move(io), options);
  if (!opened.ok()) return 0;
  TransactionManager& db = *opened.value();
  std::vector<uint64_t> handles;
  if (!read_all(db, handles)) return 0;
  const bool committed = change_all(db, handles);
  if (db.is_poisoned()) return 0;
  if (committed && sound_before && !sound(image)) abort();
  read_all(db, handles);
  return 0;
}
