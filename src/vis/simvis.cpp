#include "vis/html.hpp"
#include "vis/simvis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "numeric/matrix.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "vis/pgm.hpp"
#include "vis/spawn.hpp"

namespace kv {

namespace {

// Truncation toward zero that cannot overflow: pixel positions and indices
// far outside any picture are clamped (and then reported as out of area or
// as a canvas too large).
int trunc_int(double v) {
  if (!(v == v)) return 0;
  constexpr double lim = 1e9;
  return static_cast<int>(std::trunc(std::clamp(v, -lim, lim)));
}

// Largest canvas side and area of a whole pattern.
constexpr long long kMaxCanvasSide = 1 << 16;
constexpr long long kMaxCanvasArea = 1LL << 26;

// Indices and counts read from a result file must be integers in the int
// range; a damaged header is refused rather than clamped.
Hkl hkl_of(const double* v, FILE* fp) {
  return Hkl{int_field(v[0], {}, "h", fp), int_field(v[1], {}, "k", fp), int_field(v[2], {}, "l", fp)};
}

// The most points along one side of a result's tilt grid (the simulation
// writes at most this many).
constexpr int kMaxResultPixSide = 4096;

// One RF block: "RF{", its h k l (which must be the expected reflection),
// one line per point with one value (intensity) or two (real and imaginary
// amplitude), "}RF".
void read_rf_block(FILE* fp, const Hkl& expected, std::size_t npoints, bool two_columns, std::vector<double>& a,
                   std::vector<double>& b) {
  chk_data("RF{", fp);
  double v[3];
  str_to_fs(3, need_line(kLineCap, fp), v, fp);
  if (hkl_of(v, fp) != expected) error_exit(stdout, "(qz_visualization) hkl");
  a.assign(npoints, 0.0);
  b.assign(npoints, 0.0);
  for (std::size_t k = 0; k < npoints; ++k) {
    if (two_columns)
      fget_2d(&a[k], &b[k], fp);
    else
      a[k] = fget_d(fp);
  }
  chk_data("}RF", fp);
}

// Pixel position, on the tilt grid, of a disk in a coherent pattern. The file
// gives x n/d (n points along a side, d the disk radius in tilt units, x the
// coefficient of g along g1); g lies 2x tilt units from 000 and the grid has
// (n - 1)/(2d) points per tilt unit, so the points of the disk that see the
// same outgoing directions as those of another disk lie x (n - 1)/d points
// further on. Rounded to the nearest point, so that overlapping disks add
// the amplitudes of one direction.
int tilt_grid_pixel(double file_pos, int n) {
  if (!(file_pos == file_pos)) return 0;
  const double scale = n > 0 ? static_cast<double>(n - 1) / n : 0.0;
  return trunc_int(std::round(std::clamp(file_pos * scale, -1e9, 1e9)));
}

// The canvas of a whole pattern: every disk placed at its pixel position,
// with a margin of 4 pixels and sides rounded to multiples of 4. Coherent
// patterns place the disks on the tilt grid (tilt_grid_pixel).
struct CanvasLayout {
  int width = 0, height = 0;
  int ox = 0, oy = 0;         // offset of the canvas origin
  std::vector<int> px, py;    // pixel position of each reflection
};

CanvasLayout layout_canvas(const SimResultHeader& h, bool on_tilt_grid = false) {
  if (h.reflexes.empty()) error_exit(stdout, "(qz_visualization) nx = %d", 0);
  // The point indices are offsets from a disk's position. Grids whose
  // indices are centred on the disk (negative values) reach below the
  // position; the extent takes them in so that no disk is cut off.
  int ih_min = 0, ih_max = -1, ig_min = 0, ig_max = -1;
  for (const SimPoint& p : h.points) {
    ih_min = std::min(ih_min, p.ih);
    ih_max = std::max(ih_max, p.ih);
    ig_min = std::min(ig_min, p.ig);
    ig_max = std::max(ig_max, p.ig);
  }
  const long long reach_x = std::max<long long>(h.num_pix_side, static_cast<long long>(ih_max) + 1);
  const long long reach_y = std::max<long long>(h.num_pix_side, static_cast<long long>(ig_max) + 1);

  CanvasLayout c;
  long long xmin = 0, xmax = 0, ymin = 0, ymax = 0;
  for (const SimReflexPos& r : h.reflexes) {
    const int px = on_tilt_grid ? tilt_grid_pixel(r.x, h.num_pix_side) : trunc_int(r.x);
    const int py = on_tilt_grid ? tilt_grid_pixel(r.y, h.num_pix_side) : trunc_int(r.y);
    c.px.push_back(px);
    c.py.push_back(py);
    xmax = std::max(xmax, px + reach_x);
    xmin = std::min(xmin, static_cast<long long>(px) + ih_min);
    ymax = std::max(ymax, py + reach_y);
    ymin = std::min(ymin, static_cast<long long>(py) + ig_min);
  }
  const long long nx = xmax - xmin, ny = ymax - ymin;
  if (nx < 1) error_exit(stdout, "(qz_visualization) nx = %lld", nx);
  if (ny < 1) error_exit(stdout, "(qz_visualization) ny = %lld", ny);
  const long long w = 4 * (nx / 4) + 8, hgt = 4 * (ny / 4) + 8;
  if (w > kMaxCanvasSide || hgt > kMaxCanvasSide || w * hgt > kMaxCanvasArea)
    error_exit(stdout, "(qz_visualization) canvas of %lld x %lld pixels is too large", w, hgt);
  c.width = static_cast<int>(w);
  c.height = static_cast<int>(hgt);
  c.ox = static_cast<int>(4 - xmin);
  c.oy = static_cast<int>(4 - ymin);
  return c;
}

// Adds the values of one reflection to the canvases at the disk's position.
void deposit(const CanvasLayout& c, std::size_t i, const SimResultHeader& h, const std::vector<double>& a,
             RMatrix& ca, const std::vector<double>* b, RMatrix* cb) {
  for (std::size_t k = 0; k < h.points.size(); ++k) {
    const long long X = static_cast<long long>(h.points[k].ih) + c.px[i] + c.ox;
    const long long Y = static_cast<long long>(h.points[k].ig) + c.py[i] + c.oy;
    if (X >= 0 && X < c.width && Y >= 0 && Y < c.height) {
      ca[X][Y] += a[k];
      if (cb) (*cb)[X][Y] += (*b)[k];
    } else {
      std::printf("$$ (qz_visualization) (%lld,%lld) WARNING: out of area.\n", X, Y);
    }
  }
}

void check_sim_args(double gamma, int mag) {
  if (gamma < 0.0) error_exit(stdout, "(qz_visualization) gamma < 0.0");
  if (mag < 1) error_exit(stdout, "(qz_visualization) mag_coef <= 0");
}

// A simulation result, opened and announced, with its header read; the
// reflection blocks follow in fp.
struct OpenSimResult {
  File fp;
  SimResultHeader h;
};

OpenSimResult open_sim_result(const std::string& file, const char* keyword) {
  File fp = fopen_chk_rmode(file);
  std::printf("$$ reading %s\n", file.c_str());
  SimResultHeader h = read_sim_result_header(fp.get(), keyword);
  return {std::move(fp), std::move(h)};
}

// The whole pattern as <base>.png, shown on the page.
void pattern_picture(const std::string& file, const CanvasLayout& c, const RMatrix& map, double max, double gamma,
                     int mag, int cont_rev, FILE* page) {
  const std::string base = remove_extention(file);
  const std::string pgm = base + ".pgm", png = base + ".png";
  output_pgm_image(c.width, c.height, map, max, 0.0, gamma, mag, cont_rev, pgm);
  const bool made = pgm_to_png(pgm, png);
  qz_fprintf(page, "<p>%s</p>\n", picture_element(page, png, made, " align=\"middle\"").c_str());
}

}  // namespace

SimResultHeader read_sim_result_header(FILE* fp, const char* keyword) {
  SimResultHeader h;
  chk_data(keyword, fp);

  chk_data("VISUAL{", fp);
  fget_2d(&h.max, &h.min, fp);
  fget_d(fp);  // gamma, magnification and contrast flag of the file are not used
  fget_i(fp);
  fget_i(fp);
  chk_data("}VISUAL", fp);

  chk_data("CR_PARAMETERS{", fp);
  fget_6d(h.cell, fp);
  h.incidence = fget_uvw(fp);
  fget_3d(&h.zolzbase1[0], &h.zolzbase1[1], &h.zolzbase1[2], fp);
  fget_2d(&h.tiltH, &h.tiltG, fp);
  h.thickness = fget_d(fp);
  chk_data("}CR_PARAMETERS", fp);

  chk_data("RF_INDEX{", fp);
  const int num_rf = fget_i(fp);
  check_count_fits(num_rf, 2, "number of RF_INDEX reflections", fp);
  for (int i = 0; i < num_rf; ++i) {
    double v[5];
    const std::string line = need_line(kLineCap, fp);
    refuse_block_marker(line, num_rf, "RF_INDEX reflection", fp);
    str_to_fs(5, line, v, fp);
    h.reflexes.push_back(SimReflexPos{hkl_of(v, fp), v[3], v[4]});
  }
  chk_data("}RF_INDEX", fp);

  chk_data("COORD{", fp);
  {
    double v[2];
    str_to_fs(2, need_line(kLineCap, fp), v, fp);
    h.num_pix = int_field(v[0], {}, "num_pix", fp);
    h.num_pix_side = int_field(v[1], {}, "num_pix_side", fp);
    if (h.num_pix_side < 0 || h.num_pix_side > kMaxResultPixSide)
      fatal_out("$$ Invalid num_pix_side (=%d): it must lie between 0 and %d.\n%s$$ Abort.\n", h.num_pix_side,
                kMaxResultPixSide, place_note(fp).c_str());
    if (h.num_pix < 0)
      fatal_out("$$ Invalid num_pix (=%d): it must not be negative.\n%s$$ Abort.\n", h.num_pix,
                place_note(fp).c_str());
    // One coordinate line per point, and one value line per point and reflection.
    check_count_fits(static_cast<long long>(h.num_pix) * (1 + num_rf), 2, "num_pix", fp);
  }
  fget_4d(&h.Hbgn, &h.Hend, &h.Gbgn, &h.Gend, fp);
  for (int k = 0; k < h.num_pix; ++k) {
    double v[5];
    str_to_fs(5, need_line(kLineCap, fp), v, fp);
    h.points.push_back(SimPoint{v[0], v[1], int_field(v[2], {}, "point column", fp),
                                int_field(v[3], {}, "point row", fp), int_field(v[4], {}, "point flag", fp)});
  }
  chk_data("}COORD", fp);
  return h;
}

void qz_sim_result_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                             FILE* page) {
  check_sim_args(gamma, mag);
  sim_visualize(file, gamma, mag, cont_rev, preset_max, page);
}

