#include "jobs/cell_map_views.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crystal/spacegroup.hpp"
#include "input/crystal_data.hpp"
#include "results/hdf5_export.hpp"
#include "jobs/simulation.hpp"
#include "sim/qzio.hpp"
#include "vis/canvas.hpp"
#include "vis/colormap.hpp"
#include "vis/html_escape.hpp"

namespace kv {

namespace {

constexpr double kDeg = 3.141592653589793 / 180.0;

// Generated positions of every site, fractional and reduced to [0, 1).
struct CellAtom {
  std::string element;
  Vec3 f{};
};

std::vector<CellAtom> cell_atoms(const csd& c) {
  std::vector<CellAtom> out;
  const std::vector<std::vector<Vec3>> pos =
      newpos_sym_op(c.num_atom, c.atoms.data(), static_cast<int>(c.sym_ops.size()), c.sym_ops.data());
  for (std::size_t s = 0; s < pos.size(); ++s) {
    std::string e;
    for (char ch : c.atoms[s].name) {
      if (!std::isalpha(static_cast<unsigned char>(ch))) break;
      e += ch;
    }
    for (const Vec3& p : pos[s]) {
      Vec3 f{};
      for (int k = 0; k < 3; ++k) f[k] = p[k] - std::floor(p[k] + 1e-9);
      out.push_back({e.empty() ? c.atoms[s].name : e, f});
    }
  }
  return out;
}

void cart(const double a[3], const double b[3], const double c[3], const Vec3& f, double out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = f[0] * a[k] + f[1] * b[k] + f[2] * c[k];
}

// One principal plane: the two cell axes it spans and the fixed one.
struct Plane {
  const char* name;  // "ab"
  int u, v, w;       // axes along the picture's x, y, and the fixed axis
};
constexpr Plane kPlanes[] = {{"ab", 0, 1, 2}, {"ac", 0, 2, 1}, {"bc", 1, 2, 0}};
constexpr const char* kAxis[] = {"a", "b", "c"};

double value_at(const Tensor3<double>& m, const Plane& p, std::size_t iu, std::size_t iv, std::size_t iw) {
  std::size_t idx[3] = {0, 0, 0};
  idx[p.w] = iw;
  idx[p.u] = iu;
  idx[p.v] = iv;
  return m(idx[0], idx[1], idx[2]);
}

// The plane through the origin as a picture: the map resampled to pixels
// (nearest grid point, the cell drawn oblique where the axes are), axes in
// angstrom, colour bar with the unit, atoms within half a grid step of the
// plane marked.
// The colour bar (viridis, with its range and unit) at the right of a map,
// then the picture written as PNG.
void finish_map_png(cairo_surface_t* surface, cairo_t* cr, const std::string& png, double bx, double top,
                    double bh, double lo, double hi, const std::string& unit) {
  for (int j = 0; j < static_cast<int>(bh); ++j) {
    const Rgb c = colormap_rgb(Colormap::viridis, 1.0 - j / bh);
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_rectangle(cr, bx, top + j, 16, 1.2);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
  cairo_set_font_size(cr, 11);
  cairo_move_to(cr, bx + 20, top + 8);
  cairo_show_text(cr, strprintf("%.3g", hi).c_str());
  cairo_move_to(cr, bx + 20, top + bh);
  cairo_show_text(cr, strprintf("%.3g", lo).c_str());
  cairo_move_to(cr, bx - 4, top + bh + 18);
  cairo_show_text(cr, unit.c_str());
  write_png(surface, png);
}

void draw_slice(const std::string& png, const CellMap& map, const Plane& p, const double lp[6],
                const std::vector<CellAtom>& atoms) {
  const Tensor3<double>& m = *map.values;
  const std::size_t n[3] = {m.dim1(), m.dim2(), m.dim3()};
  const double lu = lp[p.u], lv = lp[p.v];
  // The plane goes through the first atom, so that atoms lie on it.
  const std::size_t iw =
      atoms.empty() ? 0 : static_cast<std::size_t>(std::lround(atoms[0].f[p.w] * n[p.w])) % n[p.w];
  const double fw = static_cast<double>(iw) / n[p.w];
  // Angle between the two axes: gamma for ab, beta for ac, alpha for bc.
  const double ang = (p.w == 2 ? lp[5] : p.w == 1 ? lp[4] : lp[3]) * kDeg;
  const double scale = 420.0 / std::max(lu + lv * std::fabs(std::cos(ang)), lv * std::sin(ang));
  const double W = (lu + lv * std::fabs(std::cos(ang))) * scale, H = lv * std::sin(ang) * scale;
  const int left = 70, top = 50, bar = 110;
  const int width = static_cast<int>(left + W + bar + 40), height = static_cast<int>(top + H + 70);
  const Canvas canvas = dark_canvas(width, height);
  const Surface& s = canvas.surface;
  cairo_t* cr = canvas.cr();

  double lo = 1e300, hi = -1e300;
  for (std::size_t i = 0; i < n[p.u]; ++i)
    for (std::size_t j = 0; j < n[p.v]; ++j) {
      const double v = value_at(m, p, i, j, iw);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  if (!(hi > lo)) hi = lo + 1;
  const double x_shift = std::cos(ang) < 0 ? -lv * std::cos(ang) * scale : 0.0;
  // Pixel (x, y) -> fractional (fu, fv) of the two axes.
  cairo_surface_flush(s.get());
  unsigned char* data = cairo_image_surface_get_data(s.get());
  const int stride = cairo_image_surface_get_stride(s.get());
  for (int y = 0; y < static_cast<int>(H); ++y)
    for (int x = 0; x < static_cast<int>(W); ++x) {
      const double py = (H - y - 0.5) / scale, px = (x + 0.5 - x_shift) / scale;
      const double fv = py / (lv * std::sin(ang));
      const double fu = (px - fv * lv * std::cos(ang)) / lu;
      if (fu < 0 || fu >= 1 || fv < 0 || fv >= 1) continue;
      const std::size_t iu = std::min(n[p.u] - 1, static_cast<std::size_t>(fu * n[p.u] + 0.5) % n[p.u]);
      const std::size_t iv = std::min(n[p.v] - 1, static_cast<std::size_t>(fv * n[p.v] + 0.5) % n[p.v]);
      const Rgb c = colormap_rgb(Colormap::viridis, (value_at(m, p, iu, iv, iw) - lo) / (hi - lo));
      auto* q = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(top + y) * stride) + left + x;
      *q = (static_cast<std::uint32_t>(c.r) << 16) | (static_cast<std::uint32_t>(c.g) << 8) | c.b;
    }
  cairo_surface_mark_dirty(s.get());

  auto to_px = [&](double fu, double fv, double* X, double* Y) {
    *X = left + x_shift + (fu * lu + fv * lv * std::cos(ang)) * scale;
    *Y = top + H - fv * lv * std::sin(ang) * scale;
  };
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 11);
  // Atoms on the plane (and their periodic images on the cell edges).
  for (const CellAtom& a : atoms) {
    const double d0 = std::fabs(a.f[p.w] - fw), dw = std::min(d0, 1 - d0);
    if (dw > 0.5 / static_cast<double>(n[p.w]) + 1e-6) continue;
    for (int su = 0; su < 2; ++su)
      for (int sv = 0; sv < 2; ++sv) {
        const double fu = a.f[p.u] + su, fv = a.f[p.v] + sv;
        if (fu > 1 + 1e-6 || fv > 1 + 1e-6) continue;
        double X, Y;
        to_px(fu, fv, &X, &Y);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_set_line_width(cr, 1.5);
        cairo_new_path(cr);
        cairo_arc(cr, X, Y, 5, 0, 2 * 3.141592653589793);
        cairo_stroke(cr);
        cairo_move_to(cr, X + 6, Y - 6);
        cairo_show_text(cr, a.element.c_str());
      }
  }
  // Axes with ticks every angstrom.
  cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
  cairo_set_line_width(cr, 1);
  double X0, Y0, X1, Y1, X2, Y2;
  to_px(0, 0, &X0, &Y0);
  to_px(1, 0, &X1, &Y1);
  to_px(0, 1, &X2, &Y2);
  cairo_move_to(cr, X2, Y2);
  cairo_line_to(cr, X0, Y0);
  cairo_line_to(cr, X1, Y1);
  cairo_stroke(cr);
  for (int t = 0; t <= static_cast<int>(lu); ++t) {
    double X, Y;
    to_px(t / lu, 0, &X, &Y);
    cairo_move_to(cr, X, Y);
    cairo_line_to(cr, X, Y + 5);
    cairo_stroke(cr);
    cairo_move_to(cr, X - 3, Y + 17);
    cairo_show_text(cr, std::to_string(t).c_str());
  }
  for (int t = 0; t <= static_cast<int>(lv); ++t) {
    double X, Y;
    to_px(0, t / lv, &X, &Y);
    cairo_move_to(cr, X - 5, Y);
    cairo_line_to(cr, X, Y);
    cairo_stroke(cr);
    cairo_move_to(cr, X - 18, Y + 4);
    cairo_show_text(cr, std::to_string(t).c_str());
  }
  cairo_move_to(cr, left + W / 2 - 40, top + H + 36);
  cairo_show_text(cr, strprintf("along %s [\xC3\x85]", kAxis[p.u]).c_str());
  cairo_move_to(cr, 8, top - 10);
  cairo_show_text(cr, strprintf("along %s [\xC3\x85]", kAxis[p.v]).c_str());
  cairo_set_font_size(cr, 14);
  cairo_move_to(cr, left, 22);
  cairo_show_text(cr, strprintf("%s, plane %s = %.3g (%s-%s)", map.title.c_str(), kAxis[p.w], fw, kAxis[p.u],
                                kAxis[p.v])
                          .c_str());
  // Colour bar.
  const double bx = left + W + 30, bh = std::max(120.0, H);
  finish_map_png(s.get(), cr, png, bx, top, bh, lo, hi, map.unit);
}

}  // namespace

void cell_vectors(const double lp[6], double a[3], double b[3], double c[3]) {
  const double al = lp[3] * kDeg, be = lp[4] * kDeg, ga = lp[5] * kDeg;
  a[0] = lp[0];
  a[1] = a[2] = 0;
  b[0] = lp[1] * std::cos(ga);
  b[1] = lp[1] * std::sin(ga);
  b[2] = 0;
  c[0] = lp[2] * std::cos(be);
  c[1] = lp[2] * (std::cos(al) - std::cos(be) * std::cos(ga)) / std::sin(ga);
  c[2] = std::sqrt(std::max(0.0, lp[2] * lp[2] - c[0] * c[0] - c[1] * c[1]));
}

void write_xsf(const std::string& path, const csd& c, const CellMap& map) {
  double a[3], b[3], cv[3];
  cell_vectors(c.lp.data(), a, b, cv);
  const std::vector<CellAtom> atoms = cell_atoms(c);
  OutputFile out = qz_fopen_chk_wmode(path);
  FILE* fp = out.get();
  std::fprintf(fp, "# %s [%s]\nCRYSTAL\nPRIMVEC\n", map.title.c_str(), map.unit.c_str());
  for (const double* v : {a, b, cv}) std::fprintf(fp, "  %.8f %.8f %.8f\n", v[0], v[1], v[2]);
  std::fprintf(fp, "PRIMCOORD\n  %zu 1\n", atoms.size());
  for (const CellAtom& at : atoms) {
    double r[3];
    cart(a, b, cv, at.f, r);
    std::fprintf(fp, "  %s %.8f %.8f %.8f\n", at.element.c_str(), r[0], r[1], r[2]);
  }
  const Tensor3<double>& m = *map.values;
  const std::size_t nx = m.dim1(), ny = m.dim2(), nz = m.dim3();
  // A general grid includes the periodic end points: n + 1 values per axis,
  // the first index fastest.
  std::fprintf(fp, "BEGIN_BLOCK_DATAGRID_3D\n  %s\n  BEGIN_DATAGRID_3D_%s\n", map.suffix.c_str(), map.suffix.c_str());
  std::fprintf(fp, "    %zu %zu %zu\n    0 0 0\n", nx + 1, ny + 1, nz + 1);
  for (const double* v : {a, b, cv}) std::fprintf(fp, "    %.8f %.8f %.8f\n", v[0], v[1], v[2]);
  int col = 0;
  for (std::size_t k = 0; k <= nz; ++k)
    for (std::size_t j = 0; j <= ny; ++j)
      for (std::size_t i = 0; i <= nx; ++i) {
        std::fprintf(fp, " %.8e", m(i % nx, j % ny, k % nz));
        if (++col % 6 == 0) std::fprintf(fp, "\n");
      }
  std::fprintf(fp, "\n  END_DATAGRID_3D\nEND_BLOCK_DATAGRID_3D\n");
  qz_fclose(out);
  std::printf("Map for 3-D viewers (XSF) ==> %s\n", path.c_str());
}

void write_cell_map_views(const std::string& base, const std::string& job, const sd& s, const csd& c,
                          const std::vector<CellMap>& maps) {
  const std::vector<CellAtom> atoms = cell_atoms(c);
  const std::string page_name = base + "_maps.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  qz_fprintf(page.get(),
             "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
             "<style>body{background:#101014;color:#eee;font-family:sans-serif}a{color:#9cf}</style>\n"
             "</head>\n<body>\n<h1>%s: unit-cell maps</h1>\n",
             html_text(page_name).c_str(), html_text(crystal_label(c)).c_str());
  std::vector<MapLayer> layers;
  for (const CellMap& m : maps) {
    write_xsf(base + "_" + m.suffix + ".xsf", c, m);
    qz_fprintf(page.get(), "<h2>%s [%s]</h2>\n<p>", html_text(m.title).c_str(), html_text(m.unit).c_str());
    for (const Plane& p : kPlanes) {
      const std::string png = base + "_" + m.suffix + "_" + p.name + ".png";
      draw_slice(png, m, p, c.lp.data(), atoms);
      qz_fprintf(page.get(), "<img src=\"%s\" alt=\"%s\"> ", html_url(png).c_str(), html_text(png).c_str());
    }
    const std::string xsf = base + "_" + m.suffix + ".xsf";
    qz_fprintf(page.get(), "</p>\n<p>3-D viewers (VESTA, XCrySDen, Ovito): <a href=\"%s\">%s</a></p>\n",
               html_url(xsf).c_str(), html_text(xsf).c_str());
    const Tensor3<double>& v = *m.values;
    MapLayer l;
    l.name = m.suffix;
    l.unit = m.unit;
    for (std::size_t i = 0; i < v.dim1(); ++i)
      for (std::size_t j = 0; j < v.dim2(); ++j)
        for (std::size_t k = 0; k < v.dim3(); ++k) l.values.push_back(v(i, j, k));
    layers.push_back(std::move(l));
  }
  if (!maps.empty())
    write_map_hdf5(base, job, s, c, {maps[0].values->dim1(), maps[0].values->dim2(), maps[0].values->dim3()},
                   layers);
  qz_fprintf(page.get(), "<p>Numbers: <a href=\"%s\">%s</a></p>\n</body>\n</html>\n", html_url(base + ".h5").c_str(),
             html_text(base + ".h5").c_str());
  qz_fclose(page);
  std::printf("\n==> SEE %s\n", page_name.c_str());
}

