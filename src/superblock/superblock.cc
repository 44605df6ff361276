#include "superblock/superblock.h"

#include <cstring>

#include "check.h"
#include "crypto/key.h"

namespace ambrik {

namespace {

// Clear-text offsets shared by both encodings.
constexpr size_t kOffMagic = 0;
constexpr size_t kOffVersion = 4;
constexpr size_t kOffGeneration = 8;
constexpr size_t kOffHandleRoot = 16;
constexpr size_t kOffFreemapRoot = 24;
constexpr size_t kOffPageCount = 32;
constexpr size_t kOffNextHandle = 40;
constexpr size_t kOffPageSize = 48;
constexpr size_t kOffNamedRoots = 52;
constexpr size_t kOffCount = 308;
constexpr size_t kOffMembershipRoot = 312;
constexpr size_t kOffFreemapDepth = 320;
constexpr size_t kOffAlgorithm = 324;
// Encrypted form only.
constexpr size_t kOffStride = 325;
constexpr size_t kOffKeySlots = 332;
constexpr size_t kOffBodyNonce = 1356;
constexpr size_t kOffBodyTag = 1380;
constexpr size_t kOffBodyLen = 1396;
constexpr size_t kOffBody = 1398;
static_assert(kOffKeySlots + kKeySlotAreaBytes == kOffBodyNonce);
static_assert(kOffBody + kSuperblockMaxBodyCiphertext == kTrailerOffset);

// Body plaintext offsets.
constexpr size_t kBodyHandleRoot = 0;
constexpr size_t kBodyFreemapRoot = 8;
constexpr size_t kBodyMembershipRoot = 16;
constexpr size_t kBodyPageCount = 24;
constexpr size_t kBodyNextHandle = 32;
constexpr size_t kBodyFreemapDepth = 40;
constexpr size_t kBodyNamedRoots = 44;
static_assert(kBodyNamedRoots + kNamedRootsBytes == kSuperblockBodyBytes);

constexpr size_t kAdBytes = 24;

void build_ad(uint32_t magic, uint32_t version, uint64_t generation, uint32_t count,
              uint8_t* ad) {
  std::memset(ad, 0, kAdBytes);
  store_u32(ad, magic);
  store_u32(ad + 4, version);
  store_u64(ad + 8, generation);
  store_u32(ad + 16, count);
}

bool count_in_range(uint32_t n) {
  return n >= kMinSuperblockCount && n <= kMaxSuperblockCount;
}

}  // namespace

std::array<uint8_t, kPageSize> serialize(const Superblock& sb) {
  std::array<uint8_t, kPageSize> out{};
  uint8_t* p = out.data();
  store_u32(p + kOffMagic, kSuperblockMagic);
  store_u32(p + kOffVersion, kFormatVersionPlain);
  store_u64(p + kOffGeneration, sb.generation);
  store_u64(p + kOffHandleRoot, sb.handle_root);
  store_u64(p + kOffFreemapRoot, sb.freemap_root);
  store_u64(p + kOffPageCount, sb.page_count);
  store_u64(p + kOffNextHandle, sb.next_handle);
  store_u32(p + kOffPageSize, static_cast<uint32_t>(kPageSize));
  std::memcpy(p + kOffNamedRoots, sb.named_roots.data(), kNamedRootsBytes);
  store_u32(p + kOffCount, sb.superblock_count);
  store_u64(p + kOffMembershipRoot, sb.membership_root);
  store_u32(p + kOffFreemapDepth, sb.freemap_depth);
  page_trailer_set(p);
  return out;
}

Result<std::array<uint8_t, kPageSize>> serialize_encrypted(const Superblock& sb,
                                                           const uint8_t* data_key,
                                                           uint32_t format_version) {
  if (!sb.encryption)
    return Error::internal("serialize_encrypted requires Superblock.encryption = Some");
  const CryptoHeader& header = *sb.encryption;

  std::array<uint8_t, kPageSize> out{};
  uint8_t* p = out.data();
  store_u32(p + kOffMagic, kSuperblockMagic);
  store_u32(p + kOffVersion, format_version);
  store_u64(p + kOffGeneration, sb.generation);
  store_u32(p + kOffPageSize, static_cast<uint32_t>(kPageSize));
  store_u32(p + kOffCount, sb.superblock_count);
  p[kOffAlgorithm] = header.algorithm;
  store_u32(p + kOffStride, header.stride);
  encode_key_slots(header, p + kOffKeySlots);

  // The named roots are application data; keep the plaintext body out of
  // freed memory.
  SecretBytes body(kSuperblockBodyBytes);
  uint8_t* b = body.data();
  store_u64(b + kBodyHandleRoot, sb.handle_root);
  store_u64(b + kBodyFreemapRoot, sb.freemap_root);
  store_u64(b + kBodyMembershipRoot, sb.membership_root);
  store_u64(b + kBodyPageCount, sb.page_count);
  store_u64(b + kBodyNextHandle, sb.next_handle);
  store_u32(b + kBodyFreemapDepth, sb.freemap_depth);
  std::memcpy(b + kBodyNamedRoots, sb.named_roots.data(), kNamedRootsBytes);

  uint8_t ad[kAdBytes];
  build_ad(kSuperblockMagic, format_version, sb.generation, sb.superblock_count, ad);

  TRY(random_bytes(p + kOffBodyNonce, kNonceBytes));
  seal_detached(data_key, p + kOffBodyNonce, ad, sizeof ad, body.data(), body.size(),
                p + kOffBody, p + kOffBodyTag);
  store_u16(p + kOffBodyLen, static_cast<uint16_t>(kSuperblockBodyBytes));
  page_trailer_set(p);
  return out;
}

Result<std::vector<uint8_t>> encode_superblock_unit(const Superblock& sb, uint64_t stride,
                                                    const uint8_t* data_key) {
  AMBRIK_DCHECK(stride >= kPageSize);
  AMBRIK_DCHECK(!sb.encryption || data_key != nullptr);
  std::vector<uint8_t> unit(stride, 0);
  if (sb.encryption) {
    auto bytes = TRY(serialize_encrypted(sb, data_key));
    std::memcpy(unit.data(), bytes.data(), kPageSize);
  } else {
    auto bytes = serialize(sb);
    std::memcpy(unit.data(), bytes.data(), kPageSize);
  }
  return unit;
}

std::variant<Superblock, SuperblockDefect> deserialize(std::span<const uint8_t> bytes) {
  if (bytes.size() < kPageSize || !page_trailer_ok(bytes.data()))
    return SuperblockDefect{SuperblockDefectKind::BadChecksum, 0};
  const uint8_t* p = bytes.data();
  if (load_u32(p + kOffMagic) != kSuperblockMagic)
    return SuperblockDefect{SuperblockDefectKind::BadMagic, 0};
  const uint32_t count = load_u32(p + kOffCount);
  if (!count_in_range(count)) return SuperblockDefect{SuperblockDefectKind::BadCount, count};

  Superblock sb;
  sb.magic = kSuperblockMagic;
  sb.format_version = load_u32(p + kOffVersion);
  sb.generation = load_u64(p + kOffGeneration);
  sb.page_size = load_u32(p + kOffPageSize);
  sb.superblock_count = count;

  if (p[kOffAlgorithm] == 0) {
    sb.handle_root = load_u64(p + kOffHandleRoot);
    sb.freemap_root = load_u64(p + kOffFreemapRoot);
    sb.page_count = load_u64(p + kOffPageCount);
    sb.next_handle = load_u64(p + kOffNextHandle);
    std::memcpy(sb.named_roots.data(), p + kOffNamedRoots, kNamedRootsBytes);
    sb.membership_root = load_u64(p + kOffMembershipRoot);
    sb.freemap_depth = load_u32(p + kOffFreemapDepth);
    return sb;
  }

  CryptoHeader header;
  header.algorithm = p[kOffAlgorithm];
  header.stride = load_u32(p + kOffStride);
  decode_key_slots(p + kOffKeySlots, header);
  sb.encryption = header;
  return sb;
}

bool decrypt_body(Superblock& sb, std::span<const uint8_t> bytes, const uint8_t* data_key) {
  if (!sb.encryption || bytes.size() < kPageSize) return false;
  const uint8_t* p = bytes.data();
  const size_t len = load_u16(p + kOffBodyLen);
  if (len > kSuperblockMaxBodyCiphertext) return false;

  uint8_t ad[kAdBytes];
  build_ad(sb.magic, sb.format_version, sb.generation, sb.superblock_count, ad);
  SecretBytes body(len);
  if (!open_detached(data_key, p + kOffBodyNonce, ad, sizeof ad, p + kOffBody, len,
                     p + kOffBodyTag, body.data()))
    return false;
  // This writer never seals less; a shorter body that authenticates is not
  // something this build can interpret.
  if (len < kSuperblockBodyBytes) return false;

  const uint8_t* b = body.data();
  sb.handle_root = load_u64(b + kBodyHandleRoot);
  sb.freemap_root = load_u64(b + kBodyFreemapRoot);
  sb.membership_root = load_u64(b + kBodyMembershipRoot);
  sb.page_count = load_u64(b + kBodyPageCount);
  sb.next_handle = load_u64(b + kBodyNextHandle);
  sb.freemap_depth = load_u32(b + kBodyFreemapDepth);
  std::memcpy(sb.named_roots.data(), b + kBodyNamedRoots, kNamedRootsBytes);
  return true;
}

Result<uint64_t> next_generation(uint64_t txn_counter) {
  if (txn_counter == ~uint64_t{0})
    return Error::internal("txn_counter overflowed u64 (2^64 commits) \u2014 unreachable");
  return txn_counter + 1;
}

namespace {

std::optional<SelectedSuperblock> best_candidate(std::span<const std::vector<uint8_t>> candidates,
                                                 size_t excluded) {
  if (candidates.size() > kMaxSuperblockCandidates)
    candidates = candidates.first(kMaxSuperblockCandidates);
  std::optional<SelectedSuperblock> best;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (i == excluded) continue;
    auto parsed = deserialize(candidates[i]);
    Superblock* sb = std::get_if<Superblock>(&parsed);
    if (sb == nullptr) continue;
    // >= so that the later candidate wins a tie.
    if (!best || sb->generation >= best->superblock.generation)
      best = SelectedSuperblock{i, std::move(*sb)};
  }
  return best;
}

bool same_crypto_header(const CryptoHeader& a, const CryptoHeader& b) {
  std::array<uint8_t, kKeySlotAreaBytes> sa, sb;
  encode_key_slots(a, sa.data());
  encode_key_slots(b, sb.data());
  return a.algorithm == b.algorithm && a.stride == b.stride && sa == sb;
}

}  // namespace

