#include "superblock/crypto_header.h"

#include <cstring>

namespace ambrik {

namespace {

constexpr size_t kOffState = 0;
constexpr size_t kOffKind = 1;
constexpr size_t kOffMemory = 2;
constexpr size_t kOffPasses = 6;
constexpr size_t kOffLanes = 10;
constexpr size_t kOffSalt = 14;
constexpr size_t kOffNonce = 30;
constexpr size_t kOffWrapped = 54;
constexpr size_t kOffTag = 86;
constexpr size_t kOffReserved = 102;
static_assert(kOffNonce + kNonceBytes == kKeySlotAdBytes);
static_assert(kOffTag + kTagBytes == kOffReserved);
static_assert(kOffReserved + kKeySlotReservedBytes == kKeySlotBytes);

// Bytes 0..53 of the slot as they are when active: the wrap's associated
// data.
void build_slot_ad(const KeySlot& slot, uint8_t* ad) {
  ad[kOffState] = kSlotStateActive;
  ad[kOffKind] = slot.kind;
  store_u32(ad + kOffMemory, slot.costs.memory_kib);
  store_u32(ad + kOffPasses, slot.costs.passes);
  store_u32(ad + kOffLanes, slot.costs.lanes);
  std::memcpy(ad + kOffSalt, slot.salt.data(), kKdfSaltBytes);
  std::memcpy(ad + kOffNonce, slot.nonce.data(), kNonceBytes);
}

}  // namespace

void encode_key_slot(const KeySlot& slot, uint8_t* out) {
  std::memset(out, 0, kKeySlotBytes);
  out[kOffState] = slot.state;
  out[kOffKind] = slot.kind;
  store_u32(out + kOffMemory, slot.costs.memory_kib);
  store_u32(out + kOffPasses, slot.costs.passes);
  store_u32(out + kOffLanes, slot.costs.lanes);
  std::memcpy(out + kOffSalt, slot.salt.data(), kKdfSaltBytes);
  std::memcpy(out + kOffNonce, slot.nonce.data(), kNonceBytes);
  std::memcpy(out + kOffWrapped, slot.wrapped.data(), kKeyBytes);
  std::memcpy(out + kOffTag, slot.tag.data(), kTagBytes);
  std::memcpy(out + kOffReserved, slot.reserved.data(), slot.reserved.size());
}

KeySlot decode_key_slot(const uint8_t* in) {
  KeySlot slot;
  slot.state = in[kOffState];
  slot.kind = in[kOffKind];
  slot.costs.memory_kib = load_u32(in + kOffMemory);
  slot.costs.passes = load_u32(in + kOffPasses);
  slot.costs.lanes = load_u32(in + kOffLanes);
  std::memcpy(slot.salt.data(), in + kOffSalt, kKdfSaltBytes);
  std::memcpy(slot.nonce.data(), in + kOffNonce, kNonceBytes);
  std::memcpy(slot.wrapped.data(), in + kOffWrapped, kKeyBytes);
  std::memcpy(slot.tag.data(), in + kOffTag, kTagBytes);
  std::memcpy(slot.reserved.data(), in + kOffReserved, slot.reserved.size());
  return slot;
}

void encode_key_slots(const CryptoHeader& header, uint8_t* out) {
  for (size_t i = 0; i < kKeySlotCount; ++i)
    encode_key_slot(header.slots[i], out + i * kKeySlotBytes);
}

void decode_key_slots(const uint8_t* in, CryptoHeader& header) {
  for (size_t i = 0; i < kKeySlotCount; ++i)
    header.slots[i] = decode_key_slot(in + i * kKeySlotBytes);
}

std::optional<size_t> first_free_slot(const CryptoHeader& header) {
  for (size_t i = 0; i < kKeySlotCount; ++i)
    if (!header.slots[i].active()) return i;
  return std::nullopt;
}

size_t active_slot_count(const CryptoHeader& header) {
  size_t n = 0;
  for (const KeySlot& slot : header.slots) n += slot.active() ? 1 : 0;
  return n;
}

size_t unlockable_slot_count(const CryptoHeader& header) {
  size_t n = 0;
  for (const KeySlot& slot : header.slots) {
    if (!slot.active()) continue;
    if (slot.kind == kSlotKindRaw ||
        (slot.kind == kSlotKindPassphrase && argon2_params_derivable(slot.costs)))
      ++n;
  }
  return n;
}

void clear_slot(CryptoHeader& header, size_t index) { header.slots[index] = KeySlot{}; }

Status wrap_into(CryptoHeader& header, size_t index, const Key& key, const uint8_t* data_key,
                 const Argon2Params& costs) {
  KeySlot slot;
  slot.state = kSlotStateActive;
  slot.kind = key.kind == KeyKind::Passphrase ? kSlotKindPassphrase : kSlotKindRaw;
  slot.costs = costs;
  TRY(random_bytes(slot.salt.data(), slot.salt.size()));
  TRY(random_bytes(slot.nonce.data(), slot.nonce.size()));

  std::optional<SecretBytes> kek =
      derive_kek(key.bytes.data(), key.bytes.size(), slot.kind, slot.salt.data(), costs);
  if (!kek) return Error::simple(ErrorKind::InvalidEncryptionKey);

  uint8_t ad[kKeySlotAdBytes];
  build_slot_ad(slot, ad);
  seal_detached(kek->data(), slot.nonce.data(), ad, sizeof ad, data_key, kKeyBytes,
                slot.wrapped.data(), slot.tag.data());
  header.slots[index] = slot;
  return ok_status();
}

std::optional<SecretBytes> unwrap_dek(const uint8_t* kek, const KeySlot& slot) {
  uint8_t ad[kKeySlotAdBytes];
  build_slot_ad(slot, ad);
  SecretBytes dek(kKeyBytes);
  if (!open_detached(kek, slot.nonce.data(), ad, sizeof ad, slot.wrapped.data(), kKeyBytes,
                     slot.tag.data(), dek.data()))
    return std::nullopt;
  return dek;
}

Result<UnlockedKey> unlock(const CryptoHeader& header, const uint8_t* key, size_t len) {
  for (size_t i = 0; i < kKeySlotCount; ++i) {
    const KeySlot& slot = header.slots[i];
    if (!slot.active()) continue;
    if (slot.kind != kSlotKindRaw && slot.kind != kSlotKindPassphrase) continue;
    std::optional<SecretBytes> kek =
        derive_kek(key, len, slot.kind, slot.salt.data(), slot.costs);
    if (!kek) continue;
    std::optional<SecretBytes> dek = unwrap_dek(kek->data(), slot);
    if (dek) return UnlockedKey{i, std::move(*dek)};
  }
  return Error::simple(ErrorKind::InvalidEncryptionKey);
}

}  // namespace ambrik
