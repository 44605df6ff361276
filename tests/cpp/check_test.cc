#include <gtest/gtest.h>

#include "check.h"
#include "result.h"

namespace ambrik {
namespace {

#ifndef NDEBUG
// Debug builds stop at a broken precondition with its place and text.
TEST(CheckDeathTest, BrokenPreconditionAbortsWithItsText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Result<int> failed = Error::simple(ErrorKind::Poisoned);
  EXPECT_DEATH((void)failed.value(), "result.h:[0-9]+: check failed: ok_");
  Status fine;
  EXPECT_DEATH((void)fine.error(), "check failed: error_ != nullptr");
}
#else
TEST(Check, CompiledOutInRelease) {
  int evaluated = 0;
  AMBRIK_DCHECK(++evaluated == 5);
  EXPECT_EQ(evaluated, 0);
}
#endif

}  // namespace
}  // namespace ambrik
