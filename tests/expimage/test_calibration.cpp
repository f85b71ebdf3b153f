// The camera map's derived quantities, and the edge-based disk centre on
// drawn disks of known centre and radius.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>
#include <string>
#include <utility>

#include "expimage/calibration.hpp"
#include "expimage/import_setup.hpp"
#include "sim/error.hpp"

namespace kv {
namespace {

constexpr double kPi = 3.14159265358979323846;

// scale * R(angle) * E * diag(1, hand), E the area-keeping stretch by
// sqrt(1 + ell) along phi.
CameraGeometry geometry(double scale, double angle_deg, double ell, double phi_deg, int hand) {
  const double a = angle_deg * kPi / 180, p = phi_deg * kPi / 180, s = std::sqrt(1 + ell);
  const double c2 = std::cos(p), s2 = std::sin(p);
  const double e[2][2] = {{s * c2 * c2 + s2 * s2 / s, (s - 1 / s) * c2 * s2}, {(s - 1 / s) * c2 * s2, s * s2 * s2 + c2 * c2 / s}};
  const double r[2][2] = {{std::cos(a), -std::sin(a)}, {std::sin(a), std::cos(a)}};
  CameraGeometry g;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      double v = 0;
      for (int k = 0; k < 2; ++k) v += r[i][k] * e[k][j];
      g.a[i][j] = scale * v * (j == 1 ? hand : 1);
    }
  return g;
}

TEST(CameraGeometry, ScaleAngleHandednessAndEllipticityComeBackFromTheMap) {
  for (int hand : {1, -1})
    for (double angle : {0.0, 17.0, -121.3, 179.0}) {
      const CameraGeometry g = geometry(40.0, angle, 0.02, 30.0, hand);
      EXPECT_NEAR(g.px_per_g1half(), 40.0, 1e-9);
      EXPECT_EQ(g.handedness(), hand);
      EXPECT_NEAR(g.ellipticity(), 0.02, 1e-9);
      EXPECT_NEAR(std::remainder(g.ellipse_angle_deg() - (angle + 30.0), 180.0), 0.0, 1e-6);
      const CameraGeometry round = geometry(40.0, angle, 0.0, 0.0, hand);
      EXPECT_NEAR(std::remainder(round.g1_angle_deg() - angle, 360.0), 0.0, 1e-9);
      // to_tilt undoes to_pixel; the sign changes of the axes flip g1 or g2.
      CameraGeometry c = g;
      c.cx = 101.5, c.cy = 87.25;
      const auto p = c.to_pixel(1.3, -0.4);
      const auto t = c.to_tilt(p[0], p[1]);
      EXPECT_NEAR(t[0], 1.3, 1e-12);
      EXPECT_NEAR(t[1], -0.4, 1e-12);
      const CameraGeometry m = with_axes_changed(round, -1, 1);
      EXPECT_NEAR(std::remainder(m.g1_angle_deg() - angle - 180.0, 360.0), 0.0, 1e-9);
      EXPECT_EQ(m.handedness(), -hand);
    }
}

// A disk with a structured inside (a bright band and a dark spot near its
// edge) on a faint background, drawn with 4 x 4 samples per pixel.
PatternImage drawn_disk(double cx, double cy, double r) {
  PatternImage img;
  img.width = 96, img.height = 90;
  img.pixels.assign(static_cast<std::size_t>(img.width) * img.height, 0.0);
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      double s = 0;
      for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) {
          const double u = x - 0.5 + (i + 0.5) / 4 - cx, v = y - 0.5 + (j + 0.5) / 4 - cy;
          if (u * u + v * v < r * r)
            s += 100.0 + 60.0 * std::cos(u / 3.0) - 80.0 * std::exp(-((u - 0.7 * r) * (u - 0.7 * r) + v * v) / 8.0);
          else
            s += 2.0;
        }
      img.pixels[static_cast<std::size_t>(y) * img.width + x] = s / 16;
    }
  return img;
}

TEST(DiskEdges, CentreAndRadiusOfADrawnDiskFromAnOffStart) {
  for (const auto& c : std::vector<std::array<double, 3>>{{47.3, 44.8, 21.0}, {50.05, 41.6, 17.5}, {45.9, 46.2, 30.2}}) {
    const PatternImage img = drawn_disk(c[0], c[1], c[2]);
    FoundDisk d;
    ASSERT_TRUE(refine_disk(img, c[0] + 1.7, c[1] - 1.2, c[2] * 1.08, &d, nullptr));
    EXPECT_NEAR(d.x, c[0], 0.03);
    EXPECT_NEAR(d.y, c[1], 0.03);
    EXPECT_NEAR(d.edge_radius_px, c[2], 0.05);
    const DiskEstimate e = estimate_000(img, std::nullopt);
    EXPECT_NEAR(e.r, c[2], 0.1 * c[2]);
  }
}

}  // namespace
}  // namespace kv

// The IMPORT block's values: each that a calibration could not use, and a
// word left over after the values, is refused with the key named.
namespace kv {
namespace {

TEST(ImportKeys, UnusableValuesAndLeftoverWordsAreRefusedWithTheKeyNamed) {
  const ImportKeys k = parse_import_keys("s.dat", "gain 2 % counts per electron\nsaturation 6e4\ng1_px 40 -3\n"
                                                  "centre_000_px 10 12\n");
  EXPECT_EQ(k.gain, 2.0);
  ASSERT_TRUE(k.saturation && k.g1_px);
  EXPECT_EQ(*k.saturation, 6e4);
  EXPECT_EQ((*k.g1_px)[1], -3.0);
  for (const auto& [block, piece] : {std::pair<const char*, const char*>{"saturation 0\n", "saturation must be positive"},
                                     {"saturation -5\n", "saturation must be positive"},
                                     {"centre_000_px 1 1\ng1_px 0 0\n", "g1_px must not be the zero vector"},
                                     {"gain 2 electrons\n", "'electrons' after it is not one of them"},
                                     {"g1_px 1 2 3\n", "g1_px takes 2 values; '3' after them"}}) {
    try {
      parse_import_keys("s.dat", block);
      ADD_FAILURE() << "accepted: " << block;
    } catch (const FatalError& e) {
      EXPECT_NE(e.text().find(piece), std::string::npos) << e.text();
      EXPECT_NE(e.text().find("s.dat"), std::string::npos) << e.text();
    }
  }
}

}  // namespace
}  // namespace kv