namespace {

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Atom columns: each position projected on the plane of x1 and x2 along
// the incidence, in base-vector units reduced to [0, 1), one per element
// and place; l1 and l2 are |x1| and |x2| in angstrom.
void project_columns(const csd& c, const double x1[3], const double x2[3], double& l1, double& l2,
                     std::vector<std::pair<double, double>>& cols, std::vector<std::string>& names) {
  double a[3], b[3], cv[3], e1[3], e2[3];
  cell_vectors(c.lp.data(), a, b, cv);
  cart(a, b, cv, Vec3{x1[0], x1[1], x1[2]}, e1);
  cart(a, b, cv, Vec3{x2[0], x2[1], x2[2]}, e2);
  l1 = std::sqrt(dot3(e1, e1));
  l2 = std::sqrt(dot3(e2, e2));
  if (l1 > 0 && l2 > 0)
    for (const CellAtom& at : cell_atoms(c)) {
      double r[3];
      cart(a, b, cv, at.f, r);
      double u = dot3(r, e1) / (l1 * l1), v = dot3(r, e2) / (l2 * l2);
      u -= std::floor(u + 1e-9);
      v -= std::floor(v + 1e-9);
      bool seen = false;
      for (std::size_t k = 0; k < cols.size(); ++k)
        seen = seen || (std::fabs(cols[k].first - u) < 1e-4 && std::fabs(cols[k].second - v) < 1e-4 && names[k] == at.element);
      if (!seen) {
        cols.push_back({u, v});
        names.push_back(at.element);
      }
    }
}

void draw_proj_map(const std::string& png, const ProjMap& map, int nx, int ny, const double xr[2],
                   const double yr[2], double lx, double ly, const std::vector<std::pair<double, double>>& cols,
                   const std::vector<std::string>& names) {
  const double wx = std::fabs(xr[1] - xr[0]) * lx, wy = std::fabs(yr[1] - yr[0]) * ly;
  const double scale = 460.0 / std::max({wx, wy, 1e-9});
  const int W = std::max(1, static_cast<int>(wx * scale)), H = std::max(1, static_cast<int>(wy * scale));
  const int left = 70, top = 50;
  const int width = left + W + 150, height = top + H + 70;
  const Canvas canvas = dark_canvas(width, height);
  const Surface& s = canvas.surface;
  cairo_t* cr = canvas.cr();
  double lo = 1e300, hi = -1e300;
  for (double v : map.values) lo = std::min(lo, v), hi = std::max(hi, v);
  if (!(hi > lo)) hi = lo + 1;
  cairo_surface_flush(s.get());
  unsigned char* data = cairo_image_surface_get_data(s.get());
  const int stride = cairo_image_surface_get_stride(s.get());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int i = nx > 1 ? static_cast<int>(std::lround((x + 0.5) / W * (nx - 1))) : 0;
      const int j = ny > 1 ? static_cast<int>(std::lround((H - y - 0.5) / H * (ny - 1))) : 0;
      const Rgb c = colormap_rgb(Colormap::viridis, (map.values[static_cast<std::size_t>(i) * ny + j] - lo) / (hi - lo));
      reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(top + y) * stride)[left + x] =
          (static_cast<std::uint32_t>(c.r) << 16) | (static_cast<std::uint32_t>(c.g) << 8) | c.b;
    }
  cairo_surface_mark_dirty(s.get());
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 11);
  // Atom columns, with their periodic images inside the map.
  for (std::size_t a = 0; a < cols.size(); ++a)
    for (int pu = static_cast<int>(std::floor(std::min(xr[0], xr[1]))) - 1; pu <= std::max(xr[0], xr[1]) + 1; ++pu)
      for (int pv = static_cast<int>(std::floor(std::min(yr[0], yr[1]))) - 1; pv <= std::max(yr[0], yr[1]) + 1; ++pv) {
        const double u = cols[a].first + pu, v = cols[a].second + pv;
        const double fu = (u - xr[0]) / (xr[1] - xr[0]), fv = (v - yr[0]) / (yr[1] - yr[0]);
        if (fu < -1e-6 || fu > 1 + 1e-6 || fv < -1e-6 || fv > 1 + 1e-6) continue;
        const double X = left + fu * W, Y = top + H - fv * H;
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_set_line_width(cr, 1.5);
        cairo_new_path(cr);
        cairo_arc(cr, X, Y, 5, 0, 2 * 3.141592653589793);
        cairo_stroke(cr);
        cairo_move_to(cr, X + 6, Y - 6);
        cairo_show_text(cr, names[a].c_str());
      }
  cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, left, top, W, H);
  cairo_stroke(cr);
  const double x0 = std::min(xr[0], xr[1]) * lx, y0 = std::min(yr[0], yr[1]) * ly;
  for (int t = static_cast<int>(std::ceil(x0)); t <= x0 + wx + 1e-9; ++t) {
    const double X = left + (t - x0) * scale;
    cairo_move_to(cr, X, top + H);
    cairo_line_to(cr, X, top + H + 5);
    cairo_stroke(cr);
    cairo_move_to(cr, X - 3, top + H + 17);
    cairo_show_text(cr, std::to_string(t).c_str());
  }
  for (int t = static_cast<int>(std::ceil(y0)); t <= y0 + wy + 1e-9; ++t) {
    const double Y = top + H - (t - y0) * scale;
    cairo_move_to(cr, left - 5, Y);
    cairo_line_to(cr, left, Y);
    cairo_stroke(cr);
    cairo_move_to(cr, left - 20, Y + 4);
    cairo_show_text(cr, std::to_string(t).c_str());
  }
  cairo_move_to(cr, left + W / 2.0 - 40, top + H + 36);
  cairo_show_text(cr, "along x1 [\xC3\x85]");
  cairo_move_to(cr, 8, top - 10);
  cairo_show_text(cr, "along x2 [\xC3\x85]");
  cairo_set_font_size(cr, 14);
  cairo_move_to(cr, left, 22);
  cairo_show_text(cr, map.title.c_str());
  const double bx = left + W + 30, bh = H;
  finish_map_png(s.get(), cr, png, bx, top, bh, lo, hi, map.unit);
}

}  // namespace

