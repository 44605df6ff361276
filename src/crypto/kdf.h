// Key-encryption-key derivation for key slots.
//
// A key slot's data key is wrapped under a 32-byte key-encryption key (KEK)
// derived from the user's key bytes and the slot's 16-byte salt:
//   kind 1 (raw key):    HKDF-SHA256 (RFC 5869). PRK = HMAC(salt, key);
//                        KEK = HMAC(PRK, "ambrik-kek-v1" || 0x01), a single
//                        expand block. The Argon2 costs are ignored.
//   kind 2 (passphrase): Argon2id v0x13, memory/passes/lanes from the slot,
//                        password = key bytes, no secret, no associated data.
//
// Derivation failure (empty key, unknown kind, costs outside the accepted
// range, Argon2 failing) is reported as an empty optional, not as an engine
// error: every caller maps it to its own outcome (skip the slot while
// unlocking, InvalidEncryptionKey when wrapping).
//
// The Argon2 costs are read from the file and are only authenticated after
// the derivation has run, so a crafted file could otherwise make an open
// allocate terabytes or run for hours. Costs above kArgon2MaxMemoryKib,
// kArgon2MaxPasses or kArgon2MaxLanes are therefore treated as underivable.
// This build never writes costs anywhere near those bounds.
//
// Argon2 runs single-threaded (the engine starts no threads); the lane
// count only changes the result, not the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/key.h"

namespace ambrik {

inline constexpr size_t kKdfSaltBytes = 16;
inline constexpr size_t kKekBytes = 32;

// Slot kind bytes.
inline constexpr uint8_t kSlotKindRaw = 1;
inline constexpr uint8_t kSlotKindPassphrase = 2;

inline constexpr uint32_t kArgon2MinMemoryKib = 8;
inline constexpr uint32_t kArgon2MaxMemoryKib = 4194304;  // 4 GiB
inline constexpr uint32_t kArgon2MaxPasses = 64;
inline constexpr uint32_t kArgon2MaxLanes = 64;

struct Argon2Params {
  uint32_t memory_kib = 19456;
  uint32_t passes = 2;
  uint32_t lanes = 1;
};

// True when a passphrase derivation with these costs may be attempted: lanes
// 1..kArgon2MaxLanes, passes 1..kArgon2MaxPasses, memory at least 8 and at
// least 8 * lanes KiB and at most kArgon2MaxMemoryKib.
bool argon2_params_derivable(const Argon2Params& params);

// Derives the 32-byte KEK. `key` may be null only when `len` is 0 (which
// fails). `kind` is the slot's kind byte; any value other than 1 or 2 fails.
// REQUIRES: `salt` points at kKdfSaltBytes bytes.
// The result, when present, holds exactly kKekBytes bytes and is wiped when
// dropped.
std::optional<SecretBytes> derive_kek(const uint8_t* key, size_t len, uint8_t kind,
                                      const uint8_t* salt, const Argon2Params& params);

}  // namespace ambrik
