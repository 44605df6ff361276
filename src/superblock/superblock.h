// Superblock: the root record of the database, its 8192-byte encodings and
// the choice of the current one among the slots at open.
//
// N copies (N = superblock_count, 2..16) live in page units 0..N-1. Each
// commit writes a complete new superblock with generation one higher than
// the last into slot generation mod N; older slots stay intact, so a torn
// write only damages the slot being written, which then fails its checksum
// and drops out. Open picks the valid slot with the highest generation.
//
// Plaintext superblock (format 0x00010001), little-endian:
//
//   offset  width  field
//        0      4  magic "KBMA" (u32 0x414D424B)
//        4      4  format_version
//        8      8  generation
//       16      8  handle_root      (all ones: no tree)
//       24      8  freemap_root     (all ones: no tree)
//       32      8  page_count
//       40      8  next_handle
//       48      4  page_size (8192)
//       52    256  named_roots (opaque here)
//      308      4  superblock_count
//      312      8  membership_root  (all ones: no tree)
//      320      4  freemap_depth
//      324      1  algorithm id: 0
//      325   7859  zero
//     8184      8  XXH3-64 of bytes 0..8183
//
// Encrypted superblock (format 0x00020000): the fields from handle_root to
// freemap_depth move into a sealed body.
//
//   offset  width  field
//        0      4  magic
//        4      4  format_version
//        8      8  generation
//       16     32  zero
//       48      4  page_size
//       52    256  zero
//      308      4  superblock_count
//      312     12  zero
//      324      1  algorithm id (1 = XChaCha20-Poly1305; any non-zero value
//                  is read as encrypted, the open procedure judges it)
//      325      4  page-unit stride (8232)
//      329      3  zero
//      332   1024  key slots 0..7 (superblock/crypto_header.h)
//     1356     24  body nonce
//     1380     16  body tag
//     1396      2  body ciphertext length L (300 as written, at most 6786)
//     1398      L  body ciphertext
//   1398+L         zero up to 8184
//     8184      8  XXH3-64 of bytes 0..8183
//
// Body plaintext, 300 bytes: handle_root u64 | freemap_root u64 |
// membership_root u64 | page_count u64 | next_handle u64 | freemap_depth u32
// | named_roots 256. Associated data, 24 bytes: magic u32 | format_version
// u32 | generation u64 | superblock_count u32 | 4 zero bytes, which ties the
// body to the generation and count stored in the clear.
//
// As a page unit of an encrypted file the 8192 bytes are followed by 40 zero
// bytes; the superblock is not sealed as a content page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "error.h"
#include "page.h"
#include "result.h"
#include "superblock/crypto_header.h"

