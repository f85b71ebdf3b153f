#include "expimage/import_job.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "expimage/sim_adapter.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"
#include "vis/canvas.hpp"
#include "vis/html_escape.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void import_fault(const std::string& image, const std::string& what) {
  fatal_out("$$ Import %s: %s. Abort.\n", image.c_str(), what.c_str());
}

std::string hkl_text(const Hkl& g) { return strprintf("%d %d %d", g.h, g.k, g.l); }

// A companion image of the same size as the pattern, per frame.
DetectorImage companion(const std::string& name, const DetectorImage& raw, const char* what) {
  DetectorImage c = read_detector_image(name);
  if (c.width != raw.width || c.height != raw.height)
    import_fault(raw.file, strprintf("the %s image %s is %d x %d pixels, the pattern %d x %d", what, name.c_str(),
                                     c.width, c.height, raw.width, raw.height));
  if (c.frames > 1)
    for (double& v : c.pixels) v /= c.frames;
  return c;
}

std::vector<ZoneReflection> zone_reflections(const ImportSetup& s) {
  std::vector<ZoneReflection> z;
  for (int b = 0; b < s.cond.num_exact_beam; ++b) {
    double x = 0, y = 0;
    proj_to_zolz(s.cond.beams[b], s.cond.incidence, s.cond.zolzbase1, s.lm, &x, &y);
    z.push_back({s.cond.beams[b], 2 * x, 2 * y});
  }
  return z;
}

int zone_index(const std::vector<ZoneReflection>& z, const Hkl& g) {
  for (std::size_t i = 0; i < z.size(); ++i)
    if (z[i].hkl == g) return static_cast<int>(i);
  return -1;
}

bool bilinear(const PatternImage& img, double x, double y, double* v, double w[4], std::size_t idx[4]) {
  const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
  if (!img.ok(ix, iy) || !img.ok(ix + 1, iy) || !img.ok(ix, iy + 1) || !img.ok(ix + 1, iy + 1)) return false;
  const double fx = x - ix, fy = y - iy;
  w[0] = (1 - fx) * (1 - fy), w[1] = fx * (1 - fy), w[2] = (1 - fx) * fy, w[3] = fx * fy;
  idx[0] = static_cast<std::size_t>(iy) * img.width + ix;
  idx[1] = idx[0] + 1;
  idx[2] = idx[0] + img.width;
  idx[3] = idx[2] + 1;
  *v = 0;
  for (int k = 0; k < 4; ++k) *v += w[k] * img.pixels[idx[k]];
  return true;
}

// Pearson correlation of the measured disks with the simulated ones under a
// geometry: how well the disks' contents agree with their labels.
double content_correlation(const ProcessedImage& p, const CameraGeometry& g, const std::vector<ZoneReflection>& zone,
                           const Calibration& cal, const SimulatedDisks& sim) {
  double sm = 0, sc = 0, smm = 0, scc = 0, smc = 0;
  long n = 0;
  const int side = sim.side;
  const double step = 2 * sim.half_width / (side - 1);
  for (const FoundDisk& d : cal.disks) {
    const auto t = g.to_tilt(d.x, d.y);
    double best = 1e300;
    int k = -1;
    for (std::size_t i = 0; i < zone.size(); ++i) {
      const double e = std::hypot(zone[i].u - t[0], zone[i].v - t[1]);
      if (e < best) best = e, k = static_cast<int>(i);
    }
    if (k < 0 || best > 0.3 * sim.half_width) continue;
    int r = -1;
    for (std::size_t i = 0; i < sim.reflections.size(); ++i)
      if (sim.reflections[i] == zone[k].hkl) r = static_cast<int>(i);
    if (r < 0) continue;
    for (int j = 0; j < side; ++j)
      for (int i = 0; i < side; ++i) {
        const std::size_t q = static_cast<std::size_t>(j) * side + i;
        if (!sim.inside[q]) continue;
        const double H = -sim.half_width + i * step, G = -sim.half_width + j * step;
        if (std::hypot(H, G) > 0.85 * sim.half_width) continue;
        const auto px = g.to_pixel(zone[k].u + H, zone[k].v + G);
        double v, w[4];
        std::size_t idx[4];
        if (!bilinear(p.img, px[0], px[1], &v, w, idx)) continue;
        const double c = sim.grid[r][q];
        sm += v, sc += c, smm += v * v, scc += c * c, smc += v * c;
        ++n;
      }
  }
  if (n < 10) return 0.0;
  const double cov = smc - sm * sc / n, vm = smm - sm * sm / n, vc = scc - sc * sc / n;
  return vm > 0 && vc > 0 ? cov / std::sqrt(vm * vc) : 0.0;
}

