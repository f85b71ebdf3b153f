#include "expimage/calibration.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>

#include "expimage/image.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void calibration_fault(const std::string& image, const std::string& what) {
  fatal_out("$$ Import %s: %s. Abort.\n", image.c_str(), what.c_str());
}

// The image binned by b x b (mean of the valid pixels of each block).
PatternImage binned(const PatternImage& img, int b) {
  if (b <= 1) return img;
  PatternImage out;
  out.width = img.width / b;
  out.height = img.height / b;
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 0.0);
  for (int by = 0; by < out.height; ++by)
    for (int bx = 0; bx < out.width; ++bx) {
      double s = 0;
      int n = 0;
      for (int y = by * b; y < (by + 1) * b; ++y)
        for (int x = bx * b; x < (bx + 1) * b; ++x)
          if (img.ok(x, y)) s += img.at(x, y), ++n;
      out.pixels[static_cast<std::size_t>(by) * out.width + bx] = n ? s / n : 0.0;
    }
  return out;
}

// Bilinear value at (x, y); false when a pixel it needs is excluded or
// outside the image.
bool sample(const PatternImage& img, double x, double y, double* v) {
  const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
  if (!img.ok(ix, iy) || !img.ok(ix + 1, iy) || !img.ok(ix, iy + 1) || !img.ok(ix + 1, iy + 1)) return false;
  const double fx = x - ix, fy = y - iy;
  *v = (img.at(ix, iy) * (1 - fx) + img.at(ix + 1, iy) * fx) * (1 - fy) +
       (img.at(ix, iy + 1) * (1 - fx) + img.at(ix + 1, iy + 1) * fx) * fy;
  return true;
}

// Sums of the image and of the pixel count over a disk of radius rad around
// every pixel, from prefix sums along the rows.
void disk_sums(const PatternImage& img, double rad, std::vector<double>* sum, std::vector<double>* count) {
  const int w = img.width, h = img.height;
  std::vector<double> ps(static_cast<std::size_t>(w + 1) * h, 0.0), pc(ps.size(), 0.0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * (w + 1) + x;
      const bool ok = img.ok(x, y);
      ps[i + 1] = ps[i] + (ok ? img.at(x, y) : 0.0);
      pc[i + 1] = pc[i] + (ok ? 1.0 : 0.0);
    }
  const int R = static_cast<int>(std::floor(rad));
  std::vector<int> half(static_cast<std::size_t>(2 * R + 1));
  for (int dy = -R; dy <= R; ++dy) half[dy + R] = static_cast<int>(std::floor(std::sqrt(rad * rad - double(dy) * dy)));
  sum->assign(static_cast<std::size_t>(w) * h, 0.0);
  count->assign(sum->size(), 0.0);
  for (int y = 0; y < h; ++y)
    for (int dy = -R; dy <= R; ++dy) {
      const int yy = y + dy;
      if (yy < 0 || yy >= h) continue;
      const int hw = half[dy + R];
      const std::size_t row = static_cast<std::size_t>(yy) * (w + 1);
      for (int x = 0; x < w; ++x) {
        const int x0 = std::max(0, x - hw), x1 = std::min(w, x + hw + 1);
        (*sum)[static_cast<std::size_t>(y) * w + x] += ps[row + x1] - ps[row + x0];
        (*count)[static_cast<std::size_t>(y) * w + x] += pc[row + x1] - pc[row + x0];
      }
    }
}