namespace ambrik {

inline constexpr uint32_t kSuperblockMagic = 0x414D424B;  // "KBMA"
inline constexpr uint32_t kFormatVersionPlain = 0x00010001;
inline constexpr uint32_t kFormatVersionEncrypted = 0x00020000;
inline constexpr uint32_t kMinSuperblockCount = 2;
inline constexpr uint32_t kMaxSuperblockCount = 16;
// Page units 0..15 are candidates at open, whatever N is.
inline constexpr size_t kMaxSuperblockCandidates = 16;
inline constexpr size_t kNamedRootsBytes = 256;
inline constexpr size_t kSuperblockBodyBytes = 300;
inline constexpr size_t kSuperblockMaxBodyCiphertext = 6786;

struct Superblock {
  uint32_t magic = kSuperblockMagic;
  uint32_t format_version = kFormatVersionPlain;
  uint64_t generation = 0;
  uint64_t handle_root = kNoPage;
  uint64_t freemap_root = kNoPage;
  uint64_t page_count = 0;
  uint64_t next_handle = 1;
  uint32_t page_size = static_cast<uint32_t>(kPageSize);
  std::array<uint8_t, kNamedRootsBytes> named_roots{};
  uint32_t superblock_count = 2;
  uint64_t membership_root = kNoPage;
  uint32_t freemap_depth = 0;
  // Present for an encrypted database. After deserialize of an encrypted
  // slot, the body fields (handle_root..freemap_depth, named_roots) keep
  // their defaults until decrypt_body fills them.
  std::optional<CryptoHeader> encryption;
};

// Plaintext encoding. Writes this build's magic, format version 0x00010001
// and page size 8192 whatever the record holds, and ignores `encryption`.
std::array<uint8_t, kPageSize> serialize(const Superblock& sb);

// Encrypted encoding with a fresh body nonce. The version is also bound into
// the body's associated data; only tests ask for one other than 0x00020000.
// REQUIRES: `data_key` has 32 bytes.
// Errors: Internal "serialize_encrypted requires Superblock.encryption =
// Some" when `encryption` is absent; Internal "OS RNG unavailable".
Result<std::array<uint8_t, kPageSize>> serialize_encrypted(
    const Superblock& sb, const uint8_t* data_key,
    uint32_t format_version = kFormatVersionEncrypted);

// The page unit written into a superblock slot: the encrypted encoding when
// `encryption` is present, else the plaintext one, followed by zero bytes up
// to `stride` (8192 plaintext, 8232 sealed).
// REQUIRES: stride >= 8192; `data_key` (32 bytes) when `encryption` is
// present. Errors: those of serialize_encrypted.
Result<std::vector<uint8_t>> encode_superblock_unit(const Superblock& sb, uint64_t stride,
                                                    const uint8_t* data_key);

// Checks, in order, checksum, magic and superblock_count (2..16); the first
// failure is the defect. format_version and page_size are not judged here.
// A buffer shorter than 8192 bytes is a checksum defect; only the first 8192
// bytes are read.
std::variant<Superblock, SuperblockDefect> deserialize(std::span<const uint8_t> bytes);

// Opens the sealed body of an encrypted superblock as deserialized from the
// same `bytes`, filling in the body fields. false (sb untouched) when `sb`
// is not encrypted, the buffer is short, L > 6786, the body does not
// authenticate under `data_key` (32 bytes) and the associated data rebuilt
// from `sb`, or it authenticates but is shorter than 300 bytes.
[[nodiscard]] bool decrypt_body(Superblock& sb, std::span<const uint8_t> bytes,
                                const uint8_t* data_key);

// Slot a superblock of `generation` is written to.
// REQUIRES: superblock_count in 2..16.
inline uint64_t slot_for_generation(uint64_t generation, uint32_t superblock_count) {
  return generation % superblock_count;
}

// Generation of the next superblock after `txn_counter`; Internal error at
// the (unreachable) end of the u64 range.
Result<uint64_t> next_generation(uint64_t txn_counter);

struct SelectedSuperblock {
  size_t index = 0;  // candidate index = page id
  Superblock superblock;
};

// The candidate that open would choose if candidate `excluded` failed its
// checks (as a torn write into it would make it); empty when no other
// candidate is valid. Candidates as for select_superblock.
std::optional<SelectedSuperblock> select_fallback(std::span<const std::vector<uint8_t>> candidates,
                                                  size_t excluded);

// True when `a` and `b` describe the same committed state: every field but
// the generation is equal, the crypto header (key slots included) too. The
// bodies of encrypted superblocks must have been decrypted.
bool same_committed_state(const Superblock& a, const Superblock& b);

// Chooses among the candidates (page units 0.. in page order, at most the
// first kMaxSuperblockCandidates used, each at least its first 8192 bytes)
// the one that deserializes with the highest generation; on equal
// generations the later candidate wins. With none valid: CorruptSuperblock
// listing (page id, defect) for the first K candidates, where K is the
// superblock_count field (u32 at 308) of the first candidate whose field lies
// in 2..16, else 2, capped at the number of candidates.
Result<SelectedSuperblock> select_superblock(std::span<const std::vector<uint8_t>> candidates);

}  // namespace ambrik
