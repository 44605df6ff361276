#include "crypto/kdf.h"

#include <argon2.h>
#include <sodium.h>

#include <cstdint>

#include "crypto/cipher.h"

namespace ambrik {

namespace {

constexpr uint8_t kHkdfInfo[] = {'a', 'm', 'b', 'r', 'i', 'k', '-', 'k', 'e', 'k', '-', 'v', '1'};

std::optional<SecretBytes> hkdf_sha256(const uint8_t* key, size_t len, const uint8_t* salt) {
  crypto_auth_hmacsha256_state state;
  uint8_t prk[crypto_auth_hmacsha256_BYTES];
  SecretBytes okm(kKekBytes);

  crypto_auth_hmacsha256_init(&state, salt, kKdfSaltBytes);
  crypto_auth_hmacsha256_update(&state, key, len);
  crypto_auth_hmacsha256_final(&state, prk);

  // 32 output bytes are exactly one SHA-256 block of the expand step.
  const uint8_t counter = 0x01;
  crypto_auth_hmacsha256_init(&state, prk, sizeof prk);
  crypto_auth_hmacsha256_update(&state, kHkdfInfo, sizeof kHkdfInfo);
  crypto_auth_hmacsha256_update(&state, &counter, 1);
  crypto_auth_hmacsha256_final(&state, okm.data());

  sodium_memzero(prk, sizeof prk);
  sodium_memzero(&state, sizeof state);
  return okm;
}

std::optional<SecretBytes> argon2id(const uint8_t* key, size_t len, const uint8_t* salt,
                                    const Argon2Params& params) {
  if (!argon2_params_derivable(params)) return std::nullopt;
  if (len > UINT32_MAX) return std::nullopt;

  SecretBytes out(kKekBytes);
  argon2_context ctx{};
  ctx.out = out.data();
  ctx.outlen = kKekBytes;
  // libargon2 only writes the password when ARGON2_FLAG_CLEAR_PASSWORD is
  // set, which it is not; the caller's bytes stay untouched.
  ctx.pwd = const_cast<uint8_t*>(key);
  ctx.pwdlen = static_cast<uint32_t>(len);
  ctx.salt = const_cast<uint8_t*>(salt);
  ctx.saltlen = kKdfSaltBytes;
  ctx.t_cost = params.passes;
  ctx.m_cost = params.memory_kib;
  ctx.lanes = params.lanes;
  ctx.threads = 1;
  ctx.version = ARGON2_VERSION_13;
  ctx.flags = ARGON2_DEFAULT_FLAGS;
  if (argon2_ctx(&ctx, Argon2_id) != ARGON2_OK) return std::nullopt;
  return out;
}

}  // namespace

bool argon2_params_derivable(const Argon2Params& p) {
  if (p.lanes < 1 || p.lanes > kArgon2MaxLanes) return false;
  if (p.passes < 1 || p.passes > kArgon2MaxPasses) return false;
  if (p.memory_kib < kArgon2MinMemoryKib || p.memory_kib > kArgon2MaxMemoryKib) return false;
  // lanes <= 64, so the product cannot overflow.
  if (p.memory_kib < 8 * p.lanes) return false;
  return true;
}

std::optional<SecretBytes> derive_kek(const uint8_t* key, size_t len, uint8_t kind,
                                      const uint8_t* salt, const Argon2Params& params) {
  if (len == 0 || key == nullptr) return std::nullopt;
  if (!crypto_init()) return std::nullopt;
  switch (kind) {
    case kSlotKindRaw: return hkdf_sha256(key, len, salt);
    case kSlotKindPassphrase: return argon2id(key, len, salt, params);
    default: return std::nullopt;
  }
}

}  // namespace ambrik
