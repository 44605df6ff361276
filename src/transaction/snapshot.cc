#include "transaction/snapshot.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "crypto/cipher.h"
#include "data_page.h"
#include "guarded_copy.h"
#include "handle_table.h"
#include "membership_index.h"
#include "overflow.h"
#include "page_cache.h"
#include "page_io.h"
#include "transaction/generation_pins.h"

namespace ambrik {

namespace {

// Reads of the database file through the database's own descriptor, which
// it does not own: a copy of the descriptor would be one more holder of the
// file lock (in this process, and in a child forked meanwhile). The
// database closes its snapshots before it closes the descriptor, and a
// closing snapshot waits for the read in progress (SnapshotState::mu).
// Every page miss is one pread: the snapshot's cache keeps the hot ones.
class BorrowedFile final : public Storage {
 public:
  explicit BorrowedFile(int fd) : fd_(fd) {}
  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override {
    return pread_full(fd_, offset, buf, len);
  }
  Status read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) override {
    return preadv_full(fd_, offset, iov, count);
  }
  Status write_at(uint64_t, const uint8_t*, size_t) override {
    return Error::simple(ErrorKind::ReadOnlyMode);
  }
  Status set_length(uint64_t) override { return Error::simple(ErrorKind::ReadOnlyMode); }
  Result<uint64_t> length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Error::io_errno(errno);
    return static_cast<uint64_t>(st.st_size);
  }
  Status sync() override { return ok_status(); }

 private:
  int fd_;
};

// A bound on each snapshot's cache (filled only by what it reads): hot
// reads of a few MiB of values stay in memory, and many snapshots together
// stay modest.
constexpr uint64_t kSnapshotCacheBytes = 512 * kPageSize;
}  // namespace

struct SnapshotState {
  std::mutex mu;
  std::unique_ptr<PageCache> cache;  // null once closed
  uint64_t handle_root = kNoPage;
  uint32_t handle_depth = 0;
  MembershipRoot membership;
  NamedRootTable named_roots{};
  uint64_t generation = 0;
  uint64_t pinned = 0;  // the generation it holds in the pins
  std::shared_ptr<GenerationPins> pins;
};

Result<std::unique_ptr<Snapshot>> Snapshot::open(const Source& src) {
  if (src.fd < 0)
    return Error::io_text(IoKind::Unsupported,
                          "a snapshot reads the database file; a database in memory has none");
  auto state = std::make_shared<SnapshotState>();
  auto io = std::make_unique<PageIo>(std::make_unique<BorrowedFile>(src.fd), /*read_only=*/true);
  if (src.data_key) io->set_sealed_stride();
  CacheSettings settings;
  settings.cache_max_bytes = kSnapshotCacheBytes;
  state->cache = std::make_unique<PageCache>(std::move(io), settings, src.page_count);
  if (src.data_key) state->cache->set_cipher(std::make_unique<PageCipher>(src.data_key));
  state->handle_root = src.handle_root;
  state->named_roots = src.named_roots;
  state->generation = src.generation;
  // Pinned before the first page is read.
  state->pinned = src.pinned_generation;
  if (state->pinned == 0) {
    state->pinned = src.generation;
    src.pins->pin(src.generation);
  }
  state->pins = src.pins;
  SnapshotState& s = *state;
  std::unique_ptr<Snapshot> snap(new Snapshot(std::move(state)));
  // On an error the snapshot's destructor unpins.
  s.handle_depth = TRY(HandleTable::recover_depth(*s.cache, src.handle_root));
  s.membership.root = src.membership_root;
  s.membership.depth = TRY(membership_recover_depth(*s.cache, src.membership_root));
  return snap;
}

Snapshot::~Snapshot() { close(); }

void Snapshot::close() { close_state(*state_); }

void Snapshot::close_state(SnapshotState& s) {
  std::unique_ptr<PageCache> cache;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.cache) return;
    cache = std::move(s.cache);
  }
  // Dropped outside the lock (an encrypted cache wipes its pages).
  cache.reset();
  s.pins->unpin(s.pinned);
}

bool Snapshot::closed() {
  std::lock_guard<std::mutex> lock(state_->mu);
  return !state_->cache;
}

uint64_t Snapshot::generation() const { return state_->generation; }

std::optional<Snapshot::Access> Snapshot::access() {
  std::unique_lock<std::mutex> lock(state_->mu);
  if (!state_->cache) return std::nullopt;
  return Access(std::move(lock), *state_);
}

std::optional<Snapshot::Access> Snapshot::try_access(bool& busy) {
  std::unique_lock<std::mutex> lock(state_->mu, std::try_to_lock);
  busy = !lock.owns_lock();
  if (busy || !state_->cache) return std::nullopt;
  return Access(std::move(lock), *state_);
}

namespace {
Result<HandleEntry> live_entry(SnapshotState& s, uint64_t handle) {
  if (s.handle_root == kNoPage) return Error::invalid_handle(handle);
  auto entry = TRY(HandleTable::lookup(s.handle_depth, *s.cache, s.handle_root, handle));
  if (!entry) return Error::invalid_handle(handle);
  return *entry;
}
}  // namespace

Result<std::vector<uint8_t>> Snapshot::Access::read(uint64_t handle) {
  GuardedOperation operation;
  HandleEntry e = TRY(live_entry(*s_, handle));
  if (e.kind == ValueKind::Inline) return read_data_slot(*s_->cache, e.location, e.slot);
  std::vector<uint8_t> out;
  TRY(Overflow::read_chain(*s_->cache, e.location, out));
  return out;
}

Result<bool> Snapshot::Access::read_into(uint64_t handle, const ValueSink& sink) {
  GuardedOperation operation;
  HandleEntry e = TRY(live_entry(*s_, handle));
  if (e.kind == ValueKind::Overflow) return Overflow::read_chain_into(*s_->cache, e.location, sink);
  std::span<const uint8_t> v = TRY(data_slot_view(*s_->cache, e.location, e.slot));
  uint8_t* dest = sink(v.size());
  if (dest == nullptr) return false;
  std::memcpy(dest, v.data(), v.size());
  return true;
}

Result<uint32_t> Snapshot::Access::tag(uint64_t handle) {
  GuardedOperation operation;
  return TRY(live_entry(*s_, handle)).tag;
}

Result<uint8_t> Snapshot::Access::client_byte(uint64_t handle) {
  GuardedOperation operation;
  return TRY(live_entry(*s_, handle)).client_byte;
}

Result<std::vector<uint64_t>> Snapshot::Access::handles() {
  GuardedOperation operation;
  std::vector<uint64_t> out;
  HandleList live = TRY(HandleTable::iter_live(s_->handle_depth, *s_->cache, s_->handle_root));
  out.reserve(live.size());
  for (const auto& [h, e] : live) out.push_back(h);
  return out;
}

Result<std::vector<uint64_t>> Snapshot::Access::handles_with_tag(uint32_t tag) {
  GuardedOperation operation;
  return membership_handles(*s_->cache, s_->membership, tag, ~uint64_t{0});
}

uint64_t Snapshot::Access::cache_budget_bytes() const { return kSnapshotCacheBytes; }

Result<std::optional<uint64_t>> Snapshot::Access::get_root_name(std::string_view name) {
  TRY(validate_root_name(name));
  return find_root(s_->named_roots, name);
}

}  // namespace ambrik
