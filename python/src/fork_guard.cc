#include "fork_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace ambrik::py {

namespace {

std::mutex g_mu;
// Descriptors of the databases open in this process; guarded by g_mu.
std::vector<int> g_descriptors;
std::atomic<uint64_t> g_generation{0};

// The forking thread holds g_mu across fork(), so the registry is
// consistent in the child and no descriptor is half-registered.
void before_fork() { g_mu.lock(); }
void after_fork_in_parent() { g_mu.unlock(); }

// Runs in the child's only thread, before any Python code. Only close() and
// operations that do not allocate.
void after_fork_in_child() {
  g_generation.fetch_add(1, std::memory_order_relaxed);
  for (int fd : g_descriptors) ::close(fd);
  g_descriptors.clear();
  g_mu.unlock();
}

// REQUIRES: g_mu held.
bool track_descriptor(int fd) {
  if (fd < 0) return true;
  try {
    g_descriptors.push_back(fd);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void untrack_descriptor(int fd) {
  auto it = std::find(g_descriptors.begin(), g_descriptors.end(), fd);
  if (it != g_descriptors.end()) g_descriptors.erase(it);
}

}  // namespace

bool install_fork_handler() {
  static const bool installed =
      ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  return installed;
}

uint64_t fork_generation() { return g_generation.load(std::memory_order_relaxed); }

RegistryLock::RegistryLock() { g_mu.lock(); }
RegistryLock::~RegistryLock() { g_mu.unlock(); }

bool RegistryLock::add(int fd) { return track_descriptor(fd); }
void RegistryLock::remove(int fd) { untrack_descriptor(fd); }

void RegistryWatch::hold() { g_mu.lock(); }
void RegistryWatch::release() { g_mu.unlock(); }
bool RegistryWatch::add(int fd) { return track_descriptor(fd); }
void RegistryWatch::remove(int fd) { untrack_descriptor(fd); }

}  // namespace ambrik::py
