// Shared mode: opening a file that other objects share, taking turns to
// write, and keeping what this object derived from the file's newest commit.
#include <sys/stat.h>

#include <algorithm>

#include "transaction/manager_impl.h"
#include "transaction/superblock_open.h"

namespace ambrik {

namespace {

// Slots of a new reader table: the objects of every process that may share
// a file at once (an object's snapshots share its slot).
constexpr uint32_t kReaderSlots = 254;

}  // namespace

Result<std::unique_ptr<TransactionManagerImpl>> TransactionManagerImpl::open_shared(
    std::unique_ptr<Storage> storage, const std::string& path, const OpenOptions& o) {
  const int fd = storage->descriptor();
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::io_errno(errno);
  // The table first: its writer lock also decides who creates an empty
  // file. Its newest generation starts low when this object initialises
  // it; the first writer's begin finds the file newer and catches up.
  auto table = TRY(ReaderTable::open(path, ReaderTable::identity_of(st), 1, kReaderSlots));
  if (TRY(ReaderTable::plain_reader_present(fd)))
    return Error::lock_failed("the file is open read-only without shared=True");
  TRY(table->claim_slot());

  auto io = std::make_unique<PageIo>(std::move(storage), o.read_only);
  const bool empty = TRY(io->refresh_length()) == 0;
  if (empty) {
    if (o.read_only) return Error::simple(ErrorKind::DatabaseFileNotFound);
    // Two members that both find the file empty create it one after the
    // other: the second finds it made.
    TRY(table->lock_writer(o.lock_timeout_seconds));
  }
  auto opened = open_storage(std::move(io), o);
  if (!opened.ok()) return std::move(opened).error();
  std::unique_ptr<TransactionManagerImpl> m = std::move(opened).value();
  if (empty) {
    TRY(sync_parent_directory(path));
    table->publish_commit_end(std::max(m->txn_counter, table->newest()));
    table->unlock_writer();
  }
  m->table = std::move(table);
  m->pins->attach(m->table.get());
  m->lock_timeout = o.lock_timeout_seconds;
  m->counts_generation = m->txn_counter;
  return m;
}

Status TransactionManagerImpl::refresh_committed() {
  AMBRIK_DCHECK(!active);
  PageIo& io = cache->io();
  TRY(io.refresh_length());
  const SuperblockCandidates candidates = TRY(read_superblock_candidates(io));
  SelectedSuperblock chosen = TRY(select_superblock(candidates.units));
  Superblock& sb = chosen.superblock;
  const uint8_t* data_key = crypto ? cache->cipher()->key() : nullptr;
  if (sb.encryption.has_value() != crypto.has_value() ||
      (data_key && !decrypt_body(sb, candidates.units[chosen.index], data_key)))
    return Error::decryption_failed(chosen.index);
  // Whatever else stands, the slots may not: a writer that died while
  // writing a superblock tore the slot it wrote, possibly the one this
  // object counted on to fall back to. Learnt again every time, so that no
  // write ever targets the last intact slot.
  const uint64_t slot = chosen.index;
  const bool elsewhere = same_state_as_fallback(candidates.units, chosen, data_key);
  if (sb.generation == txn_counter && slot == current_slot) {
    current_state_elsewhere = elsewhere;
    return ok_status();
  }
  const uint64_t units = TRY(io.storage_length()) / io.stride();
  if (units < sb.page_count)
    return Error::file_size_mismatch(sat_mul(sb.page_count, io.stride()),
                                     sat_mul(units, io.stride()));

  committed = state_from(sb);
  working = committed;
  txn_counter = sb.generation;
  current_slot = slot;
  current_state_elsewhere = elsewhere;
  crypto = sb.encryption;
  committed_page_count = sb.page_count;
  // Pages of the old state may have been released and written again since.
  cache->forget_from(0);
  cache->set_next_page_id(sb.page_count);
  recycle = FreemapRecycle();
  carry = TailCarry();
  pending.forget();
  handle_depth = TRY(HandleTable::recover_depth(*cache, committed.handle_root));
  membership_depth = TRY(membership_recover_depth(*cache, committed.membership_root));
  return ok_status();
}

Status TransactionManagerImpl::sync_live_counts() {
  if (counts_generation == txn_counter) return ok_status();
  std::vector<ReaderTable::CountChange> changes;
  if (counts_generation != 0 && table->replay_counts(counts_generation, changes))
    packer.apply_committed(changes);
  else
    TRY(rebuild_live_counts());
  counts_generation = txn_counter;
  return ok_status();
}

Status TransactionManagerImpl::take_turn(const LockPollFn& between_polls) {
  Status locked = table->lock_writer(lock_timeout, between_polls);
  if (!locked.ok()) {
    if (locked.error().kind() == ErrorKind::LockFailed)
      return Error::simple(ErrorKind::WriterBusy);
    return locked;
  }
  auto steps = [&]() -> Status {
    // A writer that died inside its commit left `committing` set: its
    // superblock may or may not be written, and the count log may miss it.
    const bool died = table->committing() != 0;
    if (died || table->newest() != txn_counter) TRY(refresh_committed());
    if (died) {
      table->log_barrier();
      counts_generation = 0;
    }
    // Also a table made by a first member that had not read the file yet:
    // its newest generation starts low, and would send every begin to the
    // superblocks until the next commit.
    if (died || table->newest() < txn_counter)
      table->publish_commit_end(std::max(txn_counter, table->newest()));
    return sync_live_counts();
  };
  Status st = steps();
  if (!st.ok()) table->unlock_writer();
  return st;
}

void TransactionManagerImpl::end_turn(
    const std::vector<std::pair<uint64_t, uint32_t>>* changed_counts) {
  if (changed_counts) {
    table->log_counts(txn_counter, *changed_counts);
    table->publish_commit_end(txn_counter);
    counts_generation = txn_counter;
  }
  table->unlock_writer();
}

Result<uint64_t> TransactionManagerImpl::pin_reads() {
  AMBRIK_DCHECK(table && !active);
  const uint64_t g = pins->pin_newest();
  if (g > txn_counter) {
    Status st = refresh_committed();
    if (!st.ok()) {
      pins->unpin(g);
      return std::move(st).error();
    }
  }
  return g;
}

}  // namespace ambrik
