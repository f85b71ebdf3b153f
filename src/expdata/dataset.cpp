#include "expdata/dataset.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <optional>

#include "beams/beam_select.hpp"
#include "crystal/lattice.hpp"
#include "input/fields.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr int kMaxCount = 100000;  // reflections or thicknesses one file may announce
constexpr int kMaxAvrPix = 255;    // points along one side of an averaging kernel

int checked_count(int n, const char* what, int min) {
  if (n < min || n > kMaxCount)
    fatal_out("$$ Invalid %s (=%d): it must lie between %d and %d. Abort.\n", what, n, min, kMaxCount);
  return n;
}

std::string first_token(FILE* fp, const char* what) {
  const std::optional<std::string> tok = fget_1s(fp);
  if (!tok || tok->empty())
    fatal_out("$$ Data format error: %s expected.\n$$ Abort.\n$$ buf=%s\n", what,
              tok ? "(empty line)" : "(end of file)");
  return *tok;
}

}  // namespace

// ---- Dataset block --------------------------------------------------------

void read_INCIDENT_BEAM(fed& ed, FILE* fp) {
  chk_data("INCIDENT_BEAM{", fp);
  ed.incidence = fget_uvw(fp);
  check_zone_axis(ed.incidence, fp);
  ed.normal = fget_uvw(fp);
  ed.zolzbase1 = fget_r_hkl(fp);
  fget_fitpar_unit(&ed.tiltH_fp, &ed.tiltH, fp, "tiltH", "mrad", &ed.tiltH_mrad);
  fget_fitpar_unit(&ed.tiltG_fp, &ed.tiltG, fp, "tiltG", "mrad", &ed.tiltG_mrad);
  fget_fitpar(&ed.voltage_fp, &ed.voltage, fp, "the voltage");
  // A constrained voltage is known only once the expressions are evaluated.
  if (ed.voltage_fp.flg != kFlgCst) check_voltage_kv(ed.voltage, fp);
  chk_data("}INCIDENT_BEAM", fp);
}

void read_CALC_KXY_RANGE(fed& ed, fei& ei, FILE* fp) {
  chk_data_info("CALC_KXY_RANGE{", "Error: CALC_KXY_RANGE must be placed before BEAM_SEARCH. $$", fp);
  ed.calc_type = fget_i(fp);
  if (static_cast<unsigned>(ed.calc_type) > 3u) fatal_out("$$ Invalid calc_type=%d. Abort.\n", ed.calc_type);
  ed.num_cal_pix_side = fget_i(fp);
  if (ed.num_cal_pix_side < 0 || ed.num_cal_pix_side > kMaxDataPixSide)
    fatal_out("$$ Invalid num_cal_pix_side=%d: it must lie between 0 and %d. Abort.\n", ed.num_cal_pix_side,
              kMaxDataPixSide);
  ei.num_cal_pix_side = ed.num_cal_pix_side;
  ei.num_cal_pix = ed.num_cal_pix_side * ed.num_cal_pix_side;
  ed.disksize = fget_d_unit(fp, "mrad", &ed.disk_mrad);
  // mrad are converted with the voltage as read; a constrained voltage is
  // known only once the expressions are evaluated.
  if ((ed.tiltH_mrad || ed.tiltG_mrad || ed.disk_mrad) && ed.voltage_fp.flg == kFlgCst)
    fatal_out("$$ Tilts and disk sizes in mrad are converted with the dataset's voltage, which is constrained "
              "(CST) here: write them in units of g1/2.\n%s$$ Abort.\n",
              place_note(fp).c_str());
  if (ed.calc_type != 0) require_positive(ed.disksize, "disk size", fp);
  ed.bs.disksize = ed.disksize;
  chk_data("}CALC_KXY_RANGE", fp);
}

void fget_ed_beams(fed& ed, FILE* fp) {
  ed.bs.flag_bs = fget_i(fp);
  read_beams_no_search(ed.bs, fp, &ed.num_exact_beam, &ed.num_bethe_beam, &ed.beams);
}

