#include "crypto/cipher.h"

#include <pthread.h>
#include <sodium.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "page.h"

namespace ambrik {

bool crypto_init() {
  static const bool ok = sodium_init() >= 0;
  return ok;
}

Status random_bytes(uint8_t* buf, size_t len) {
  if (!crypto_init()) return Error::internal("OS RNG unavailable");
  randombytes_buf(buf, len);
  return ok_status();
}

void seal_detached(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
                   const uint8_t* plaintext, size_t len, uint8_t* ciphertext, uint8_t* tag) {
  crypto_init();
  uint8_t k[kKeyBytes];
  std::memcpy(k, key, kKeyBytes);
  unsigned long long tag_len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(ciphertext, tag, &tag_len, plaintext, len,
                                                      ad, ad_len, nullptr, nonce, k);
  sodium_memzero(k, sizeof k);
}

bool open_detached(const uint8_t* key, const uint8_t* nonce, const uint8_t* ad, size_t ad_len,
                   const uint8_t* ciphertext, size_t len, const uint8_t* tag,
                   uint8_t* plaintext) {
  crypto_init();
  uint8_t k[kKeyBytes];
  std::memcpy(k, key, kKeyBytes);
  int rc = crypto_aead_xchacha20poly1305_ietf_decrypt_detached(plaintext, nullptr, ciphertext,
                                                               len, tag, ad, ad_len, nonce, k);
  sodium_memzero(k, sizeof k);
  if (rc != 0) {
    sodium_memzero(plaintext, len);
    return false;
  }
  return true;
}

namespace {

// Counts the forks this process came out of (as a child), so that a batch
// of nonces drawn before a fork is never used on both sides of it.
std::atomic<uint64_t> fork_generation{1};

void note_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

PageCipher::PageCipher(const uint8_t* data_key) {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, note_fork_in_child); });
  std::memcpy(key_.data(), data_key, kKeyBytes);
}

Status PageCipher::next_nonce(uint8_t* out) const {
  const uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  if (nonces_used_ == kNoncesPerDraw || drawn_in_fork_ != generation) {
    TRY(random_bytes(nonces_.data(), nonces_.size()));
    nonces_used_ = 0;
    drawn_in_fork_ = generation;
  }
  std::memcpy(out, nonces_.data() + kNonceBytes * nonces_used_++, kNonceBytes);
  return ok_status();
}

PageCipher::~PageCipher() { sodium_memzero(key_.data(), key_.size()); }

Status PageCipher::seal(uint64_t page_id, const uint8_t* page, uint8_t* unit) const {
  uint8_t* nonce = unit + kPageSize + kTagBytes;
  TRY(next_nonce(nonce));
  uint8_t ad[8];
  store_u64(ad, page_id);
  seal_detached(key_.data(), nonce, ad, sizeof ad, page, kPageSize, unit, unit + kPageSize);
  return ok_status();
}

bool PageCipher::open(uint64_t page_id, const uint8_t* unit, uint8_t* page) const {
  uint8_t ad[8];
  store_u64(ad, page_id);
  return open_detached(key_.data(), unit + kPageSize + kTagBytes, ad, sizeof ad, unit, kPageSize,
                       unit + kPageSize, page);
}

}  // namespace ambrik

#include "crypto/key.h"

namespace ambrik {
void secure_wipe(void* p, size_t n) { sodium_memzero(p, n); }
}  // namespace ambrik
