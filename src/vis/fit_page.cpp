#include "vis/fit_page.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

#include "crystal/lattice.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/qzio.hpp"
#include "vis/canvas.hpp"
#include "vis/colormap.hpp"
#include "vis/html_escape.hpp"

namespace kv {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kBarWidth = 14;
constexpr int kGap = 16;
constexpr int kTitleHeight = 34;

std::string hkl_text(const Hkl& g) { return strprintf("%d %d %d", g.h, g.k, g.l); }

void set_rgb(cairo_t* cr, Rgb c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

void label(cairo_t* cr, double x, double y, const std::string& text, double size = 12, bool bold = false) {
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_set_source_rgb(cr, 0.92, 0.92, 0.92);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
}

// Blue through white to red for a value in [-1, 1]: the sign of a residual.
Rgb diverging_rgb(double v) {
  if (std::isnan(v)) return Rgb{0, 0, 0};
  v = std::clamp(v, -1.0, 1.0);
  const double a = std::fabs(v);
  const double lo[3] = {0.97, 0.97, 0.97};
  const double hi[3] = {v < 0 ? 0.13 : 0.70, v < 0 ? 0.40 : 0.09, v < 0 ? 0.67 : 0.17};
  auto mix = [&](int i) { return static_cast<std::uint8_t>(std::lround(255.0 * (lo[i] + a * (hi[i] - lo[i])))); };
  return Rgb{mix(0), mix(1), mix(2)};
}

// One disk on the measured grid: nx x ny squares of the value's colour,
// G upward; NaN (a point left out) in dark grey.
void draw_disk(cairo_t* cr, double x0, double y0, double side, const fit_dataset_record& d,
               const std::function<double(int)>& value, const std::function<Rgb(double)>& colour) {
  const int nx = d.nx, ny = d.num_pixels() / nx;
  const double cell = side / std::max(nx, ny);
  cairo_set_source_rgb(cr, 0.18, 0.18, 0.2);
  cairo_rectangle(cr, x0, y0, cell * nx, cell * ny);
  cairo_fill(cr);
  for (int p = 0; p < d.num_pixels(); ++p) {
    const double v = value(p);
    if (std::isnan(v)) continue;
    set_rgb(cr, colour(v));
    cairo_rectangle(cr, x0 + d.pix_ix[p] * cell, y0 + (ny - 1 - d.pix_iy[p]) * cell, cell + 0.5, cell + 0.5);
    cairo_fill(cr);
  }
}

// A vertical colour bar with its end values and unit.
void draw_bar(cairo_t* cr, double x, double y, double h, const std::function<Rgb(double)>& colour, double lo,
              double hi, const std::string& unit) {
  for (int i = 0; i < static_cast<int>(h); ++i) {
    const double f = 1.0 - i / h;
    set_rgb(cr, colour(lo + f * (hi - lo)));
    cairo_rectangle(cr, x, y + i, kBarWidth, 1.5);
    cairo_fill(cr);
  }
  label(cr, x + kBarWidth + 3, y + 9, strprintf("%.3g", hi), 10);
  label(cr, x + kBarWidth + 3, y + h, strprintf("%.3g", lo), 10);
  label(cr, x, y + h + 14, unit, 10);
}

struct row_ref {
  const fit_dataset_record* d;
  int block, reflection;
};

double masked(const fit_dataset_record& d, const std::vector<double>& v, int b, int r, int p) {
  const std::size_t i = d.at(b, r, p);
  return d.mask[i] ? v[i] : kNaN;
}

// Observed, start, final and (obs - final) / s.d. of one reflection and block.
void draw_disk_row(const row_ref& row, const std::string& png) {
  const fit_dataset_record& d = *row.d;
  const int b = row.block, r = row.reflection, P = d.num_pixels();
  double hi = 0, zmax = 0;
  for (int p = 0; p < P; ++p) {
    const std::size_t i = d.at(b, r, p);
    if (!d.mask[i]) continue;
    hi = std::max({hi, d.obs[i], d.model_start[i], d.model_final[i]});
    if (d.sd_fit[i] > 0) zmax = std::max(zmax, std::fabs((d.obs[i] - d.model_final[i]) / d.sd_fit[i]));
  }
  if (!(hi > 0)) hi = 1;
  zmax = std::max(3.0, std::ceil(zmax));
  const int S = kFitPanelPx;
  const int width = 4 * (S + kGap) + 2 * (kBarWidth + 44) + kGap;
  const int height = kTitleHeight + S + 40;
  Canvas c = dark_canvas(width, height);
  cairo_t* cr = c.cr();
  const Hkl& g = d.reflections[r];
  label(cr, 8, 16,
        strprintf("%s   t = %.5g A   scale = %.5g   R = %.4g", hkl_text(g).c_str(), d.thickness_final[b],
                  d.scale_final[b], d.r_final),
        13, true);
  const auto viridis = [&](double v) { return colormap_rgb(Colormap::viridis, v / hi); };
  const auto div = [&](double z) { return diverging_rgb(z / zmax); };
  const char* titles[4] = {"observed", "start", "final", "(obs - cal) / s.d."};
  const std::vector<double>* fields[3] = {&d.obs, &d.model_start, &d.model_final};
  double x = kGap;
  for (int k = 0; k < 4; ++k) {
    label(cr, x, kTitleHeight - 4, titles[k], 11);
    if (k < 3) {
      draw_disk(cr, x, kTitleHeight, S, d, [&](int p) { return masked(d, *fields[k], b, r, p); }, viridis);
    } else {
      draw_disk(
          cr, x, kTitleHeight, S, d,
          [&](int p) {
            const std::size_t i = d.at(b, r, p);
            return d.mask[i] && d.sd_fit[i] > 0 ? (d.obs[i] - d.model_final[i]) / d.sd_fit[i] : kNaN;
          },
          div);
    }
    x += S + kGap;
    if (k == 2) {
      draw_bar(cr, x - kGap / 2, kTitleHeight, S, viridis, 0, hi, "counts");
      x += kBarWidth + 44;
    }
  }
  draw_bar(cr, x - kGap / 2, kTitleHeight, S, div, -zmax, zmax, "s.d.");
  write_png(c.surface.get(), png);
}

// Line plots of one reflection through the disk centre: along g1 (the
// middle row) and along g2 (the middle column), observed with its error
// bars, start and final model.
void draw_profiles(const row_ref& row, const std::string& png) {
  const fit_dataset_record& d = *row.d;
  const int b = row.block, r = row.reflection, nx = d.nx, ny = d.num_pixels() / nx;
  const int W = 330, H = 200, width = 2 * W + 3 * kGap, height = H + 60;
  Canvas c = dark_canvas(width, height);
  cairo_t* cr = c.cr();
  for (int axis = 0; axis < 2; ++axis) {
    std::vector<int> line;  // pixels along the profile, in order
    for (int p = 0; p < d.num_pixels(); ++p)
      if (axis == 0 ? d.pix_iy[p] == ny / 2 : d.pix_ix[p] == nx / 2) line.push_back(p);
    std::sort(line.begin(), line.end(), [&](int a, int q) {
      return axis == 0 ? d.pix_ix[a] < d.pix_ix[q] : d.pix_iy[a] < d.pix_iy[q];
    });
    double lo = 0, hi = 0, xmin = 0, xmax = 0;
    bool first = true;
    for (int p : line) {
      const std::size_t i = d.at(b, r, p);
      if (!d.mask[i]) continue;
      const double s = std::max(d.sd[i], 0.0), x = axis == 0 ? d.pix_x[p] : d.pix_y[p];
      const double top = std::max({d.obs[i] + s, d.model_start[i], d.model_final[i]});
      const double bottom = std::min({d.obs[i] - s, d.model_start[i], d.model_final[i]});
      hi = first ? top : std::max(hi, top);
      lo = first ? bottom : std::min(lo, bottom);
      xmin = first ? x : std::min(xmin, x);
      xmax = first ? x : std::max(xmax, x);
      first = false;
    }
    const double ox = kGap + axis * (W + kGap), oy = 24;
    label(cr, ox, 16, strprintf("%s along %s", hkl_text(d.reflections[r]).c_str(), axis == 0 ? "g1" : "g2"), 12, true);
    cairo_set_source_rgb(cr, 0.5, 0.5, 0.55);
    cairo_rectangle(cr, ox, oy, W, H);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    if (first) continue;
    if (hi <= lo) hi = lo + 1;
    if (xmax <= xmin) xmax = xmin + 1;
    auto px = [&](double x) { return ox + 6 + (W - 12) * (x - xmin) / (xmax - xmin); };
    auto py = [&](double v) { return oy + H - 6 - (H - 12) * (v - lo) / (hi - lo); };
    for (int field = 0; field < 2; ++field) {
      const std::vector<double>& m = field == 0 ? d.model_start : d.model_final;
      if (field == 0) {
        cairo_set_source_rgb(cr, 0.55, 0.55, 0.6);
        const double dash[1] = {4};
        cairo_set_dash(cr, dash, 1, 0);
      } else {
        cairo_set_source_rgb(cr, 0.99, 0.65, 0.2);
        cairo_set_dash(cr, nullptr, 0, 0);
      }
      bool started = false;
      for (int p : line) {
        const std::size_t i = d.at(b, r, p);
        if (!d.mask[i]) continue;
        const double x = px(axis == 0 ? d.pix_x[p] : d.pix_y[p]), y = py(m[i]);
        if (started) cairo_line_to(cr, x, y);
        else cairo_move_to(cr, x, y);
        started = true;
      }
      cairo_set_line_width(cr, 1.6);
      cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
    cairo_set_source_rgb(cr, 0.4, 0.8, 1.0);
    for (int p : line) {
      const std::size_t i = d.at(b, r, p);
      if (!d.mask[i]) continue;
      const double x = px(axis == 0 ? d.pix_x[p] : d.pix_y[p]), s = std::max(d.sd[i], 0.0);
      cairo_move_to(cr, x, py(d.obs[i] - s));
      cairo_line_to(cr, x, py(d.obs[i] + s));
      cairo_set_line_width(cr, 1);
      cairo_stroke(cr);
      cairo_arc(cr, x, py(d.obs[i]), 2.2, 0, 2 * M_PI);
      cairo_fill(cr);
    }
    label(cr, ox, oy + H + 14, strprintf("%.3g", xmin), 10);
    label(cr, ox + W - 30, oy + H + 14, strprintf("%.3g", xmax), 10);
    label(cr, ox + W / 2 - 20, oy + H + 14, axis == 0 ? "H (g1/2)" : "G (g1/2)", 10);
    label(cr, ox + 4, oy + 12, strprintf("%.4g", hi), 10);
    label(cr, ox + 4, oy + H - 4, strprintf("%.4g", lo), 10);
  }
  label(cr, kGap, height - 8, "points: observed +- s.d.   dashed: start   orange: final", 10);
  write_png(c.surface.get(), png);
}

// The correlation matrix on the diverging map, the cells above the
// threshold outlined.
void draw_correlations(const fit_record& rec, const std::string& png) {
  const int P = static_cast<int>(rec.params.size());
  const int cell = std::clamp(420 / std::max(P, 1), 14, 48), names = 150;
  const int width = names + P * cell + 90, height = names + P * cell + 30;
  Canvas c = dark_canvas(width, height);
  cairo_t* cr = c.cr();
  for (int j = 0; j < P; ++j) {
    label(cr, 6, names + j * cell + cell * 0.65, rec.params[j].name, 10);
    cairo_save(cr);
    cairo_translate(cr, names + j * cell + cell * 0.65, names - 6);
    cairo_rotate(cr, -M_PI / 2);
    label(cr, 0, 0, rec.params[j].name, 10);
    cairo_restore(cr);
    for (int k = 0; k < P; ++k) {
      const double v = rec.correlation[static_cast<std::size_t>(j) * P + k];
      set_rgb(cr, diverging_rgb(v));
      cairo_rectangle(cr, names + k * cell, names + j * cell, cell - 1, cell - 1);
      cairo_fill(cr);
      if (cell >= 30) {
        cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 10);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        cairo_move_to(cr, names + k * cell + 4, names + j * cell + cell * 0.6);
        cairo_show_text(cr, strprintf("%.2f", v).c_str());
      }
      if (j != k && std::fabs(v) > rec.corr_threshold) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 2);
        cairo_rectangle(cr, names + k * cell + 1, names + j * cell + 1, cell - 3, cell - 3);
        cairo_stroke(cr);
      }
    }
  }
  draw_bar(cr, names + P * cell + 12, names, std::max(P * cell, 60), diverging_rgb, -1, 1, "corr");
  write_png(c.surface.get(), png);
}