void write_proj_map_page(const std::string& base, const csd& c, int nx, int ny, const double xr[2],
                         const double yr[2], const double x1[3], const double x2[3], const std::vector<ProjMap>& maps) {
  if (nx < 1 || ny < 1) return;
  double l1 = 0, l2 = 0;
  std::vector<std::pair<double, double>> cols;
  std::vector<std::string> names;
  project_columns(c, x1, x2, l1, l2, cols, names);
  const std::string page_name = base + "_maps.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  qz_fprintf(page.get(),
             "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
             "<style>body{background:#101014;color:#eee;font-family:sans-serif}a{color:#9cf}</style>\n"
             "</head>\n<body>\n<h1>%s: projected maps</h1>\n<p>",
             html_text(page_name).c_str(), html_text(crystal_label(c)).c_str());
  for (const ProjMap& m : maps) {
    if (m.values.size() != static_cast<std::size_t>(nx) * ny) continue;
    const std::string png = base + "_" + m.suffix + "_map.png";
    draw_proj_map(png, m, nx, ny, xr, yr, l1, l2, cols, names);
    qz_fprintf(page.get(), "<img src=\"%s\" alt=\"%s\"> ", html_url(png).c_str(), html_text(png).c_str());
  }
  qz_fprintf(page.get(), "</p>\n<p>Numbers: <a href=\"%s\">%s</a></p>\n</body>\n</html>\n",
             html_url(base + ".h5").c_str(), html_text(base + ".h5").c_str());
  qz_fclose(page);
  std::printf("\n==> SEE %s\n", page_name.c_str());
}

