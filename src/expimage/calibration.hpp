#pragma once
// Finding, indexing and measuring the disks of a CBED pattern on a detector
// image, and the least-squares camera geometry they give.
//
// Pixel coordinates: x = column, y = row, origin at the centre of the first
// pixel; angles run from +x toward +y. Tilt-space coordinates (u, v) are in
// units of g1/2, u along g1 and v along g2: reflection g lies at
// (u_g, v_g) = 2 (x_g, y_g) with x_g, y_g its in-plane coefficients along g1
// and g2, and the point of its disk at tilt (H, G) (relative to the centre
// tilt) at (u_g + H, v_g + G). The camera maps tilt space onto the detector
// by an affine map: pixel = centre + A (u, v).
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "crystal/lattice.hpp"

namespace kv {

// One grey image with its pixels that may be used (0: excluded).
struct PatternImage {
  int width = 0, height = 0;
  std::vector<double> pixels;      // row-major, y * width + x
  std::vector<unsigned char> valid;  // empty: every pixel valid
  bool ok(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height &&
           (valid.empty() || valid[static_cast<std::size_t>(y) * width + x]);
  }
  double at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// A reflection of the zone with its tilt-space position.
struct ZoneReflection {
  Hkl hkl{};
  double u = 0, v = 0;
};

struct CameraGeometry {
  double cx = 0, cy = 0;  // 000 disk centre (pixels)
  double a[2][2] = {{1, 0}, {0, 1}};  // pixels per unit of (u, v)
  double disk_half_width = 0;  // disk radius in units of g1/2

  std::array<double, 2> to_pixel(double u, double v) const {
    return {cx + a[0][0] * u + a[0][1] * v, cy + a[1][0] * u + a[1][1] * v};
  }
  std::array<double, 2> to_tilt(double x, double y) const;
  double det() const { return a[0][0] * a[1][1] - a[0][1] * a[1][0]; }
  double px_per_g1half() const;   // sqrt|det A|: the mean scale
  double g1_angle_deg() const;    // direction of A (1, 0)
  int handedness() const;         // +1 when g2 lies 90 degrees on from g1 (toward +y), -1 mirrored
  double ellipticity() const;     // long over short axis of a disk, less one
  double ellipse_angle_deg() const;  // direction of the long axis
  double disk_radius_px() const { return disk_half_width * px_per_g1half(); }
};

struct FoundDisk {
  int reflection = -1;      // index into the zone's reflections
  double x = 0, y = 0;      // measured centre
  double fit_x = 0, fit_y = 0;  // centre the fitted geometry gives
  double residual = 0;      // distance between them (pixels)
  int edge_points = 0;      // edge points the centre rests on
  double edge_radius_px = 0;  // mean distance of the edge points from the centre
  double centre_sd_px = 1;    // uncertainty of the measured centre
};

struct Calibration {
  CameraGeometry geom;
  std::vector<FoundDisk> disks;  // the measured, indexed disks
  double rms_residual_px = 0;
  double centre_residual_px = 0;  // residual of the 000 disk
  int candidates = 0;             // disks the correlation found before indexing
};

struct CalibrationOptions {
  std::optional<std::array<double, 2>> manual_000;  // pixel of the 000 disk centre
  std::optional<std::array<double, 2>> manual_g1;   // pixel of the g1 disk centre
  double disk_guess = 0;  // disk radius in units of g1/2 (0: unknown)
};

// Centre and radius (pixels) of the 000 disk, first estimate: the connected
// bright region holding the most intensity, or the one around the manual
// position.
struct DiskEstimate {
  double x = 0, y = 0, r = 0;
};
DiskEstimate estimate_000(const PatternImage& img, const std::optional<std::array<double, 2>>& manual);

// Centres of disk-like bright regions of radius r: local maxima of the
// image's mean inside 0.8 r less its mean in the ring from 1.1 r to 1.5 r.
std::vector<std::array<double, 3>> disk_candidates(const PatternImage& img, double r);

// Centre of a disk from its edge: the steepest drop along rays from a first
// centre (x0, y0) between 0.6 r and 1.4 r, and the circle through those edge
// points (least squares). Returns false when too few rays show an edge.
bool refine_disk(const PatternImage& img, double x0, double y0, double r, FoundDisk* out,
                 std::vector<std::array<double, 2>>* edges);

// The whole calibration. Refuses (status 1) a pattern whose disks cannot be
// found or indexed, with what the user can give instead.
Calibration calibrate_pattern(const PatternImage& img, const std::vector<ZoneReflection>& refl,
                              const CalibrationOptions& opt, const std::string& image_name);

// The same geometry with the tilt-space axes changed by s (u', v') = s (u, v):
// the detector map A becomes A s^-1 ... written as A s for the sign matrices
// (their own inverses). Used to try g1 against -g1 and the mirror.
CameraGeometry with_axes_changed(const CameraGeometry& g, int su, int sv);

// Re-indexes the found disks for a changed geometry (nearest reflection).
void reindex(Calibration& cal, const std::vector<ZoneReflection>& refl);

}  // namespace kv
