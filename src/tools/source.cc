#include "tools/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "crypto/cipher.h"
#include "page.h"
#include "shared/reader_table.h"
#include "transaction/superblock_open.h"

namespace ambrik::tools {
namespace {

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

// Reads the superblocks and opens the cache. `shared`: the hold under which
// a file in shared use is read, already in place.
Result<std::unique_ptr<Source>> read_source(std::unique_ptr<PageIo> io, const std::string& label,
                                            const std::optional<Key>& key, uint64_t cache_bytes,
                                            std::unique_ptr<SharedUse> shared);

}  // namespace

CommittedView Source::view() const {
  CommittedView v;
  v.superblock = superblock;
  v.cache = cache.get();
  v.cipher = cache->cipher();
  v.units = units;
  v.database_path = path;
  return v;
}

void PairDigest::add(uint32_t tag, uint64_t handle) {
  uint64_t a = mix64(handle ^ mix64(tag + 0x9e3779b97f4a7c15ull));
  ++count;
  sum += a;
  mix ^= mix64(a + 0x632be59bd9b4e019ull);
}

Result<std::unique_ptr<Source>> open_source(const std::string& path,
                                            const std::optional<Key>& key,
                                            uint64_t cache_bytes, const FileAccess& access,
                                            SharedHold hold) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::from_errno(errno);
  // As for the engine's open: an empty file is not a database, and a
  // check of it must not say "damaged" while stats says "not found".
  if (S_ISREG(st.st_mode) && st.st_size == 0)
    return Error::simple(ErrorKind::DatabaseFileNotFound);
  auto opened = ToolFile::open(path, O_RDONLY, access.watch);
  if (!opened.ok()) {
    const int err = opened.error().os_errno();
    return err != 0 ? Error::from_errno(err) : std::move(opened).error();
  }
  std::unique_ptr<ToolFile> file = std::move(opened).value();
  // As a read-only open of the engine: beside other readers, never beside
  // a writer; beside the members of a file in shared use, as one of them.
  const int fd = file->descriptor();
  std::unique_ptr<SharedUse> shared;  // goes before `file` on every way out
  TRY(lock_file(fd, FileLockKind::Shared, access.lock_timeout_seconds, access.between_polls,
                [&] { return SharedUse::admit(fd, path, access.watch, shared); }));
  if (shared) TRY(shared->hold(hold, access));
  return read_source(std::make_unique<PageIo>(std::move(file), /*read_only=*/true), path, key,
                     cache_bytes, std::move(shared));
}

Result<std::unique_ptr<Source>> open_storage_source(std::unique_ptr<Storage> storage,
                                                    const std::string& label,
                                                    const std::optional<Key>& key,
                                                    uint64_t cache_bytes) {
  return read_source(std::make_unique<PageIo>(std::move(storage), /*read_only=*/true), label, key,
                     cache_bytes, nullptr);
}

namespace {

Result<std::unique_ptr<Source>> read_source(std::unique_ptr<PageIo> io, const std::string& label,
                                            const std::optional<Key>& key, uint64_t cache_bytes,
                                            std::unique_ptr<SharedUse> shared) {
  auto src = std::make_unique<Source>();
  // In `src` at once: whatever way this returns, the hold goes before the
  // file does (`io` is destroyed after `src` unless the cache took it).
  src->shared = std::move(shared);
  src->path = label;
  src->file_bytes = TRY(io->refresh_length());

  const SuperblockCandidates candidates = TRY(read_superblock_candidates(*io));
  src->stride = io->stride();
  src->units = io->page_count();

  // A file in which no unit carries a superblock's magic (plaintext and
  // encrypted alike, however damaged) nor a page trailer that checks is no
  // database at all (a text file, say); a database whose superblocks were
  // wiped still has pages that check.
  std::vector<SlotDefect> no_magic;
  for (size_t i = 0; i < candidates.units.size(); ++i) {
    const std::vector<uint8_t>& unit = candidates.units[i];
    if (unit.size() < kPageSize || load_u32(unit.data()) == kSuperblockMagic ||
        page_trailer_ok(unit.data())) {
      no_magic.clear();
      break;
    }
    no_magic.push_back(SlotDefect{static_cast<uint32_t>(i), {SuperblockDefectKind::BadMagic, 0}});
  }
  const bool database_like = !candidates.units.empty() && no_magic.empty();
  for (size_t i = 0; i < candidates.units.size(); ++i) {
    SlotReport r;
    r.index = static_cast<uint32_t>(i);
    auto parsed = deserialize(candidates.units[i]);
    if (auto* d = std::get_if<SuperblockDefect>(&parsed)) {
      r.defect = d->text();
    } else {
      const Superblock& sb = std::get<Superblock>(parsed);
      r.valid = true;
      r.generation = sb.generation;
      r.encrypted = sb.encryption.has_value();
      r.format_version = sb.format_version;
      r.superblock_count = sb.superblock_count;
    }
    src->candidates.push_back(std::move(r));
  }

  auto opened = open_superblock(candidates, key ? &*key : nullptr);
  if (!opened.ok()) {
    if (opened.error().kind() != ErrorKind::CorruptSuperblock) return std::move(opened).error();
    // No database rather than a damaged one: refused as the engine's open
    // refuses it, and named for what it lacks.
    if (!database_like) return Error::corrupt_superblock(std::move(no_magic));
    src->select_error = std::move(opened).error();
    return src;
  }
  src->chosen = opened.value().chosen.index;
  src->superblock = std::move(opened.value().chosen.superblock);
  src->data_key = std::move(opened.value().data_key);
  src->newer_minor = opened.value().newer_minor;
  Superblock& sb = src->superblock;
  src->superblock_count = sb.superblock_count;
  std::unique_ptr<PageCipher> cipher;
  if (sb.encryption) {
    for (size_t i = 0; i < candidates.units.size(); ++i) {
      SlotReport& r = src->candidates[i];
      if (!r.valid || !r.encrypted) continue;
      auto other = deserialize(candidates.units[i]);
      r.body_opens = decrypt_body(std::get<Superblock>(other), candidates.units[i],
                                  src->data_key.data());
    }
    cipher = std::make_unique<PageCipher>(src->data_key.data());
  }
  if (sb.membership_root == 0) sb.membership_root = kNoPage;
  // A member's commit writes its pages before its superblock: measured
  // again now, the file holds every page the chosen superblock counts.
  if (src->shared) {
    src->file_bytes = TRY(io->refresh_length());
    src->units = io->page_count();
  }

  CacheSettings settings;
  settings.cache_max_bytes = cache_bytes;
  src->cache = std::make_unique<PageCache>(std::move(io), settings, sb.page_count);
  if (cipher) src->cache->set_cipher(std::move(cipher));
  return src;
}

}  // namespace

}  // namespace ambrik::tools