struct Orientation {
  int su = 1, sv = 1;
  double score = 0;
  bool lattice_allows = false;
};

// Whether the sign change (su, sv) of the tilt-space axes maps the zone's
// reflections onto reflections.
bool lattice_symmetric(const std::vector<ZoneReflection>& zone, int su, int sv) {
  for (const auto& z : zone) {
    bool hit = false;
    for (const auto& o : zone) hit = hit || std::hypot(o.u - su * z.u, o.v - sv * z.v) < 1e-6;
    if (!hit) return false;
  }
  return true;
}

struct OutputNames {
  std::string base, int_file, fit_file, txt_file, html_file, png_pattern, png_disks;
};

OutputNames output_names(const std::string& image) {
  const std::string leaf = std::filesystem::path(image).filename().string();
  const std::string base = remove_extention(leaf);
  if (base.empty() || base == "." || base == "..")
    import_fault(image, "the image's file name gives no base name for the output files");
  return {base, base + "_int.txt", base + "_fit.dat", base + "_import.txt", base + "_import.html",
          base + "_import.png", base + "_import_disks.png"};
}

void write_int_file(const std::string& name, const ImportSetup& s, const Sampling& smp) {
  OutputFile f = qz_fopen_chk_wmode(name);
  FILE* fp = f.get();
  const auto& c = s.cond;
  const int n = smp.side;
  const double d = smp.half_width;
  qz_fprintf(fp, "FIT_EXPDATA_RAW\n# measured intensities (electrons) sampled from a detector image by talvis import\n");
  qz_fprintf(fp, "CR{\n%d %d %d\n%d %d %d\n%.10g %.10g %.10g\n%.10g %.10g %.10g\n%.10g %.10g\n}CR\n", c.incidence.h,
             c.incidence.k, c.incidence.l, c.normal.h, c.normal.k, c.normal.l, c.zolzbase1[0], c.zolzbase1[1],
             c.zolzbase1[2], c.zolzbase2[0], c.zolzbase2[1], c.zolzbase2[2], c.tiltH, c.tiltG);
  qz_fprintf(fp, "PAR{\n1\n%zu\n%d %d\n%.12g %.12g %.12g %.12g\n}PAR\n", smp.disks.size(), n * n, n, -d, d, -d, d);
  qz_fprintf(fp, "THICKNESS{\n");
  for (const SampledDisk& disk : smp.disks) {
    qz_fprintf(fp, "RF{\n%d %d %d\n", disk.hkl.h, disk.hkl.k, disk.hkl.l);
    for (int p = 0; p < n * n; ++p) {
      qz_fprintf(fp, "%.8g %.8g\n", disk.value[p], disk.sd[p]);
      if ((p + 1) % n == 0) qz_fprintf(fp, "\n");
    }
    qz_fprintf(fp, "}RF\n");
  }
  qz_fprintf(fp, "}THICKNESS\n");
  qz_fclose(f);
}

