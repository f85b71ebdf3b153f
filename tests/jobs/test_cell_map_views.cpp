// Views of the unit-cell maps: the XSF grid a 3-D viewer reads, the slices
// and the page of a real density run.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "jobs/cell_map_views.hpp"
#include "support/run_program.hpp"
#include "support/vis_files.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

TEST(CellMapViews, CellVectorsKeepLengthsAndAngles) {
  const double lp[6] = {4.0, 5.0, 6.0, 80.0, 95.0, 120.0};
  double a[3], b[3], c[3];
  kv::cell_vectors(lp, a, b, c);
  auto dot = [](const double* x, const double* y) { return x[0] * y[0] + x[1] * y[1] + x[2] * y[2]; };
  EXPECT_NEAR(std::sqrt(dot(b, b)), 5.0, 1e-12);
  EXPECT_NEAR(std::sqrt(dot(c, c)), 6.0, 1e-12);
  const double d2r = 3.141592653589793 / 180.0;
  EXPECT_NEAR(dot(b, c) / 30.0, std::cos(80.0 * d2r), 1e-12);
  EXPECT_NEAR(dot(a, c) / 24.0, std::cos(95.0 * d2r), 1e-12);
  EXPECT_NEAR(dot(a, b) / 20.0, std::cos(120.0 * d2r), 1e-12);
}

TEST(CellMapViews, DensityRunWritesXsfSlicesAndPage) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_density_3d.dat", d / "m.dat");
  const RunResult k = run_program(KORVEX_EXE, {"m.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  // The VEND grid is n + 1 points a side; the XSF grid holds the same
  // values, the first index fastest.
  const std::vector<std::string> vend = split_lines(d.read("m_ed.3ed"));
  const std::vector<double> size = numbers_of(vend[2]);
  const std::vector<std::string> xsf = split_lines(d.read("m_ed.xsf"));
  std::size_t at = 0;
  while (at < xsf.size() && xsf[at].find("BEGIN_DATAGRID_3D_ed") == std::string::npos) ++at;
  ASSERT_LT(at + 5, xsf.size());
  EXPECT_EQ(numbers_of(xsf[at + 1]), size);
  EXPECT_NE(d.read("m_ed.xsf").find("PRIMCOORD\n  8 1\n"), std::string::npos);  // diamond: 8 atoms a cell
  std::vector<double> grid;
  for (std::size_t i = at + 6; i < xsf.size() && xsf[i].find("END_DATAGRID") == std::string::npos; ++i)
    for (double v : numbers_of(xsf[i])) grid.push_back(v);
  const std::size_t n = static_cast<std::size_t>(size[0]);
  ASSERT_EQ(grid.size(), n * n * n);
  // VEND line (i, j) holds k = 0.. n; XSF index i + n (j + n k).
  const std::vector<double> line12 = numbers_of(vend[3 + 1 * n + 2]);
  for (std::size_t kk = 0; kk < n; ++kk)
    EXPECT_NEAR(grid[1 + n * (2 + n * kk)], line12[kk], 1e-5 * (1 + std::fabs(line12[kk])));
  const std::vector<std::string> imgs = img_sources(d.read("m_maps.html"));
  ASSERT_EQ(imgs.size(), 6u);  // three planes of two maps
  for (const std::string& img : imgs) EXPECT_TRUE(png_is_valid(d / img)) << img;
  EXPECT_TRUE(fs::exists(d / "m.h5"));
}

}  // namespace

#include <hdf5.h>

namespace {

TEST(ProjectedMapExport, PotentialJobExportsTheGridOfItsTextFile) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_001_potential_proj.dat", d / "p.dat");
  const RunResult k = run_program(KORVEX_EXE, {"p.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  const std::vector<std::vector<double>> rows = numeric_rows(d.read("p_pp.txt"));
  const hid_t f = H5Fopen((d / "p.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  const hid_t ds = H5Dopen2(f, "potential_im", H5P_DEFAULT);
  ASSERT_GE(ds, 0);
  const hid_t sp = H5Dget_space(ds);
  hsize_t dims[2] = {0, 0};
  ASSERT_EQ(H5Sget_simple_extent_ndims(sp), 2);
  H5Sget_simple_extent_dims(sp, dims, nullptr);
  ASSERT_EQ(dims[0] * dims[1], rows.size());
  std::vector<double> im(rows.size());
  ASSERT_GE(H5Dread(ds, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, im.data()), 0);
  for (std::size_t p = 0; p < rows.size(); ++p) EXPECT_NEAR(im[p], rows[p][3], 1e-5 * (1 + std::fabs(rows[p][3])));
  H5Sclose(sp);
  H5Dclose(ds);
  H5Fclose(f);
  // The page shows both parts of the potential.
  const std::vector<std::string> imgs = img_sources(d.read("p_maps.html"));
  EXPECT_EQ(imgs, (std::vector<std::string>{"p_potential_re_map.png", "p_potential_im_map.png"}));
  for (const std::string& img : imgs) EXPECT_TRUE(png_is_valid(d / img)) << img;
}

}  // namespace
