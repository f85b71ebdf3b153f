// Labelled CBED pictures: colour maps, the disk resampling and coherent
// addition of the picture, and the names of the labelled pages.
#include <cairo.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <map>

#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "vis/cbed_figure.hpp"
#include "vis/colormap.hpp"

using namespace kv;
using namespace kvtest;

namespace {

TEST(Colormap, EndsAndGreyAndNames) {
  const Rgb v0 = colormap_rgb(Colormap::viridis, 0.0), v1 = colormap_rgb(Colormap::viridis, 1.0);
  EXPECT_EQ((std::array<int, 3>{v0.r, v0.g, v0.b}), (std::array<int, 3>{68, 1, 84}));
  EXPECT_EQ((std::array<int, 3>{v1.r, v1.g, v1.b}), (std::array<int, 3>{253, 231, 37}));
  const Rgb i0 = colormap_rgb(Colormap::inferno, -3.0);  // clamped
  EXPECT_EQ(i0.r + i0.g, 0);
  const Rgb g = colormap_rgb(Colormap::grey, 0.5);
  EXPECT_EQ(g.r, 128);
  EXPECT_EQ(g.r, g.b);
  const Rgb nan = colormap_rgb(Colormap::inferno, std::nan(""));
  EXPECT_EQ(nan.r + nan.g + nan.b, 0);
  // Brightness grows along both perceptual maps (bright on dark).
  for (Colormap m : {Colormap::viridis, Colormap::inferno}) {
    double last = -1;
    for (int i = 0; i <= 20; ++i) {
      const Rgb c = colormap_rgb(m, i / 20.0);
      const double lum = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
      EXPECT_GT(lum, last) << colormap_name(m) << " at " << i;
      last = lum;
    }
  }
  EXPECT_EQ(colormap_from_name("gray"), Colormap::grey);
  EXPECT_EQ(colormap_from_name("inferno"), Colormap::inferno);
  EXPECT_FALSE(colormap_from_name("jet"));
}

TEST(FigurePage, WholePatternAndReflectionPagesHaveTheirOwnNames) {
  EXPECT_EQ(figure_page_name("si_.html", FigureLayoutKind::pattern), "si_pattern.html");
  EXPECT_EQ(figure_page_name("si_.html", FigureLayoutKind::gallery), "si_reflex.html");
  EXPECT_EQ(figure_page_name("out/page.htm", FigureLayoutKind::pattern), "out/page_pattern.html");
  EXPECT_EQ(figure_page_name("a.b/page", FigureLayoutKind::gallery), "a.b/page_reflex.html");
  EXPECT_EQ(export_path_for_result("si_rs12.txt"), "si.h5");
  EXPECT_EQ(export_path_for_result("r.txt"), "r.h5");
}

// A 5 x 5 square grid over H, G in [-1, 1] with the given disks (pixel
// positions of the grey-level canvas: 5 pixels per 2 tilt units).
CbedFigureInput square_input(bool coherent, const std::vector<std::pair<double, double>>& pos,
                             const std::vector<double>& value) {
  CbedFigureInput in;
  in.coherent = coherent;
  SimResultHeader& h = in.h;
  h.cell[0] = h.cell[1] = h.cell[2] = 5.0;
  h.cell[3] = h.cell[4] = h.cell[5] = 90.0;
  h.incidence = Hkl{0, 0, 1};
  h.zolzbase1[0] = 1.0;
  h.thickness = 100;
  h.num_pix_side = 5;
  h.Hbgn = h.Gbgn = -1;
  h.Hend = h.Gend = 1;
  for (int j = 0; j < 5; ++j)
    for (int i = 0; i < 5; ++i) h.points.push_back(SimPoint{-1 + 0.5 * i, -1 + 0.5 * j, i, j, 1});
  h.num_pix = 25;
  for (std::size_t r = 0; r < pos.size(); ++r) {
    h.reflexes.push_back(SimReflexPos{Hkl{static_cast<int>(r), 0, 0}, pos[r].first, pos[r].second});
    DiskValues d;
    d.hkl = Hkl{static_cast<int>(r), 0, 0};
    d.a.assign(25, value[r]);
    d.b.assign(25, 0.0);
    in.disks.push_back(d);
  }
  in.gamma = 0.5;
  in.max = 4.0;
  return in;
}

// How many pixels of each colour a PNG holds.
std::map<std::uint32_t, int> colour_counts(const std::string& png, int* w, int* h) {
  cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
  EXPECT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << png;
  *w = cairo_image_surface_get_width(s);
  *h = cairo_image_surface_get_height(s);
  std::map<std::uint32_t, int> n;
  const unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < *h; ++y)
    for (int x = 0; x < *w; ++x) ++n[reinterpret_cast<const std::uint32_t*>(data + y * stride)[x] & 0xffffffu];
  cairo_surface_destroy(s);
  return n;
}