void qz_sim_result_reflex_visualize(const std::string& file, double gamma, int mag, int cont_rev,
                                    double preset_max, FILE* page) {
  check_sim_args(gamma, mag);
  sim_reflex_visual(file, gamma, mag, cont_rev, preset_max, page);
}

void qz_sim_coherent_result_visualize(const std::string& file, double gamma, int mag, int cont_rev,
                                      double preset_max, FILE* page) {
  if (gamma < 0.0) error_exit(stdout, "(qz_visualization) gamma < 0.0");
  // The picture writer rejects the magnification itself.
  if (mag < 1) std::printf("$$ (qz_visualization) Error: mag_coef <= 0. Abort.\n");
  sim_coherent_visualize(file, gamma, mag, cont_rev, preset_max, page);
}

void sim_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max, FILE* page) {
  auto [fp, h] = open_sim_result(file, "SIM_RESULT");
  const double max = preset_max > 0.0 ? preset_max : h.max;

  const CanvasLayout c = layout_canvas(h);
  RMatrix canvas(static_cast<std::size_t>(c.width), static_cast<std::size_t>(c.height));
  std::vector<double> a, b;
  for (std::size_t i = 0; i < h.reflexes.size(); ++i) {
    read_rf_block(fp.get(), h.reflexes[i].hkl, h.points.size(), false, a, b);
    deposit(c, i, h, a, canvas, nullptr, nullptr);
  }
  fp.reset();

  pattern_picture(file, c, canvas, max, gamma, mag, cont_rev, page);
  qz_fprintf(page, "<p>Thickness: %lg [A], \n", h.thickness);
  qz_fprintf(page, "Incidence: [%d %d %d], Tilt [H,G]=[%lg, %lg]<br>\n", h.incidence.h, h.incidence.k,
             h.incidence.l, h.tiltH, h.tiltG);
  qz_fprintf(page, "gamma=%g, intensity max=%g</p>\n", gamma, max);
  qz_fprintf(page, "<hr>\n");
}

