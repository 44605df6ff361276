#include "guarded_copy.h"

#include "page.h"

#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace ambrik {
namespace {

struct CopyGuard {
  sigjmp_buf env;
};

// Set only while this thread copies out of a mapping.
thread_local CopyGuard* volatile t_guard = nullptr;

// The disposition our handler displaced, for SIGBUS that is not ours. Each
// re-installation writes the next slot and then publishes it, so a handler
// running on another thread meanwhile still reads a whole record.
constexpr unsigned kPreviousSlots = 4;
struct sigaction g_previous[kPreviousSlots];
std::atomic<unsigned> g_current{0};
std::mutex g_install_mu;

// Counts the times the handler gave way to a foreign SIGBUS; a copy that
// sees it move since its operation's check checks again.
std::atomic<uint64_t> g_gave_way{0};

// This thread's engine operations (GuardedOperation).
struct OperationState {
  unsigned depth = 0;
  bool checked = false;      // a check ran since the innermost one began
  uint64_t gave_way_seen = 0;  // g_gave_way before that check
};
thread_local OperationState t_op;

void on_sigbus(int sig, siginfo_t* info, void* /*context*/) {
  // While a copy is guarded, every SIGBUS on its thread ends the copy: a
  // fault in the source range is the shortened file; one elsewhere can only
  // be the destination (itself a mapping of a shortened file), where
  // returning would re-run the faulting instruction forever; one raised
  // again by a handler installed after this one (a crash reporter that saw
  // the fault first) is the copy's fault all the same.
  if (CopyGuard* g = t_guard) siglongjmp(g->env, 1);
  // Not a guarded copy's: the previous disposition takes over. A fault
  // re-runs the instruction under it when this handler returns; a signal
  // sent by another process is sent again. The next guarded copy puts this
  // handler back.
  ::sigaction(SIGBUS, &g_previous[g_current.load(std::memory_order_acquire)], nullptr);
  // Counted after giving way, so a copy that sees the count checks after it.
  g_gave_way.fetch_add(1, std::memory_order_acq_rel);
  if (info->si_code <= 0) ::raise(sig);
}

bool is_ours(const struct sigaction& sa) {
  return (sa.sa_flags & SA_SIGINFO) != 0 && sa.sa_sigaction == on_sigbus;
}

// The program may replace the handler at any time (a language runtime
// installing its own, or the handler giving way to a stray SIGBUS above),
// and a fault under any other handler re-runs the copy's instruction
// forever. So a check asks which handler is in place, one system call,
// and installs this one again when it is not.
bool ensure_handler() {
  struct sigaction now;
  if (::sigaction(SIGBUS, nullptr, &now) != 0) return false;
  if (is_ours(now)) return true;
  std::lock_guard<std::mutex> lock(g_install_mu);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_sigbus;
  ::sigemptyset(&sa.sa_mask);
  // NODEFER: the jump out of the handler leaves SIGBUS unblocked.
  sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  struct sigaction displaced;
  if (::sigaction(SIGBUS, &sa, &displaced) != 0) return false;
  // Another thread may have installed it between the query and the lock;
  // then what it displaced stays the previous disposition.
  if (!is_ours(displaced)) {
    unsigned next = (g_current.load(std::memory_order_relaxed) + 1) % kPreviousSlots;
    g_previous[next] = displaced;
    g_current.store(next, std::memory_order_release);
  }
  return true;
}

// Out of line, so that nothing the jump back could clobber is changed in
// guarded_copy itself after sigsetjmp.
[[gnu::noinline]] void scatter(const struct iovec* dst, size_t count, const uint8_t* src) {
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(dst[i].iov_base, src, dst[i].iov_len);
    src += dst[i].iov_len;
  }
}

[[gnu::noinline]] void scatter_hashed(const struct iovec* dst, size_t count, const uint8_t* src,
                                      size_t unit, size_t hashed, uint64_t* hashes) {
  size_t seg = 0, seg_off = 0;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += dst[i].iov_len;
  for (size_t k = 0; k < total / unit; ++k) {
    const uint8_t* p = src + k * unit;
    hashes[k] = xxh3(p, hashed);
    for (size_t left = unit; left > 0 && seg < count;) {
      const size_t take = std::min(dst[seg].iov_len - seg_off, left);
      std::memcpy(static_cast<uint8_t*>(dst[seg].iov_base) + seg_off, p, take);
      p += take;
      left -= take;
      seg_off += take;
      if (seg_off == dst[seg].iov_len) {
        ++seg;
        seg_off = 0;
      }
    }
  }
}

// Asking the kernel costs more than a small copy out of the page cache, so
// it is asked once per engine operation: what the program did to SIGBUS
// before the operation began is then undone. The handler's own giving way
// is seen without asking, at any time.
bool handler_ready() {
  OperationState& op = t_op;
  const uint64_t gave_way = g_gave_way.load(std::memory_order_acquire);
  if (op.depth > 0 && op.checked && op.gave_way_seen == gave_way) return true;
  if (!ensure_handler()) return false;
  if (op.depth > 0) {
    op.checked = true;
    op.gave_way_seen = gave_way;
  }
  return true;
}

}  // namespace

GuardedOperation::GuardedOperation() noexcept : outer_checked_(t_op.checked) {
  ++t_op.depth;
  t_op.checked = false;
}

// A check made in a nested operation was made after the outer one began,
// so it holds for the rest of the outer one too.
GuardedOperation::~GuardedOperation() {
  OperationState& op = t_op;
  --op.depth;
  op.checked = op.checked || outer_checked_;
}

// Runs `copy` (which only reads the mapping and writes its destination)
// with this thread's guard set; a fault jumps back into this frame, which
// is live for the whole copy.
template <typename F>
bool run_guarded(F&& copy) {
  if (!handler_ready()) return false;
  CopyGuard guard;
  if (sigsetjmp(guard.env, 0) != 0) {
    t_guard = nullptr;
    return false;
  }
  t_guard = &guard;
  copy();
  t_guard = nullptr;
  return true;
}

bool guarded_copy_hashed(const struct iovec* dst, size_t count, const uint8_t* src, size_t unit,
                         size_t hashed, uint64_t* hashes) {
  return run_guarded([&] { scatter_hashed(dst, count, src, unit, hashed, hashes); });
}

bool guarded_copy(const struct iovec* dst, size_t count, const uint8_t* src) {
  return run_guarded([&] { scatter(dst, count, src); });
}

bool guarded_copy(uint8_t* dst, const uint8_t* src, size_t len) {
  struct iovec one = {dst, len};
  return guarded_copy(&one, 1, src);
}

}  // namespace ambrik
