// Finding the current superblock of a database's storage: the one rule
// shared by the engine's open and the operator tools' open of a closed file.
//
// Two steps, so that a caller that examines damage (the checker) can report
// on every candidate even when none is chosen:
//  1. read_superblock_candidates decides the stride the storage is written
//     at (sealed units for an encrypted file, even when slot 0 is damaged)
//     and reads page units 0..15;
//  2. open_superblock chooses the current candidate, unlocks an encrypted
//     one with the caller's key and checks that this build reads its
//     format.
// Neither writes anything.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "crypto/key.h"
#include "page_io.h"
#include "result.h"
#include "superblock/superblock.h"

namespace ambrik {

struct SuperblockCandidates {
  // The first 8192 bytes of each page unit 0..15 the storage holds.
  std::vector<std::vector<uint8_t>> units;
  // Slot 0 is a valid encrypted superblock that names a stride other than
  // the sealed one: no stride can be trusted, the open fails.
  bool bad_stride = false;
};

// Sets the stride of `io` and reads the candidates at it. Errors: Io.
Result<SuperblockCandidates> read_superblock_candidates(PageIo& io);

struct OpenedSuperblock {
  SelectedSuperblock chosen;  // an encrypted body decrypted
  SecretBytes data_key;       // the unlocked data key; empty for a plaintext file
  // A newer minor version of this build's major format: its structures may
  // not be kept consistent by this build, so it is read, never written.
  bool newer_minor = false;
};

// Errors, in the order they are checked: CorruptSuperblock (no valid
// candidate, or a bad stride), EncryptionNotSupported (a key for a plaintext
// file, or an unknown algorithm), NoEncryptionKey, InvalidEncryptionKey (no
// key slot opens, or the chosen body does not), UnsupportedFormatVersion
// (another major version), UnsupportedPageSize.
Result<OpenedSuperblock> open_superblock(const SuperblockCandidates& candidates, const Key* key);

}  // namespace ambrik