void read_BEAM_SEARCH(fed& ed, FILE* fp) {
  chk_data("BEAM_SEARCH{", fp);
  fget_ed_beams(ed, fp);
  chk_data("}BEAM_SEARCH", fp);
}

void alloc_ei_cal(fei& ei, int side) {
  ei.num_cal_pix_side = side;
  ei.num_cal_pix = side * side;
  const std::size_t r = static_cast<std::size_t>(ei.num_rg), t = static_cast<std::size_t>(ei.num_thickness),
                    p = static_cast<std::size_t>(ei.num_cal_pix);
  ei.cal_pix.assign(p, pix_point{});
  ei.cal_int = Tensor3<double>(r, t, p);
  ei.extr_int = Tensor3<double>(r, t, p);
  ei.extr_sig = Tensor3<double>(r, t, p);
}

void read_INTENSITY_DATA(fed& ed, fei& ei, FILE* fp) {
  chk_data("INTENSITY_DATA{", fp);
  ed.int_file = first_token(fp, "intensity file name");
  // Where the name stands, for a measured file that cannot be opened.
  const std::string where = place_note(fp);
  if (ed.int_file.size() > kFileNameMax)
    fatal_out("$$ Intensity file name %s is longer than %zu characters. Abort.\n", ed.int_file.c_str(),
              kFileNameMax);
  ed.num_thick_block = checked_count(fget_i(fp), "number of thickness blocks", 0);
  ed.num_reflex = checked_count(fget_i(fp), "number of reflections", 0);
  chk_data("}INTENSITY_DATA", fp);

  try {
    read_int_file(ei, ed.int_file);
  } catch (const FatalError& e) {
    if (e.text().rfind("$$ (fopen_chk_rmode)", 0) != 0) throw;
    struct stat st {};
    const std::string reason = stat(ed.int_file.c_str(), &st) != 0 ? std::strerror(errno) : "not readable";
    throw FatalError(e.text() + "$$ " + printable(ed.int_file) + " is the measured-intensity file that INTENSITY_DATA names (" +
                         reason + "); a relative name is taken from the working folder.\n" + where,
                     e.channel(), e.status());
  }
  // Every thickness block and every reflection of the block is matched with
  // the intensity file's by position.
  if (ei.num_thickness != ed.num_thick_block || ei.num_rg != ed.num_reflex)
    fatal_out("$$ Data format error: %s holds %d thicknesses and %d reflections, the DATA_SET block gives %d "
              "and %d.\n$$ Abort.\n",
              ed.int_file.c_str(), ei.num_thickness, ei.num_rg, ed.num_thick_block, ed.num_reflex);
  alloc_ei_cal(ei, ed.num_cal_pix_side);

  ed.tb.assign(static_cast<std::size_t>(ed.num_thick_block), thickness_block{});
  for (thickness_block& b : ed.tb) {
    const std::size_t n = static_cast<std::size_t>(ed.num_reflex);
    b.weight.assign(n, 1.0);
    b.H_shift.assign(n, 0.0);
    b.G_shift.assign(n, 0.0);
    b.H_shift_fp.assign(n, fitpar{});
    b.G_shift_fp.assign(n, fitpar{});
  }
}

void read_STW_block(fed& ed, int t, FILE* fp) {
  thickness_block& b = ed.tb[static_cast<std::size_t>(t)];
  chk_data("STW_PAR{", fp);
  // Constrained values are checked once their expressions are evaluated.
  fget_fitpar(&b.scale_fp, &b.scale, fp, "the scale factor");
  if (b.scale_fp.flg != kFlgCst) require_positive(b.scale, "the scale factor", fp);
  fget_fitpar(&b.thickness_fp, &b.thickness, fp, "the thickness");
  if (b.thickness_fp.flg != kFlgCst) require_nonnegative(b.thickness, "the thickness", fp);
  fget_fitpar(&b.thickwidth_fp, &b.thickwidth, fp, "the thickness width");
  if (b.thickwidth_fp.flg != kFlgCst) require_nonnegative(b.thickwidth, "the thickness width", fp);
  if (b.thickwidth > epsilon.general_eps && epsilon.num_thickwidth == 0)
    fatal_out("$$ thickwidth = %g and num_thickwidth = %d. Abort.\n", b.thickwidth, 0);
  double n = 0.0;
  fget_2d(&n, &b.avrpix_par, fp);
  if (!(std::fabs(n) <= kMaxAvrPix))
    fatal_out("$$ Invalid number of averaging points (=%g): at most %d. Abort.\n", n, kMaxAvrPix);
  b.num_avrpix = static_cast<int>(n);
  calc_avrpix_wt(b.num_avrpix, b.avrpix_wt, b.avrpix_par);
  chk_data("}STW_PAR", fp);
}

