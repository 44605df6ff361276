// The checker's reading of pending-free records: the pages a commit released
// while readers may still hold them, which are neither marked free nor
// reachable from any tree.
#include <string>
#include <vector>

#include "data_page.h"
#include "overflow.h"
#include "pending_record.h"
#include "tools/checker_impl.h"

namespace ambrik::tools::detail {

Status Checker::check_pending_records() {
  std::vector<uint8_t> value;
  for (size_t i = 0; i < pending_.size(); ++i) {
    const HandleEntry& e = pending_[i].second;
    Status read = ok_status();
    if (e.kind == ValueKind::Inline) {
      auto bytes = read_data_slot(cache_, e.location, e.slot);
      if (bytes.ok()) value = std::move(bytes).value();
      else read = std::move(bytes).error();
    } else {
      read = Overflow::read_chain(cache_, e.location, value);
    }
    // A value that does not load was reported by the handle walk; the pages
    // it may list show up as leaked.
    if (!read.ok()) {
      if (page_level(read.error())) continue;
      return read;
    }
    // Anything else under the tag is a user's value, not a record.
    auto groups = decode_pending_record(value);
    if (!groups) continue;
    ++r_.pending_free_records;
    for (const PendingGroup& g : *groups)
      for (uint64_t page : g.pages) list_pending(i, page);
  }
  return ok_status();
}

void Checker::list_pending(size_t record, uint64_t page) {
  const uint64_t handle = pending_[record].first;
  const std::string who = "pending-free record (handle " + num(handle) + ") lists page " +
                          num(page);
  if (page < n_) {
    problem(page, who + ", a superblock slot");
    return;
  }
  if (page >= sb_.page_count) {
    problem(page, who + ", beyond the committed page count " + num(sb_.page_count));
    return;
  }
  // Past the end of a truncated file, which is reported as such.
  if (page >= limit_) return;
  const Role role = static_cast<Role>(role_[page]);
  if (role == Role::PendingFree) {
    const uint64_t first = pending_[live_[page]].first;
    problem(page, first == handle
                      ? who + " twice"
                      : "pending-free records (handles " + num(first) + " and " + num(handle) +
                            ") both list page " + num(page));
    return;
  }
  if (role != Role::None) {
    problem(page, who + ", which is reachable as " + role_name(role));
    return;
  }
  // Marked as listed all the same, so that a second listing is caught too.
  if (free_bit(page)) problem(page, who + ", which is marked free");
  role_[page] = static_cast<uint8_t>(Role::PendingFree);
  live_[page] = static_cast<uint32_t>(record);
  ++r_.pages_by_role[static_cast<int>(Role::PendingFree)];
  tick();
}

}  // namespace ambrik::tools::detail
