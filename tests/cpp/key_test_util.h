// Key-slot helpers shared by the superblock and crypto-header tests.
#pragma once

#include <string>

#include "crypto/cipher.h"
#include "crypto/key.h"
#include "crypto/kdf.h"
#include "superblock/crypto_header.h"

namespace ambrik::testing {

// Cheap Argon2 costs: the derivation is exercised without slowing the suite.
inline constexpr Argon2Params kTinyCosts{8, 1, 1};

inline Key make_key(KeyKind kind, const std::string& text) {
  return Key{kind, SecretBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size())};
}

// A fixed, recognisable data key.
inline KeyBytes test_data_key() {
  KeyBytes k;
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(0xC0 + i);
  return k;
}

}  // namespace ambrik::testing