void read_REFLEX_SHIFT_PAR(fed& ed, int t, FILE* fp) {
  thickness_block& b = ed.tb[static_cast<std::size_t>(t)];
  chk_data("REFLEX_SHIFT_PAR{", fp);
  for (int r = 0; r < ed.num_reflex; ++r) {
    Hkl hkl;
    fget_hkl_weight(&hkl, &b.weight[r], fp);
    fget_fitpar(&b.H_shift_fp[r], &b.H_shift[r], fp);
    fget_fitpar(&b.G_shift_fp[r], &b.G_shift[r], fp);
    // A reflection left out of the comparison has no shift to refine.
    if (b.weight[r] < epsilon.general_eps) {
      if (b.H_shift_fp[r].flg == kFlgAdj) b.H_shift_fp[r].flg = kFlgFix;
      if (b.G_shift_fp[r].flg == kFlgAdj) b.G_shift_fp[r].flg = kFlgFix;
    }
  }
  chk_data("}REFLEX_SHIFT_PAR", fp);
}

void read_DETECTOR_PAR_body(fed& ed, FILE* fp) {
  detector_par& d = ed.det;
  d.present = true;
  double width = 0.0;
  fget_fitpar(&d.psf_fp, &width, fp, "psf_width");
  if (d.psf_fp.flg != kFlgCst) require_nonnegative(width, "psf_width", fp);
  // Refined and constrained through its variance (see detector_par).
  d.psf_var = width * width;
  d.psf_fp.val = d.psf_var;
  if (d.psf_fp.flg == kFlgRst) d.psf_fp.rst_val *= d.psf_fp.rst_val;
  fget_fitpar(&d.background_fp, &d.background, fp, "background");
  for (;;) {
    const std::optional<std::string> line = comment_skip_fgets(kLineCap, fp);
    if (!line) fatal_out("$$ Data format error: end of file before }DETECTOR_PAR.\n$$ Abort.\n");
    const std::vector<std::string_view> tok = split_tokens(*line);
    if (tok.empty()) continue;
    if (tok[0] == "}DETECTOR_PAR") {
      enter_block(fp, "}DETECTOR_PAR");
      return;
    }
    if (tok[0] == "gain") {
      d.gain = second_double(*line);
      require_positive(d.gain, "gain", fp);
    } else if (tok[0] == "read_noise") {
      d.read_noise = second_double(*line);
      require_nonnegative(d.read_noise, "read_noise", fp);
    } else {
      fatal_out("$$ Data format error: \"gain g\", \"read_noise r\" or }DETECTOR_PAR expected.\n$$ Abort.\n"
                "$$ buf=%s\n%s",
                printable(rm_cr_copy(*line)).c_str(), place_note(fp).c_str());
    }
  }
}

double psf_width(const detector_par& d) { return d.psf_var > 0.0 ? std::sqrt(d.psf_var) : 0.0; }

void read_THICKNESS_BLOCK(fed& ed, int t, FILE* fp) {
  chk_data("THICKNESS_BLOCK{", fp);
  read_STW_block(ed, t, fp);
  read_REFLEX_SHIFT_PAR(ed, t, fp);
  chk_data("}THICKNESS_BLOCK", fp);
}

