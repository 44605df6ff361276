// Adding, removing and rotating user keys. The data key never changes, so no
// page is re-encrypted: each change rewrites the key slots in one new
// superblock.
#include "transaction/manager_impl.h"

namespace ambrik {

namespace {

// Costs stored with a slot added to an open database.
Argon2Params costs_for(const Key& key) {
  return key.kind == KeyKind::Passphrase ? Argon2Params{} : kRawKeyAddedCosts;
}

}  // namespace

Status TransactionManagerImpl::add_key(const Key& existing, const Key& added) {
  if (table && !active && !turn_) return in_turn([&] { return add_key(existing, added); });
  if (!crypto) return Error::simple(ErrorKind::EncryptionNotSupported);
  UnlockedKey unlocked = TRY(unlock(*crypto, existing));
  auto free_slot = first_free_slot(*crypto);
  if (!free_slot) return Error::simple(ErrorKind::NoFreeKeySlot);
  CryptoHeader next = *crypto;
  TRY(wrap_into(next, *free_slot, added, unlocked.data_key.data(), costs_for(added)));
  return rewrite_crypto_header(next);
}

Status TransactionManagerImpl::remove_key(const Key& key) {
  if (table && !active && !turn_) return in_turn([&] { return remove_key(key); });
  if (!crypto) return Error::simple(ErrorKind::EncryptionNotSupported);
  UnlockedKey unlocked = TRY(unlock(*crypto, key));
  // Slots nothing here can unlock do not count: removing the last one that
  // can would leave the file unopenable for this build.
  if (unlockable_slot_count(*crypto) < 2) return Error::simple(ErrorKind::LastKeySlot);
  CryptoHeader next = *crypto;
  clear_slot(next, unlocked.slot);
  return rewrite_crypto_header(next);
}

Status TransactionManagerImpl::rotate_key(const Key& old_key, const Key& new_key) {
  if (table && !active && !turn_) return in_turn([&] { return rotate_key(old_key, new_key); });
  if (!crypto) return Error::simple(ErrorKind::EncryptionNotSupported);
  UnlockedKey unlocked = TRY(unlock(*crypto, old_key));
  // The new key is added before the old one goes, so a free slot is needed
  // even though the rotation frees one.
  auto free_slot = first_free_slot(*crypto);
  if (!free_slot) return Error::simple(ErrorKind::NoFreeKeySlot);
  CryptoHeader next = *crypto;
  TRY(wrap_into(next, *free_slot, new_key, unlocked.data_key.data(), costs_for(new_key)));
  clear_slot(next, unlocked.slot);
  return rewrite_crypto_header(next);
}

Status TransactionManagerImpl::in_turn(const std::function<Status()>& change) {
  // The header is read again from the newest commit under the write lock,
  // so that no other process's key change is overwritten.
  TRY(take_turn());
  turn_ = true;
  Status st = change();
  turn_ = false;
  static const std::vector<std::pair<uint64_t, uint32_t>> kNoCounts;
  if (poisoned) return st;  // the lock went with the poisoning
  end_turn(st.ok() ? &kNoCounts : nullptr);
  return st;
}

Status TransactionManagerImpl::rewrite_crypto_header(const CryptoHeader& header) {
  // Checked only now, after the keys: a wrong key is reported as wrong
  // whatever the state of the database, and a right one learns why it
  // cannot be used yet. Read-only is refused here rather than left to the
  // flush, where it would fail as a write error and poison.
  if (active) return Error::simple(ErrorKind::TransactionInProgress);
  if (cache->io().read_only()) return Error::simple(ErrorKind::ReadOnlyMode);
  // The data key is unchanged, so only the superblock carries the change.
  if (table) table->publish_commit_start(txn_counter + 1);
  const uint64_t page_count = TRY(persist(nullptr, committed, header));
  crypto = header;
  committed.page_count = page_count;
  working.page_count = page_count;
  committed_page_count = page_count;
  return ok_status();
}

}  // namespace ambrik
