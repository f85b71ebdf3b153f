#include "vis/cbed_figure.hpp"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <numeric>
#include <memory>
#include <string>
#include <vector>

#include "vis/html_escape.hpp"
#include "crystal/lattice.hpp"
#include "sim/linereader.hpp"
#include "vis/canvas.hpp"

namespace kv {

namespace {

// ---------------------------------------------------------------- reading


DiskValues read_disk(FILE* fp, const Hkl& expected, std::size_t npoints, bool two_columns) {
  chk_data("RF{", fp);
  double v[3];
  str_to_fs(3, need_line(kLineCap, fp), v, fp);
  DiskValues d;
  d.hkl = Hkl{int_field(v[0], {}, "h", fp), int_field(v[1], {}, "k", fp), int_field(v[2], {}, "l", fp)};
  if (d.hkl != expected) error_exit(stdout, "(qz_visualization) hkl");
  d.a.assign(npoints, 0.0);
  d.b.assign(npoints, 0.0);
  for (std::size_t k = 0; k < npoints; ++k) {
    if (two_columns)
      fget_2d(&d.a[k], &d.b[k], fp);
    else
      d.a[k] = fget_d(fp);
  }
  chk_data("}RF", fp);
  return d;
}

// ------------------------------------------------------------ disk grids

// The values of one disk on its regular tilt grid (n x n, H along i, G
// along j), with a mask of the computed points.
struct DiskGrid {
  int n = 0;
  double d = 0, step = 0;
  std::vector<double> a, b;
  std::vector<char> valid;
  double at(const std::vector<double>& v, int i, int j) const { return v[static_cast<std::size_t>(j) * n + i]; }
  bool ok(int i, int j) const {
    return i >= 0 && j >= 0 && i < n && j < n && valid[static_cast<std::size_t>(j) * n + i];
  }
};

// Tilt of point k relative to the centre tilt: intensity results store it
// so, coherent results store the absolute tilt.
void relative_tilt(const CbedFigureInput& in, std::size_t k, double* h, double* g) {
  *h = in.h.points[k].H - (in.coherent ? in.h.tiltH : 0.0);
  *g = in.h.points[k].G - (in.coherent ? in.h.tiltG : 0.0);
}

DiskGrid make_grid(const CbedFigureInput& in, const DiskValues& dv) {
  DiskGrid gr;
  gr.n = in.h.num_pix_side;
  gr.d = in.h.Hend;
  gr.step = 2.0 * gr.d / (gr.n - 1);
  const std::size_t cells = static_cast<std::size_t>(gr.n) * gr.n;
  gr.a.assign(cells, 0.0);
  gr.b.assign(cells, 0.0);
  gr.valid.assign(cells, 0);
  for (std::size_t k = 0; k < in.h.points.size(); ++k) {
    if (in.h.points[k].flag != 1) continue;
    double h, g;
    relative_tilt(in, k, &h, &g);
    const long i = std::lround((h + gr.d) / gr.step), j = std::lround((g + gr.d) / gr.step);
    if (i < 0 || j < 0 || i >= gr.n || j >= gr.n) continue;
    const std::size_t at = static_cast<std::size_t>(j) * gr.n + static_cast<std::size_t>(i);
    gr.a[at] = dv.a[k];
    gr.b[at] = dv.b[k];
    gr.valid[at] = 1;
  }
  return gr;
}

// Bilinear interpolation at (h, g) relative to the disk centre over the
// computed neighbours; false where none of the four is computed.
bool sample(const DiskGrid& gr, double h, double g, double* a, double* b) {
  const double u = (h + gr.d) / gr.step, v = (g + gr.d) / gr.step;
  const int i0 = static_cast<int>(std::floor(u)), j0 = static_cast<int>(std::floor(v));
  const double fu = u - i0, fv = v - j0;
  double wsum = 0, sa = 0, sb = 0;
  for (int dj = 0; dj < 2; ++dj)
    for (int di = 0; di < 2; ++di) {
      const int i = i0 + di, j = j0 + dj;
      if (!gr.ok(i, j)) continue;
      const double w = (di ? fu : 1 - fu) * (dj ? fv : 1 - fv);
      wsum += w;
      sa += w * gr.at(gr.a, i, j);
      sb += w * gr.at(gr.b, i, j);
    }
  if (wsum <= 1e-12) return false;
  *a = sa / wsum;
  *b = sb / wsum;
  return true;
}

// ---------------------------------------------------------------- layout

constexpr double kTextBand = 58;    // title lines above the pattern
constexpr double kBottomBand = 78;  // scale bar and directions below
constexpr double kBarBand = 120;    // colour bar on the right
constexpr double kMargin = 24;
constexpr double kMaxSide = 6000;
constexpr double kViewSide = 1600;  // the widest pattern a page shows at its own size

struct Layout {
  double sc = 1;               // picture pixels per tilt unit
  double radius_px = 64;       // disk radius on the picture
  int width = 0, height = 0;
  double px0 = 0, py0 = 0, pw = 0, ph = 0;  // pattern area
  std::vector<double> cx, cy;  // disk centres on the picture
};

// Disk centre in tilt units: the RF_INDEX position is in pixels of the
// grey-level canvas (n pixels per 2d tilt units).
void disk_centre_tilt(const SimResultHeader& h, std::size_t i, double* ch, double* cg) {
  const double per_px = 2.0 * h.Hend / h.num_pix_side;
  *ch = h.reflexes[i].x * per_px;
  *cg = h.reflexes[i].y * per_px;
}

// label_room: extra height under each disk for a second label line.
Layout layout_figure(const CbedFigureInput& in, int disk_px, FigureLayoutKind kind, double label_room) {
  Layout L;
  const double d = in.h.Hend;
  L.sc = disk_px / (2.0 * d);
  L.radius_px = disk_px / 2.0;
  const std::size_t nd = in.disks.size();
  if (kind == FigureLayoutKind::pattern) {
    double hmin = 1e300, hmax = -1e300, gmin = 1e300, gmax = -1e300;
    for (std::size_t i = 0; i < nd; ++i) {
      double ch, cg;
      disk_centre_tilt(in.h, i, &ch, &cg);
      hmin = std::min(hmin, ch - d);
      hmax = std::max(hmax, ch + d);
      gmin = std::min(gmin, cg - d);
      gmax = std::max(gmax, cg + d);
    }
    // Very wide patterns are drawn with smaller disks.
    const double span = std::max(hmax - hmin, gmax - gmin);
    if (span * L.sc > kMaxSide) {
      L.sc = kMaxSide / span;
      L.radius_px = L.sc * d;
    }
    L.pw = (hmax - hmin) * L.sc + 2 * kMargin;
    L.ph = (gmax - gmin) * L.sc + 2 * kMargin + 18 + label_room;  // room for the lowest labels
    L.px0 = 0;
    L.py0 = kTextBand;
    for (std::size_t i = 0; i < nd; ++i) {
      double ch, cg;
      disk_centre_tilt(in.h, i, &ch, &cg);
      L.cx.push_back(L.px0 + kMargin + (ch - hmin) * L.sc);
      L.cy.push_back(L.py0 + kMargin + (gmax - cg) * L.sc);
    }
  } else {
    const int cols = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(nd)))));
    const int rows = static_cast<int>((nd + cols - 1) / cols);
    const double cw = disk_px + 16, chh = disk_px + 30 + label_room;
    L.pw = cols * cw + 2 * kMargin;
    L.ph = rows * chh + 2 * kMargin;
    L.px0 = 0;
    L.py0 = kTextBand;
    for (std::size_t i = 0; i < nd; ++i) {
      const int c = static_cast<int>(i) % cols, r = static_cast<int>(i) / cols;
      L.cx.push_back(L.px0 + kMargin + c * cw + cw / 2);
      L.cy.push_back(L.py0 + kMargin + r * chh + disk_px / 2.0 + 6);
    }
  }
  L.width = static_cast<int>(std::ceil(std::max(L.pw, 520.0) + kBarBand));
  L.height = static_cast<int>(std::ceil(kTextBand + std::max(L.ph, 300.0) + kBottomBand));
  return L;
}