void write_fit_file(const OutputNames& out, const ImportSetup& s, const Sampling& smp, double scale, double thickness) {
  OutputFile f = qz_fopen_chk_wmode(out.fit_file);
  FILE* fp = f.get();
  const auto& c = s.cond;
  qz_fprintf(fp, "FIT_MODE\n%% fit-mode file of the image %s, written by talvis import.\n", out.base.c_str());
  qz_fprintf(fp, "%% Every parameter is FIX: mark those to refine ADJ before running korvex on it.\n");
  qz_fprintf(fp, "%s", s.eps_block.c_str());
  qz_fprintf(fp, "%s", s.crystal_block.c_str());
  qz_fprintf(fp, "FIT_CALCULATION_CONDITION{\nITER_EXP_NUM{\n30\n1\n}ITER_EXP_NUM\nDATA_SET{\nINCIDENT_BEAM{\n");
  qz_fprintf(fp, "%d %d %d\n%d %d %d\n%.10g %.10g %.10g\n", c.incidence.h, c.incidence.k, c.incidence.l, c.normal.h,
             c.normal.k, c.normal.l, c.zolzbase1[0], c.zolzbase1[1], c.zolzbase1[2]);
  qz_fprintf(fp, "%.10g FIX tH\n%.10g FIX tG\n%.10g FIX kv\n}INCIDENT_BEAM\n", c.tiltH, c.tiltG, c.voltage);
  qz_fprintf(fp, "CALC_KXY_RANGE{\n2\n%d\n%.10g\n}CALC_KXY_RANGE\n", smp.side, smp.half_width);
  qz_fprintf(fp, "%s", s.beam_search_block.c_str());
  qz_fprintf(fp, "INTENSITY_DATA{\n%s\n1\n%zu\n}INTENSITY_DATA\n", out.int_file.c_str(), smp.disks.size());
  qz_fprintf(fp, "THICKNESS_BLOCK{\nSTW_PAR{\n%.10g FIX scale\n%.10g FIX thick\n0.0 FIX thick_width\n0 1.0\n}STW_PAR\n",
             scale, thickness);
  qz_fprintf(fp, "REFLEX_SHIFT_PAR{\n");
  for (std::size_t r = 0; r < smp.disks.size(); ++r) {
    const Hkl& g = smp.disks[r].hkl;
    qz_fprintf(fp, "%d %d %d 1.0\n0.0 FIX H_shift%zu\n0.0 FIX G_shift%zu\n", g.h, g.k, g.l, r, r);
  }
  qz_fprintf(fp, "}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n}DATA_SET\n}FIT_CALCULATION_CONDITION\n");
  qz_fclose(f);
}

// Grey value of a pixel on a log scale between the image's 0.1 and 99.9
// percentiles of its positive values.
struct LogScale {
  double lo = 0, hi = 1;
  double grey(double v) const {
    if (!(v > lo)) return 0.0;
    return std::clamp(std::log(v / lo) / std::log(hi / lo), 0.0, 1.0);
  }
};

LogScale log_scale(const std::vector<double>& v) {
  std::vector<double> pos;
  for (double x : v)
    if (x > 0) pos.push_back(x);
  LogScale s;
  if (pos.size() < 2) return s;
  std::sort(pos.begin(), pos.end());
  s.lo = std::max(pos[pos.size() / 1000], pos.back() * 1e-4);
  s.hi = pos[pos.size() - 1 - pos.size() / 1000];
  if (!(s.hi > s.lo)) s.hi = s.lo * 10;
  return s;
}

void pattern_picture(const std::string& png, const ProcessedImage& p, const Calibration& cal,
                     const std::vector<ZoneReflection>& zone) {
  const int w = p.img.width, h = p.img.height;
  const int b = std::max(1, (std::max(w, h) + 899) / 900);
  const int pw = w / b, ph = h / b;
  Canvas cv = dark_canvas(pw, ph);
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, pw, ph);
  unsigned char* data = cairo_image_surface_get_data(img);
  const int stride = cairo_image_surface_get_stride(img);
  const LogScale ls = log_scale(p.img.pixels);
  for (int y = 0; y < ph; ++y)
    for (int x = 0; x < pw; ++x) {
      double s = 0;
      for (int dy = 0; dy < b; ++dy)
        for (int dx = 0; dx < b; ++dx) s += p.img.at(x * b + dx, y * b + dy);
      const bool ok = p.img.ok(x * b, y * b);
      const int g = static_cast<int>(255 * ls.grey(s / (b * b)));
      auto* px = reinterpret_cast<uint32_t*>(data + y * stride) + x;
      *px = ok ? (static_cast<uint32_t>(g) << 16) | (static_cast<uint32_t>(g) << 8) | g : 0x800000u;
    }
  cairo_surface_mark_dirty(img);
  cairo_t* cr = cv.cr();
  cairo_set_source_surface(cr, img, 0, 0);
  cairo_paint(cr);
  cairo_surface_destroy(img);
  const double r = cal.geom.disk_radius_px() / b;
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, std::clamp(r * 0.45, 9.0, 16.0));
  cairo_set_line_width(cr, 1.0);
  for (const FoundDisk& d : cal.disks) {
    const double x = (d.x + 0.5) / b, y = (d.y + 0.5) / b;
    cairo_set_source_rgb(cr, 0.2, 0.9, 0.3);
    cairo_new_path(cr);
    cairo_arc(cr, x, y, r, 0, 2 * kPi);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 1.0, 0.85, 0.2);
    cairo_move_to(cr, x - r * 0.7, y - r - 3);
    cairo_show_text(cr, hkl_text(zone[d.reflection].hkl).c_str());
  }
  write_png(cv.surface.get(), png);
}

