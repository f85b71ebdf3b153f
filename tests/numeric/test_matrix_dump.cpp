#include <gtest/gtest.h>

#include "numeric/matrix.hpp"
#include "numeric/matrix_dump.hpp"
#include "sim/debug.hpp"
#include "sim/runctl.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

TEST(DebugDumps, SilentWithoutTheirFlagsAndExactWithThem) {
  const complex v[2] = {{1.5, -2}, {0, 0.25}};
  CMatrix m(2, 2);
  m[0][1] = {1, 2};
  m[1][0] = {3, 4};
  dbg = Dbg{};
  std::string out = kvtest::capture_stdout([&] {
    dbg_mon("$$ step\n");
    dbg_print_cvec(0, " eigen values:", 2, v);
    dbg_print_cmat(0, " eigen vectors", 2, m);
  });
  EXPECT_EQ(out, "");
  dbg.process_mon_flag = 1;
  out = kvtest::capture_stdout([&] {
    dbg_mon("$$ step\n");
    dbg_print_cvec(1, " eigen values:", 2, v);
    dbg_print_cmat(1, " eigen vectors", 2, m);
  });
  dbg = Dbg{};
  EXPECT_EQ(out,
            "$$ step\n"
            "$$ eigen values:\n0\t1.5\t-2\n1\t0\t0.25\n"
            "$$ eigen vectors\n0\t0\t0\t0\n1\t0\t3\t4\n0\t1\t1\t2\n1\t1\t0\t0\n");
}

}  // namespace
}  // namespace kv
