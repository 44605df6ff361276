// Opening and creating a database.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "crypto/cipher.h"
#include "shared/reader_table.h"
#include "transaction/manager_impl.h"
#include "transaction/superblock_open.h"

namespace ambrik {

namespace {

CacheSettings cache_settings(const OpenOptions& o) {
  CacheSettings s;
  s.cache_max_bytes = o.cache_max_bytes;
  s.spillway_max_bytes =
      o.spillway_max_bytes ? *o.spillway_max_bytes : sat_mul(o.cache_max_bytes, 1024);
  s.drain_insertion = o.drain_insertion;
  s.path = o.path;
  return s;
}

}  // namespace

StateRecord state_from(const Superblock& sb) {
  StateRecord s;
  s.handle_root = sb.handle_root;
  s.freemap.root = sb.freemap_root;
  s.freemap.depth = sb.freemap_depth;
  s.membership_root = sb.membership_root == 0 ? kNoPage : sb.membership_root;
  s.page_count = sb.page_count;
  s.next_handle = sb.next_handle;
  s.named_roots = sb.named_roots;
  return s;
}

// Whether the superblock open would choose if the chosen one were torn
// describes the same committed state. `data_key` opens an encrypted body.
bool same_state_as_fallback(std::span<const std::vector<uint8_t>> candidates,
                            const SelectedSuperblock& chosen, const uint8_t* data_key) {
  auto fallback = select_fallback(candidates, chosen.index);
  if (!fallback) return false;
  Superblock& other = fallback->superblock;
  if (other.encryption &&
      (!data_key || !decrypt_body(other, candidates[fallback->index], data_key)))
    return false;
  return same_committed_state(chosen.superblock, other);
}


Result<std::unique_ptr<TransactionManagerImpl>> TransactionManagerImpl::open(
    const OpenOptions& o) {
  const bool count_ok = o.superblock_count >= kMinSuperblockCount &&
                        o.superblock_count <= kMaxSuperblockCount;
  const Key* key = o.encryption_key ? &*o.encryption_key : nullptr;
  if (!o.path) {
    if (o.read_only) return Error::simple(ErrorKind::ReadOnlyMode);
    if (!count_ok) return Error::invalid_superblock_count(o.superblock_count);
    auto io = std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false);
    return create_new(std::move(io), cache_settings(o), o.superblock_count, key, nullptr);
  }
  if (!count_ok) return Error::invalid_superblock_count(o.superblock_count);
  const std::string& path = *o.path;

  // Without creation, a missing or empty file is not a database.
  struct stat st;
  const bool absent_or_empty = ::stat(path.c_str(), &st) != 0 || st.st_size == 0;
  if (!o.create_if_missing && absent_or_empty)
    return Error::simple(ErrorKind::DatabaseFileNotFound);
  // An empty key cannot wrap the data key, so creating with it fails; fail
  // before the file is made, so that nothing is left behind.
  if (key && key->bytes.size() == 0 && absent_or_empty)
    return Error::simple(ErrorKind::InvalidEncryptionKey);

  int flags = o.read_only ? O_RDONLY : (O_RDWR | O_CREAT);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  auto storage = std::make_unique<FileStorage>(fd);  // owns fd from here on
  if (o.on_file_opened) o.on_file_opened(fd);
  // Opens that only read share the file with each other, and with no one
  // who could reuse a page under them: flock keeps writers of the default
  // mode out, the reader table's members are kept out (and keep them out)
  // by the announcement that admit_plain_reader makes.
  if (o.shared && o.durability != Durability::Full)
    return Error::io_text(IoKind::Unsupported,
                          "durability 'ordered' is not available in shared mode");
  if (o.shared) {
    // Shared with the other members only: the reader table keeps plain
    // read-only opens out (they take flock's shared lock too).
    TRY(lock_file(fd, FileLockKind::Shared, o.lock_timeout_seconds, o.on_lock_wait));
    return open_shared(std::move(storage), path, o);
  }
  if (o.read_only) {
    TRY(lock_file(fd, FileLockKind::Shared, o.lock_timeout_seconds, o.on_lock_wait,
                  [&] { return ReaderTable::admit_plain_reader(fd, path); }));
  } else {
    TRY(lock_file(fd, FileLockKind::Exclusive, o.lock_timeout_seconds, o.on_lock_wait));
  }

  auto io = std::make_unique<PageIo>(std::move(storage), o.read_only);
  const bool empty = TRY(io->refresh_length()) == 0;
  auto m = TRY(open_storage(std::move(io), o));
  if (empty) TRY(sync_parent_directory(path));
  return m;
}

