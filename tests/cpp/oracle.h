// The integrity checker as the tests' oracle: a committed image must show no
// problem and no leaked page, whatever the test did to get there.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "page_io.h"
#include "tools/checker.h"

namespace ambrik::testing {

inline void expect_sound(const std::vector<uint8_t>& image, const std::optional<Key>& key = {},
                         const std::string& where = "") {
  auto storage = std::make_unique<MemoryStorage>();
  storage->bytes() = image;
  auto r = tools::check_storage(std::move(storage), key);
  ASSERT_TRUE(r.ok()) << where << ": " << r.error().message();
  std::string findings;
  for (const tools::Finding& f : r.value().findings)
    findings += (f.problem ? "problem: " : "warning: ") +
                (f.page ? "page " + std::to_string(*f.page) + ": " : std::string()) + f.text +
                "\n";
  EXPECT_EQ(r.value().problems, 0u) << where << "\n" << findings;
  EXPECT_EQ(r.value().leaked_pages, 0u) << where << "\n" << findings;
}

}  // namespace ambrik::testing