namespace {

// Third column of a gnuplot grid file written x outer, y inner, and the
// excitation named in a Bloch-state file's second comment line.
std::vector<double> grid_column3(const std::string& file, double* eps2) {
  File fp = fopen_chk_rmode(file);
  std::vector<double> v;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, fp.get())) {
    const char* e = std::strstr(buf, "excitation(eps^2):");
    if (buf[0] == '#') {
      if (e && eps2) *eps2 = std::atof(e + 18);
      continue;
    }
    double x, y, z;
    if (std::sscanf(buf, "%lf %lf %lf", &x, &y, &z) == 3) v.push_back(z);
  }
  return v;
}

// Line plot along x1 of every branch's |B_j|^2 (averaged along x2), the
// projected potential on the right-hand axis and the atom planes (the
// projected columns' positions along x1) as dashed vertical lines.
void draw_bloch_profiles(const std::string& png, const std::vector<std::vector<double>>& branches,
                         const std::vector<std::string>& labels, const std::vector<double>& pot, int nx, int ny,
                         const double xr[2], double l1, const std::vector<std::pair<double, double>>& cols,
                         const std::vector<std::string>& names, const std::string& title) {
  const int W = 720, H = 360, left = 80, top = 50, right = 90, bottom = 60;
  const Canvas canvas = dark_canvas(left + W + right + 240, top + H + bottom);
  const Surface& s = canvas.surface;
  cairo_t* cr = canvas.cr();
  const auto profile = [&](const std::vector<double>& v) {
    std::vector<double> p(static_cast<std::size_t>(nx), 0.0);
    for (int i = 0; i < nx; ++i) {
      for (int k = 0; k < ny; ++k) p[i] += v[static_cast<std::size_t>(i) * ny + k];
      p[i] /= ny;
    }
    return p;
  };
  const double x0 = xr[0] * l1, x1 = xr[1] * l1;
  const double xspan = std::fabs(x1 - x0) > 0 ? x1 - x0 : 1.0;
  const auto X = [&](int i) { return left + (nx > 1 ? static_cast<double>(i) / (nx - 1) : 0.5) * W; };
  double bmax = 0;
  std::vector<std::vector<double>> prof;
  for (const auto& b : branches) {
    prof.push_back(profile(b));
    for (double v : prof.back()) bmax = std::max(bmax, v);
  }
  if (!(bmax > 0)) bmax = 1;
  const std::vector<double> pp = profile(pot);
  double plo = *std::min_element(pp.begin(), pp.end()), phi = *std::max_element(pp.begin(), pp.end());
  if (!(phi > plo)) phi = plo + 1;
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 11);
  // Atom planes, with their periodic images inside the range.
  const double dash[] = {4.0, 4.0};
  for (std::size_t a = 0; a < cols.size(); ++a) {
    // One line per plane: columns at the same place along x1 share it.
    bool drawn = false;
    for (std::size_t e = 0; e < a; ++e) drawn = drawn || std::fabs(cols[e].first - cols[a].first) < 1e-4;
    if (drawn) continue;
    for (int pu = static_cast<int>(std::floor(std::min(xr[0], xr[1]))) - 1; pu <= std::max(xr[0], xr[1]) + 1; ++pu) {
      const double f = (cols[a].first + pu - xr[0]) / (xr[1] - xr[0]);
      if (!(f > -1e-6 && f < 1 + 1e-6)) continue;
      const double px = left + f * W;
      cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
      cairo_set_line_width(cr, 1);
      cairo_set_dash(cr, dash, 2, 0);
      cairo_move_to(cr, px, top);
      cairo_line_to(cr, px, top + H);
      cairo_stroke(cr);
      cairo_set_dash(cr, nullptr, 0, 0);
      cairo_move_to(cr, px + 3, top + 12);
      cairo_show_text(cr, names[a].c_str());
    }
  }
  // Potential (grey, right axis), then the branches in distinct colours.
  cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
  cairo_set_line_width(cr, 2.5);
  for (int i = 0; i < nx; ++i) {
    const double y = top + H - (pp[i] - plo) / (phi - plo) * H;
    i ? cairo_line_to(cr, X(i), y) : cairo_move_to(cr, X(i), y);
  }
  cairo_stroke(cr);
  static const double kCol[][3] = {{0.34, 0.71, 0.91}, {0.90, 0.62, 0.0}, {0.0, 0.62, 0.45}, {0.80, 0.47, 0.65},
                                   {0.94, 0.89, 0.26}, {0.84, 0.37, 0.0},  {0.0, 0.45, 0.70}};
  for (std::size_t b = 0; b < prof.size(); ++b) {
    cairo_set_source_rgb(cr, kCol[b % 7][0], kCol[b % 7][1], kCol[b % 7][2]);
    cairo_set_line_width(cr, 2);
    for (int i = 0; i < nx; ++i) {
      const double y = top + H - prof[b][i] / bmax * H;
      i ? cairo_line_to(cr, X(i), y) : cairo_move_to(cr, X(i), y);
    }
    cairo_stroke(cr);
    cairo_rectangle(cr, left + W + right + 4, top + 8 + 18.0 * b, 18, 4);
    cairo_fill(cr);
    cairo_move_to(cr, left + W + right + 26, top + 14 + 18.0 * b);
    cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
    cairo_show_text(cr, labels[b].c_str());
  }
  cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
  cairo_rectangle(cr, left + W + right + 4, top + 8 + 18.0 * prof.size(), 18, 4);
  cairo_fill(cr);
  cairo_move_to(cr, left + W + right + 26, top + 14 + 18.0 * prof.size());
  cairo_show_text(cr, "potential");
  // Frame, ticks in angstrom along x1, both value axes.
  cairo_set_source_rgb(cr, 0.93, 0.93, 0.93);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, left, top, W, H);
  cairo_stroke(cr);
  for (int t = static_cast<int>(std::ceil(std::min(x0, x1))); t <= std::max(x0, x1) + 1e-9; ++t) {
    const double px = left + (t - x0) / xspan * W;
    cairo_move_to(cr, px, top + H);
    cairo_line_to(cr, px, top + H + 5);
    cairo_stroke(cr);
    cairo_move_to(cr, px - 3, top + H + 17);
    cairo_show_text(cr, std::to_string(t).c_str());
  }
  for (int t = 0; t <= 4; ++t) {
    const double py = top + H - t / 4.0 * H;
    cairo_move_to(cr, left - 5, py);
    cairo_line_to(cr, left, py);
    cairo_move_to(cr, left + W, py);
    cairo_line_to(cr, left + W + 5, py);
    cairo_stroke(cr);
    cairo_move_to(cr, left - 48, py + 4);
    cairo_show_text(cr, strprintf("%.3g", bmax * t / 4).c_str());
    cairo_move_to(cr, left + W + 8, py + 4);
    cairo_show_text(cr, strprintf("%.3g", plo + (phi - plo) * t / 4).c_str());
  }
  cairo_move_to(cr, left + W / 2.0 - 80, top + H + 38);
  cairo_show_text(cr, "position along x1 [\xC3\x85]");
  cairo_move_to(cr, 8, top - 10);
  cairo_show_text(cr, "|B_j|\xC2\xB2 (averaged along x2)");
  cairo_move_to(cr, left + W - 60, top - 10);
  cairo_show_text(cr, "potential [V]");
  cairo_set_font_size(cr, 14);
  cairo_move_to(cr, left, 22);
  cairo_show_text(cr, title.c_str());
  write_png(s.get(), png);
}

}  // namespace