// Chi-squared (log scale) and lambda (log scale) against iteration.
void draw_history(const fit_record& rec, const std::string& png) {
  const int W = 330, H = 200, width = 2 * W + 3 * kGap, height = H + 50;
  Canvas c = dark_canvas(width, height);
  cairo_t* cr = c.cr();
  for (int which = 0; which < 2; ++which) {
    const double ox = kGap + which * (W + kGap), oy = 24;
    label(cr, ox, 16, which == 0 ? "chi-squared" : "lambda", 12, true);
    cairo_set_source_rgb(cr, 0.5, 0.5, 0.55);
    cairo_rectangle(cr, ox, oy, W, H);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    std::vector<std::pair<double, double>> pts;
    for (const fit_iteration_record& it : rec.history) {
      const double v = which == 0 ? it.chisq : it.lambda;
      if (v > 0) pts.emplace_back(it.iteration, std::log10(v));
    }
    if (pts.empty()) continue;
    double lo = pts[0].second, hi = lo, n = 1;
    for (const auto& [i, v] : pts) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
      n = std::max(n, i);
    }
    if (hi <= lo) hi = lo + 1;
    auto px = [&](double i) { return ox + 8 + (W - 16) * i / n; };
    auto py = [&](double v) { return oy + H - 8 - (H - 16) * (v - lo) / (hi - lo); };
    cairo_set_source_rgb(cr, 0.99, 0.65, 0.2);
    for (std::size_t k = 0; k < pts.size(); ++k) {
      if (k == 0) cairo_move_to(cr, px(pts[k].first), py(pts[k].second));
      else cairo_line_to(cr, px(pts[k].first), py(pts[k].second));
    }
    cairo_set_line_width(cr, 1.6);
    cairo_stroke(cr);
    for (const auto& [i, v] : pts) {
      cairo_arc(cr, px(i), py(v), 2.5, 0, 2 * M_PI);
      cairo_fill(cr);
    }
    label(cr, ox + 4, oy + 12, strprintf("%.4g", std::pow(10.0, hi)), 10);
    label(cr, ox + 4, oy + H - 4, strprintf("%.4g", std::pow(10.0, lo)), 10);
    label(cr, ox + W / 2 - 20, oy + H + 14, "iteration", 10);
  }
  write_png(c.surface.get(), png);
}

