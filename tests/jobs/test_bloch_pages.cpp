// Pictures of the Bloch-wave analysis jobs beside their surface plots: the
// Bloch-state page of silicon [110] and the kinematic spheres of every beam
// on the dispersion surface.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

TEST(BlochStatePage, SiliconRunDrawsProfilesAndMapsBesideTheSurfacePlots) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_110_bloch.dat", d / "m.dat");
  const RunResult k = run_program(KORVEX_EXE, {"m.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  EXPECT_NE(k.out.find("==> SEE m_states.html"), std::string::npos) << k.out;
  const std::string page = d.read("m_states.html");
  const std::vector<std::string> imgs = img_sources(page);
  EXPECT_EQ(imgs, (std::vector<std::string>{"m_states_x1.png", "m_pp_map.png", "m_b1_map.png", "m_b2_map.png",
                                            "m_b3_map.png"}));
  for (const std::string& img : imgs) EXPECT_TRUE(png_is_valid(d / img)) << img;
  // The page names each branch's excitation as written in its file and
  // links the surface-plot page of the job's talvis script.
  EXPECT_NE(page.find("href=\"m_.html\""), std::string::npos);
  const RunResult t = run_program(TALVIS_EXE, {"m_tlv.txt"}, d.path());
  ASSERT_EQ(t.status, 0) << t.out;
  EXPECT_TRUE(fs::exists(d / "m_.html"));
  EXPECT_TRUE(fs::exists(d / "m_states.html"));
}

TEST(BlochStatePage, ProfilePictureIsNotBlank) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_110_bloch.dat", d / "m.dat");
  ASSERT_EQ(run_program(KORVEX_EXE, {"m.dat"}, d.path()).status, 0);
  cairo_surface_t* s = cairo_image_surface_create_from_png((d / "m_states_x1.png").c_str());
  ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s);
  const unsigned char* px = cairo_image_surface_get_data(s);
  // Three branches in their own colours over the grey potential: pixels
  // clearly blue, orange and green must all be there.
  int blue = 0, orange = 0, green = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint32_t v = reinterpret_cast<const std::uint32_t*>(px + static_cast<std::size_t>(y) * stride)[x];
      const int r = (v >> 16) & 255, g = (v >> 8) & 255, b = v & 255;
      blue += b > 200 && r < 120;
      orange += r > 200 && b < 60 && g > 120;
      green += g > 130 && r < 40 && b < 140;
    }
  cairo_surface_destroy(s);
  EXPECT_GT(w, 400);
  EXPECT_GT(blue, 100);
  EXPECT_GT(orange, 100);
  EXPECT_GT(green, 100);
}

// Column of the row labels "# g i: h k l" that names hkl, counted from 1
// with the two tilt columns first.
int kin_column(const std::string& kin, const std::string& hkl) {
  int i = 0;
  for (const std::string& line : split_lines(kin)) {
    if (line.rfind("# g ", 0) != 0) continue;
    if (line.substr(line.find(':') + 2) == hkl) return i + 3;
    ++i;
  }
  return 0;
}

TEST(DispersionSurfacePlots, KinematicSpheresOfEveryBeamFollowTheFreeElectronGeometry) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_110_dispsurf.dat", d / "m.dat");
  const RunResult k = run_program(KORVEX_EXE, {"m.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  const std::string kin = d.read("m_ds_kin.txt");
  const std::vector<std::vector<double>> krow = numeric_rows(kin), drow = numeric_rows(d.read("m_ds.txt"));
  ASSERT_EQ(krow.size(), drow.size());
  ASSERT_EQ(krow.size(), 41u);
  const int c0 = kin_column(kin, "0 0 0"), cp = kin_column(kin, "2 -2 0"), cm = kin_column(kin, "-2 2 0");
  ASSERT_GT(c0, 0);
  ASSERT_GT(cp, 0);
  ASSERT_GT(cm, 0);
  const std::size_t n = krow.size();
  for (std::size_t i = 0; i < n; ++i) {
    // The 000 sphere is the kinematical K_z of the surface file; +g and -g
    // are mirror images along the symmetric line of tilts.
    EXPECT_NEAR(krow[i][c0 - 1], drow[i][2], 1e-9 * drow[i][2]);
    EXPECT_NEAR(krow[i][cp - 1], krow[n - 1 - i][cm - 1], 1e-9 * krow[i][cp - 1]);
  }
  // The 000 and 2-20 spheres cross where k_t = -g1/2: at H = -1.
  double cross = 0;
  int crossings = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double a = krow[i][cp - 1] - krow[i][c0 - 1], b = krow[i + 1][cp - 1] - krow[i + 1][c0 - 1];
    if ((a < 0) != (b < 0)) {
      cross = krow[i][0] + (krow[i + 1][0] - krow[i][0]) * a / (a - b);
      ++crossings;
    }
  }
  EXPECT_EQ(crossings, 1);
  EXPECT_NEAR(cross, -1.0, 0.01);

  // talvis draws every sphere on the Re k_z plot, held to the branches' range.
  ASSERT_EQ(run_program(TALVIS_EXE, {"m_tlv.txt"}, d.path()).status, 0);
  const std::string plt = d.read("m_fig_ds_re.plt");
  EXPECT_NE(plt.find("'m_ds_kin.txt' using 1:" + std::to_string(cp) + " with lines"), std::string::npos) << plt;
  EXPECT_NE(plt.find("title 'sphere 2 -2 0'"), std::string::npos);
  EXPECT_NE(plt.find("title 'sphere -2 2 0'"), std::string::npos);
  const std::size_t yr = plt.find("set yrange [");
  ASSERT_NE(yr, std::string::npos);
  double lo = 0, hi = 0;
  ASSERT_EQ(std::sscanf(plt.c_str() + yr, "set yrange [%lf:%lf]", &lo, &hi), 2);
  for (const std::vector<double>& r : drow)
    for (int b = 0; b < 6; ++b) {
      EXPECT_LT(lo, r[3 + 5 * b]);
      EXPECT_GT(hi, r[3 + 5 * b]);
    }
  EXPECT_TRUE(png_is_valid(d / "m_fig_ds_re.png"));
}

}  // namespace
