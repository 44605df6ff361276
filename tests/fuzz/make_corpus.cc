// Writes the seed images of the fuzz corpus, each made by the engine itself:
//   make_corpus DIR
// Rerun only when the file format changes; the images are committed.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "page_io.h"
#include "transaction/transaction_manager.h"

namespace {

using ambrik::TransactionManager;

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed ^ (i * 7));
  return v;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "make_corpus: %s failed\n", what);
    std::exit(1);
  }
}

// Runs `fill` in transactions over a fresh in-memory database of `slots`
// superblocks and writes the image to dir/name.
void image(const std::string& dir, const char* name, uint32_t slots,
           const std::function<void(TransactionManager&)>& fill) {
  auto storage = std::make_unique<ambrik::MemoryStorage>();
  ambrik::MemoryStorage* mem = storage.get();
  ambrik::OpenOptions o;
  o.superblock_count = slots;
  auto db = TransactionManager::open_storage(
      std::make_unique<ambrik::PageIo>(std::move(storage), false), o);
  check(db.ok(), "open");
  fill(*db.value());
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(mem->bytes().data()),
            static_cast<std::streamsize>(mem->bytes().size()));
  check(out.good(), "write");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  image(dir, "fresh-2", 2, [](TransactionManager&) {});
  // Tags, named roots, a client byte, an overflow chain, and pages released
  // by a second commit, so the image has a free map too.
  image(dir, "mixed-3", 3, [](TransactionManager& db) {
    check(db.begin().ok(), "begin");
    uint64_t a = db.allocate(bytes(40, 1), 7).value();
    uint64_t b = db.allocate(bytes(3000, 2), 8).value();
    check(db.allocate(bytes(9000, 3), 7).ok(), "allocate");
    check(db.set_root_name("root", a).ok(), "root");
    check(db.set_root_name("index", b).ok(), "root");
    check(db.set_client_byte(b, 9).ok(), "client byte");
    check(db.commit().ok(), "commit");
    check(db.begin().ok(), "begin");
    check(db.delete_handle(b).ok(), "delete");
    check(db.update(a, bytes(20, 4)).ok(), "update");
    check(db.commit().ok(), "commit");
  });
  image(dir, "one-value-2", 2, [](TransactionManager& db) {
    check(db.begin().ok(), "begin");
    check(db.allocate(bytes(100, 5)).ok(), "allocate");
    check(db.commit().ok(), "commit");
  });
  return 0;
}