std::uint32_t packed(Rgb c) { return (static_cast<std::uint32_t>(c.r) << 16) | (c.g << 8) | c.b; }

TEST(CbedFigure, DisksAreResampledToTheChosenSizeWithGammaAndColourMap) {
  ScratchDir d;
  // Two square disks side by side, intensities 4 (the maximum) and 1.
  const CbedFigureInput in = square_input(false, {{0, 0}, {10, 0}}, {4.0, 1.0});
  FigureStyle st;
  st.disk_px = 40;
  const std::string png = (d / "f.png").string();
  ASSERT_TRUE(draw_cbed_figure(in, st, FigureLayoutKind::pattern, png));
  int w = 0, h = 0;
  std::map<std::uint32_t, int> n = colour_counts(png, &w, &h);
  // Each disk covers about 40 x 40 pixels of one colour: 1 for the
  // maximum, (1/4)^0.5 = 0.5 for the other.
  EXPECT_NEAR(n[packed(colormap_rgb(Colormap::viridis, 1.0))], 1600, 200);
  EXPECT_NEAR(n[packed(colormap_rgb(Colormap::viridis, 0.5))], 1600, 200);

  st.cmap = Colormap::grey;
  st.disk_px = 80;
  ASSERT_TRUE(draw_cbed_figure(in, st, FigureLayoutKind::gallery, png));
  n = colour_counts(png, &w, &h);
  EXPECT_NEAR(n[packed(colormap_rgb(Colormap::grey, 1.0))], 6400, 600);
  EXPECT_NEAR(n[packed(colormap_rgb(Colormap::grey, 0.5))], 6400, 600);
}

TEST(CbedFigure, CoherentOverlapAddsAmplitudes) {
  ScratchDir d;
  // Amplitudes +1 and -1, the second disk half a disk to the right: the
  // overlap cancels (0), the rest shows |1|^2 = 1 of the maximum 1.
  CbedFigureInput in = square_input(true, {{0, 0}, {2.5, 0}}, {1.0, -1.0});
  in.max = 1.0;
  in.gamma = 1.0;
  FigureStyle st;
  st.disk_px = 40;
  const std::string png = (d / "c.png").string();
  ASSERT_TRUE(draw_cbed_figure(in, st, FigureLayoutKind::pattern, png));
  int w = 0, h = 0;
  std::map<std::uint32_t, int> n = colour_counts(png, &w, &h);
  const int dark = n[packed(colormap_rgb(Colormap::viridis, 0.0))];
  const int bright = n[packed(colormap_rgb(Colormap::viridis, 1.0))];
  // A 20 x 40 overlap against two 20 x 40 strips (the hkl labels, drawn at
  // the centres of overlapping disks, cover a few pixels of both).
  EXPECT_GT(dark + bright, 1800);
  EXPECT_NEAR(static_cast<double>(dark) / bright, 0.5, 0.1);
}

TEST(CbedFigure, OnItsOwnScaleAWeakDiskReachesTheTopOfTheColourMap) {
  ScratchDir d;
  const CbedFigureInput in = square_input(false, {{0, 0}, {10, 0}}, {4.0, 1.0});
  FigureStyle st;
  st.disk_px = 40;
  st.per_disk = true;
  const std::string png = (d / "p.png").string();
  ASSERT_TRUE(draw_cbed_figure(in, st, FigureLayoutKind::pattern, png));
  int w = 0, h = 0;
  std::map<std::uint32_t, int> n = colour_counts(png, &w, &h);
  // Both disks at the top colour, none at the half-way colour of the shared scale.
  EXPECT_NEAR(n[packed(colormap_rgb(Colormap::viridis, 1.0))], 3200, 400);
  EXPECT_LT(n[packed(colormap_rgb(Colormap::viridis, 0.5))], 50);
}