// The sampled disks (left) beside the simulation at the starting values
// (right), each pair on its own grey scale, one row per four reflections.
void disks_picture(const std::string& png, const Sampling& smp, const SimulatedDisks& sim, double scale) {
  const int n = smp.side, mag = std::max(1, 96 / n), tile = n * mag, per_row = 4;
  const int cols = per_row, rows = static_cast<int>((smp.disks.size() + per_row - 1) / per_row);
  const int cw = 2 * tile + 20, ch = tile + 24;
  Canvas cv = dark_canvas(cols * cw + 10, std::max(1, rows) * ch + 10);
  cairo_t* cr = cv.cr();
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 11);
  for (std::size_t r = 0; r < smp.disks.size(); ++r) {
    const int ox = 10 + static_cast<int>(r % per_row) * cw, oy = 20 + static_cast<int>(r / per_row) * ch;
    double hi = 0;
    for (int q = 0; q < n * n; ++q) hi = std::max({hi, smp.disks[r].value[q], scale * sim.grid[r][q]});
    if (!(hi > 0)) hi = 1;
    for (int side = 0; side < 2; ++side)
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const int q = j * n + i;
          double v;
          if (side == 0)
            v = smp.disks[r].sd[q] < 0 ? -1 : smp.disks[r].value[q];
          else
            v = sim.inside[q] ? scale * sim.grid[r][q] : -1;
          if (v < 0)
            cairo_set_source_rgb(cr, 0.25, 0.05, 0.05);
          else {
            const double g = std::sqrt(std::clamp(v / hi, 0.0, 1.0));
            cairo_set_source_rgb(cr, g, g, g);
          }
          cairo_rectangle(cr, ox + side * (tile + 4) + i * mag, oy + j * mag, mag, mag);
          cairo_fill(cr);
        }
    cairo_set_source_rgb(cr, 1.0, 0.85, 0.2);
    cairo_move_to(cr, ox, oy - 5);
    cairo_show_text(cr, (hkl_text(smp.disks[r].hkl) + "  measured | simulated").c_str());
  }
  write_png(cv.surface.get(), png);
}

struct Summary {
  std::string image_file, format;
  int width = 0, height = 0, frames = 1;
  ExcludedPixels excluded;
  double mrad_per_px = 0, alpha_mrad = 0, g1_length = 0, wavelength = 0;
  std::vector<Orientation> orientations;
  double start_scale = 0, start_thickness = 0, chi2_reduced = 0;
  long chi2_points = 0;
  double seconds = 0;
};