// -------------------------------------------------------------- drawing

constexpr double kFg[3] = {0.93, 0.93, 0.93};

// The largest value of a disk of intensities.
double disk_maximum(const DiskValues& d) {
  double m = 0.0;
  for (double v : d.a) m = std::max(m, v);
  return m;
}

double shade(double v, double max, double gamma) {
  if (!(max > 0) || !(v > 0)) return 0.0;
  return std::pow(std::min(v / max, 1.0), gamma);
}

// Writes the disks pixel by pixel into the image data: overlapping disks
// add their intensities, or their amplitudes for a coherent result.
void paint_disks(const CbedFigureInput& in, const Layout& L, const FigureStyle& style,
                 cairo_surface_t* s) {
  const int w = L.width, hgt = L.height;
  std::vector<double> A(static_cast<std::size_t>(w) * hgt, 0.0), B(A.size(), 0.0);
  std::vector<char> covered(A.size(), 0);
  bool square = true;
  for (const SimPoint& p : in.h.points) square = square && p.flag == 1;
  const double d = in.h.Hend;
  const bool per_disk = style.per_disk && !in.coherent;
  for (std::size_t i = 0; i < in.disks.size(); ++i) {
    const DiskGrid gr = make_grid(in, in.disks[i]);
    // On its own scale a disk is divided by its maximum (the colour bar runs
    // from 0 to 1); a disk that is zero everywhere stays dark.
    const double own = per_disk ? disk_maximum(in.disks[i]) : 0.0;
    const double div = per_disk ? (own > 0 ? own : 1.0) : 1.0;
    const int x0 = std::max(0, static_cast<int>(std::floor(L.cx[i] - L.radius_px)));
    const int x1 = std::min(w - 1, static_cast<int>(std::ceil(L.cx[i] + L.radius_px)));
    const int y0 = std::max(0, static_cast<int>(std::floor(L.cy[i] - L.radius_px)));
    const int y1 = std::min(hgt - 1, static_cast<int>(std::ceil(L.cy[i] + L.radius_px)));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double h = (x + 0.5 - L.cx[i]) / L.sc, g = -(y + 0.5 - L.cy[i]) / L.sc;
        if (square ? (std::fabs(h) > d || std::fabs(g) > d) : (h * h + g * g > d * d)) continue;
        double a, b;
        if (!sample(gr, h, g, &a, &b)) continue;
        const std::size_t at = static_cast<std::size_t>(y) * w + x;
        A[at] += a / div;
        B[at] += b;
        covered[at] = 1;
      }
  }
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < hgt; ++y)
    for (int x = 0; x < w; ++x) {
      const std::size_t at = static_cast<std::size_t>(y) * w + x;
      if (!covered[at]) continue;
      const double v = in.coherent ? A[at] * A[at] + B[at] * B[at] : A[at];
      const Rgb c = colormap_rgb(style.cmap, shade(v, per_disk ? 1.0 : in.max, in.gamma));
      auto* px = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride) + x;
      *px = 0xff000000u | (static_cast<std::uint32_t>(c.r) << 16) | (static_cast<std::uint32_t>(c.g) << 8) | c.b;
    }
  cairo_surface_mark_dirty(s);
}