TEST(CbedFigure, ZeroOrderZoneIsZoomedOnlyWhenTheWholePatternIsTooWide) {
  // 0 0 0 at the centre, 1 0 0 next to it, and far out 2 0 0 and a
  // first-order-zone disk 3 0 1 (RF_INDEX pixels of 0.4 tilt units).
  CbedFigureInput in = square_input(false, {{0, 0}, {10, 0}, {300, 0}, {0, 300}}, {4, 1, 1, 1});
  in.disks[3].hkl = in.h.reflexes[3].hkl = Hkl{3, 0, 1};
  FigureStyle st;
  st.disk_px = 40;
  const double r = zoom_radius_for(in, st);
  ASSERT_GT(r, 4.0);     // keeps 1 0 0 (4 tilt units out) ...
  ASSERT_LT(r, 120.0);   // ... but not 2 0 0 (120 out)
  const CbedFigureInput z = zero_order_zone(in, r);
  ASSERT_EQ(z.disks.size(), 2u);
  EXPECT_EQ(z.disks[1].hkl.h, 1);
  EXPECT_EQ(z.h.reflexes.size(), 2u);
  EXPECT_NE(z.note.find("2 of 4 disks"), std::string::npos) << z.note;
  // The first-order zone stays out at any radius; a pattern that fits needs no zoom.
  EXPECT_EQ(zero_order_zone(in, 1e6).disks.size(), 3u);
  EXPECT_EQ(zoom_radius_for(square_input(false, {{0, 0}, {10, 0}}, {4, 1}), st), 0.0);
  st.zoom_radius = 5.0;
  EXPECT_EQ(zoom_radius_for(square_input(false, {{0, 0}, {10, 0}}, {4, 1}), st), 5.0);
}

TEST(CbedFigure, NoPictureWithoutATwoDimensionalGrid) {
  ScratchDir d;
  CbedFigureInput in = square_input(false, {{0, 0}}, {1.0});
  in.h.num_pix_side = 1;
  EXPECT_FALSE(draw_cbed_figure(in, FigureStyle{}, FigureLayoutKind::pattern, (d / "n.png").string()));
  EXPECT_FALSE(std::filesystem::exists(d / "n.png"));
}

TEST(CbedFigure, FigureStyleLineIsChecked) {
  {
    StringFile f("inferno 96\n");
    const FigureStyle st = read_figure_style(f.get());
    EXPECT_EQ(st.cmap, Colormap::inferno);
    EXPECT_EQ(st.disk_px, 96);
  }
  {
    StringFile f("viridis 64 per_disk zoom 2.5\n");
    const FigureStyle st = read_figure_style(f.get());
    EXPECT_TRUE(st.per_disk);
    EXPECT_EQ(st.zoom_radius, 2.5);
  }
  for (const char* bad : {"jet 128\n", "grey\n", "grey 4\n", "viridis 5000\n", "viridis 96 perdisk\n",
                          "viridis 96 zoom\n", "viridis 96 zoom -1\n", "viridis 96 zoom nan\n"}) {
    StringFile f(bad);
    EXPECT_NE(fatal_text([&] { read_figure_style(f.get()); }).find("FIGURE_STYLE"), std::string::npos) << bad;
  }
}

}  // namespace

#include "vis/job_pages.hpp"

namespace {

TEST(TfringeLabels, ColumnNamesBecomeIndices) {
  EXPECT_EQ(tfringe_labels("#thickness\t0_0_0\t-2_2_0\t1_-1_1"),
            (std::vector<std::string>{"0 0 0", "-2 2 0", "1 -1 1"}));
  EXPECT_TRUE(tfringe_labels("#thickness").empty());
}

}  // namespace

namespace {

TEST(CbedFigure, UpwardAxisIsNamedByTheShortestReflectionAlongIt) {
  // GaAs or Si [110] with g1 = 2-20: g2 = B x g1 scaled to |g1| is
  // (0, 0, -2.828), the direction of 00-1.
  const double g2[3] = {0.0, 0.0, -2.8284271247};
  ASSERT_TRUE(direction_hkl(g2, 24).has_value());
  EXPECT_EQ(*direction_hkl(g2, 24), (std::array<int, 3>{0, 0, -1}));
  EXPECT_EQ(g2_direction_text(g2), "g2 along 0 0 -1");
  const double hex_g2[3] = {1.0, -2.0, 0.0};
  EXPECT_EQ(g2_direction_text(hex_g2, true), "g2 along 1 -2 1 0");
  // Rational directions keep their sense and are reduced.
  const double r[3] = {-1.5, 0.5, 1.0};
  EXPECT_EQ(*direction_hkl(r, 24), (std::array<int, 3>{-3, 1, 2}));
  const double a = std::sqrt(2.0 / 3.0);
  const double cubic111[3] = {2 * a, -a, -a};  // [111] with g1 = 0 2 -2
  EXPECT_EQ(*direction_hkl(cubic111, 24), (std::array<int, 3>{2, -1, -1}));
  // An irrational direction or a zero vector is not forced onto indices.
  const double irr[3] = {1.0, std::sqrt(2.0), 0.0}, zero[3] = {0, 0, 0};
  EXPECT_FALSE(direction_hkl(irr, 24).has_value());
  EXPECT_FALSE(direction_hkl(zero, 24).has_value());
  EXPECT_EQ(g2_direction_text(irr), "g2 = B x g1, |g2| = |g1|");
}

}  // namespace
