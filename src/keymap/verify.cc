#include "keymap/verify.h"

#include <unordered_set>
#include <utility>

namespace ambrik::keymap {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

class Walk {
 public:
  Walk(const ValueReader& read, size_t max) : read_(read), max_(max) {}

  void problem(uint64_t handle, std::string text) {
    ++s_.problem_count;
    if (s_.problems.size() < max_) s_.problems.push_back({handle, std::move(text)});
  }

  // Node `handle` at `level`, holding keys in [lo, hi) (hi absent: open).
  Status node(uint64_t handle, unsigned level, const std::vector<uint8_t>& lo,
              const std::optional<std::vector<uint8_t>>& hi, bool root) {
    const std::string who = "key map node " + num(handle);
    if (!seen_.insert(handle).second) {
      problem(handle, who + " is reached twice");
      return ok_status();
    }
    auto got = TRY(read_(handle, true));
    if (!got) {
      problem(handle, who + " is not a live value");
      return ok_status();
    }
    ++s_.nodes;
    if (got->tag != kMapTag) problem(handle, who + " does not carry the reserved tag");
    auto parsed = NodeView::parse(handle, got->bytes);
    if (!parsed.ok()) {
      problem(handle, who + " is not a valid node (magic, layout or key order)");
      return ok_status();
    }
    const NodeView v = parsed.value();
    if (v.level() != level) {
      problem(handle, who + " is at level " + num(v.level()) + ", expected " + num(level));
      return ok_status();
    }
    const size_t n = v.size();
    if (n == 0 && !(root && v.leaf())) problem(handle, who + " is empty");
    if (root && !v.leaf() && n < 2) problem(handle, who + " is a root with a single child");
    const size_t first = v.leaf() ? 0 : 1;
    if (n > first && (compare_keys(v.key(first), lo) < 0 ||
                      (hi && compare_keys(v.key(n - 1), *hi) >= 0)))
      problem(handle, who + " holds keys outside the range its parent gives it");
    if (v.leaf()) {
      s_.keys += n;
      for (size_t i = 0; i < n; ++i) {
        auto value = TRY(read_(v.handle(i), false));
        if (!value) problem(handle, who + ": entry " + num(i) + " names handle " +
                                        num(v.handle(i)) + ", which is not live");
      }
      return ok_status();
    }
    for (size_t i = 0; i < n; ++i) {
      std::vector<uint8_t> child_lo = i == 0 ? lo : std::vector<uint8_t>(v.key(i).begin(),
                                                                          v.key(i).end());
      std::optional<std::vector<uint8_t>> child_hi =
          i + 1 < n ? std::optional(std::vector<uint8_t>(v.key(i + 1).begin(), v.key(i + 1).end()))
                    : hi;
      TRY(node(v.handle(i), level - 1, child_lo, child_hi, false));
    }
    return ok_status();
  }

  void counted(uint64_t header_handle, uint64_t count) {
    if (s_.keys != count)
      problem(header_handle, "key map header counts " + num(count) + " keys, its leaves hold " +
                                 num(s_.keys));
  }

  MapSummary take() {
    s_.reached.assign(seen_.begin(), seen_.end());
    return std::move(s_);
  }

 private:
  const ValueReader& read_;
  size_t max_;
  MapSummary s_;
  std::unordered_set<uint64_t> seen_;
};

}  // namespace

Result<MapSummary> verify_map(uint64_t header_handle, const Header& header,
                              const ValueReader& read, size_t max_problems) {
  Walk walk(read, max_problems);
  TRY(walk.node(header.root, header.height - 1u, {}, std::nullopt, true));
  walk.counted(header_handle, header.count);
  MapSummary s = walk.take();
  s.height = header.height;
  return s;
}

}  // namespace ambrik::keymap