void set_fg(cairo_t* cr) { cairo_set_source_rgb(cr, kFg[0], kFg[1], kFg[2]); }

double text_width(cairo_t* cr, const std::string& t) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, t.c_str(), &e);
  return e.x_advance;
}

// Text with a dark outline so that it reads on bright disks too.
void halo_text(cairo_t* cr, double x, double y, const std::string& t) {
  cairo_move_to(cr, x, y);
  cairo_text_path(cr, t.c_str());
  cairo_set_source_rgba(cr, 0, 0, 0, 0.85);
  cairo_set_line_width(cr, 3.0);
  cairo_stroke(cr);
  cairo_move_to(cr, x, y);
  set_fg(cr);
  cairo_show_text(cr, t.c_str());
}

// Miller indices in the crystallographer's way: negative indices carry a
// bar over the digits; centred on x. On hexagonal axes the reflection is
// written with four Miller-Bravais indices (h k i l), i = -(h + k).
void draw_hkl(cairo_t* cr, const Hkl& hkl, bool four_index, double x, double y, double size) {
  cairo_set_font_size(cr, size);
  const std::vector<int> v = four_index ? std::vector<int>{hkl.h, hkl.k, -(hkl.h + hkl.k), hkl.l}
                                        : std::vector<int>{hkl.h, hkl.k, hkl.l};
  const int n = static_cast<int>(v.size());
  std::vector<std::string> digits(v.size());
  double total = 0;
  const double gap = size * 0.28;
  for (int c = 0; c < n; ++c) {
    digits[c] = std::to_string(std::abs(v[c]));
    total += text_width(cr, digits[c]);
  }
  total += (n - 1) * gap;
  double at = x - total / 2;
  for (int c = 0; c < n; ++c) {
    const double tw = text_width(cr, digits[c]);
    halo_text(cr, at, y, digits[c]);
    if (v[c] < 0) {
      const double by = y - size * 0.82;
      cairo_set_source_rgba(cr, 0, 0, 0, 0.85);
      cairo_set_line_width(cr, 3.0);
      cairo_move_to(cr, at, by);
      cairo_line_to(cr, at + tw, by);
      cairo_stroke(cr);
      set_fg(cr);
      cairo_set_line_width(cr, 1.2);
      cairo_move_to(cr, at, by);
      cairo_line_to(cr, at + tw, by);
      cairo_stroke(cr);
    }
    at += tw + gap;
  }
}