// The observed (left) and refined (right) disks of one block, each at its
// reflection's place in the zero-order zone as in the CBED picture, on one
// square-root scale.
void draw_pattern(const fit_record& rec, const fit_dataset_record& d, int b, const std::string& png) {
  const lattice_metric lm = bravai(rec.cell);
  const Vec3 g1{d.g1[0], d.g1[1], d.g1[2]};
  const int R = static_cast<int>(d.reflections.size());
  std::vector<double> cx(R), cy(R);
  double xmin = 0, xmax = 0, ymin = 0, ymax = 0;
  const double radius = 0.5 * std::max(d.disksize, 1e-3);  // units of |g1|
  for (int r = 0; r < R; ++r) {
    proj_to_zolz(d.reflections[r], d.incidence, g1, lm, &cx[r], &cy[r]);
    xmin = std::min(xmin, cx[r]);
    xmax = std::max(xmax, cx[r]);
    ymin = std::min(ymin, cy[r]);
    ymax = std::max(ymax, cy[r]);
  }
  xmin -= radius;
  xmax += radius;
  ymin -= radius;
  ymax += radius;
  const double span = std::max({xmax - xmin, ymax - ymin, 1e-6});
  const int S = 420, width = 2 * S + 3 * kGap;
  const double scale = S / span;  // pixels per |g1|
  const int height = static_cast<int>((ymax - ymin) * scale) + kTitleHeight + 20;
  double hi = 0;
  for (int r = 0; r < R; ++r)
    for (int p = 0; p < d.num_pixels(); ++p) {
      const std::size_t i = d.at(b, r, p);
      if (d.mask[i]) hi = std::max({hi, d.obs[i], d.model_final[i]});
    }
  if (!(hi > 0)) hi = 1;
  Canvas c = dark_canvas(width, height);
  cairo_t* cr = c.cr();
  const auto colour = [&](double v) { return colormap_rgb(Colormap::inferno, std::sqrt(std::max(v, 0.0) / hi)); };
  for (int side = 0; side < 2; ++side) {
    const double ox = kGap + side * (S + kGap), oy = kTitleHeight;
    label(cr, ox, 20, side == 0 ? "observed" : "refined", 13, true);
    const std::vector<double>& field = side == 0 ? d.obs : d.model_final;
    for (int r = 0; r < R; ++r) {
      const double diam = 2 * radius * scale;
      const double x0 = ox + (cx[r] - radius - xmin) * scale, y0 = oy + (ymax - cy[r] - radius) * scale;
      draw_disk(cr, x0, y0, diam, d, [&](int p) { return masked(d, field, b, r, p); }, colour);
      label(cr, x0, y0 + diam + 11, hkl_text(d.reflections[r]), 9);
    }
  }
  write_png(c.surface.get(), png);
}

