// Authenticated sealing with XChaCha20-Poly1305 (detached 16-byte tag).
//
// seal_detached / open_detached are the primitives used for content pages,
// superblock bodies and wrapped keys. PageCipher seals an 8192-byte page into
// an 8232-byte unit (ciphertext | tag | nonce) with the page id as associated
// data, so a unit moved to another id fails to open.
//
// Every nonce comes from the OS random source; if it is unavailable the call
// fails with the internal error "OS RNG unavailable". PageCipher draws its
// page nonces in batches (one draw serves kNoncesPerDraw seals); a process
// forked from it drops what its parent drew, so the two never use the same
// nonce. Key copies and temporary plaintexts are wiped with sodium_memzero.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstdint>
#include <vector>

#include "result.h"

namespace ambrik {

inline constexpr size_t kKeyBytes = 32;
inline constexpr size_t kNonceBytes = 24;
inline constexpr size_t kTagBytes = 16;

using KeyBytes = std::array<uint8_t, kKeyBytes>;

// Initialises libsodium once; false when it cannot be initialised.
bool crypto_init();

// Fills `buf` from the OS random source; Internal "OS RNG unavailable" on
// failure.
Status random_bytes(uint8_t* buf, size_t len);

// ciphertext (same length as plaintext) and tag out; REQUIRES: `ciphertext`
// has room for `len` bytes.
void seal_detached(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
                   const uint8_t* plaintext, size_t len, uint8_t* ciphertext, uint8_t* tag);
// false on authentication failure (output wiped).
[[nodiscard]] bool open_detached(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad,
                                 size_t ad_len, const uint8_t* ciphertext, size_t len,
                                 const uint8_t* tag, uint8_t* plaintext);

class PageCipher {
 public:
  explicit PageCipher(const uint8_t* data_key);
  ~PageCipher();
  PageCipher(const PageCipher&) = delete;
  PageCipher& operator=(const PageCipher&) = delete;

  // page: 8192 bytes in; unit: 8232 bytes out.
  Status seal(uint64_t page_id, const uint8_t* page, uint8_t* unit) const;
  // unit: 8232 bytes in; page: 8192 bytes out. false when it does not open.
  [[nodiscard]] bool open(uint64_t page_id, const uint8_t* unit, uint8_t* page) const;
  // open() for a page whose bytes belong in several places: they go to the
  // `nsegs` buffers one after the other (lengths summing to 8192), with no
  // plaintext copy of the page in between. The tag is checked over the
  // ciphertext before a byte is written, so a unit that does not open (or
  // buffers that do not add up to a page) leaves every buffer untouched.
  [[nodiscard]] bool open_into(uint64_t page_id, const uint8_t* unit, const struct iovec* segs,
                               size_t nsegs) const;
  const uint8_t* key() const { return key_.data(); }

  static constexpr size_t kNoncesPerDraw = 128;

 private:
  // The next unused nonce of the current draw, drawing again when it is
  // used up or the process has forked since.
  Status next_nonce(uint8_t* out) const;

  KeyBytes key_;
  mutable std::array<uint8_t, kNonceBytes * kNoncesPerDraw> nonces_{};
  mutable size_t nonces_used_ = kNoncesPerDraw;
  mutable uint64_t drawn_in_fork_ = 0;
};

}  // namespace ambrik
