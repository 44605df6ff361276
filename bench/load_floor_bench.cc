// The raw cost of loading one page from a file the kernel already caches:
// a pread of 8192 bytes, an 8192-byte copy out of a warm read-only file
// mapping, and the engine's own XXH3-64 of a page's 8184 checked bytes (the
// trailer check every load makes). No cache, map or list of the engine is
// involved. compare.py prints the cold-read floor from these: a read that
// misses m pages cannot cost less than the warm read plus m x (copy + hash).
//
// Usage: load_floor_bench [iterations]   (default 200000)
// Prints a human line per figure and, last, a machine line
//   pread_ns=<ns> map_copy_ns=<ns> hash_ns=<ns>
// Each figure is the best of 7 rounds over random pages of a 4 MiB file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "best_of.h"
#include "page.h"

namespace {

constexpr size_t kPage = 8192;
constexpr size_t kPages = 512;

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 200000;
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/ambrik-load-floor-XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) return 1;
  ::unlink(path.c_str());
  std::vector<uint8_t> page(kPage);
  std::mt19937_64 rng(7);
  for (size_t p = 0; p < kPages; ++p) {
    for (auto& b : page) b = static_cast<uint8_t>(rng());
    if (::pwrite(fd, page.data(), kPage, static_cast<off_t>(p * kPage)) != kPage) return 1;
  }
  auto* map = static_cast<const uint8_t*>(
      ::mmap(nullptr, kPages * kPage, PROT_READ, MAP_SHARED, fd, 0));
  if (map == MAP_FAILED) return 1;
  std::vector<uint32_t> ids(static_cast<size_t>(iterations));
  for (auto& id : ids) id = static_cast<uint32_t>(rng() % kPages);
  uint64_t sink = 0;
  for (size_t p = 0; p < kPages; ++p) sink += map[p * kPage];  // warm the mapping

  double pread_ns = best_ns_per_op(iterations, [&](int i) {
    if (::pread(fd, page.data(), kPage, static_cast<off_t>(ids[i]) * kPage) != kPage) std::abort();
    sink += page[17];
  });
  double copy_ns = best_ns_per_op(iterations, [&](int i) {
    std::memcpy(page.data(), map + static_cast<size_t>(ids[i]) * kPage, kPage);
    sink += page[17];
  });
  double hash_ns = best_ns_per_op(iterations, [&](int i) {
    sink += ambrik::xxh3(map + static_cast<size_t>(ids[i]) * kPage, kPage - 8);
  });
  ::munmap(const_cast<uint8_t*>(map), kPages * kPage);
  ::close(fd);
  std::printf("pread of a cached 8 KiB page:        %8.1f ns\n", pread_ns);
  std::printf("copy of 8 KiB out of a file mapping: %8.1f ns\n", copy_ns);
  std::printf("XXH3-64 of a page's checked bytes:   %8.1f ns   (%llu)\n", hash_ns,
              static_cast<unsigned long long>(sink & 1));
  std::printf("pread_ns=%.1f map_copy_ns=%.1f hash_ns=%.1f\n", pread_ns, copy_ns, hash_ns);
  return 0;
}