// Least-squares circle through points (algebraic fit): centre and radius.
bool fit_circle(const std::vector<std::array<double, 2>>& p, double* cx, double* cy, double* r) {
  if (p.size() < 5) return false;
  double mx = 0, my = 0;
  for (const auto& q : p) mx += q[0], my += q[1];
  mx /= p.size(), my /= p.size();
  double suu = 0, suv = 0, svv = 0, suuu = 0, svvv = 0, suvv = 0, svuu = 0;
  for (const auto& q : p) {
    const double u = q[0] - mx, v = q[1] - my;
    suu += u * u, suv += u * v, svv += v * v;
    suuu += u * u * u, svvv += v * v * v, suvv += u * v * v, svuu += v * u * u;
  }
  const double det = suu * svv - suv * suv;
  if (std::fabs(det) < 1e-12) return false;
  const double bu = 0.5 * (suuu + suvv), bv = 0.5 * (svvv + svuu);
  const double uc = (bu * svv - bv * suv) / det, vc = (suu * bv - suv * bu) / det;
  *cx = uc + mx;
  *cy = vc + my;
  *r = std::sqrt(uc * uc + vc * vc + (suu + svv) / p.size());
  return std::isfinite(*r);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

struct Obs {
  double u, v, x, y, w;
};

// Least-squares affine geometry from indexed disk centres.
bool fit_geometry(const std::vector<Obs>& obs, CameraGeometry* g) {
  if (obs.size() < 3) return false;
  double m[3][3] = {}, bx[3] = {}, by[3] = {};
  for (const auto& o : obs) {
    const double f[3] = {1.0, o.u, o.v};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += o.w * f[i] * f[j];
      bx[i] += o.w * f[i] * o.x;
      by[i] += o.w * f[i] * o.y;
    }
  }
  // Cramer's rule on the 3 x 3 normal equations.
  auto det3 = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det3(m);
  if (std::fabs(d) < 1e-12 * (m[1][1] * m[2][2] + 1e-300)) return false;
  double sx[3], sy[3];
  for (int k = 0; k < 3; ++k) {
    double t[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) t[i][j] = j == k ? bx[i] : m[i][j];
    sx[k] = det3(t) / d;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) t[i][j] = j == k ? by[i] : m[i][j];
    sy[k] = det3(t) / d;
  }
  g->cx = sx[0], g->a[0][0] = sx[1], g->a[0][1] = sx[2];
  g->cy = sy[0], g->a[1][0] = sy[1], g->a[1][1] = sy[2];
  return std::isfinite(g->det()) && g->det() != 0.0;
}

// Nearest reflection to tilt-space point (u, v) and its distance.
int nearest_reflection(const std::vector<ZoneReflection>& refl, double u, double v, double* dist) {
  int best = -1;
  double bd = 1e300;
  for (std::size_t i = 0; i < refl.size(); ++i) {
    const double d = std::hypot(refl[i].u - u, refl[i].v - v);
    if (d < bd) bd = d, best = static_cast<int>(i);
  }
  *dist = bd;
  return best;
}

int index_of_000(const std::vector<ZoneReflection>& refl) {
  for (std::size_t i = 0; i < refl.size(); ++i)
    if (refl[i].hkl == Hkl{0, 0, 0}) return static_cast<int>(i);
  return -1;
}

struct Measured {
  double x, y, w, radius;
  std::vector<std::array<double, 2>> edges;
};

// How many measured disks a geometry explains (within tol pixels), and the
// sum of their squared misfits.
std::pair<int, double> score(const CameraGeometry& g, const std::vector<Measured>& m,
                             const std::vector<ZoneReflection>& refl, double tol) {
  int n = 0;
  double ss = 0;
  for (const auto& d : m) {
    const auto t = g.to_tilt(d.x, d.y);
    double dist;
    const int k = nearest_reflection(refl, t[0], t[1], &dist);
    const auto p = g.to_pixel(refl[k].u, refl[k].v);
    const double e = std::hypot(p[0] - d.x, p[1] - d.y);
    if (e < tol) ++n, ss += e * e;
  }
  return {n, ss};
}