// A value rounded down to 1, 2 or 5 times a power of ten.
double nice_below(double v) {
  if (!(v > 0)) return 0;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  const double m = v / p;
  return (m >= 5 ? 5 : m >= 2 ? 2 : 1) * p;
}

void arrow(cairo_t* cr, double x0, double y0, double x1, double y1) {
  set_fg(cr);
  cairo_set_line_width(cr, 2.0);
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
  cairo_stroke(cr);
  const double a = std::atan2(y1 - y0, x1 - x0), hl = 9;
  cairo_move_to(cr, x1, y1);
  cairo_line_to(cr, x1 - hl * std::cos(a - 0.4), y1 - hl * std::sin(a - 0.4));
  cairo_line_to(cr, x1 - hl * std::cos(a + 0.4), y1 - hl * std::sin(a + 0.4));
  cairo_close_path(cr);
  cairo_fill(cr);
}

std::string vec_text(const double* v) {
  return strprintf("%.4g %.4g %.4g", std::fabs(v[0]) < 1e-9 ? 0.0 : v[0], std::fabs(v[1]) < 1e-9 ? 0.0 : v[1],
                   std::fabs(v[2]) < 1e-9 ? 0.0 : v[2]);
}

}  // namespace

std::optional<std::array<int, 3>> direction_hkl(const double* v, int max_index) {
  double big = 0;
  for (int c = 0; c < 3; ++c) big = std::max(big, std::fabs(v[c]));
  if (!(big > 0) || !std::isfinite(big)) return std::nullopt;
  for (int d = 1; d <= max_index; ++d) {
    std::array<int, 3> n{};
    bool whole = true;
    for (int c = 0; c < 3 && whole; ++c) {
      const double x = v[c] / big * d;
      n[c] = static_cast<int>(std::lround(x));
      whole = std::fabs(x - n[c]) < 1e-6 * d;
    }
    if (!whole) continue;
    const int g = std::gcd(std::gcd(std::abs(n[0]), std::abs(n[1])), std::abs(n[2]));
    for (int& x : n) x /= g;
    return n;
  }
  return std::nullopt;
}

std::string g2_direction_text(const double* g2, bool four_index) {
  // g2 = B x g1 scaled to |g1| is a direction in the zero-order zone, in
  // general not a reciprocal-lattice vector itself: name the shortest
  // reflection along it, or say how it is made.
  if (const auto n = direction_hkl(g2, 24)) {
    if (four_index)
      return strprintf("g2 along %d %d %d %d", (*n)[0], (*n)[1], -((*n)[0] + (*n)[1]), (*n)[2]);
    return strprintf("g2 along %d %d %d", (*n)[0], (*n)[1], (*n)[2]);
  }
  return "g2 = B x g1, |g2| = |g1|";
}

namespace {

// Title lines: crystal, zone axis, voltage, thickness, convergence angle.
void draw_title(cairo_t* cr, const CbedFigureInput& in, double mrad_per_unit, const FigureStyle& style) {
  const SimResultHeader& h = in.h;
  std::string line1 = in.info && !in.info->crystal.empty() ? in.info->crystal + "  " : "";
  line1 += direction_text(h.incidence, h.cell);
  if (in.info) line1 += strprintf("   %g kV", in.info->voltage_kv);
  line1 += strprintf("   t = %g \xC3\x85", h.thickness);  // angstrom sign
  if (mrad_per_unit > 0)
    line1 += strprintf("   \xCE\xB1 = %.3g mrad", h.Hend * mrad_per_unit);
  else
    line1 += strprintf("   disk radius %g (g1/2)", h.Hend);
  if (in.coherent) line1 += "   coherent probe";
  std::string line2 = strprintf("a b c = %g %g %g \xC3\x85   tilt (H, G) = (%g, %g)   ", h.cell[0], h.cell[1],
                                h.cell[2], h.tiltH, h.tiltG);
  if (in.info) line2 += strprintf("%d + %d beams   ", in.info->num_exact_beam, in.info->num_bethe_beam);
  line2 += strprintf("gamma %g   %s", in.gamma, colormap_name(style.cmap));
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 17);
  set_fg(cr);
  cairo_move_to(cr, 14, 24);
  cairo_show_text(cr, line1.c_str());
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  cairo_move_to(cr, 14, 45);
  cairo_show_text(cr, line2.c_str());
}

