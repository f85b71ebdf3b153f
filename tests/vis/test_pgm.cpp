// Grey-level picture writer: exact bytes, magnification, contrast, gamma,
// saturation, the argument checks and the tilt-grid variant.
#include <gtest/gtest.h>

#include "numeric/matrix.hpp"
#include "sim/error.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "vis/pgm.hpp"
#include "support/vis_files.hpp"

namespace {

using kv::RMatrix;
using kvtest::fatal_text;

RMatrix row_map(std::vector<double> v) {  // nx x 1
  RMatrix m(v.size(), 1);
  for (std::size_t i = 0; i < v.size(); ++i) m[i][0] = v[i];
  return m;
}

class PgmTest : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;
  std::string path(const std::string& name) { return (dir / name).string(); }
  std::string write(const RMatrix& m, int nx, int ny, double max, double min, double gamma, int mag, int flag) {
    const std::string p = path("a.pgm");
    kv::output_pgm_image(nx, ny, m, max, min, gamma, mag, flag, p);
    return kvtest::read_file(p);
  }
};

TEST_F(PgmTest, TwoByOneMapExactBytesBothContrasts) {
  const RMatrix m = row_map({0.0, 10.0});
  const std::string head = "P5\n#" + path("a.pgm") + "\n2 1\n255\n";
  EXPECT_EQ(write(m, 2, 1, 10, 0, 1.0, 1, 0), head + std::string("\x00\xff", 2));
  EXPECT_EQ(write(m, 2, 1, 10, 0, 1.0, 1, 1), head + std::string("\xff\x00", 2));
}

TEST_F(PgmTest, GammaIsAppliedAndTruncated) {
  // 255 * (2.5 / 10)^0.5 = 127.5 -> 127; the maximum stays 255.
  const kvtest::GreyPicture g = kvtest::parse_pgm(write(row_map({2.5, 10.0}), 2, 1, 10, 0, 0.5, 1, 0));
  EXPECT_EQ(g.pixel(0, 0), 127);
  EXPECT_EQ(g.pixel(1, 0), 255);
  // Linear mapping at gamma 1: 2.5 -> 63.75 -> 63, reversed 255 - 63.75 -> 191.
  EXPECT_EQ(kvtest::parse_pgm(write(row_map({2.5, 10.0}), 2, 1, 10, 0, 1.0, 1, 0)).pixel(0, 0), 63);
  EXPECT_EQ(kvtest::parse_pgm(write(row_map({2.5, 10.0}), 2, 1, 10, 0, 1.0, 1, 1)).pixel(0, 0), 191);
}

TEST_F(PgmTest, MagnificationMakesBlocksAndLargestYIsTheTopRow) {
  const kvtest::GreyPicture g = kvtest::parse_pgm(write(row_map({0.0, 10.0}), 2, 1, 10, 0, 1.0, 3, 0));
  ASSERT_EQ(g.width, 6);
  ASSERT_EQ(g.height, 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(g.pixel(c, r), c < 3 ? 0 : 255) << c << "," << r;

  RMatrix col(1, 2);  // 1 x 2: y = 0 dark, y = 1 bright
  col[0][0] = 0.0;
  col[0][1] = 10.0;
  const kvtest::GreyPicture v = kvtest::parse_pgm(write(col, 1, 2, 10, 0, 1.0, 1, 0));
  EXPECT_EQ(v.pixel(0, 0), 255);
  EXPECT_EQ(v.pixel(0, 1), 0);
}

TEST_F(PgmTest, ValuesAboveMaxSaturate) {
  const RMatrix m = row_map({20.0, 5.0});
  EXPECT_EQ(kvtest::parse_pgm(write(m, 2, 1, 10, 0, 1.0, 1, 0)).pixel(0, 0), 255);
  EXPECT_EQ(kvtest::parse_pgm(write(m, 2, 1, 10, 0, 1.0, 1, 1)).pixel(0, 0), 0);
  EXPECT_EQ(kvtest::parse_pgm(write(m, 2, 1, 10, 0, 0.5, 1, 0)).pixel(0, 0), 255);
}

TEST_F(PgmTest, BadArgumentsEndWithTheirMessagesAndWriteNothing) {
  const RMatrix m = row_map({0.0, 10.0});
  auto run = [&](double max, double gamma, int mag, int flag) {
    return fatal_text([&] { kv::output_pgm_image(2, 1, m, max, 0, gamma, mag, flag, path("bad.pgm")); });
  };
  EXPECT_EQ(run(10, 0.0, 1, 0), "$$ERROR: gamma_coef(=0) should be within [0,1].\n");
  EXPECT_EQ(run(10, 1.5, 1, 0), "$$ERROR: gamma_coef(=1.5) should be within [0,1].\n");
  EXPECT_EQ(run(10, 1.0, 0, 0), "$$ERROR: mag_coef(=0) must be integer (>0)\n");
  EXPECT_EQ(run(0, 1.0, 1, 0), "$$ERROR: max - min (=0) must be greater than 0.0\n");
  EXPECT_EQ(run(10, 1.0, 1, 2), "$$ERROR: ct = 0 is not equal to 2\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.pgm"));
}

