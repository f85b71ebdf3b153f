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

#include <unistd.h>

#include <thread>

#include "sim/qzio.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

TEST(InputFiles, AreNeverOverwrittenButADeletedOneFreesItsName) {
  kvtest::ScratchDir d;
  const std::string in = (d / "input.txt").string();
  kvtest::write_file(in, "data\n");
  { File fp = fopen_chk_rmode(in); }
  EXPECT_TRUE(is_input_file(in));
  EXPECT_THROW(qz_fopen_chk_wmode(in), FatalError);
  EXPECT_THROW(fopen_chk_wmode(in), FatalError);
  EXPECT_EQ(kvtest::read_file(in), "data\n");
  // Once the input is gone, a new file of that name (even on the same inode)
  // is an ordinary output.
  unlink(in.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_NO_THROW({
    OutputFile out = qz_fopen_chk_wmode(in);
    qz_fclose(out);
  });
  EXPECT_TRUE(std::filesystem::exists(in));
  EXPECT_FALSE(is_input_file(in));
}

}  // namespace
}  // namespace kv
