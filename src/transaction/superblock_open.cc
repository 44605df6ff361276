#include "transaction/superblock_open.h"

#include <variant>

namespace ambrik {
namespace {

// Reads page units 0..15 (first 8192 bytes each), stopping quietly at the
// end of the storage.
Result<std::vector<std::vector<uint8_t>>> read_units(PageIo& io) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> unit(io.stride());
  for (uint64_t id = 0; id < kMaxSuperblockCandidates && id < io.page_count(); ++id) {
    TRY(io.read_page_unit_into(id, unit.data()));
    out.emplace_back(unit.begin(), unit.begin() + kPageSize);
  }
  return out;
}

bool is_encrypted_superblock(const std::vector<uint8_t>& bytes) {
  auto parsed = deserialize(bytes);
  auto* sb = std::get_if<Superblock>(&parsed);
  return sb && sb->encryption.has_value();
}

uint16_t major_of(uint32_t v) { return static_cast<uint16_t>(v >> 16); }
uint16_t minor_of(uint32_t v) { return static_cast<uint16_t>(v & 0xFFFF); }

}  // namespace

Result<SuperblockCandidates> read_superblock_candidates(PageIo& io) {
  SuperblockCandidates out;
  if (io.page_count() == 0) return out;
  // Unit 0 tells whether the file is sealed and so which stride to read at.
  std::vector<uint8_t> unit0 = TRY(io.read_page_unit(0));
  unit0.resize(kPageSize);
  auto first = deserialize(unit0);
  const bool first_valid = std::holds_alternative<Superblock>(first);
  if (first_valid && std::get<Superblock>(first).encryption) {
    if (std::get<Superblock>(first).encryption->stride != kSealedStride) out.bad_stride = true;
    else io.set_sealed_stride();
  }
  out.units = TRY(read_units(io));
  bool any_encrypted = false;
  for (const auto& c : out.units) any_encrypted = any_encrypted || is_encrypted_superblock(c);
  if (!any_encrypted && !first_valid) {
    // Slot 0 may be damaged in a sealed file read at the plaintext stride.
    io.set_sealed_stride();
    auto sealed = TRY(read_units(io));
    bool found = false;
    for (const auto& c : sealed) found = found || is_encrypted_superblock(c);
    if (found) out.units = std::move(sealed);
    else io.set_stride();
  }
  return out;
}

Result<OpenedSuperblock> open_superblock(const SuperblockCandidates& candidates, const Key* key) {
  if (candidates.bad_stride) return Error::corrupt_superblock({});
  OpenedSuperblock out;
  out.chosen = TRY(select_superblock(candidates.units));
  Superblock& sb = out.chosen.superblock;
  if (!sb.encryption) {
    if (key) return Error::simple(ErrorKind::EncryptionNotSupported);
  } else {
    if (sb.encryption->algorithm != kCryptoAlgorithmXChaCha)
      return Error::simple(ErrorKind::EncryptionNotSupported);
    if (!key) return Error::simple(ErrorKind::NoEncryptionKey);
    UnlockedKey unlocked = TRY(unlock(*sb.encryption, *key));
    if (!decrypt_body(sb, candidates.units[out.chosen.index], unlocked.data_key.data()))
      return Error::simple(ErrorKind::InvalidEncryptionKey);
    out.data_key = std::move(unlocked.data_key);
  }
  const uint32_t written = sb.encryption ? kFormatVersionEncrypted : kFormatVersionPlain;
  if (major_of(sb.format_version) != major_of(written))
    return Error::unsupported_format_version(sb.format_version, written);
  out.newer_minor = minor_of(sb.format_version) > minor_of(written);
  if (sb.page_size != kPageSize)
    return Error::unsupported_page_size(sb.page_size, static_cast<uint32_t>(kPageSize));
  return out;
}

}  // namespace ambrik