std::optional<SelectedSuperblock> select_fallback(std::span<const std::vector<uint8_t>> candidates,
                                                  size_t excluded) {
  return best_candidate(candidates, excluded);
}

bool same_committed_state(const Superblock& a, const Superblock& b) {
  if (a.encryption.has_value() != b.encryption.has_value()) return false;
  if (a.encryption && !same_crypto_header(*a.encryption, *b.encryption)) return false;
  return a.magic == b.magic && a.format_version == b.format_version &&
         a.handle_root == b.handle_root && a.freemap_root == b.freemap_root &&
         a.page_count == b.page_count && a.next_handle == b.next_handle &&
         a.page_size == b.page_size && a.named_roots == b.named_roots &&
         a.superblock_count == b.superblock_count && a.membership_root == b.membership_root &&
         a.freemap_depth == b.freemap_depth;
}

Result<SelectedSuperblock> select_superblock(std::span<const std::vector<uint8_t>> candidates) {
  if (candidates.size() > kMaxSuperblockCandidates)
    candidates = candidates.first(kMaxSuperblockCandidates);
  if (auto best = best_candidate(candidates, candidates.size())) return std::move(*best);

  // How many slots to report: the count the file claims, read from the
  // first candidate that carries a plausible one even if that candidate
  // itself failed another check.
  size_t k = kMinSuperblockCount;
  for (const std::vector<uint8_t>& c : candidates) {
    if (c.size() < kOffCount + 4) continue;
    const uint32_t n = load_u32(c.data() + kOffCount);
    if (count_in_range(n)) {
      k = n;
      break;
    }
  }
  if (k > candidates.size()) k = candidates.size();

  std::vector<SlotDefect> defects;
  defects.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    auto parsed = deserialize(candidates[i]);
    // Every candidate failed above, so this always holds a defect.
    if (const SuperblockDefect* d = std::get_if<SuperblockDefect>(&parsed))
      defects.push_back(SlotDefect{static_cast<uint32_t>(i), *d});
  }
  return Error::corrupt_superblock(std::move(defects));
}

}  // namespace ambrik