// Scale bar in mrad (when the voltage is known) and 1/A, and the g1 and g2
// arrows: g1 points right, g2 up.
void draw_scale_and_axes(cairo_t* cr, const CbedFigureInput& in, const Layout& L, double mrad_per_unit,
                         double inv_a_per_unit, const double* g2) {
  const double y = L.height - kBottomBand + 34;
  const double target_px = std::max(80.0, 2.0 * L.radius_px);
  std::string label;
  double len_units;
  if (mrad_per_unit > 0) {
    const double mrad = nice_below(target_px / L.sc * mrad_per_unit);
    len_units = mrad / mrad_per_unit;
    label = strprintf("%g mrad = %.3g \xC3\x85\xE2\x81\xBB\xC2\xB9", mrad, len_units * inv_a_per_unit);
  } else {
    const double inv = nice_below(target_px / L.sc * inv_a_per_unit);
    len_units = inv / inv_a_per_unit;
    label = strprintf("%g \xC3\x85\xE2\x81\xBB\xC2\xB9", inv);
  }
  const double len = len_units * L.sc;
  set_fg(cr);
  cairo_set_line_width(cr, 4.0);
  cairo_move_to(cr, 20, y);
  cairo_line_to(cr, 20 + len, y);
  cairo_stroke(cr);
  cairo_set_font_size(cr, 13);
  cairo_move_to(cr, 20, y - 10);
  cairo_show_text(cr, label.c_str());

  const double ax = std::max(40.0 + len + text_width(cr, label), 260.0), ay = y + 8;
  arrow(cr, ax, ay, ax + 50, ay);
  arrow(cr, ax, ay, ax, ay - 50);
  cairo_move_to(cr, ax + 56, ay + 4);
  std::string g1_text = vec_text(in.h.zolzbase1);
  if (hexagonal_axes(in.h.cell)) {
    // A whole-number g1 on hexagonal axes in its four indices (h k i l).
    const double* g = in.h.zolzbase1;
    bool whole = true;
    for (int c = 0; c < 3; ++c) whole = whole && std::fabs(g[c] - std::round(g[c])) < 1e-9;
    if (whole)
      g1_text = strprintf("%d %d %d %d", static_cast<int>(std::round(g[0])), static_cast<int>(std::round(g[1])),
                          -static_cast<int>(std::round(g[0] + g[1])), static_cast<int>(std::round(g[2])));
  }
  cairo_show_text(cr, ("g1 = " + g1_text).c_str());
  cairo_move_to(cr, ax + 8, ay - 42);
  cairo_show_text(cr, (g2_direction_text(g2, hexagonal_axes(in.h.cell)) + "  (up)").c_str());
}