void apply_dataset_units(fed& ed, const lattice_metric& lm) {
  const double g1 = std::sqrt(sq_abs(ed.zolzbase1, lm));
  const auto convert = [&](fitpar& p, double& v) {
    v = mrad_to_half_g1(v, ed.voltage, g1);
    p.val = v;
    if (p.flg == kFlgRst) p.rst_val = mrad_to_half_g1(p.rst_val, ed.voltage, g1);
  };
  if (ed.tiltH_mrad) convert(ed.tiltH_fp, ed.tiltH);
  if (ed.tiltG_mrad) convert(ed.tiltG_fp, ed.tiltG);
  if (ed.disk_mrad) {
    ed.disksize = mrad_to_half_g1(ed.disksize, ed.voltage, g1);
    ed.bs.disksize = ed.disksize;
  }
  ed.tiltH_mrad = ed.tiltG_mrad = ed.disk_mrad = false;
}

void input_fit_exp_dataset(fed& ed, fei& ei, FILE* fp, const lattice_metric& lm) {
  chk_data("DATA_SET{", fp);
  read_INCIDENT_BEAM(ed, fp);
  read_CALC_KXY_RANGE(ed, ei, fp);
  apply_dataset_units(ed, lm);
  read_BEAM_SEARCH(ed, fp);
  read_INTENSITY_DATA(ed, ei, fp);
  for (int t = 0; t < ed.num_thick_block; ++t) read_THICKNESS_BLOCK(ed, t, fp);
  // An optional DETECTOR_PAR block closes the dataset.
  const std::optional<std::string> tok = fget_1s(fp);
  if (tok && *tok == "DETECTOR_PAR{") {
    enter_block(fp, "DETECTOR_PAR{");
    read_DETECTOR_PAR_body(ed, fp);
    chk_data("}DATA_SET", fp);
    return;
  }
  if (!tok || *tok != "}DATA_SET")
    fatal_out("$$ Data format error has been found at }DATA_SET (or DETECTOR_PAR{).\n$$ Abort.\n$$ buf=%s\n%s",
              tok ? printable(*tok).c_str() : "(end of file)", place_note(fp).c_str());
  enter_block(fp, "}DATA_SET");
}