void sim_coherent_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                            FILE* page) {
  auto [fp, h] = open_sim_result(file, "SIM_COHERENT_RESULT");
  const double max = preset_max > 0.0 ? preset_max : h.max;
  qz_fprintf(page, "<hr>\n");
  qz_fprintf(page, "<p>[%d %d %d], t=%g [A], gamma=%g, max=%g</p>\n", h.incidence.h, h.incidence.k,
             h.incidence.l, h.thickness, gamma, max);

  const CanvasLayout c = layout_canvas(h, true);
  const std::size_t w = static_cast<std::size_t>(c.width), hgt = static_cast<std::size_t>(c.height);
  RMatrix re(w, hgt), im(w, hgt);
  std::vector<double> a, b;
  for (std::size_t i = 0; i < h.reflexes.size(); ++i) {
    read_rf_block(fp.get(), h.reflexes[i].hkl, h.points.size(), true, a, b);
    deposit(c, i, h, a, re, &b, &im);
  }
  fp.reset();

  // Amplitudes of overlapping disks were added before squaring: they
  // interfere.
  RMatrix intensity(w, hgt);
  for (std::size_t x = 0; x < w; ++x)
    for (std::size_t y = 0; y < hgt; ++y) intensity[x][y] = re[x][y] * re[x][y] + im[x][y] * im[x][y];

  pattern_picture(file, c, intensity, max, gamma, mag, cont_rev, page);
}

