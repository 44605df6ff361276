// User keys and secret byte buffers.
//
// SecretBytes owns a byte buffer that is wiped with sodium_memzero when it is
// dropped or overwritten. A Key is a raw key (bytes as given) or a passphrase
// (its UTF-8 bytes); the slot kind, not the Key kind, decides how a key is
// derived when unlocking.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace ambrik {

void secure_wipe(void* p, size_t n);

class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const uint8_t* p, size_t n) : bytes_(p, p + n) {}
  explicit SecretBytes(size_t n) : bytes_(n, 0) {}
  SecretBytes(const SecretBytes& o) : bytes_(o.bytes_) {}
  SecretBytes(SecretBytes&& o) noexcept : bytes_(std::move(o.bytes_)) { o.bytes_.clear(); }
  SecretBytes& operator=(const SecretBytes& o) {
    if (this != &o) {
      wipe();
      bytes_ = o.bytes_;
    }
    return *this;
  }
  SecretBytes& operator=(SecretBytes&& o) noexcept {
    if (this != &o) {
      wipe();
      bytes_ = std::move(o.bytes_);
      o.bytes_.clear();
    }
    return *this;
  }
  ~SecretBytes() { wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

 private:
  void wipe() {
    if (!bytes_.empty()) secure_wipe(bytes_.data(), bytes_.size());
  }
  std::vector<uint8_t> bytes_;
};

enum class KeyKind : uint8_t { Raw = 1, Passphrase = 2 };

struct Key {
  KeyKind kind = KeyKind::Raw;
  SecretBytes bytes;
};

}  // namespace ambrik