void write_import_txt(const std::string& name, const Summary& s, const Calibration& cal,
                      const std::vector<ZoneReflection>& zone, const Sampling& smp) {
  OutputFile f = qz_fopen_chk_wmode(name);
  FILE* fp = f.get();
  const CameraGeometry& g = cal.geom;
  qz_fprintf(fp, "# calibration of %s by talvis import\n", s.image_file.c_str());
  qz_fprintf(fp, "# pixel coordinates: x = column, y = row, origin at the centre of the first pixel;\n");
  qz_fprintf(fp, "# angles from +x toward +y; g1/2 is half the length of the first ZOLZ base vector\n");
  qz_fprintf(fp, "image_format %s\nimage_width_px %d\nimage_height_px %d\nframes %d\n", s.format.c_str(), s.width,
             s.height, s.frames);
  qz_fprintf(fp, "centre_x_px %.4f\ncentre_y_px %.4f\n", g.cx, g.cy);
  qz_fprintf(fp, "g1_angle_deg %.4f\n", g.g1_angle_deg());
  qz_fprintf(fp, "px_per_g1half %.5f\n", g.px_per_g1half());
  qz_fprintf(fp, "mrad_per_px %.6g\n", s.mrad_per_px);
  qz_fprintf(fp, "disk_radius_px %.4f\n", g.disk_radius_px());
  qz_fprintf(fp, "disk_radius_g1half %.6f\n", g.disk_half_width);
  qz_fprintf(fp, "alpha_mrad %.5f\n", s.alpha_mrad);
  qz_fprintf(fp, "ellipticity %.5f\nellipse_angle_deg %.3f\n", g.ellipticity(), g.ellipse_angle_deg());
  qz_fprintf(fp, "handedness %d\n", g.handedness());
  qz_fprintf(fp, "matrix_px %.6f %.6f %.6f %.6f\n", g.a[0][0], g.a[0][1], g.a[1][0], g.a[1][1]);
  qz_fprintf(fp, "centre_residual_px %.4f\nrms_residual_px %.4f\n", cal.centre_residual_px, cal.rms_residual_px);
  qz_fprintf(fp, "disks_indexed %zu\ndisk_candidates %d\n", cal.disks.size(), cal.candidates);
  for (const Orientation& o : s.orientations)
    qz_fprintf(fp, "orientation_score %+d %+d %.5f%s\n", o.su, o.sv, o.score,
               o.su == s.orientations.front().su && o.sv == s.orientations.front().sv ? " chosen" : "");
  // A choice is determined when every orientation that makes the other
  // choice scores clearly lower (by more than 0.002 in correlation); an
  // orientation the lattice does not allow counts as ruled out.
  const Orientation& best = s.orientations.front();
  auto determined = [&](bool (*other)(const Orientation&, const Orientation&)) {
    for (const Orientation& o : s.orientations)
      if (other(o, best) && best.score - o.score <= 0.002) return 0;
    return 1;
  };
  qz_fprintf(fp, "g1_sign_determined %d\n",
             determined([](const Orientation& o, const Orientation& b) { return o.su != b.su; }));
  qz_fprintf(fp, "handedness_determined %d\n",
             determined([](const Orientation& o, const Orientation& b) { return o.su * o.sv != b.su * b.sv; }));
  qz_fprintf(fp, "excluded_saturated %ld\nexcluded_dead %ld\nexcluded_masked %ld\n", s.excluded.saturated,
             s.excluded.dead, s.excluded.masked);
  qz_fprintf(fp, "points_used %ld\npoints_excluded_pixels %ld\npoints_overlap %ld\npoints_edge %ld\n", smp.points_used,
             smp.points_excluded_pixels, smp.points_overlap, smp.points_edge);
  qz_fprintf(fp, "start_scale %.6g\nstart_thickness %.6g\nstart_chi2_reduced %.5f\n", s.start_scale,
             s.start_thickness, s.chi2_reduced);
  qz_fprintf(fp, "import_seconds %.3f\n", s.seconds);
  qz_fprintf(fp, "# disk: h k l, measured x y, fitted x y, residual (px), edge points\n");
  for (const FoundDisk& d : cal.disks) {
    const Hkl& h = zone[d.reflection].hkl;
    qz_fprintf(fp, "disk %d %d %d %.3f %.3f %.3f %.3f %.4f %d\n", h.h, h.k, h.l, d.x, d.y, d.fit_x, d.fit_y,
               d.residual, d.edge_points);
  }
  qz_fclose(f);
}

