// The checker's walk of the key maps found under named roots.
#include <string>

#include "data_page.h"
#include "handle_table.h"
#include "keymap/verify.h"
#include "tools/checker_impl.h"

namespace ambrik::tools::detail {

Status Checker::check_key_map(NamedRoot& root) {
  const uint32_t depth = handle_depth_;
  const uint64_t table = sb_.handle_root;
  keymap::ValueReader read = [&](uint64_t h, bool want_bytes)
      -> Result<std::optional<keymap::StoredValue>> {
    auto entry = TRY(HandleTable::lookup(depth, cache_, table, h));
    if (!entry) return std::optional<keymap::StoredValue>();
    keymap::StoredValue v;
    v.tag = entry->tag;
    // A node is never an overflow chain: such a value stays unread (and
    // fails as a node), however long it is.
    if (want_bytes && entry->kind == ValueKind::Inline)
      v.bytes = TRY(read_data_slot(cache_, entry->location, entry->slot));
    return std::optional<keymap::StoredValue>(std::move(v));
  };
  auto header_value = read(root.handle, true);
  if (!header_value.ok()) return page_level(header_value.error()) ? ok_status()
                                                                  : std::move(header_value).error();
  if (!header_value.value() || header_value.value()->tag != keymap::kMapTag) return ok_status();
  map_reached_.insert(root.handle);
  const std::string who = "key map '" + root.name + "'";
  auto header = keymap::decode_header(root.handle, header_value.value()->bytes);
  if (!header.ok()) {
    problem(std::nullopt, who + ": header (handle " + num(root.handle) + ") is not valid");
    return ok_status();
  }
  auto summary = keymap::verify_map(root.handle, header.value(), read, kMaxFindings);
  if (!summary.ok()) {
    if (!page_level(summary.error())) return std::move(summary).error();
    problem(std::nullopt, who + ": walk stopped at a damaged page (" +
                              describe_error(summary.error()) + ")");
    return ok_status();
  }
  const keymap::MapSummary& s = summary.value();
  map_reached_.insert(s.reached.begin(), s.reached.end());
  for (const keymap::MapFinding& f : s.problems) problem(std::nullopt, who + ": " + f.text);
  r_.problems += s.problem_count - s.problems.size();
  root.key_map = KeyMapInfo{s.keys, s.nodes, s.height};
  return ok_status();
}

void Checker::report_stray_map_values() {
  // A map write whose last step, a deletion, failed leaves a node behind:
  // the map is sound, the value is dead weight until someone deletes it.
  for (uint64_t h : map_tagged_)
    if (!map_reached_.contains(h))
      warning(std::nullopt, "value " + num(h) + " carries the key-map tag " +
                                num(keymap::kMapTag) + " but no key map reaches it");
}

}  // namespace ambrik::tools::detail