void write_bloch_state_page(const std::string& base, const csd& c, int nx, int ny, const double xr[2],
                            const double yr[2], const double x1[3], const double x2[3], int branch_begin,
                            int branch_end) {
  if (nx < 1 || ny < 1) return;
  const std::size_t n = static_cast<std::size_t>(nx) * ny;
  double l1 = 0, l2 = 0;
  std::vector<std::pair<double, double>> cols;
  std::vector<std::string> names;
  project_columns(c, x1, x2, l1, l2, cols, names);
  const std::vector<double> pot = grid_column3(base + "_pp.txt", nullptr);
  if (pot.size() != n) error_exit(stdout, "%s_pp.txt does not hold %d x %d points", base.c_str(), nx, ny);
  const std::string crystal = crystal_label(c);
  std::vector<std::vector<double>> states;
  std::vector<std::string> labels;
  for (int b = branch_begin; b <= branch_end; ++b) {
    double eps2 = 0;
    states.push_back(grid_column3(base + "_b" + std::to_string(b) + ".txt", &eps2));
    if (states.back().size() != n)
      error_exit(stdout, "%s_b%d.txt does not hold %d x %d points", base.c_str(), b, nx, ny);
    labels.push_back(strprintf("branch %d, eps^2 = %.3g", b, eps2));
  }
  const std::string page_name = base + "_states.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  qz_fprintf(page.get(),
             "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
             "<style>body{background:#101014;color:#eee;font-family:sans-serif}a{color:#9cf}</style>\n"
             "</head>\n<body>\n<h1>%s: Bloch states</h1>\n",
             html_text(page_name).c_str(), html_text(crystal).c_str());
  if (!states.empty()) {
    const std::string png = base + "_states_x1.png";
    draw_bloch_profiles(png, states, labels, pot, nx, ny, xr, l1, cols, names,
                        crystal + ": Bloch-state densities along x1 with the projected potential");
    qz_fprintf(page.get(), "<p><img src=\"%s\" alt=\"%s\"></p>\n", html_url(png).c_str(), html_text(png).c_str());
  }
  qz_fprintf(page.get(), "<p>");
  std::vector<std::pair<std::string, ProjMap>> maps;
  maps.push_back({base + "_pp_map.png", ProjMap{"pp", crystal + ": projected potential", "V", pot}});
  for (std::size_t b = 0; b < states.size(); ++b)
    maps.push_back({base + "_b" + std::to_string(branch_begin + static_cast<int>(b)) + "_map.png",
                    ProjMap{"", "|B_j|\xC2\xB2: " + labels[b], "arb. units", states[b]}});
  for (const auto& [png, m] : maps) {
    draw_proj_map(png, m, nx, ny, xr, yr, l1, l2, cols, names);
    qz_fprintf(page.get(), "<img src=\"%s\" alt=\"%s\"> ", html_url(png).c_str(), html_text(png).c_str());
  }
  qz_fprintf(page.get(), "</p>\n<p>The surface plots: <a href=\"%s\">%s</a> (after talvis %s)</p>\n"
             "</body>\n</html>\n", html_url(base + "_.html").c_str(), html_text(base + "_.html").c_str(),
             html_text(base + "_tlv.txt").c_str());
  qz_fclose(page);
  std::printf("\n==> SEE %s\n", page_name.c_str());
}

}  // namespace kv