void write_import_html(const OutputNames& out, const Summary& s, const Calibration& cal,
                       const std::vector<ZoneReflection>& zone) {
  OutputFile f = qz_fopen_chk_wmode(out.html_file);
  FILE* fp = f.get();
  const std::string title = "import of " + s.image_file;
  qz_fprintf(fp, "<html>\n<head><meta charset=\"utf-8\"><title>%s</title></head>\n<body>\n",
             html_text(title).c_str());
  qz_fprintf(fp, "<h1>%s</h1>\n", html_text(title).c_str());
  qz_fprintf(fp, "<p>%s image, %d x %d pixels, %d frame%s. Calibration: <a href=\"%s\">%s</a>; dataset: "
                 "<a href=\"%s\">%s</a>, <a href=\"%s\">%s</a>.</p>\n",
             html_text(s.format).c_str(), s.width, s.height, s.frames, s.frames == 1 ? "" : "s",
             html_url(out.txt_file).c_str(), html_text(out.txt_file).c_str(), html_url(out.int_file).c_str(),
             html_text(out.int_file).c_str(), html_url(out.fit_file).c_str(), html_text(out.fit_file).c_str());
  const CameraGeometry& g = cal.geom;
  qz_fprintf(fp, "<table border=\"1\">\n");
  qz_fprintf(fp, "<tr><td>000 centre (px)</td><td>%.3f, %.3f</td></tr>\n", g.cx, g.cy);
  qz_fprintf(fp, "<tr><td>g1 angle (deg)</td><td>%.3f</td></tr>\n", g.g1_angle_deg());
  qz_fprintf(fp, "<tr><td>px per g1/2</td><td>%.4f</td></tr>\n", g.px_per_g1half());
  qz_fprintf(fp, "<tr><td>disk radius (px)</td><td>%.3f</td></tr>\n", g.disk_radius_px());
  qz_fprintf(fp, "<tr><td>convergence semi-angle (mrad)</td><td>%.4f</td></tr>\n", s.alpha_mrad);
  qz_fprintf(fp, "<tr><td>ellipticity</td><td>%.4f</td></tr>\n", g.ellipticity());
  qz_fprintf(fp, "<tr><td>handedness</td><td>%d</td></tr>\n", g.handedness());
  qz_fprintf(fp, "<tr><td>disks indexed / r.m.s. residual (px)</td><td>%zu / %.4f</td></tr>\n", cal.disks.size(),
             cal.rms_residual_px);
  qz_fprintf(fp, "<tr><td>reduced chi-squared at the start</td><td>%.4f</td></tr>\n", s.chi2_reduced);
  qz_fprintf(fp, "</table>\n");
  qz_fprintf(fp, "<h2>Pattern (log scale), found disks</h2>\n<img src=\"%s\" alt=\"pattern\">\n",
             html_url(out.png_pattern).c_str());
  qz_fprintf(fp, "<h2>Sampled disks beside the simulation at the starting values</h2>\n<img src=\"%s\" alt=\"disks\">\n",
             html_url(out.png_disks).c_str());
  qz_fprintf(fp, "<h2>Disks</h2>\n<table border=\"1\">\n<tr><th>h k l</th><th>x</th><th>y</th><th>residual (px)</th></tr>\n");
  for (const FoundDisk& d : cal.disks)
    qz_fprintf(fp, "<tr><td>%s</td><td>%.3f</td><td>%.3f</td><td>%.4f</td></tr>\n",
               html_text(hkl_text(zone[d.reflection].hkl)).c_str(), d.x, d.y, d.residual);
  qz_fprintf(fp, "</table>\n</body>\n</html>\n");
  qz_fclose(f);
}

}  // namespace

ProcessedImage process_image(const DetectorImage& raw, const ImportKeys& keys, const std::string& setup_file) {
  ProcessedImage p;
  p.frames = raw.frames;
  p.img.width = raw.width;
  p.img.height = raw.height;
  const std::size_t n = raw.pixels.size();
  p.img.pixels.assign(n, 0.0);
  p.img.valid.assign(n, 1);
  p.var0.assign(n, 0.0);
  std::vector<double> dark(n, 0.0), gref(n, 1.0), mask;
  if (!keys.dark.empty()) dark = companion(keys.dark, raw, "dark").pixels;
  if (!keys.gain_reference.empty()) {
    gref = companion(keys.gain_reference, raw, "gain reference").pixels;
    double s = 0;
    long k = 0;
    for (double v : gref)
      if (v > 0) s += v, ++k;
    if (k == 0) import_fault(raw.file, "the gain reference " + keys.gain_reference + " has no positive pixel");
    for (double& v : gref) v /= s / k;  // mean 1 over the live pixels
  }
  if (!keys.mask.empty()) mask = companion(keys.mask, raw, "mask").pixels;
  const double F = raw.frames;
  for (std::size_t i = 0; i < n; ++i) {
    const double counts = raw.pixels[i];
    bool ok = true;
    // Each excluded pixel is counted once, under the first of: masked by
    // the user, dead (gain reference not positive), saturated.
    if (!mask.empty() && mask[i] == 0.0) ++p.excluded.masked, ok = false;
    else if (!(gref[i] > 0)) ++p.excluded.dead, ok = false;
    else if (keys.saturation && counts >= *keys.saturation * F) ++p.excluded.saturated, ok = false;
    p.img.valid[i] = ok;
    if (!ok) continue;
    const double g = keys.gain * gref[i];
    p.img.pixels[i] = (counts - F * dark[i]) / g;
    p.var0[i] = F * keys.read_noise * keys.read_noise / (g * g);
  }
  return p;
}

