// The raw cost of the page cipher: one XChaCha20-Poly1305 open (and seal)
// of an 8192-byte page with an 8-byte associated datum, straight through
// libsodium with no engine code around it. compare.py prints this figure
// beside the encrypted rows as the floor an encrypted page load cannot go
// below.
//
// Usage: cipher_bench [iterations]   (default 20000)
// Prints a human line per operation and, last, a machine line
//   open_ns=<ns> seal_ns=<ns>
// Each figure is the best of 7 timed rounds (the machine is shared; the best
// round is the one least disturbed).
#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "best_of.h"

namespace {

constexpr size_t kPage = 8192;
constexpr size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fprintf(stderr, "libsodium cannot be initialised\n");
    return 1;
  }
  int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (iterations <= 0) iterations = 20000;

  unsigned char key[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
  unsigned char nonce[kNonce];
  randombytes_buf(key, sizeof key);
  randombytes_buf(nonce, sizeof nonce);
  std::vector<unsigned char> page(kPage), unit(kPage + kTag), out(kPage);
  randombytes_buf(page.data(), page.size());
  unsigned char ad[8] = {7, 0, 0, 0, 0, 0, 0, 0};

  unsigned long long tag_len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(unit.data(), unit.data() + kPage, &tag_len,
                                                      page.data(), kPage, ad, sizeof ad, nullptr,
                                                      nonce, key);
  int failures = 0;
  double open_ns = best_ns_per_op(iterations, [&](int) {
    failures += crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                    out.data(), nullptr, unit.data(), kPage, unit.data() + kPage, ad, sizeof ad,
                    nonce, key) != 0;
  });
  // Sealing also draws a fresh nonce per page, as the engine does.
  double seal_ns = best_ns_per_op(iterations, [&](int) {
    randombytes_buf(nonce, sizeof nonce);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(unit.data(), unit.data() + kPage,
                                                        &tag_len, page.data(), kPage, ad,
                                                        sizeof ad, nullptr, nonce, key);
  });
  if (failures != 0) {
    std::fprintf(stderr, "%d opens failed\n", failures);
    return 1;
  }
  std::printf("XChaCha20-Poly1305 open of an 8192-byte page: %.0f ns (%.0f MiB/s)\n", open_ns,
              kPage / open_ns * 1e9 / (1 << 20));
  std::printf("XChaCha20-Poly1305 seal of an 8192-byte page with a fresh nonce: %.0f ns\n",
              seal_ns);
  std::printf("open_ns=%.0f seal_ns=%.0f\n", open_ns, seal_ns);
  return 0;
}
