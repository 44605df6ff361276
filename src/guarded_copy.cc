#include "guarded_copy.h"

#include <setjmp.h>
#include <signal.h>

#include <cstring>
#include <mutex>

namespace ambrik {
namespace {

struct CopyGuard {
  sigjmp_buf env;
  const uint8_t* lo;
  const uint8_t* hi;
};

// Set only while this thread copies out of a mapping.
thread_local CopyGuard* volatile t_guard = nullptr;

struct sigaction g_previous;
bool g_installed = false;

void on_sigbus(int sig, siginfo_t* info, void* /*context*/) {
  CopyGuard* g = t_guard;
  if (g != nullptr) {
    auto* at = static_cast<const uint8_t*>(info->si_addr);
    if (at >= g->lo && at < g->hi) siglongjmp(g->env, 1);
    // A handler installed after this one (a crash reporter, say) saw the
    // fault first and raised it again on this thread: it is still the
    // guarded copy's.
    if (info->si_code <= 0) siglongjmp(g->env, 1);
  }
  // Not a fault of a guarded copy: the previous disposition takes over. A
  // fault re-runs the instruction under it when this handler returns; a
  // signal sent by another process is sent again.
  ::sigaction(SIGBUS, &g_previous, nullptr);
  if (info->si_code <= 0) ::raise(sig);
}

bool install_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigbus;
    ::sigemptyset(&sa.sa_mask);
    // NODEFER: the jump out of the handler leaves SIGBUS unblocked.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    g_installed = ::sigaction(SIGBUS, &sa, &g_previous) == 0;
  });
  return g_installed;
}

// Out of line, so that nothing the jump back could clobber is changed in
// guarded_copy itself after sigsetjmp.
[[gnu::noinline]] void scatter(const struct iovec* dst, size_t count, const uint8_t* src) {
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(dst[i].iov_base, src, dst[i].iov_len);
    src += dst[i].iov_len;
  }
}

}  // namespace

bool guarded_copy(const struct iovec* dst, size_t count, const uint8_t* src) {
  if (!install_handler()) return false;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += dst[i].iov_len;
  CopyGuard guard;
  guard.lo = src;
  guard.hi = src + total;
  if (sigsetjmp(guard.env, 0) != 0) {
    t_guard = nullptr;
    return false;
  }
  t_guard = &guard;
  scatter(dst, count, src);
  t_guard = nullptr;
  return true;
}

bool guarded_copy(uint8_t* dst, const uint8_t* src, size_t len) {
  struct iovec one = {dst, len};
  return guarded_copy(&one, 1, src);
}

}  // namespace ambrik