Sampling sample_disks(const ProcessedImage& p, const CameraGeometry& g, const std::vector<ZoneReflection>& zone,
                      const BeamList& reflections, int side, double half_width, double edge_px) {
  Sampling s;
  s.side = side;
  s.half_width = half_width;
  const double step = 2 * half_width / (side - 1);
  const double scale = g.px_per_g1half();
  const double edge = edge_px / scale;
  for (const Hkl& hkl : reflections) {
    SampledDisk d;
    d.hkl = hkl;
    d.value.assign(static_cast<std::size_t>(side) * side, 0.0);
    d.sd.assign(d.value.size(), -1.0);
    double u0 = 0, v0 = 0;
    const int k = zone_index(zone, hkl);
    if (k >= 0) u0 = zone[k].u, v0 = zone[k].v;
    for (int j = 0; j < side; ++j)
      for (int i = 0; i < side; ++i) {
        const std::size_t q = static_cast<std::size_t>(j) * side + i;
        const double H = -half_width + i * step, G = -half_width + j * step;
        const double rho = std::hypot(H, G);
        if (k < 0 || rho >= half_width + 1e-10) continue;
        if (rho > half_width - edge) {
          ++s.points_edge;
          continue;
        }
        bool overlap = false;
        for (std::size_t o = 0; o < zone.size() && !overlap; ++o)
          overlap = static_cast<int>(o) != k &&
                    std::hypot(u0 + H - zone[o].u, v0 + G - zone[o].v) < half_width + edge;
        if (overlap) {
          ++s.points_overlap;
          continue;
        }
        const auto px = g.to_pixel(u0 + H, v0 + G);
        double v, w[4];
        std::size_t idx[4];
        if (!bilinear(p.img, px[0], px[1], &v, w, idx)) {
          ++s.points_excluded_pixels;
          continue;
        }
        double var = 0;
        for (int m = 0; m < 4; ++m) var += w[m] * w[m] * (std::max(p.img.pixels[idx[m]], 1.0) + p.var0[idx[m]]);
        d.value[q] = v;
        d.sd[q] = std::sqrt(var);
        ++s.points_used;
      }
    s.disks.push_back(std::move(d));
  }
  return s;
}