// Vertical colour bar with ticks at round intensities (placed through the
// same gamma as the picture).
void draw_colour_bar(cairo_t* cr, const CbedFigureInput& in, const Layout& L, const FigureStyle& style) {
  const double x = L.width - kBarBand + 26, top = kTextBand + 24, bw = 18;
  const double bh = std::max(120.0, std::min(L.ph - 48, 420.0));
  for (int j = 0; j < static_cast<int>(bh); ++j) {
    const Rgb c = colormap_rgb(style.cmap, 1.0 - j / bh);
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_rectangle(cr, x, top + j, bw, 1.2);
    cairo_fill(cr);
  }
  set_fg(cr);
  cairo_set_line_width(cr, 1.0);
  cairo_rectangle(cr, x, top, bw, bh);
  cairo_stroke(cr);
  cairo_set_font_size(cr, 11);
  const bool per_disk = style.per_disk && !in.coherent;
  const double bar_max = per_disk ? 1.0 : in.max;
  const double step = nice_below(bar_max / 4);
  if (step > 0) {
    for (double v = 0; v <= bar_max * (1 + 1e-9); v += step) {
      const double yy = top + bh * (1 - shade(v, bar_max, in.gamma));
      cairo_move_to(cr, x + bw, yy);
      cairo_line_to(cr, x + bw + 5, yy);
      cairo_stroke(cr);
      cairo_move_to(cr, x + bw + 7, yy + 4);
      cairo_show_text(cr, strprintf("%g", v).c_str());
    }
  }
  cairo_move_to(cr, x - 8, top - 8);
  cairo_show_text(cr, in.coherent ? "|amplitude|\xC2\xB2" : per_disk ? "per-disk scale" : "intensity");
  // The unit: the results are fractions of the incident beam times the
  // run's intensity_scaling, recorded in its export.
  if (in.info && in.info->intensity_scaling > 0) {
    cairo_move_to(cr, x - 8, top - 22);
    cairo_show_text(cr, strprintf("incident = %g", in.info->intensity_scaling).c_str());
  }
  cairo_move_to(cr, x - 8, top + bh + 16);
  cairo_show_text(cr, per_disk ? "max: see labels" : strprintf("max %g", in.max).c_str());
}

}  // namespace

CbedFigureInput read_cbed_figure_input(const std::string& file, bool coherent, double gamma, double preset_max) {
  File fp = fopen_chk_rmode(file);
  CbedFigureInput in;
  in.coherent = coherent;
  in.h = read_sim_result_header(fp.get(), coherent ? "SIM_COHERENT_RESULT" : "SIM_RESULT");
  for (const SimReflexPos& r : in.h.reflexes)
    in.disks.push_back(read_disk(fp.get(), r.hkl, in.h.points.size(), coherent));
  in.gamma = gamma;
  in.max = preset_max > 0.0 ? preset_max : in.h.max;
  if (coherent && !(preset_max > 0.0)) {
    // The file's VISUAL maximum of a coherent result is a fixed number; the
    // colour bar ends at the largest intensity of a single disk instead.
    double m = 0;
    for (const DiskValues& d : in.disks)
      for (std::size_t k = 0; k < d.a.size(); ++k) m = std::max(m, d.a[k] * d.a[k] + d.b[k] * d.b[k]);
    in.max = m;
  }
  in.info = read_export_info(export_path_for_result(file));
  return in;
}

CbedFigureInput zero_order_zone(const CbedFigureInput& in, double radius) {
  CbedFigureInput out = in;
  out.h.reflexes.clear();
  out.disks.clear();
  const Hkl& uvw = in.h.incidence;
  for (std::size_t i = 0; i < in.disks.size(); ++i) {
    const Hkl& g = in.disks[i].hkl;
    if (g.h * uvw.h + g.k * uvw.k + g.l * uvw.l != 0) continue;
    double ch, cg;
    disk_centre_tilt(in.h, i, &ch, &cg);
    if (std::hypot(ch, cg) > radius * (1 + 1e-9)) continue;
    out.h.reflexes.push_back(in.h.reflexes[i]);
    out.disks.push_back(in.disks[i]);
  }
  out.note = strprintf("zero-order Laue zone, disk centres within %.3g (g1/2) of 000: %zu of %zu disks", radius,
                       out.disks.size(), in.disks.size());
  return out;
}

double zoom_radius_for(const CbedFigureInput& in, const FigureStyle& style) {
  if (style.zoom_radius > 0) return style.zoom_radius;
  const double d = in.h.Hend;
  if (!(d > 0) || in.disks.empty()) return 0.0;
  // A whole pattern that a page shows at its own size needs no second
  // picture; a wider one is shrunk by the browser (or here, beyond kMaxSide)
  // until its labels are unreadable.
  const Layout whole = layout_figure(in, style.disk_px, FigureLayoutKind::pattern, 0.0);
  if (std::max(whole.pw, whole.ph) <= kViewSide) return 0.0;
  // At full size the zoomed picture spans kViewSide pixels: disks whose
  // centres lie within (kViewSide / sc - 2d) / 2 of 000 fit.
  const double sc = style.disk_px / (2.0 * d);
  return std::max(d, (kViewSide / sc - 2.0 * d) / 2.0);
}

