// Spillway: the side store that holds dirty pages evicted from the page cache
// until the transaction ends (drained into the database at commit, thrown
// away at rollback). Nothing in it outlives the transaction.
//
// Backing: a `Storage` the Spillway owns, so every byte it moves goes through
// the same seam as the database's: a file "<database path>.spillway" (always
// a new file, mode 0666 before umask; closed but not deleted when the
// Spillway is destroyed), for a database without a path a growable memory
// image, or whatever storage the caller provides (tests inject faults).
//
// Creating the spill file can never clobber anything: a stale file of that
// name is removed only when it is a plain regular file with one link that is
// not the database (a symbolic link is never followed), the new file is
// created exclusively without following links, and it must turn out to be an
// empty regular file with one link that is not the database itself.
//
// Records have a fixed size, so a slot number alone locates one. Record of
// slot s, at byte offset s * (record_len + 16) of the backing:
//
//   offset  width        field
//   0       u64 LE       page id
//   8       u64 LE       XXH3-64 (seed 0) of the page id as 8 LE bytes
//                        followed by the payload
//   16      record_len   payload: the plaintext page (record_len 8192), or
//                        the page sealed under its id (record_len 8232), so
//                        an encrypted database never spills plaintext
//
// Slot numbers are handed out in increasing order and never reused before
// `truncate`; `forget` only drops the mapping. The byte limit counts live
// mappings only, so the backing may grow past `max_bytes` when pages are
// spilled, read back and spilled again within one transaction.
//
// Guarantees:
//  - `put` either writes the whole record and maps the id to it, or fails
//    and leaves no mapping for the id (a record torn by a failed write is
//    never read back as the page);
//  - `rehydrate` returns a payload only when the stored id and checksum
//    match.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "page_io.h"
#include "result.h"
#include "u64_map.h"

namespace ambrik {

class Spillway {
 public:
  static constexpr uint64_t kHeaderLen = 16;
  // Records moved by one vectored call at most.
  static constexpr size_t kMaxBatchRun = 64;

  // REQUIRES: record_len > 0.
  static std::unique_ptr<Spillway> in_memory(uint64_t max_bytes, uint64_t record_len);
  // Records in `backing`, which must be empty. REQUIRES: record_len > 0.
  static std::unique_ptr<Spillway> over(std::unique_ptr<Storage> backing, uint64_t max_bytes,
                                        uint64_t record_len);
  // Creates "<db_path>.spillway" as described above; `database_fd` is the
  // open database file (-1: none to compare with). An OS failure is
  // converted by the usual errno rule; a name that holds anything but a
  // stale spill file gives Io with EEXIST (ELOOP when it is a symbolic link)
  // and is left as it is.
  static Result<std::unique_ptr<Spillway>> open_file(const std::string& db_path,
                                                     uint64_t max_bytes, uint64_t record_len,
                                                     int database_fd = -1);
  ~Spillway();
  Spillway(const Spillway&) = delete;
  Spillway& operator=(const Spillway&) = delete;

  // Stores `payload` for `id`, reusing the id's slot if it has one, else
  // taking the next slot. SpillwayFull(max_bytes) when a new slot would put
  // the live records past the limit. REQUIRES: payload holds record_len
  // bytes.
  Status put(uint64_t id, const uint8_t* payload) { return put_batch(&id, &payload, 1); }
  // `put` for n pages at once (payloads[i] belongs to ids[i]; the ids are
  // distinct): each run of consecutive slots is written with one vectored
  // write. SpillwayFull when the new slots would not all fit (nothing is
  // written then); on any failure no id of the batch keeps a mapping.
  Status put_batch(const uint64_t* ids, const uint8_t* const* payloads, size_t n);
  // How many records without a slot yet still fit under the limit.
  uint64_t room() const;

  // The verified payload (record_len bytes) of `id`. The view stays valid
  // until the next call into this Spillway. InvalidPageId when `id` has no
  // slot; ChecksumMismatch when the record does not belong to `id` or is
  // damaged; Io on a short backing.
  Result<const uint8_t*> rehydrate(uint64_t id);
  // `rehydrate` for n distinct ids at once: the verified payload of ids[i]
  // lands at out + i * record_len; records of consecutive slots are read
  // with one call. Same errors as rehydrate (the first id in slot order that
  // fails is named); `out` is then partly written.
  Status rehydrate_batch(const uint64_t* ids, size_t n, uint8_t* out);

  // Drops the slot mapping of `id` (if any); the record's bytes stay.
  void forget(uint64_t id);
  // Drops the mappings of every id >= n, leaving the backing untouched.
  void forget_from(uint64_t n);
  // Empties the mappings, resets the slot counter and cuts the backing to
  // zero length (a memory image keeps its capacity). On failure the
  // mappings are empty all the same; the backing may keep old records,
  // which are never read back (slots are written before they are mapped).
  Status truncate();

  // Appends up to `max` mapped ids to `out`, in map order.
  void collect_ids(size_t max, std::vector<uint64_t>& out) const;

  bool has(uint64_t id) const { return slots_.contains(id); }
  uint64_t slot_count() const { return slots_.size(); }
  uint64_t next_slot() const { return next_slot_; }
  uint64_t logical_bytes() const { return slot_count() * record_len_; }
  uint64_t max_bytes() const { return max_bytes_; }
  void set_max_bytes(uint64_t bytes) { max_bytes_ = bytes; }
  uint64_t record_len() const { return record_len_; }
  // REQUIRES: slot_count() == 0 (no live record of the old length).
  void set_record_len(uint64_t len);

 private:
  Spillway(std::unique_ptr<Storage> backing, uint64_t max_bytes, uint64_t record_len);

  uint64_t record_offset(uint64_t slot) const { return slot * (record_len_ + kHeaderLen); }
  uint64_t record_checksum(uint64_t id, const uint8_t* payload) const;
  // The ids' positions in the batch, ordered by slot (slots must exist).
  void order_by_slot(const uint64_t* ids, size_t n);

  std::unique_ptr<Storage> backing_;
  std::vector<uint8_t> record_;   // read buffer of one record
  std::vector<uint8_t> headers_;  // record headers of one batch
  std::vector<size_t> order_;     // batch positions in slot order
  std::vector<uint64_t> batch_slots_;
  U64Map<uint64_t> slots_;        // page id -> slot number
  uint64_t next_slot_ = 0;
  uint64_t max_bytes_;
  uint64_t record_len_;
};

}  // namespace ambrik