std::string png_name(const std::string& base, const std::string& what) { return base + "_fit_" + what + ".png"; }

void write_param_table(FILE* fp, const fit_record& rec) {
  qz_fprintf(fp,
             "<h2>Refined parameters</h2>\n<table id=\"parameters\" border=\"1\" cellpadding=\"3\">\n"
             "<tr><th>name</th><th>start</th><th>final</th><th>s.u.</th><th>change / s.u.</th></tr>\n");
  for (const fit_param_record& p : rec.params) {
    const double change = p.su > 0 ? (p.final_value - p.start) / p.su : 0.0;
    qz_fprintf(fp,
               "<tr><td class=\"name\">%s</td><td class=\"start\">%.10g</td><td class=\"final\">%.10g</td>"
               "<td class=\"su\">%.4g</td><td class=\"change\">%.3g</td></tr>\n",
               html_text(p.name).c_str(), p.start, p.final_value, p.su, change);
  }
  qz_fprintf(fp, "</table>\n");
}

}  // namespace

std::string fit_page_name(const std::string& base_name) { return base_name + "_fit_page.html"; }

std::string write_fit_page(const fit_record& rec) {
  const std::string page = fit_page_name(rec.base_name);
  if (!rank_writes_files()) return page;
  const std::string& base = rec.base_name;
  draw_correlations(rec, png_name(base, "corr"));
  draw_history(rec, png_name(base, "history"));
  OutputFile out = qz_fopen_chk_wmode(page);
  FILE* fp = out.get();
  qz_fprintf(fp, "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>%s: refinement</title>\n",
             html_text(base).c_str());
  qz_fprintf(fp, "<style>body{background:#111;color:#ddd;font-family:sans-serif} "
                 "table{border-collapse:collapse} td,th{padding:2px 8px} img{display:block;margin:4px 0}</style>\n"
                 "</head>\n<body>\n<h1>%s: refinement</h1>\n", html_text(base).c_str());
  qz_fprintf(fp, "<p id=\"summary\">chi-squared %.8g for %d degrees of freedom, reduced chi-squared %.6g. "
                 "Stopped: %s.</p>\n",
             rec.chisq, rec.dof, rec.reduced, html_text(rec.stop_reason).c_str());
  write_param_table(fp, rec);
  qz_fprintf(fp, "<h2>Correlations</h2>\n<p>Outlined: |correlation| above corr_threshold = %g.</p>\n"
                 "<img src=\"%s\" alt=\"correlation matrix\">\n",
             rec.corr_threshold, html_url(png_name(base, "corr")).c_str());
  qz_fprintf(fp, "<h2>Chi-squared and lambda</h2>\n<img src=\"%s\" alt=\"chi-squared and lambda against "
                 "iteration\">\n",
             html_url(png_name(base, "history")).c_str());
  for (std::size_t i = 0; i < rec.datasets.size(); ++i) {
    const fit_dataset_record& d = rec.datasets[i];
    qz_fprintf(fp, "<h2>Dataset %d: %s</h2>\n<p>R = %.5g (start %.5g)</p>\n", static_cast<int>(i),
               html_text(d.int_file).c_str(), d.r_final, d.r_start);
    for (int b = 0; b < d.num_blocks(); ++b) {
      const std::string tag = strprintf("d%d_b%d", static_cast<int>(i), b);
      const std::string pattern = png_name(base, tag + "_pattern");
      draw_pattern(rec, d, b, pattern);
      qz_fprintf(fp, "<h3>Block %d: thickness %.6g A (start %.6g), scale %.6g (start %.6g)</h3>\n", b,
                 d.thickness_final[b], d.thickness_start[b], d.scale_final[b], d.scale_start[b]);
      qz_fprintf(fp, "<img src=\"%s\" alt=\"observed and refined pattern\">\n", html_url(pattern).c_str());
      for (int r = 0; r < static_cast<int>(d.reflections.size()); ++r) {
        const row_ref row{&d, b, r};
        const std::string disks = png_name(base, strprintf("%s_r%d", tag.c_str(), r));
        const std::string prof = png_name(base, strprintf("%s_r%d_profile", tag.c_str(), r));
        draw_disk_row(row, disks);
        draw_profiles(row, prof);
        qz_fprintf(fp, "<img src=\"%s\" alt=\"%s\">\n<img src=\"%s\" alt=\"profiles of %s\">\n",
                   html_url(disks).c_str(), hkl_text(d.reflections[r]).c_str(), html_url(prof).c_str(),
                   hkl_text(d.reflections[r]).c_str());
      }
    }
  }
  qz_fprintf(fp, "</body>\n</html>\n");
  qz_fclose(out);
  return page;
}

}  // namespace kv