Result<std::unique_ptr<TransactionManagerImpl>> TransactionManagerImpl::open_storage(
    std::unique_ptr<PageIo> io, const OpenOptions& o) {
  const Key* key = o.encryption_key ? &*o.encryption_key : nullptr;
  // Only empty storage is created over: anything shorter than a page holds
  // someone's bytes that are no database of ours, and must stay as they are.
  const uint64_t bytes = TRY(io->refresh_length());
  if (bytes == 0) {
    auto m = TRY(create_new(std::move(io), cache_settings(o), o.superblock_count, key, nullptr));
    m->set_durability(o.durability);
    return m;
  }
  if (io->page_count() == 0) return Error::corrupt_superblock({});

  const SuperblockCandidates candidates = TRY(read_superblock_candidates(*io));
  OpenedSuperblock opened = TRY(open_superblock(candidates, key));
  const SelectedSuperblock& chosen = opened.chosen;
  const Superblock& sb = chosen.superblock;
  const bool sealed = sb.encryption.has_value();
  const bool state_elsewhere =
      same_state_as_fallback(candidates.units, chosen, sealed ? opened.data_key.data() : nullptr);
  std::unique_ptr<PageCipher> cipher;
  if (sealed) cipher = std::make_unique<PageCipher>(opened.data_key.data());
  // A newer minor format may carry structures this build does not know how
  // to keep consistent: read it, never write it.
  if (opened.newer_minor) io->set_read_only(true);
  const uint64_t units = TRY(io->storage_length()) / io->stride();
  if (units < sb.page_count)
    return Error::file_size_mismatch(sat_mul(sb.page_count, io->stride()),
                                     sat_mul(units, io->stride()));

  auto cache = std::make_unique<PageCache>(std::move(io), cache_settings(o), sb.page_count);
  if (cipher) cache->set_cipher(std::move(cipher));

  std::unique_ptr<TransactionManagerImpl> m(new TransactionManagerImpl());
  m->cache = std::move(cache);
  m->committed = state_from(sb);
  m->working = m->committed;
  m->txn_counter = sb.generation;
  m->superblock_count = sb.superblock_count;
  m->current_slot = chosen.index;
  m->current_state_elsewhere = state_elsewhere;
  m->crypto = sb.encryption;
  m->committed_page_count = sb.page_count;
  if (opened.newer_minor) m->newer_format_version = sb.format_version;
  // The handle table first, then the membership index: whichever is damaged
  // first in that order names the error.
  m->handle_depth = TRY(HandleTable::recover_depth(*m->cache, m->committed.handle_root));
  m->membership_depth = TRY(membership_recover_depth(*m->cache, m->committed.membership_root));
  TRY(m->rebuild_live_counts());
  m->set_durability(o.durability);
  // A process that wrote the file in the ordered mode may have left its
  // last superblock unsynced: made durable now, it is a state this object's
  // commits may rely on falling back to.
  if (o.durability == Durability::Ordered && !m->cache->io().read_only())
    TRY(m->cache->io().sync());
  return m;
}

Status TransactionManagerImpl::rebuild_live_counts() {
  LiveCounts counts;
  if (committed.handle_root != kNoPage) {
    HandleList live = TRY(HandleTable::iter_live(handle_depth, *cache, committed.handle_root));
    for (const auto& [handle, entry] : live)
      if (entry.kind == ValueKind::Inline) ++counts[entry.location];
  }
  packer = SlotPacker::from_committed(std::move(counts));
  return ok_status();
}

Result<std::unique_ptr<TransactionManagerImpl>> TransactionManagerImpl::create_new(
    std::unique_ptr<PageIo> io, const CacheSettings& settings, uint32_t n, const Key* key,
    const Argon2Params* passphrase_costs) {
  if (n < kMinSuperblockCount || n > kMaxSuperblockCount)
    return Error::internal("superblock_count " + std::to_string(n) +
                           " out of supported range 2..=16");
  std::optional<CryptoHeader> header;
  SecretBytes data_key;
  if (key) {
    data_key = SecretBytes(kKeyBytes);
    TRY(random_bytes(data_key.data(), data_key.size()));
    header.emplace();
    Argon2Params costs;  // this build's defaults, also stored for raw keys
    if (key->kind == KeyKind::Passphrase && passphrase_costs) costs = *passphrase_costs;
    TRY(wrap_into(*header, 0, *key, data_key.data(), costs));
    io->set_sealed_stride();
  }

  Superblock sb;
  sb.format_version = key ? kFormatVersionEncrypted : kFormatVersionPlain;
  sb.page_count = n;
  sb.superblock_count = n;
  sb.encryption = header;
  // Highest slot first: once any valid superblock exists the storage already
  // holds all n units, so a crash here can never leave a superblock that
  // claims more pages than the file has.
  for (uint32_t i = n; i-- > 0;) {
    sb.generation = n - 1 - i;
    std::vector<uint8_t> unit =
        TRY(encode_superblock_unit(sb, io->stride(), key ? data_key.data() : nullptr));
    TRY(io->write_page_unit(i, unit.data(), unit.size()));
  }
  TRY(io->sync());

  auto cache = std::make_unique<PageCache>(std::move(io), settings, n);
  if (key) cache->set_cipher(std::make_unique<PageCipher>(data_key.data()));
  std::unique_ptr<TransactionManagerImpl> m(new TransactionManagerImpl());
  m->cache = std::move(cache);
  m->committed.page_count = n;
  m->working = m->committed;
  m->txn_counter = n - 1;
  m->superblock_count = n;
  m->current_slot = 0;  // slot 0 holds the highest generation
  m->current_state_elsewhere = true;  // every slot holds the empty database
  m->crypto = header;
  m->committed_page_count = n;
  return m;
}

}  // namespace ambrik
