// Crypto header: the algorithm id, the page-unit stride and the 8 key slots
// of an encrypted database.
//
// The one 32-byte data key seals every page and superblock body. It is never
// stored in the clear: each active key slot holds it wrapped
// (XChaCha20-Poly1305) under a key-encryption key derived from one user key
// (crypto/kdf.h). Any active slot opens the database; the data key never
// changes, so adding or removing keys re-encrypts nothing.
//
// Key slot, 128 bytes (slot i at superblock offset 332 + 128 * i),
// little-endian:
//
//   offset  width  field
//        0      1  state: 1 = active; any other value = free (written as 0)
//        1      1  kind: 1 = raw key (HKDF), 2 = passphrase (Argon2id)
//        2      4  Argon2 memory cost, KiB
//        6      4  Argon2 time cost (passes)
//       10      4  Argon2 parallelism (lanes)
//       14     16  salt
//       30     24  nonce of the wrap
//       54     32  wrapped data key (ciphertext)
//       86     16  authentication tag of the wrap
//      102     26  zero as written here; carried over as read, so that a
//                  slot of a kind this build does not know stays intact
//
// Bytes 0..53 of an active slot (with state 1) are the associated data of
// its wrap, so state, kind, costs, salt and nonce cannot be altered without
// the slot failing to unwrap. A raw-key slot stores cost fields that are not
// used: 19456/2/1 when written at creation, 0/0/0 when added later.
//
// All functions here are pure header manipulation plus cryptography; none
// touches the file. Secrets (derived keys, unwrapped data keys) are returned
// as SecretBytes and wiped when dropped; intermediate copies are wiped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/cipher.h"
#include "crypto/kdf.h"
#include "crypto/key.h"
#include "page.h"
#include "result.h"

namespace ambrik {

inline constexpr size_t kKeySlotCount = 8;
inline constexpr size_t kKeySlotBytes = 128;
inline constexpr size_t kKeySlotAreaBytes = kKeySlotCount * kKeySlotBytes;  // 1024
inline constexpr size_t kKeySlotAdBytes = 54;
inline constexpr size_t kKeySlotReservedBytes = 26;  // offsets 102..127
inline constexpr uint8_t kSlotStateActive = 1;
inline constexpr uint8_t kCryptoAlgorithmXChaCha = 1;

// Costs stored for a raw key added to an open database (unused by HKDF).
inline constexpr Argon2Params kRawKeyAddedCosts{0, 0, 0};

struct KeySlot {
  uint8_t state = 0;
  uint8_t kind = 0;
  Argon2Params costs{0, 0, 0};
  std::array<uint8_t, kKdfSaltBytes> salt{};
  std::array<uint8_t, kNonceBytes> nonce{};
  std::array<uint8_t, kKeyBytes> wrapped{};
  std::array<uint8_t, kTagBytes> tag{};
  std::array<uint8_t, kKeySlotReservedBytes> reserved{};

  bool active() const { return state == kSlotStateActive; }
};

struct CryptoHeader {
  uint8_t algorithm = kCryptoAlgorithmXChaCha;
  uint32_t stride = static_cast<uint32_t>(kSealedStride);
  std::array<KeySlot, kKeySlotCount> slots{};
};

// REQUIRES: `out` has kKeySlotBytes bytes. Unused bytes are written as zero.
void encode_key_slot(const KeySlot& slot, uint8_t* out);
// REQUIRES: `in` has kKeySlotBytes bytes. Any byte pattern decodes; whether
// the slot is usable is decided when it is unwrapped.
KeySlot decode_key_slot(const uint8_t* in);

// The 1024 slot bytes of a superblock. REQUIRES: kKeySlotAreaBytes bytes.
void encode_key_slots(const CryptoHeader& header, uint8_t* out);
void decode_key_slots(const uint8_t* in, CryptoHeader& header);

// Lowest index whose state is not active; empty when all 8 are active.
std::optional<size_t> first_free_slot(const CryptoHeader& header);
size_t active_slot_count(const CryptoHeader& header);
// Active slots that this build could unlock with the right key: kind raw, or
// passphrase with costs it accepts. A slot of another kind (a newer build's,
// or damaged) opens nothing here.
size_t unlockable_slot_count(const CryptoHeader& header);
// Frees slot `index` by zeroing all of it. REQUIRES: index < kKeySlotCount.
void clear_slot(CryptoHeader& header, size_t index);

// Wraps `data_key` (32 bytes) into slot `index` under a key derived from
// `key`: draws a salt, then a nonce, derives, seals, and fills the slot
// with state 1, kind 1 (raw) or 2 (passphrase) and `costs` stored as given
// (and used for the derivation when the key is a passphrase).
// Errors: Internal "OS RNG unavailable"; InvalidEncryptionKey when the key
// cannot be derived (empty, or costs out of range). On error the slot is
// untouched.
// REQUIRES: index < kKeySlotCount.
Status wrap_into(CryptoHeader& header, size_t index, const Key& key, const uint8_t* data_key,
                 const Argon2Params& costs);

// Opens the wrapped data key of `slot` with `kek` (32 bytes). Empty when the
// wrap does not authenticate (wrong key, or any of bytes 0..53 changed).
std::optional<SecretBytes> unwrap_dek(const uint8_t* kek, const KeySlot& slot);

struct UnlockedKey {
  size_t slot = 0;
  SecretBytes data_key;  // 32 bytes
};

// Tries the active slots of kind 1 or 2 in order 0..7, deriving with the
// slot's kind (not the caller's), and returns the first that unwraps.
// InvalidEncryptionKey when none does.
Result<UnlockedKey> unlock(const CryptoHeader& header, const uint8_t* key, size_t len);
inline Result<UnlockedKey> unlock(const CryptoHeader& header, const Key& key) {
  return unlock(header, key.bytes.data(), key.bytes.size());
}

}  // namespace ambrik