// The first geometry: from the 000 centre and two measured disks taken as
// two reflections, the pairing that explains the most disks.
bool first_geometry(const Measured& c0, const std::vector<Measured>& m, const std::vector<ZoneReflection>& refl,
                    const CalibrationOptions& opt, double r, CameraGeometry* best) {
  const double tol = 0.3 * r;
  std::pair<int, double> best_score{-1, 0};
  auto consider = [&](const CameraGeometry& g) {
    const double s = g.px_per_g1half();
    if (!(s > 0) || g.ellipticity() > 0.15) return;
    // The disk radius in pixels over the guessed radius in g1/2 is the scale.
    if (opt.disk_guess > 0 && (s < 0.6 * r / opt.disk_guess || s > 1.6 * r / opt.disk_guess)) return;
    const auto sc = score(g, m, refl, tol);
    if (sc.first > best_score.first || (sc.first == best_score.first && sc.second < best_score.second)) {
      best_score = sc;
      *best = g;
    }
  };
  if (opt.manual_g1) {
    // g1 lies at (u, v) = (2, 0): A (1, 0) = (p_g1 - c0) / 2; g2 is as long
    // as g1 and perpendicular to it, on either side.
    const double ax = ((*opt.manual_g1)[0] - c0.x) / 2, ay = ((*opt.manual_g1)[1] - c0.y) / 2;
    for (int h : {1, -1}) {
      CameraGeometry g;
      g.cx = c0.x, g.cy = c0.y;
      g.a[0][0] = ax, g.a[1][0] = ay, g.a[0][1] = -h * ay, g.a[1][1] = h * ax;
      consider(g);
    }
    return best_score.first >= 0;
  }
  std::vector<const Measured*> near;
  for (const auto& d : m) near.push_back(&d);
  std::sort(near.begin(), near.end(), [&](const Measured* a, const Measured* b) {
    return std::hypot(a->x - c0.x, a->y - c0.y) < std::hypot(b->x - c0.x, b->y - c0.y);
  });
  if (near.size() > 8) near.resize(8);
  std::vector<int> low;
  for (std::size_t i = 0; i < refl.size(); ++i)
    if (std::hypot(refl[i].u, refl[i].v) > 1e-9) low.push_back(static_cast<int>(i));
  std::sort(low.begin(), low.end(), [&](int a, int b) {
    return std::hypot(refl[a].u, refl[a].v) < std::hypot(refl[b].u, refl[b].v);
  });
  if (low.size() > 14) low.resize(14);
  for (std::size_t i = 0; i < near.size(); ++i)
    for (std::size_t j = i + 1; j < near.size(); ++j) {
      const double px[2] = {near[i]->x - c0.x, near[j]->x - c0.x}, py[2] = {near[i]->y - c0.y, near[j]->y - c0.y};
      if (std::fabs(px[0] * py[1] - px[1] * py[0]) < 0.1 * std::hypot(px[0], py[0]) * std::hypot(px[1], py[1]))
        continue;
      for (int a : low)
        for (int b : low) {
          if (a == b) continue;
          const double det = refl[a].u * refl[b].v - refl[b].u * refl[a].v;
          if (std::fabs(det) < 1e-6) continue;
          // A [ua ub; va vb] = [px; py]  =>  A = P M^-1.
          const double mi[2][2] = {{refl[b].v / det, -refl[b].u / det}, {-refl[a].v / det, refl[a].u / det}};
          CameraGeometry g;
          g.cx = c0.x, g.cy = c0.y;
          g.a[0][0] = px[0] * mi[0][0] + px[1] * mi[1][0];
          g.a[0][1] = px[0] * mi[0][1] + px[1] * mi[1][1];
          g.a[1][0] = py[0] * mi[0][0] + py[1] * mi[1][0];
          g.a[1][1] = py[0] * mi[0][1] + py[1] * mi[1][1];
          consider(g);
        }
    }
  return best_score.first >= 2;
}