namespace {

// DATA_SET blocks in the file a stream reads (comment lines and COMMENT
// blocks left out); -1 when the file cannot be read again by its name.
int count_data_sets(FILE* fp) {
  const std::string name = reading_file(fp);
  File f(name.empty() ? nullptr : std::fopen(name.c_str(), "r"));
  if (!f) return -1;
  int n = 0;
  bool in_comment = false;
  std::string line;
  for (int c = 0; c != EOF;) {
    line.clear();
    while ((c = std::fgetc(f.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    const std::vector<std::string_view> tok = split_tokens(line);
    if (tok.empty() || line[0] == '%' || line[0] == '#') continue;
    if (in_comment) {
      in_comment = line.find("}COMMENT") == std::string::npos;
      continue;
    }
    if (tok[0].substr(0, 8) == "COMMENT{") in_comment = line.find("}COMMENT") == std::string::npos;
    else if (tok[0] == "DATA_SET{") ++n;
  }
  return n;
}

}  // namespace

void read_ITEM_EXP_NUM(int* max_iter, int* num_dataset, FILE* fp) {
  chk_data("ITER_EXP_NUM{", fp);
  *max_iter = checked_count(fget_i(fp), "maximum number of iterations (ITER_EXP_NUM)", 0);
  *num_dataset = checked_count(fget_i(fp), "number of datasets", 0);
  chk_data("}ITER_EXP_NUM", fp);
  // The second line of ITER_EXP_NUM counts the DATA_SET blocks that follow.
  const int found = count_data_sets(fp);
  if (found >= 0 && found != *num_dataset)
    fatal_out("$$ ITER_EXP_NUM gives %d datasets (its second line), but %s holds %d DATA_SET block%s.\n"
              "$$ Make the second line of ITER_EXP_NUM the number of DATA_SET blocks. Abort.\n",
              *num_dataset, reading_file(fp).c_str(), found, found == 1 ? "" : "s");
}

// ---- Intensity file -------------------------------------------------------

void read_int_file(fei& ei, const std::string& file) {
  File f = fopen_chk_rmode(file);
  FILE* fp = f.get();
  const std::optional<std::string> kind = fget_1s(fp);
  if (!kind || (*kind != "FIT_EXPDATA_RAW" && *kind != "FIT_EXPDATA_BGS"))
    fatal_out("$$ Data format error: a measured-intensity file begins with FIT_EXPDATA_RAW or FIT_EXPDATA_BGS; %s "
              "begins with %s.\n$$ Abort.\n$$ buf=%s\n",
              printable(file).c_str(), kind ? ("\"" + printable(*kind) + "\"").c_str() : "nothing (it is empty)",
              kind ? printable(*kind).c_str() : "(end of file)");

  chk_data("CR{", fp);
  double v[3];
  for (int i = 0; i < 4; ++i) fget_3d(&v[0], &v[1], &v[2], fp);  // not needed here
  double x0 = 0.0, y0 = 0.0;
  fget_2d(&x0, &y0, fp);
  chk_data("}CR", fp);

  chk_data("PAR{", fp);
  ei.num_thickness = checked_count(fget_i(fp), "number of thicknesses", 0);
  ei.num_rg = checked_count(fget_i(fp), "number of reflections", 0);
  fget_2i(&ei.npix, &ei.nx, fp);
  // The interpolation treats the grid as nx x nx points spanning both ranges.
  if (ei.nx < 2 || ei.nx > kMaxDataPixSide || ei.npix != ei.nx * ei.nx)
    fatal_out("$$ Data format error: npix=%d and nx=%d do not describe a square grid of at least 2 x 2 "
              "points.\n$$ Abort.\n",
              ei.npix, ei.nx);
  fget_4d(&ei.xmin, &ei.xmax, &ei.ymin, &ei.ymax, fp);
  ei.xmin += x0;
  ei.xmax += x0;
  ei.ymin += y0;
  ei.ymax += y0;
  if (!(ei.xmax > ei.xmin) || !(ei.ymax > ei.ymin))
    fatal_out("$$ Data format error: empty measured range [%g, %g] x [%g, %g].\n$$ Abort.\n", ei.xmin, ei.xmax,
              ei.ymin, ei.ymax);
  chk_data("}PAR", fp);

  const std::size_t R = static_cast<std::size_t>(ei.num_rg), T = static_cast<std::size_t>(ei.num_thickness),
                    P = static_cast<std::size_t>(ei.npix);
  // Every measured point is a line "intensity sigma" of at least 4 bytes;
  // the header must not announce more than the file holds.
  check_count_fits(static_cast<long long>(R * T * P), 4, "number of measured points", fp);
  ei.rg.assign(R, Hkl{});
  ei.pix.assign(P, pix_point{});
  ei.obs_int = Tensor3<double>(R, T, P);
  ei.obs_sig = Tensor3<double>(R, T, P);
  const double dx = (ei.xmax - ei.xmin) / (ei.nx - 1), dy = (ei.ymax - ei.ymin) / (ei.nx - 1);
  for (std::size_t t = 0; t < T; ++t) {
    chk_data("THICKNESS{", fp);
    for (std::size_t r = 0; r < R; ++r) {
      chk_data("RF{", fp);
      ei.rg[r] = fget_hkl(fp);
      double* in = ei.obs_int(r, t);
      double* sg = ei.obs_sig(r, t);
      for (int p = 0; p < ei.npix; ++p) {
        fget_2d(&in[p], &sg[p], fp);
        pix_point& q = ei.pix[static_cast<std::size_t>(p)];
        q.ix = p % ei.nx;
        q.iy = p / ei.nx;
        q.flag = sg[p] >= 0.0 ? 1 : 0;
        q.x = ei.xmin + q.ix * dx;
        q.y = ei.ymin + q.iy * dy;
        if ((p + 1) % ei.nx == 0) chk_row_end(fp, ei.nx);
      }
      chk_data("}RF", fp);
    }
    chk_data("}THICKNESS", fp);
  }
}

// ---- Kernel, weights and carrying ------------------------------------------

void calc_avrpix_wt(int n, RMatrix& K, double a) {
  if (n == 0 || n == 1) {
    K = RMatrix();
    return;
  }
  if (n < 0 || n % 2 == 0)
    fatal_out("$$ The number of averaging points must be odd number. Abort.\n$$ (calc_avrpix_wt)\n");
  if (a == 0.0) fatal_out("$$ Gaussian_par must not be 0.0. Abort.\n");
  if (!std::isfinite(a)) fatal_out("$$ Invalid Gaussian_par (=%g). Abort.\n", a);
  const std::size_t un = static_cast<std::size_t>(n);
  K = RMatrix(un, un);
  const double c = 0.5 * (n - 1);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const double r = std::hypot(i - c, j - c);
      double k;
      if (a > 0.0) {
        k = std::exp(-(r / a) * (r / a));
      } else if (r < epsilon.general_eps) {
        k = 1.0;
      } else {
        const double x = r * M_PI / std::fabs(a);
        k = (std::sin(x) / x) * (std::sin(x) / x);
      }
      K[i][j] = k;
      sum += k;
    }
  }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) K[i][j] /= sum;

