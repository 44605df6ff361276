#include "crypto/cipher.h"

#include <pthread.h>
#include <sodium.h>

#include <algorithm>
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

bool PageCipher::open_into(uint64_t page_id, const uint8_t* unit, const struct iovec* segs,
                           size_t nsegs) const {
  constexpr size_t kChunk = 512;
  static_assert(kPageSize % kChunk == 0);
  size_t total = 0;
  for (size_t i = 0; i < nsegs; ++i) total += segs[i].iov_len;
  if (total != kPageSize) return false;
  crypto_init();
  // The same XChaCha20-Poly1305 (IETF) as open(), in its parts, so that the
  // keystream can be laid over each destination range on its own: a subkey
  // from HChaCha20 over the first 16 nonce bytes, a 12-byte ChaCha20 nonce
  // of four zeros and the last 8, block 0 keying Poly1305 over
  // ad | pad | ciphertext | le64 ad length | le64 ciphertext length, and
  // the ciphertext encrypted from block 1 on.
  const uint8_t* nonce = unit + kPageSize + kTagBytes;
  struct Secrets {
    uint8_t subkey[crypto_stream_chacha20_ietf_KEYBYTES];
    uint8_t block[64];  // block 0's keystream
    uint8_t chunk[kChunk];
    uint8_t mac[crypto_onetimeauth_poly1305_BYTES];
    crypto_onetimeauth_poly1305_state poly;
    ~Secrets() { sodium_memzero(this, sizeof *this); }
  } s;
  uint8_t npub[crypto_stream_chacha20_ietf_NONCEBYTES] = {};
  std::memcpy(npub + 4, nonce + crypto_core_hchacha20_INPUTBYTES, 8);
  crypto_core_hchacha20(s.subkey, nonce, key_.data(), nullptr);
  crypto_stream_chacha20_ietf(s.block, sizeof s.block, npub, s.subkey);
  crypto_onetimeauth_poly1305_init(&s.poly, s.block);
  uint8_t ad_padded[16] = {};
  store_u64(ad_padded, page_id);
  crypto_onetimeauth_poly1305_update(&s.poly, ad_padded, sizeof ad_padded);
  crypto_onetimeauth_poly1305_update(&s.poly, unit, kPageSize);  // a multiple of 16: no pad
  uint8_t lengths[16];
  store_u64(lengths, 8);
  store_u64(lengths + 8, kPageSize);
  crypto_onetimeauth_poly1305_update(&s.poly, lengths, sizeof lengths);
  crypto_onetimeauth_poly1305_final(&s.poly, s.mac);
  if (crypto_verify_16(s.mac, unit + kPageSize) != 0) return false;

  // The stream code is fastest on whole runs of 512 bytes (8 blocks), so
  // the page is opened in those: straight into place where a segment holds
  // the run whole, else into `s.chunk` and from there into the segments it
  // spans (the page's edges: header, end of value, trailer).
  size_t seg = 0;
  size_t filled = 0;  // bytes of segs[seg] already written
  auto next_segment = [&] {
    while (filled == segs[seg].iov_len) {
      ++seg;
      filled = 0;
    }
  };
  for (size_t off = 0; off < kPageSize;) {
    const auto ic = static_cast<uint32_t>(1 + off / 64);
    next_segment();
    size_t room = segs[seg].iov_len - filled;
    if (room >= kChunk) {
      size_t len = room / kChunk * kChunk;
      crypto_stream_chacha20_ietf_xor_ic(static_cast<uint8_t*>(segs[seg].iov_base) + filled,
                                         unit + off, len, npub, ic, s.subkey);
      filled += len;
      off += len;
      continue;
    }
    crypto_stream_chacha20_ietf_xor_ic(s.chunk, unit + off, kChunk, npub, ic, s.subkey);
    for (size_t c = 0; c < kChunk;) {
      next_segment();
      size_t take = std::min(kChunk - c, segs[seg].iov_len - filled);
      std::memcpy(static_cast<uint8_t*>(segs[seg].iov_base) + filled, s.chunk + c, take);
      filled += take;
      c += take;
    }
    off += kChunk;
  }
  return true;
}

}  // namespace ambrik

#include "crypto/key.h"

namespace ambrik {
void secure_wipe(void* p, size_t n) { sodium_memzero(p, n); }
}  // namespace ambrik