// Radius of the disk centred near (x, y): the steepest drop of the
// azimuthal mean of the image between 0.5 and 2.5 times the first guess r0
// (a disk whose inside has dark regions still has its edge there).
double profile_radius(const PatternImage& img, double x, double y, double r0) {
  const double step = 0.5;
  const int n = static_cast<int>(2.5 * r0 / step) + 2;
  std::vector<double> sum(static_cast<std::size_t>(n), 0.0), cnt(sum.size(), 0.0);
  const int R = static_cast<int>(std::ceil(2.5 * r0)) + 1;
  for (int yy = static_cast<int>(y) - R; yy <= static_cast<int>(y) + R; ++yy)
    for (int xx = static_cast<int>(x) - R; xx <= static_cast<int>(x) + R; ++xx) {
      if (!img.ok(xx, yy)) continue;
      const int k = static_cast<int>(std::hypot(xx - x, yy - y) / step);
      if (k < n) sum[k] += img.at(xx, yy), cnt[k] += 1;
    }
  std::vector<double> prof(sum.size(), 0.0);
  for (std::size_t k = 0; k < prof.size(); ++k) prof[k] = cnt[k] > 0 ? sum[k] / cnt[k] : 0.0;
  int best = -1;
  double drop = 0;
  for (int k = static_cast<int>(0.5 * r0 / step) + 2; k + 2 < n; ++k) {
    const double d = prof[k - 2] - prof[k + 2];
    if (d > drop) drop = d, best = k;
  }
  return best > 0 ? (best + 0.5) * step : r0;
}

}  // namespace

std::array<double, 2> CameraGeometry::to_tilt(double x, double y) const {
  const double d = det(), dx = x - cx, dy = y - cy;
  return {(a[1][1] * dx - a[0][1] * dy) / d, (-a[1][0] * dx + a[0][0] * dy) / d};
}

double CameraGeometry::px_per_g1half() const { return std::sqrt(std::fabs(det())); }
double CameraGeometry::g1_angle_deg() const { return std::atan2(a[1][0], a[0][0]) * 180.0 / kPi; }
int CameraGeometry::handedness() const { return det() >= 0 ? 1 : -1; }

namespace {
// Eigen-decomposition of A A^T: the squared semi-axes of the image of a
// unit circle and the direction of the long one.
void axes(const CameraGeometry& g, double* l1, double* l2, double* angle) {
  const double p = g.a[0][0] * g.a[0][0] + g.a[0][1] * g.a[0][1];
  const double q = g.a[0][0] * g.a[1][0] + g.a[0][1] * g.a[1][1];
  const double s = g.a[1][0] * g.a[1][0] + g.a[1][1] * g.a[1][1];
  const double mean = 0.5 * (p + s), diff = std::sqrt(0.25 * (p - s) * (p - s) + q * q);
  *l1 = mean + diff;
  *l2 = mean - diff;
  *angle = 0.5 * std::atan2(2 * q, p - s);
}
}  // namespace

double CameraGeometry::ellipticity() const {
  double l1, l2, ang;
  axes(*this, &l1, &l2, &ang);
  return l2 > 0 ? std::sqrt(l1 / l2) - 1.0 : 1e300;
}

double CameraGeometry::ellipse_angle_deg() const {
  double l1, l2, ang;
  axes(*this, &l1, &l2, &ang);
  return ang * 180.0 / kPi;
}

CameraGeometry with_axes_changed(const CameraGeometry& g, int su, int sv) {
  CameraGeometry o = g;
  o.a[0][0] *= su, o.a[1][0] *= su;
  o.a[0][1] *= sv, o.a[1][1] *= sv;
  return o;
}

void reindex(Calibration& cal, const std::vector<ZoneReflection>& refl) {
  for (auto& d : cal.disks) {
    const auto t = cal.geom.to_tilt(d.x, d.y);
    double dist;
    d.reflection = nearest_reflection(refl, t[0], t[1], &dist);
  }
}