bool draw_cbed_figure(const CbedFigureInput& in, const FigureStyle& style, FigureLayoutKind kind,
                      const std::string& png) {
  if (in.disks.empty() || in.h.num_pix_side < 2 || !(in.h.Hend > 0) || !(in.h.Gend > 0)) {
    std::printf("$$ (figure) %s holds no 2-D tilt grid: no labelled picture.\n", png.c_str());
    return false;
  }
  const Layout L = layout_figure(in, style.disk_px, kind, style.per_disk && !in.coherent ? 16.0 : 0.0);
  Surface surface = dark_canvas(L.width, L.height).surface;
  paint_disks(in, L, style, surface.get());

  Context ctx(cairo_create(surface.get()), cairo_destroy);
  cairo_t* cr = ctx.get();
  const lattice_metric lm = bravai(in.h.cell);
  const Vec3 g1{in.h.zolzbase1[0], in.h.zolzbase1[1], in.h.zolzbase1[2]};
  const Vec3 g2 = zolz_ort_base(in.h.incidence, g1, lm);
  const double inv_a_per_unit = 0.5 * std::sqrt(sq_abs(g1, lm));
  const double lambda = in.info ? wavelength(in.info->voltage_kv) : 0.0;
  const double mrad_per_unit = inv_a_per_unit * lambda * 1000.0;

  draw_title(cr, in, mrad_per_unit, style);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  const double label_size = std::clamp(L.radius_px / 4.5, 9.0, 15.0);
  // Labels go under their disk; where disks overlap (a coherent pattern
  // with a large aperture) a label under the disk would sit on a
  // neighbour, so it marks the disk centre instead.
  double closest = 1e300;
  for (std::size_t i = 0; i < in.disks.size(); ++i)
    for (std::size_t j = i + 1; j < in.disks.size(); ++j)
      closest = std::min(closest, std::hypot(L.cx[i] - L.cx[j], L.cy[i] - L.cy[j]));
  const bool overlap = kind == FigureLayoutKind::pattern && closest < 2.0 * L.radius_px - 1.0;
  const bool per_disk = style.per_disk && !in.coherent;
  const bool four_index = hexagonal_axes(in.h.cell);
  for (std::size_t i = 0; i < in.disks.size(); ++i) {
    const double ly = overlap ? L.cy[i] + label_size * 0.4 : L.cy[i] + L.radius_px + label_size + 2;
    draw_hkl(cr, in.disks[i].hkl, four_index, L.cx[i], ly, label_size);
    if (per_disk) {
      // The disk's own scale: its maximum in the result's units.
      const std::string m = strprintf("max %.4g", disk_maximum(in.disks[i]));
      cairo_set_font_size(cr, label_size * 0.8);
      halo_text(cr, L.cx[i] - text_width(cr, m) / 2, ly + label_size + 1, m);
    }
  }
  if (!in.note.empty()) {
    cairo_set_font_size(cr, 12);
    set_fg(cr);
    cairo_move_to(cr, 14, kTextBand + 4);
    cairo_show_text(cr, in.note.c_str());
  }
  draw_scale_and_axes(cr, in, L, mrad_per_unit, inv_a_per_unit, g2.data());
  draw_colour_bar(cr, in, L, style);

  write_png(surface.get(), png);
  return true;
}

std::string figure_page_name(const std::string& sim_page, FigureLayoutKind kind) {
  std::string b = sim_page;
  const std::size_t dot = b.rfind('.');
  const std::size_t slash = b.find_last_of("/\\");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) b = b.substr(0, dot);
  if (!b.empty() && b.back() == '_') b.pop_back();
  return b + (kind == FigureLayoutKind::pattern ? "_pattern.html" : "_reflex.html");
}

void FigurePage::open(const std::string& sim_page, FigureLayoutKind kind) {
  finish();
  kind_ = kind;
  name_ = figure_page_name(sim_page, kind);
  fp_ = qz_fopen_chk_wmode(name_);
  qz_fprintf(fp_.get(), "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n",
             html_text(name_).c_str());
  qz_fprintf(fp_.get(),
             "<style>body{background:#101014;color:#eee;font-family:sans-serif}"
             "img{max-width:100%%;height:auto}a{color:#9cf}</style>\n</head>\n<body>\n");
  qz_fprintf(fp_.get(), "<h1>%s</h1>\n", kind == FigureLayoutKind::pattern ? "CBED patterns" : "CBED disks");
}

