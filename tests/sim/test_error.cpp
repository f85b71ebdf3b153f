#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "sim/error.hpp"

namespace kv {
namespace {

TEST(GuardedMain, EveryFailureBecomesAMessageAndAStatus) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(guarded_main([](int, char**) { return 0; }, 0, nullptr), 0);
  EXPECT_EQ(guarded_main([](int, char**) -> int { fatal_out("$$ to stdout %d\n", 7); }, 0, nullptr), 1);
  EXPECT_EQ(guarded_main([](int, char**) -> int { fatal(Channel::out, "$$ done.\n", 0); }, 0, nullptr), 0);
  EXPECT_EQ(guarded_main([](int, char**) -> int { throw std::bad_alloc(); }, 0, nullptr), 1);
  EXPECT_EQ(guarded_main([](int, char**) -> int { throw std::runtime_error("boom"); }, 0, nullptr), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "$$ to stdout 7\n$$ done.\n");
  EXPECT_EQ(err, "$$ Not enough memory. Abort.\n$$ Internal error: boom. Abort.\n");
}

}  // namespace
}  // namespace kv