DiskEstimate estimate_000(const PatternImage& img, const std::optional<std::array<double, 2>>& manual) {
  const int b = std::max(1, std::min(img.width, img.height) / 256);
  const PatternImage s = binned(img, b);
  const int w = s.width, h = s.height;
  std::vector<double> sm(s.pixels.size(), 0.0);
  double mx = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double t = 0;
      int n = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if (x + dx >= 0 && y + dy >= 0 && x + dx < w && y + dy < h) t += s.at(x + dx, y + dy), ++n;
      sm[static_cast<std::size_t>(y) * w + x] = t / n;
      mx = std::max(mx, t / n);
    }
  DiskEstimate out;
  if (!(mx > 0)) return out;
  const double thr = 0.15 * mx;
  std::vector<int> label(sm.size(), -1);
  struct Comp {
    double sum = 0;
    int x0, x1, y0, y1;
  };
  std::vector<Comp> comps;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::size_t i0 = static_cast<std::size_t>(y) * w + x;
      if (sm[i0] < thr || label[i0] >= 0) continue;
      Comp c{0, x, x, y, y};
      const int id = static_cast<int>(comps.size());
      std::queue<std::pair<int, int>> q;
      q.push({x, y});
      label[i0] = id;
      while (!q.empty()) {
        const auto [cx, cy] = q.front();
        q.pop();
        c.sum += sm[static_cast<std::size_t>(cy) * w + cx];
        c.x0 = std::min(c.x0, cx), c.x1 = std::max(c.x1, cx), c.y0 = std::min(c.y0, cy), c.y1 = std::max(c.y1, cy);
        const int nb[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
        for (const auto& d : nb) {
          const int nx = cx + d[0], ny = cy + d[1];
          if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
          const std::size_t j = static_cast<std::size_t>(ny) * w + nx;
          if (sm[j] >= thr && label[j] < 0) label[j] = id, q.push({nx, ny});
        }
      }
      comps.push_back(c);
    }
  int pick = -1;
  if (manual) {
    double bd = 1e300;
    for (std::size_t k = 0; k < comps.size(); ++k) {
      const double cx = 0.5 * (comps[k].x0 + comps[k].x1), cy = 0.5 * (comps[k].y0 + comps[k].y1);
      const double d = std::hypot((cx + 0.5) * b - 0.5 - (*manual)[0], (cy + 0.5) * b - 0.5 - (*manual)[1]);
      if (d < bd) bd = d, pick = static_cast<int>(k);
    }
  } else {
    for (std::size_t k = 0; k < comps.size(); ++k)
      if (pick < 0 || comps[k].sum > comps[pick].sum) pick = static_cast<int>(k);
  }
  if (pick < 0) return out;
  const Comp& c = comps[pick];
  out.x = (0.5 * (c.x0 + c.x1) + 0.5) * b - 0.5;
  out.y = (0.5 * (c.y0 + c.y1) + 0.5) * b - 0.5;
  out.r = 0.25 * ((c.x1 - c.x0 + 1) + (c.y1 - c.y0 + 1)) * b;
  if (manual) out.x = (*manual)[0], out.y = (*manual)[1];
  out.r = profile_radius(img, out.x, out.y, out.r);
  return out;
}

std::vector<std::array<double, 3>> disk_candidates(const PatternImage& img, double r) {
  const int b = std::max(1, static_cast<int>(std::floor(r / 8.0)));
  const PatternImage s = binned(img, b);
  const double rb = r / b;
  std::vector<double> s_in, n_in, s_11, n_11, s_15, n_15;
  disk_sums(s, 0.8 * rb, &s_in, &n_in);
  disk_sums(s, 1.1 * rb, &s_11, &n_11);
  disk_sums(s, 1.5 * rb, &s_15, &n_15);
  const int w = s.width, h = s.height;
  std::vector<double> c(s_in.size(), 0.0);
  double cmax = 0;
  for (std::size_t i = 0; i < c.size(); ++i) {
    const double ring_n = n_15[i] - n_11[i];
    if (n_in[i] < 0.5 * kPi * 0.64 * rb * rb || ring_n < 1) continue;
    c[i] = s_in[i] / n_in[i] - (s_15[i] - s_11[i]) / ring_n;
    cmax = std::max(cmax, c[i]);
  }
  std::vector<std::array<double, 3>> out;
  const int win = std::max(1, static_cast<int>(std::ceil(rb)));
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) {
      const double v = c[static_cast<std::size_t>(y) * w + x];
      if (v <= 0.03 * cmax) continue;
      bool peak = true;
      for (int dy = -win; dy <= win && peak; ++dy)
        for (int dx = -win; dx <= win; ++dx) {
          const int xx = x + dx, yy = y + dy;
          if ((dx || dy) && xx >= 0 && yy >= 0 && xx < w && yy < h) {
            const double o = c[static_cast<std::size_t>(yy) * w + xx];
            if (o > v || (o == v && (dy < 0 || (dy == 0 && dx < 0)))) {
              peak = false;
              break;
            }
          }
        }
      if (!peak) continue;
      auto at = [&](int xx, int yy) { return c[static_cast<std::size_t>(yy) * w + xx]; };
      const double ddx = at(x - 1, y) - 2 * v + at(x + 1, y), ddy = at(x, y - 1) - 2 * v + at(x, y + 1);
      const double ox = ddx < 0 ? 0.5 * (at(x - 1, y) - at(x + 1, y)) / ddx : 0.0;
      const double oy = ddy < 0 ? 0.5 * (at(x, y - 1) - at(x, y + 1)) / ddy : 0.0;
      out.push_back({(x + std::clamp(ox, -0.5, 0.5) + 0.5) * b - 0.5, (y + std::clamp(oy, -0.5, 0.5) + 0.5) * b - 0.5, v});
    }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b2) { return a[2] > b2[2]; });
  return out;
}

