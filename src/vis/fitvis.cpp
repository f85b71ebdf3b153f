#include "vis/html.hpp"
#include "vis/html_escape.hpp"
#include "vis/fitvis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "input/fields.hpp"
#include "numeric/matrix.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "vis/pgm.hpp"
#include "vis/spawn.hpp"

namespace kv {

namespace {

constexpr int kMaxSide = 1 << 14;

int checked_side(int n) {
  if (n < 1 || n > kMaxSide) error_exit(stdout, "pixels per side (=%d) must be within 1 .. %d", n, kMaxSide);
  return n;
}

// One picture of a table cell: PGM with grid lines for negative mag,
// converted to PNG, the cell naming the PNG.
void table_picture(FILE* page, const std::string& base, int r, int j, double Hbgn, double Hend, double Gbgn,
                   double Gend, int n, const RMatrix& map, double max, int mag, int cont_rev) {
  const std::string pgm = strprintf("%s_%d_%d.pgm", base.c_str(), r, j);
  const std::string png = strprintf("%s_%d_%d.png", base.c_str(), r, j);
  output_pgm_image_grid(Hbgn, Hend, Gbgn, Gend, n, n, map, max, 0.0, 1.0, mag, cont_rev, pgm);
  const bool made = pgm_to_png(pgm, png);
  qz_fprintf(page, "<td>%s</td>\n", picture_element(page, png, made, " align=\"middle\"").c_str());
}

// The top of a result page: its title, the data file, the picture size.
void write_page_head(FILE* page, const std::string& base, int n) {
  qz_fprintf(page, "<html>\n");
  qz_fprintf(page, "<title>%s</title>\n", html_text(base).c_str());
  qz_fprintf(page, "<body>\n");
  qz_fprintf(page, "<p>Data file: %s<br>\n", html_text(base).c_str());
  qz_fprintf(page, "Pixels: %d x %d, ", n, n);
}

void write_scale_note(FILE* page, int mag, double gamma, double preset_max) {
  qz_fprintf(page, "Magnification: %d, ", mag);
  qz_fprintf(page, "gamma_max: %g", gamma);
  if (preset_max > 0.0) qz_fprintf(page, ", common_scale_max = %g", preset_max);
  qz_fprintf(page, "</p>\n");
  qz_fprintf(page, "<HR>\n");
  qz_fprintf(page, "<table border=1 cellspacing=0>\n");
  qz_fprintf(page, "<tr>\n");
}

// The rest of the table's head row: one column per picture, then the indices.
void write_column_heads(FILE* page, const char* picture_heads) {
  qz_fprintf(page, "%s", picture_heads);
  qz_fprintf(page, "<th>h k l<br> [min, max]</th>\n");
  qz_fprintf(page, "</tr>\n");
}

// The common range [bottom, top] of a reflection's two n x n maps.
struct MapRange {
  double bottom, top;
};

MapRange joint_range(int n, const RMatrix& a, const RMatrix& b) {
  double amax, amin, bmax, bmin;
  findmaxmin2(n, n, a, &amax, &amin);
  findmaxmin2(n, n, b, &bmax, &bmin);
  return {std::min(amin, bmin), std::max(amax, bmax)};
}

// Closes the table and the page, closes both files and names the page.
void finish_page(OutputFile& page, File& data, const std::string& page_name) {
  qz_fprintf(page.get(), "</table>\n");
  qz_fprintf(page.get(), "</body>\n</html>\n");
  qz_fclose(page);
  data.reset();
  std::printf("\nResult: \"%s\"\n\n", page_name.c_str());
}

}  // namespace

double fit_picture_max(double top, double preset_max, double gamma) {
  if (preset_max > 0.0) return preset_max * std::pow(top / preset_max, 1.0 - gamma);
  return top;
}

void qz_fit_result_visualize(const std::string& file, int mag, int cont_rev, double preset_max, double gamma) {
  std::printf("\n***** Visualize FIT_RESULT *****\n\n");
  File fp = fopen_chk_rmode(file);
  chk_data("FIT_RESULT", fp.get());
  double cell[6], v3[3], tilt[2];
  chk_data("CR_PAR{", fp.get());
  fget_6d(cell, fp.get());
  fget_3d(&v3[0], &v3[1], &v3[2], fp.get());  // incident direction
  fget_3d(&v3[0], &v3[1], &v3[2], fp.get());  // zolzbase1
  fget_2d(&tilt[0], &tilt[1], fp.get());
  const double d = fget_d(fp.get());
  chk_data("}CR_PAR", fp.get());
  chk_data("NUM{", fp.get());
  const int num_rf = fget_i(fp.get());
  const int num_thick = fget_i(fp.get());
  int num_pix = 0, side = 0;
  fget_2i(&num_pix, &side, fp.get());
  chk_data("}NUM", fp.get());
  const int n = checked_side(side);

  const std::string base = remove_extention(file);
  const std::string page_name = base + "_.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  FILE* pg = page.get();
  write_page_head(pg, base, n);
  qz_fprintf(pg, "disksize HG: %g<br>\n", d);
  write_scale_note(pg, mag, gamma, preset_max);
  write_column_heads(pg, "<th>obs</th> <th>cal</th> <th>dif</th> ");

  const std::size_t un = static_cast<std::size_t>(n);
  RMatrix obs(un, un), cal(un, un), dif(un, un);
  int r = 0;
  for (int t = 0; t < num_thick; ++t) {
    chk_data("THICKNESS{", fp.get());
    for (int i = 0; i < num_rf; ++i, ++r) {
      chk_data("RF{", fp.get());
      int h = 0, k = 0, l = 0;
      double weight = 0.0;
      fget_3i1d(&h, &k, &l, &weight, fp.get());
      obs.fill(0.0);
      cal.fill(0.0);
      dif.fill(0.0);
      for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
          double o = 0.0, c = 0.0, s = 0.0;
          fget_3d(&o, &c, &s, fp.get());
          if (s > 0.0) {
            obs[x][y] = o;
            cal[x][y] = c;
            dif[x][y] = std::fabs(o - c);
          }
        }
        chk_row_end(fp.get(), n);
      }
      chk_data("}RF", fp.get());

      const auto [bottom, top] = joint_range(n, obs, cal);
      const double smax = fit_picture_max(top, preset_max, gamma);

      qz_fprintf(pg, "<tr>\n");
      if (weight == 0.0) {
        // A reflection left out of the fit: its row keeps only its indices.
        for (int j = 0; j < 3; ++j) qz_fprintf(pg, "<td> </td> ");
        qz_fprintf(pg, "<td>%d %d %d<br> ", h, k, l);
      } else {
        const RMatrix* maps[3] = {&obs, &cal, &dif};
        for (int j = 1; j <= 3; ++j)
          table_picture(pg, base, r, j, -d, d, -d, d, n, *maps[j - 1], smax, mag, cont_rev);
        qz_fprintf(pg, "<td>%d %d %d<br> ", h, k, l);
        qz_fprintf(pg, "[%.0lf, %.0lf]</td>\n", bottom, top);
      }
      qz_fprintf(pg, "</tr>\n");
    }
    chk_data("}THICKNESS", fp.get());
  }
  finish_page(page, fp, page_name);
}