void talvis_import(const std::string& image, const std::string& setup_file) {
  const auto t0 = std::chrono::steady_clock::now();
  const OutputNames out = output_names(image);
  ImportSetup setup;
  // The setup's reflection listing is named from the setup, as korvex names it.
  dbg.base_name = remove_extention(std::filesystem::path(setup_file).filename().string());
  read_import_setup(setup_file, setup);
  const DetectorImage raw = read_detector_image(image);
  std::printf("$$ import: %s, %s image of %d x %d pixels, %d frame%s\n", image.c_str(), raw.format.c_str(), raw.width,
              raw.height, raw.frames, raw.frames == 1 ? "" : "s");
  const ProcessedImage p = process_image(raw, setup.keys, setup_file);
  const std::vector<ZoneReflection> zone = zone_reflections(setup);

  CalibrationOptions opt;
  opt.manual_000 = setup.keys.centre_000_px;
  opt.manual_g1 = setup.keys.g1_px;
  opt.disk_guess = setup.cond.disksize;
  Calibration cal = calibrate_pattern(p.img, zone, opt, image);
  std::printf("$$ import: %zu disks indexed, r.m.s. residual %.3f px\n", cal.disks.size(), cal.rms_residual_px);

  // g1 against -g1 and the mirror: the sign changes of the tilt axes that
  // the reflection lattice allows, judged by the disks' contents.
  const double d_meas = cal.geom.disk_half_width;
  const double thickness = setup.cond.thickness[0];
  BeamList all;
  for (const auto& z : zone) all.push_back(z.hkl);
  const SimulatedDisks probe = simulate_disks(setup, all, 21, d_meas, thickness);
  std::vector<Orientation> orient;
  for (const auto& sg : {std::array<int, 2>{1, 1}, {-1, -1}, {1, -1}, {-1, 1}}) {
    if (!lattice_symmetric(zone, sg[0], sg[1])) continue;
    Orientation o{sg[0], sg[1], 0.0, true};
    o.score = content_correlation(p, with_axes_changed(cal.geom, sg[0], sg[1]), zone, cal, probe);
    orient.push_back(o);
  }
  std::stable_sort(orient.begin(), orient.end(), [](const Orientation& a, const Orientation& b) { return a.score > b.score; });
  cal.geom = with_axes_changed(cal.geom, orient.front().su, orient.front().sv);
  reindex(cal, zone);
  for (FoundDisk& d : cal.disks) {
    const auto px = cal.geom.to_pixel(zone[d.reflection].u, zone[d.reflection].v);
    d.fit_x = px[0], d.fit_y = px[1];
    d.residual = std::hypot(d.x - px[0], d.y - px[1]);
    if (zone[d.reflection].hkl == Hkl{0, 0, 0}) cal.centre_residual_px = d.residual;
  }

  // The dataset: the setup's output reflections on its grid, over the
  // measured disk.
  BeamList wanted;
  for (int i = 0; i < setup.cond.num_g; ++i) wanted.push_back(setup.cond.beams[setup.cond.cal_g[i]]);
  const int side = setup.cond.num_cal_pix_side;
  const Sampling smp = sample_disks(p, cal.geom, zone, wanted, side, d_meas, 1.5);
  const SimulatedDisks start = simulate_disks(setup, wanted, side, d_meas, thickness);
  double smc = 0, scc = 0;
  for (std::size_t r = 0; r < smp.disks.size(); ++r)
    for (int q = 0; q < side * side; ++q)
      if (smp.disks[r].sd[q] > 0) {
        const double w = 1.0 / (smp.disks[r].sd[q] * smp.disks[r].sd[q]);
        smc += w * smp.disks[r].value[q] * start.grid[r][q];
        scc += w * start.grid[r][q] * start.grid[r][q];
      }
  Summary sum;
  sum.start_scale = scc > 0 ? smc / scc : 1.0;
  sum.start_thickness = thickness;
  double chi2 = 0;
  for (std::size_t r = 0; r < smp.disks.size(); ++r)
    for (int q = 0; q < side * side; ++q)
      if (smp.disks[r].sd[q] > 0) {
        const double e = (smp.disks[r].value[q] - sum.start_scale * start.grid[r][q]) / smp.disks[r].sd[q];
        chi2 += e * e;
        ++sum.chi2_points;
      }
  sum.chi2_reduced = sum.chi2_points > 1 ? chi2 / (sum.chi2_points - 1) : 0.0;
  sum.image_file = image;
  sum.format = raw.format;
  sum.width = raw.width, sum.height = raw.height, sum.frames = raw.frames;
  sum.excluded = p.excluded;
  sum.orientations = orient;
  // One unit of g1/2 is the angle lambda |g1| / 2.
  sum.g1_length = std::sqrt(sq_abs(setup.cond.zolzbase1, setup.lm));
  sum.wavelength = wavelength(setup.cond.voltage);
  const double mrad_per_unit = half_g1_to_mrad(1.0, setup.cond.voltage, sum.g1_length);
  sum.mrad_per_px = mrad_per_unit / cal.geom.px_per_g1half();
  sum.alpha_mrad = d_meas * mrad_per_unit;

  write_int_file(out.int_file, setup, smp);
  write_fit_file(out, setup, smp, sum.start_scale, thickness);
  pattern_picture(out.png_pattern, p, cal, zone);
  disks_picture(out.png_disks, smp, start, sum.start_scale);
  sum.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  write_import_txt(out.txt_file, sum, cal, zone, smp);
  write_import_html(out, sum, cal, zone);
  std::printf("$$ import: centre %.3f %.3f px, g1 at %.3f deg, %.4f px per g1/2, alpha %.4f mrad, handedness %d\n",
              cal.geom.cx, cal.geom.cy, cal.geom.g1_angle_deg(), cal.geom.px_per_g1half(), sum.alpha_mrad,
              cal.geom.handedness());
  std::printf("$$ import: wrote %s, %s, %s, %s\n", out.int_file.c_str(), out.fit_file.c_str(), out.txt_file.c_str(),
              out.html_file.c_str());
}

}  // namespace kv