bool refine_disk(const PatternImage& img, double x0, double y0, double r, FoundDisk* out,
                 std::vector<std::array<double, 2>>* edges) {
  constexpr int kRays = 90;
  const double step = std::min(0.25, r / 40.0);
  double cx = x0, cy = y0, rad = r, spread = 1.0;
  std::vector<std::array<double, 2>> pts;
  for (int pass = 0; pass < 4; ++pass) {
    std::vector<std::array<double, 3>> found;  // x, y, drop
    for (int k = 0; k < kRays; ++k) {
      const double th = 2 * kPi * k / kRays, ct = std::cos(th), st = std::sin(th);
      // First pass over a wide band, then close to the circle found.
      const double band = pass == 0 ? std::max(3.0, 0.15 * rad) : std::max(2.5, 0.05 * rad);
      const double t0 = rad - band, t1 = rad + band;
      const int n = static_cast<int>((t1 - t0) / step) + 1;
      std::vector<double> prof(static_cast<std::size_t>(n));
      bool ok = true;
      for (int i = 0; i < n && ok; ++i) ok = sample(img, cx + (t0 + i * step) * ct, cy + (t0 + i * step) * st, &prof[i]);
      if (!ok || n < 6) continue;
      // Derivative over a one-pixel base, smoothed by the same width.
      const int hw = std::max(1, static_cast<int>(std::lround(0.5 / step)));
      std::vector<double> der(static_cast<std::size_t>(n), 0.0);
      for (int i = hw; i < n - hw; ++i) der[i] = (prof[i + hw] - prof[i - hw]) / (2 * hw * step);
      int im = -1;
      for (int i = hw + 1; i < n - hw - 1; ++i)
        if (im < 0 || der[i] < der[im]) im = i;
      if (im < 0 || !(der[im] < 0)) continue;
      const double a = der[im - 1], b = der[im], c = der[im + 1];
      const double den = a - 2 * b + c;
      const double off = den > 0 ? std::clamp(0.5 * (a - c) / den, -0.5, 0.5) : 0.0;
      double t = t0 + (im + off) * step;
      // Where the profile crosses halfway between its levels 1 to 2 pixels
      // inside and outside the steepest point: less pulled by noise than
      // the steepest point itself.
      const int k1 = static_cast<int>(std::lround(1.0 / step)), k2 = static_cast<int>(std::lround(2.0 / step));
      if (im - k2 >= 0 && im + k2 < n) {
        double lin = 0, lout = 0;
        for (int i = im - k2; i <= im - k1; ++i) lin += prof[i];
        for (int i = im + k1; i <= im + k2; ++i) lout += prof[i];
        const double half = 0.5 * (lin + lout) / (k2 - k1 + 1);
        for (int i = im - k1; i < im + k1; ++i)
          if (prof[i] >= half && prof[i + 1] < half) {
            t = t0 + (i + (prof[i] - half) / (prof[i] - prof[i + 1])) * step;
            break;
          }
      }
      found.push_back({cx + t * ct, cy + t * st, -b});
    }
    if (found.size() < 12) return false;
    std::vector<double> drops;
    for (const auto& f : found) drops.push_back(f[2]);
    const double md = median(drops);
    pts.clear();
    for (const auto& f : found)
      if (f[2] > 0.3 * md) pts.push_back({f[0], f[1]});
    double fx, fy, fr;
    if (!fit_circle(pts, &fx, &fy, &fr)) return false;
    // Edge points far off the circle (a fringe taken for the edge) out.
    std::vector<double> dev;
    for (const auto& p : pts) dev.push_back(std::fabs(std::hypot(p[0] - fx, p[1] - fy) - fr));
    const double lim = std::max(0.75, 4.0 * median(dev));
    std::vector<std::array<double, 2>> kept;
    for (std::size_t i = 0; i < pts.size(); ++i)
      if (dev[i] <= lim) kept.push_back(pts[i]);
    if (kept.size() < 12 || !fit_circle(kept, &fx, &fy, &fr)) return false;
    pts.swap(kept);
    double ss = 0;
    for (const auto& p : pts) ss += std::pow(std::hypot(p[0] - fx, p[1] - fy) - fr, 2);
    spread = std::sqrt(ss / pts.size());
    if (std::hypot(fx - x0, fy - y0) > 0.5 * r || fr < 0.6 * r || fr > 1.4 * r) return false;
    cx = fx, cy = fy, rad = fr;
  }
  out->x = cx;
  out->y = cy;
  out->edge_points = static_cast<int>(pts.size());
  out->edge_radius_px = rad;
  // Uncertainty of the centre: the edge points' scatter about the circle
  // over the square root of their number (on each axis, about half of it).
  out->centre_sd_px = std::max(spread, 0.05) * std::sqrt(2.0 / pts.size());
  if (edges) *edges = pts;
  return true;
}

