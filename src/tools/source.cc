#include "tools/source.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "crypto/cipher.h"

namespace ambrik::tools {
namespace {

Result<std::vector<std::vector<uint8_t>>> read_candidates(PageIo& io) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> unit(io.stride());
  for (uint64_t id = 0; id < kMaxSuperblockCandidates && id < io.page_count(); ++id) {
    TRY(io.read_page_unit_into(id, unit.data()));
    out.emplace_back(unit.begin(), unit.begin() + kPageSize);
  }
  return out;
}

bool encrypted_superblock(const std::vector<uint8_t>& bytes) {
  auto parsed = deserialize(bytes);
  auto* sb = std::get_if<Superblock>(&parsed);
  return sb && sb->encryption.has_value();
}

uint16_t major_of(uint32_t v) { return static_cast<uint16_t>(v >> 16); }

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

}  // namespace

void PairDigest::add(uint32_t tag, uint64_t handle) {
  uint64_t a = mix64(handle ^ mix64(tag + 0x9e3779b97f4a7c15ull));
  ++count;
  sum += a;
  mix ^= mix64(a + 0x632be59bd9b4e019ull);
}

Result<std::unique_ptr<Source>> open_source(const std::string& path,
                                            const std::optional<Key>& key,
                                            uint64_t cache_bytes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Error::from_errno(errno);
  // As for the engine's open: an empty file is not a database, and a
  // check of it must not say "damaged" while stats says "not found".
  if (S_ISREG(st.st_mode) && st.st_size == 0)
    return Error::simple(ErrorKind::DatabaseFileNotFound);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  auto storage = std::make_unique<FileStorage>(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Error::simple(ErrorKind::LockFailed);
  return open_storage_source(std::move(storage), path, key, cache_bytes);
}

Result<std::unique_ptr<Source>> open_storage_source(std::unique_ptr<Storage> storage,
                                                    const std::string& label,
                                                    const std::optional<Key>& key,
                                                    uint64_t cache_bytes) {
  auto src = std::make_unique<Source>();
  src->path = label;
  auto io = std::make_unique<PageIo>(std::move(storage), /*read_only=*/true);
  src->file_bytes = TRY(io->refresh_length());

  // The stride is decided as the engine's open decides it.
  std::vector<std::vector<uint8_t>> candidates;
  if (io->page_count() > 0) {
    std::vector<uint8_t> unit0 = TRY(io->read_page_unit(0));
    unit0.resize(kPageSize);
    auto first = deserialize(unit0);
    const bool first_valid = std::holds_alternative<Superblock>(first);
    if (first_valid && std::get<Superblock>(first).encryption) io->set_sealed_stride();
    candidates = TRY(read_candidates(*io));
    bool any_encrypted = false;
    for (const auto& c : candidates) any_encrypted = any_encrypted || encrypted_superblock(c);
    if (!any_encrypted && !first_valid) {
      io->set_sealed_stride();
      auto sealed = TRY(read_candidates(*io));
      bool found = false;
      for (const auto& c : sealed) found = found || encrypted_superblock(c);
      if (found) candidates = std::move(sealed);
      else io->set_stride();
    }
  }
  src->stride = io->stride();
  src->units = io->page_count();

  for (size_t i = 0; i < candidates.size(); ++i) {
    SlotReport r;
    r.index = static_cast<uint32_t>(i);
    auto parsed = deserialize(candidates[i]);
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

  auto selected = select_superblock(candidates);
  if (!selected.ok()) {
    if (selected.error().kind() != ErrorKind::CorruptSuperblock) return std::move(selected).error();
    src->select_error = std::move(selected).error();
    return src;
  }
  src->chosen = selected.value().index;
  src->superblock = std::move(selected.value().superblock);
  Superblock& sb = src->superblock;
  src->superblock_count = sb.superblock_count;

  std::unique_ptr<PageCipher> cipher;
  if (!sb.encryption) {
    if (key) return Error::simple(ErrorKind::EncryptionNotSupported);
  } else {
    if (sb.encryption->algorithm != kCryptoAlgorithmXChaCha)
      return Error::simple(ErrorKind::EncryptionNotSupported);
    if (!key) return Error::simple(ErrorKind::NoEncryptionKey);
    UnlockedKey unlocked = TRY(unlock(*sb.encryption, *key));
    if (!decrypt_body(sb, candidates[src->chosen], unlocked.data_key.data()))
      return Error::simple(ErrorKind::InvalidEncryptionKey);
    for (size_t i = 0; i < candidates.size(); ++i) {
      SlotReport& r = src->candidates[i];
      if (!r.valid || !r.encrypted) continue;
      auto other = deserialize(candidates[i]);
      r.body_opens = decrypt_body(std::get<Superblock>(other), candidates[i],
                                  unlocked.data_key.data());
    }
    cipher = std::make_unique<PageCipher>(unlocked.data_key.data());
    src->data_key = std::move(unlocked.data_key);
  }

  const uint32_t written = sb.encryption ? kFormatVersionEncrypted : kFormatVersionPlain;
  if (major_of(sb.format_version) != major_of(written))
    return Error::unsupported_format_version(sb.format_version, written);
  if (sb.page_size != kPageSize)
    return Error::unsupported_page_size(sb.page_size, static_cast<uint32_t>(kPageSize));
  if (sb.membership_root == 0) sb.membership_root = kNoPage;

  CacheSettings settings;
  settings.cache_max_bytes = cache_bytes;
  src->cache = std::make_unique<PageCache>(std::move(io), settings, sb.page_count);
  if (cipher) src->cache->set_cipher(std::move(cipher));
  return src;
}

}  // namespace ambrik::tools