void qz_fit_expdata_visualize(const std::string& file, int mag, int cont_rev, double preset_max, double gamma) {
  std::printf("\n***** Visualize FIT_EXPDATA *****\n\n");
  File fp = fopen_chk_rmode(file);
  const std::optional<std::string> kind = fget_1s(fp.get());
  if (!kind || (*kind != "FIT_EXPDATA_RAW" && *kind != "FIT_EXPDATA_BGS"))
    error_exit(stdout, "data format: buf=%s", kind ? printable(*kind).c_str() : "");
  double v3[3], origin[2];
  chk_data("CR{", fp.get());
  for (int i = 0; i < 4; ++i) fget_3d(&v3[0], &v3[1], &v3[2], fp.get());
  fget_2d(&origin[0], &origin[1], fp.get());
  chk_data("}CR", fp.get());
  chk_data("PAR{", fp.get());
  const int num_thick = fget_i(fp.get());
  const int num_rf = fget_i(fp.get());
  int num_pix = 0, side = 0;
  fget_2i(&num_pix, &side, fp.get());
  double Hbgn, Hend, Gbgn, Gend;
  fget_4d(&Hbgn, &Hend, &Gbgn, &Gend, fp.get());
  chk_data("}PAR", fp.get());
  const int n = checked_side(side);

  const std::string base = remove_extention(file);
  const std::string page_name = base + "_.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  FILE* pg = page.get();
  write_page_head(pg, base, n);
  qz_fprintf(pg, "Hbgn Hend Gbgn Gend: %g %g %g %g<br>\n", Hbgn, Hend, Gbgn, Gend);
  write_scale_note(pg, mag, gamma, preset_max);
  write_column_heads(pg, "<th>obs</th> <th>sig</th> ");

  const std::size_t un = static_cast<std::size_t>(n);
  RMatrix obs(un, un), sig(un, un);
  int r = 0;
  for (int t = 0; t < num_thick; ++t) {
    chk_data("THICKNESS{", fp.get());
    for (int i = 0; i < num_rf; ++i, ++r) {
      chk_data("RF{", fp.get());
      int h = 0, k = 0, l = 0;
      fget_3i(&h, &k, &l, fp.get());
      obs.fill(0.0);
      sig.fill(0.0);
      for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
          double o = 0.0, s = 0.0;
          fget_2d(&o, &s, fp.get());
          if (s > 0.0) {
            obs[x][y] = o;
            sig[x][y] = std::fabs(s);
          }
        }
        chk_row_end(fp.get(), n);
      }
      chk_data("}RF", fp.get());

      const auto [bottom, top] = joint_range(n, obs, sig);
      const double scale = fit_picture_max(top, preset_max, gamma);

      qz_fprintf(pg, "<tr>\n");
      table_picture(pg, base, r, 1, Hbgn, Hend, Gbgn, Gend, n, obs, scale, mag, cont_rev);
      table_picture(pg, base, r, 2, Hbgn, Hend, Gbgn, Gend, n, sig, scale, mag, cont_rev);
      qz_fprintf(pg, "<td>%d %d %d <br>", h, k, l);
      qz_fprintf(pg, "[%.0lf, %.0lf]</td>\n", bottom, top);
      qz_fprintf(pg, "</tr>\n");
    }
    chk_data("}THICKNESS", fp.get());
  }
  finish_page(page, fp, page_name);
}

}  // namespace kv