void sim_reflex_visual(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                       FILE* page) {
  auto [fp, h] = open_sim_result(file, "SIM_RESULT");
  const double max = preset_max > 0.0 ? preset_max : h.max;
  qz_fprintf(page, "<hr>\n");
  qz_fprintf(page, "<p>[%d %d %d], t = %lg [A], gamma_coef = %lg</p>\n", h.incidence.h, h.incidence.k,
             h.incidence.l, h.thickness, gamma);

  const long long n = static_cast<long long>(h.num_pix_side) + 1;
  if (n < 1) error_exit(stdout, "(qz_visualization) nx <= 0");
  if (n > kMaxCanvasSide) error_exit(stdout, "(qz_visualization) nx = %lld is too large", n);
  // Centred grids (negative indices) are shifted so that the whole disk
  // lies on the map.
  int off_x = 0, off_y = 0;
  for (const SimPoint& p : h.points) {
    off_x = std::max(off_x, -p.ih);
    off_y = std::max(off_y, -p.ig);
  }

  const std::string base = remove_extention(file);
  RMatrix map(static_cast<std::size_t>(n), static_cast<std::size_t>(n));
  std::vector<double> a, b;
  for (std::size_t i = 0; i < h.reflexes.size(); ++i) {
    map.fill(0.0);
    const Hkl& hkl = h.reflexes[i].hkl;
    read_rf_block(fp.get(), hkl, h.points.size(), false, a, b);
    for (std::size_t k = 0; k < h.points.size(); ++k) {
      const long long x = static_cast<long long>(h.points[k].ih) + off_x;
      const long long y = static_cast<long long>(h.points[k].ig) + off_y;
      if (x >= 0 && x < n && y >= 0 && y < n)
        map[x][y] += a[k];
      else
        std::printf("$$ (qz_visualization) out of area: (%d,%d)\n", h.points[k].ih, h.points[k].ig);
    }
    const std::string pgm = strprintf("%s_%d.pgm", base.c_str(), static_cast<int>(i));
    const std::string png = strprintf("%s_%d.png", base.c_str(), static_cast<int>(i));
    output_pgm_image(static_cast<int>(n), static_cast<int>(n), map, max, 0.0, gamma, mag, cont_rev, pgm);
    const bool made = pgm_to_png(pgm, png);
    qz_fprintf(page, "<p>%s\n", picture_element(page, png, made, " align=\"middle\"").c_str());
    qz_fprintf(page, " %d %d %d</p>\n", hkl.h, hkl.k, hkl.l);
  }
}

}  // namespace kv