Calibration calibrate_pattern(const PatternImage& img, const std::vector<ZoneReflection>& refl,
                              const CalibrationOptions& opt, const std::string& image_name) {
  const int i000 = index_of_000(refl);
  if (i000 < 0) calibration_fault(image_name, "the reflections to index against do not include 0 0 0");
  const DiskEstimate e0 = estimate_000(img, opt.manual_000);
  if (e0.r < 3.0)
    calibration_fault(image_name, "no bright disk found for 0 0 0; give its pixel (IMPORT key centre_000_px)");
  FoundDisk d000;
  std::vector<std::array<double, 2>> edges;
  Measured c0{e0.x, e0.y, 1.0, e0.r, {}};
  auto weight = [](const FoundDisk& f) { return 1.0 / (f.centre_sd_px * f.centre_sd_px); };
  if (refine_disk(img, e0.x, e0.y, e0.r, &d000, &edges)) c0 = {d000.x, d000.y, weight(d000), d000.edge_radius_px, edges};
  const double r = c0.radius;

  Calibration cal;
  const auto cands = disk_candidates(img, r);
  cal.candidates = static_cast<int>(cands.size());
  std::vector<Measured> m;
  for (std::size_t k = 0; k < cands.size() && k < 80; ++k) {
    FoundDisk f;
    if (std::hypot(cands[k][0] - c0.x, cands[k][1] - c0.y) < 0.5 * r) continue;
    if (!refine_disk(img, cands[k][0], cands[k][1], r, &f, &edges)) continue;
    if (std::fabs(f.edge_radius_px - r) > 0.2 * r) continue;
    bool dup = false;
    for (const auto& q : m) dup = dup || std::hypot(q.x - f.x, q.y - f.y) < 0.5 * r;
    if (!dup) m.push_back({f.x, f.y, weight(f), f.edge_radius_px, edges});
  }
  CameraGeometry g;
  if (!first_geometry(c0, m, refl, opt, r, &g))
    calibration_fault(image_name, strprintf("the %zu disks found besides 0 0 0 cannot be indexed against the zone's "
                                            "reflections; give the pixels of 0 0 0 and g1 (IMPORT keys centre_000_px "
                                            "and g1_px)",
                                            m.size()));

  // Indexed disks, then every reflection the geometry puts on the detector
  // looked for where it is predicted; the geometry refitted each round.
  std::vector<int> owner;
  std::vector<Measured> found;
  auto fit_all = [&]() {
    std::vector<Obs> obs;
    for (std::size_t i = 0; i < found.size(); ++i)
      obs.push_back({refl[owner[i]].u, refl[owner[i]].v, found[i].x, found[i].y, found[i].w});
    CameraGeometry ng = g;
    if (fit_geometry(obs, &ng)) g = ng;
  };
  auto add = [&](int k, const Measured& d) {
    for (std::size_t i = 0; i < owner.size(); ++i)
      if (owner[i] == k) return;
    owner.push_back(k);
    found.push_back(d);
  };
  add(i000, c0);
  for (const auto& d : m) {
    const auto t = g.to_tilt(d.x, d.y);
    double dist;
    const int k = nearest_reflection(refl, t[0], t[1], &dist);
    const auto p = g.to_pixel(refl[k].u, refl[k].v);
    if (std::hypot(p[0] - d.x, p[1] - d.y) < 0.3 * r) add(k, d);
  }
  fit_all();
  for (int round = 0; round < 2; ++round) {
    for (std::size_t k = 0; k < refl.size(); ++k) {
      const auto p = g.to_pixel(refl[k].u, refl[k].v);
      if (p[0] < r || p[1] < r || p[0] > img.width - 1 - r || p[1] > img.height - 1 - r) continue;
      bool have = false;
      for (int o : owner) have = have || o == static_cast<int>(k);
      if (have) continue;
      FoundDisk f;
      if (!refine_disk(img, p[0], p[1], r, &f, &edges)) continue;
      if (std::hypot(f.x - p[0], f.y - p[1]) > 0.3 * r || std::fabs(f.edge_radius_px - r) > 0.2 * r) continue;
      add(static_cast<int>(k), {f.x, f.y, weight(f), f.edge_radius_px, edges});
    }
    fit_all();
    // Disks far off the lattice (a mistaken edge) leave the fit.
    std::vector<double> res;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const auto p = g.to_pixel(refl[owner[i]].u, refl[owner[i]].v);
      res.push_back(std::hypot(p[0] - found[i].x, p[1] - found[i].y));
    }
    const double lim = std::max(0.5, 5.0 * median(res));
    std::vector<int> o2;
    std::vector<Measured> f2;
    for (std::size_t i = 0; i < found.size(); ++i)
      if (res[i] <= lim || owner[i] == i000) o2.push_back(owner[i]), f2.push_back(found[i]);
    owner.swap(o2);
    found.swap(f2);
    fit_all();
  }
  if (found.size() < 3)
    calibration_fault(image_name, strprintf("only %zu disks could be measured and indexed (3 at least are needed); "
                                            "give the pixels of 0 0 0 and g1 (IMPORT keys centre_000_px and g1_px)",
                                            found.size()));
  // Disk radius in tilt units: the edge points of every disk mapped back.
  // The median: a ray that took a fringe inside the disk for the edge can
  // only make a distance short.
  std::vector<double> dist;
  for (const auto& d : found)
    for (const auto& e : d.edges) {
      const auto a = g.to_tilt(e[0], e[1]), c = g.to_tilt(d.x, d.y);
      dist.push_back(std::hypot(a[0] - c[0], a[1] - c[1]));
    }
  g.disk_half_width = dist.empty() ? r / g.px_per_g1half() : median(dist);
  cal.geom = g;
  double ss = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    FoundDisk f;
    f.reflection = owner[i];
    f.x = found[i].x, f.y = found[i].y;
    const auto p = g.to_pixel(refl[owner[i]].u, refl[owner[i]].v);
    f.fit_x = p[0], f.fit_y = p[1];
    f.residual = std::hypot(p[0] - f.x, p[1] - f.y);
    f.edge_points = static_cast<int>(found[i].edges.size());
    f.edge_radius_px = found[i].radius;
    if (owner[i] == i000) cal.centre_residual_px = f.residual;
    ss += f.residual * f.residual;
    cal.disks.push_back(f);
  }
  cal.rms_residual_px = std::sqrt(ss / found.size());
  return cal;
}

}  // namespace kv
