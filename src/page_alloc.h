// PageAllocFn: how tree code obtains a page to write.
//
// Every structure that writes pages (free map, handle table, data pages)
// takes one of these instead of knowing where pages come from. The callee
// returns the id of a page that is already a zero-filled dirty page in the
// page cache (made by `new_page` or `claim_page`), or the error that stopped
// it. The transaction manager passes the recycling allocator of
// FreemapRecycle; tests pass `new_page` directly.
//
// Ownership: the function object may capture references (cache, recycling
// state); whoever builds it keeps those alive for as long as it is called.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "result.h"

namespace ambrik {

using PageAllocFn = std::function<Result<uint64_t>()>;

// How an overflow chain obtains all its pages at once: appends n ids of
// zero-filled dirty pages to `out`, in the order the chain uses them, so
// that the allocator can choose consecutive ids when it has them.
using PageRunAllocFn = std::function<Status(uint64_t n, std::vector<uint64_t>& out)>;

// Whether a page may be changed where it lies instead of being copied: true
// only for pages that no committed or saved state refers to (the running
// transaction created them after its newest savepoint).
using PageInPlaceFn = std::function<bool(uint64_t id)>;

}  // namespace ambrik