void FigurePage::close() {
  if (!fp_) return;
  qz_fprintf(fp_.get(), "</body>\n</html>\n");
  fp_.commit();
  std::printf("\n==> SEE %s\n\n", name_.c_str());
}

void FigurePage::finish() {
  if (fp_) fp_.commit();
}

void FigurePage::add(const std::string& file, double gamma, double preset_max, bool coherent,
                     const FigureStyle& style) {
  const CbedFigureInput in = read_cbed_figure_input(file, coherent, gamma, preset_max);
  const std::string png =
      remove_extention(file) + (kind_ == FigureLayoutKind::pattern ? "_pattern.png" : "_reflex.png");
  if (is_input_file(png)) error_exit(stdout, "%s is an input file of this run and is not overwritten", png.c_str());
  if (!draw_cbed_figure(in, style, kind_, png)) return;
  std::printf("Labelled picture ==> %s\n", png.c_str());
  const std::string h5 = export_path_for_result(file);
  // With higher-order zones the whole pattern may have to shrink its disks;
  // the zero-order zone is then drawn at full size beside it.
  const double zoom = kind_ == FigureLayoutKind::pattern ? zoom_radius_for(in, style) : 0.0;
  if (zoom > 0) {
    const std::string zpng = remove_extention(file) + "_zoom.png";
    if (is_input_file(zpng))
      error_exit(stdout, "%s is an input file of this run and is not overwritten", zpng.c_str());
    const CbedFigureInput z = zero_order_zone(in, zoom);
    if (!z.disks.empty() && draw_cbed_figure(z, style, kind_, zpng)) {
      std::printf("Labelled picture ==> %s\n", zpng.c_str());
      qz_fprintf(fp_.get(), "<figure>\n<img src=\"%s\" alt=\"%s\">\n", html_url(zpng).c_str(),
                 html_text(zpng).c_str());
      qz_fprintf(fp_.get(), "<figcaption>%s, thickness %g &Aring;: %s</figcaption>\n</figure>\n",
                 html_text(file).c_str(), in.h.thickness, html_text(z.note).c_str());
    }
  }
  qz_fprintf(fp_.get(), "<figure>\n<img src=\"%s\" alt=\"%s\">\n", html_url(png).c_str(), html_text(png).c_str());
  qz_fprintf(fp_.get(), "<figcaption>%s, thickness %g &Aring;%s", html_text(file).c_str(), in.h.thickness,
             zoom > 0 ? ", the whole pattern" : "");
  if (in.info)
    qz_fprintf(fp_.get(), ", numbers in <a href=\"%s\">%s</a>", html_url(h5).c_str(), html_text(h5).c_str());
  qz_fprintf(fp_.get(), "</figcaption>\n</figure>\n<hr>\n");
}

FigureStyle read_figure_style(FILE* script) {
  const std::string line = need_line(kLineCap, script);
  const std::vector<std::string_view> t = split_tokens(line);
  FigureStyle st;
  const std::optional<Colormap> cm = t.empty() ? std::nullopt : colormap_from_name(std::string(t[0]));
  const int px = t.size() >= 2 && is_number(t[1]) ? checked_int(t[1], "disk size", script) : 0;
  if (!cm || px < 16 || px > 1024)
    error_exit(stdout, "FIGURE_STYLE: expected a colour map (viridis, inferno, grey) and a disk size of 16 to 1024 "
                       "pixels, buf=%s",
               printable(rm_cr_copy(line)).c_str());
  st.cmap = *cm;
  st.disk_px = px;
  // Optional words after the disk size: per_disk, and zoom R (g1/2 units).
  for (std::size_t i = 2; i < t.size(); ++i) {
    if (t[i] == "per_disk") {
      st.per_disk = true;
    } else if (t[i] == "zoom" && i + 1 < t.size() && is_number(t[i + 1]) &&
               std::strtod(std::string(t[i + 1]).c_str(), nullptr) > 0 &&
               std::isfinite(std::strtod(std::string(t[i + 1]).c_str(), nullptr))) {
      st.zoom_radius = std::strtod(std::string(t[++i]).c_str(), nullptr);
    } else {
      error_exit(stdout, "FIGURE_STYLE: after the colour map and the disk size only per_disk and zoom R (a radius "
                         "above 0, units of g1/2) may follow, buf=%s",
                 printable(rm_cr_copy(line)).c_str());
    }
  }
  return st;
}

}  // namespace kv