TEST_F(PgmTest, NegativeMagDrawsTiltGridWithDashedCentreLines) {
  RMatrix m(5, 5);  // all zero: only the grid shows
  const std::string p = path("g.pgm");
  kv::output_pgm_image_grid(-0.4, 0.4, -0.4, 0.4, 5, 5, m, 10.0, 0.0, 1.0, -2, 0, p);
  const kvtest::GreyPicture g = kvtest::parse_pgm(kvtest::read_file(p));
  ASSERT_EQ(g.width, 10);
  ASSERT_EQ(g.height, 10);
  // Lines at -0.4, -0.2, 0, 0.2, 0.4 fall on pixels 0, 2, 4, 6, 9.
  auto is_line = [](int i) { return i == 0 || i == 2 || i == 6 || i == 9; };
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 10; ++y) {
      const bool white = is_line(x) || is_line(y) || (x == 4 && y % 2 == 0) || (y == 4 && x % 2 == 0);
      EXPECT_EQ(g.pixel(x, 9 - y), white ? 255 : 0) << "x=" << x << " y=" << y;
    }
}

TEST_F(PgmTest, GridChecksAndPlainPathForPositiveMag) {
  RMatrix m(5, 5);
  m[0][0] = 10.0;
  EXPECT_EQ(fatal_text([&] { kv::output_pgm_image_grid(0.4, -0.4, -0.4, 0.4, 5, 5, m, 10, 0, 1, -2, 0, path("x.pgm")); }),
            "$$ERROR: calc_pix_num: Hbgn, Hend = 0.400000 -0.400000\n");
  EXPECT_EQ(fatal_text([&] { kv::output_pgm_image_grid(-1, 1, -1, 1, 5, 5, m, 10, 0, 1, 0, 0, path("x.pgm")); }),
            "$$ERROR: mag_coef(=0) must be integer (>0)\n");
  // Positive mag: no grid, the map as it is.
  kv::output_pgm_image_grid(-0.4, 0.4, -0.4, 0.4, 5, 5, m, 10, 0, 1, 1, 0, path("p.pgm"));
  const kvtest::GreyPicture g = kvtest::parse_pgm(kvtest::read_file(path("p.pgm")));
  int white = 0;
  for (unsigned char b : g.bytes) white += b == 255;
  EXPECT_EQ(white, 1);
  EXPECT_EQ(g.pixel(0, 4), 255);
  // A range holding no multiple of 0.2 near its ends must not draw outside.
  const std::string out = kvtest::capture_stdout(
      [&] { kv::output_pgm_image_grid(0.3, 0.5, 0.3, 0.5, 5, 5, m, 10, 0, 1, -1, 0, path("w.pgm")); });
  EXPECT_EQ(out, "$$Warning: abs(mag_coef) should be greater than 2.\n");
  EXPECT_EQ(kvtest::parse_pgm(kvtest::read_file(path("w.pgm"))).width, 5);
}

TEST(CalcPixNum, MapsTiltRangeOntoPixels) {
  EXPECT_DOUBLE_EQ(kv::calc_pix_num(-0.4, -0.4, 0.4, 10), 0.0);
  EXPECT_DOUBLE_EQ(kv::calc_pix_num(0.4, -0.4, 0.4, 10), 9.0);
  EXPECT_DOUBLE_EQ(kv::calc_pix_num(0.0, -0.4, 0.4, 10), 4.5);
  EXPECT_THROW(kv::calc_pix_num(0.0, 1.0, 1.0, 10), kv::FatalError);
}

}  // namespace