  OutputFile out = qz_fopen_chk_wmode("convlt.dat");
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) qz_fprintf(out.get(), "%g  ", K[i][j]);
    qz_fprintf(out.get(), "\n");
  }
  qz_fclose(out);
  std::printf("$$Weights for convolution --> convlt.dat\n");
}

double eval_weight(double s, double w) { return s > 0.0 ? w / (s * s) : 0.0; }

bool find_mat_ii_obs(double x, double y, int npix, int nx, double xmin, double xmax, double ymin,
                     double ymax, grid_cell* cell) {
  if (!(x >= xmin && x <= xmax && y >= ymin && y <= ymax)) return false;
  const int rows = npix / nx;
  const double gx = (x - xmin) * (nx - 1) / (xmax - xmin);
  const double gy = (y - ymin) * (nx - 1) / (ymax - ymin);
  // A point on the upper edge belongs to the last cell (fraction 1), so no
  // neighbour lies past the last column or row.
  int ix = std::min(static_cast<int>(gx), nx - 2);
  int iy = std::min(static_cast<int>(gy), rows - 2);
  ix = std::max(ix, 0);
  iy = std::max(iy, 0);
  cell->fx = gx - ix;
  cell->fy = gy - iy;
  cell->i00 = iy * nx + ix;
  cell->i10 = cell->i00 + 1;
  cell->i01 = cell->i00 + nx;
  cell->i11 = cell->i01 + 1;
  return true;
}

void calc_extr_obs_int(double dx, double dy, int npix, int nx, double xmin, double xmax, double ymin,
                       double ymax, const double* obs, const double* sig, int num_cal_pix,
                       const pix_point* cal_pix, double* extr_int, double* extr_sig) {
  for (int p = 0; p < num_cal_pix; ++p) {
    if (cal_pix[p].flag != 1) continue;
    grid_cell c;
    if (!find_mat_ii_obs(cal_pix[p].x - dx, cal_pix[p].y - dy, npix, nx, xmin, xmax, ymin, ymax, &c)) {
      extr_int[p] = 0.0;
      extr_sig[p] = 1.0;
      continue;
    }
    const auto interp = [&c](const double* v) {
      return (v[c.i00] * (1.0 - c.fy) + v[c.i01] * c.fy) * (1.0 - c.fx) +
             (v[c.i10] * (1.0 - c.fy) + v[c.i11] * c.fy) * c.fx;
    };
    extr_int[p] = interp(obs);
    const bool all_valid = sig[c.i00] > 0.0 && sig[c.i10] > 0.0 && sig[c.i01] > 0.0 && sig[c.i11] > 0.0;
    extr_sig[p] = all_valid ? interp(sig) : -1.0;
  }
}

// ---- Release ---------------------------------------------------------------

void free_ed(fed& ed) { ed = fed{}; }
void free_ei(fei& ei) { ei = fei{}; }
void free_fed_vector(std::vector<fed>& eds) {
  eds.clear();
  eds.shrink_to_fit();
}
void free_fei_vector(std::vector<fei>& eis) {
  eis.clear();
  eis.shrink_to_fit();
}

}  // namespace kv
