// The thickness scans of talvis. TS_SCAN_MODE compares a measured intensity
// file with a series of SIM_RESULT files (one per thickness): least-squares
// scale and goodness of fit with fixed disk shifts and, optionally, after a
// per-reflection search of the shift; one table line per simulation and a
// gnuplot script of goodness of fit against thickness. TS_SCAN_VIS_MODE
// writes the comparison with one simulation as a FIT_RESULT file for the
// picture pages. Measured values always come from the intensity file's first
// thickness.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "input/fields.hpp"
#include "sim/error.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/linereader.hpp"
#include "sim/progress.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"
#include "sim/script_folder.hpp"
#include "expdata/scans.hpp"
#include "vis/script_outputs.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

constexpr int kMaxPreset = 100000;

// One SIM_RESULT file.
struct sim_record {
  double thickness = 0.0;
  int num_rg = 0;
  BeamList rg;
  std::vector<std::array<double, 2>> rg_pos;
  int num_pix = 0, side = 0;
  std::vector<pix_point> pix;
  RMatrix intensity;  // [reflection][point]
  std::string header[5];
};

struct ts_state {
  bool vis = false;
  OutputFile table;
  std::string table_name, plot_name;
  int preset = 0;
  std::vector<double> H, G, weight;             // per reflection, defaults 0, 0, 1
  std::vector<double> H_opt, G_opt, gof, scale;  // results of the shift search
  BeamList hkl;
  std::string int_file;
  fei ei;
  bool have_width = false;
  int nH = 0, nG = 0;
  double Hmin = 0, Hmax = 0, Gmin = 0, Gmax = 0;
  bool have_tilt = false;
  double Hshift_SIM = 0, Gshift_SIM = 0;
  bool fixed_only = false;
  bool compared = false;  // a simulation with reflections has been compared
};

std::string token_line(FILE* fp, const char* what) {
  const std::optional<std::string> tok = fget_1s(fp);
  if (!tok || tok->empty()) fatal_out("$$ Data format error: %s expected in the script.\n$$ Abort.\n", what);
  return *tok;
}

void check_hkl_synchro(const char* caller, const Hkl& h1, const Hkl& h2) {
  if (!(h1 == h2))
    error_exit(stdout, "(%s) h1(%d %d %d), h2(%d %d %d)", caller, h1.h, h1.k, h1.l, h2.h, h2.k, h2.l);
}

void set_preset(ts_state& st, int n) {
  st.preset = n;
  const std::size_t m = static_cast<std::size_t>(n > 0 ? n : 0);
  st.H.assign(m, 0.0);
  st.G.assign(m, 0.0);
  st.weight.assign(m, 1.0);
  st.H_opt.assign(m, 0.0);
  st.G_opt.assign(m, 0.0);
  st.gof.assign(m, 0.0);
  st.scale.assign(m, 1.0);
  st.hkl.assign(m, Hkl{});
}

void read_hg_shift_weight_file(int n, const std::string& file, double* H, double* G, double* w) {
  File f = fopen_chk_rmode(file);
  FILE* fp = f.get();
  // A shift-result file of this job opens with its TS_RES summary.
  std::optional<std::string> tok = fget_1s(fp);
  if (tok && *tok == "TS_RES{") {
    while (tok && *tok != "}TS_RES") tok = fget_1s(fp);
    tok = fget_1s(fp);
  }
  if (!tok || *tok != "REFLEX_SHIFT_PAR{")
    fatal_out("$$ Data format error has been found at REFLEX_SHIFT_PAR{.\n$$ Abort.\n$$ buf=%s\n",
              tok ? printable(*tok).c_str() : "(end of file)");
  for (int r = 0; r < n; ++r) {
    double v[5];
    const std::string line = need_line(kLineCap, fp);
    refuse_block_marker(line, n, "REFLEX_SHIFT_PAR reflection", fp);
    const int count = str_to_fs(5, line, v, fp);
    if (count == 3)
      w[r] = 1.0;
    else if (count == 4)
      w[r] = v[3];
    else
      error_exit(stdout, "hkl or weight");
    H[r] = fget_d(fp);
    G[r] = fget_d(fp);
  }
  chk_data("}REFLEX_SHIFT_PAR", fp);
}

void read_sim_data(sim_record& sr, fei& ei, const std::string& file, double Hshift_SIM, double Gshift_SIM) {
  File f = fopen_chk_rmode(file);
  FILE* fp = f.get();
  chk_data("SIM_RESULT", fp);
  chk_data("VISUAL{", fp);
  double a = 0, b = 0;
  fget_2d(&a, &b, fp);
  fget_d(fp);
  fget_i(fp);
  fget_i(fp);
  chk_data("}VISUAL", fp);

  chk_data("CR_PARAMETERS{", fp);
  double lp[6], inc[3], z[3], tiltH = 0, tiltG = 0;
  fget_6d(lp, fp);
  fget_3d(&inc[0], &inc[1], &inc[2], fp);
  fget_3d(&z[0], &z[1], &z[2], fp);
  fget_2d(&tiltH, &tiltG, fp);
  sr.thickness = fget_d(fp);
  chk_data("}CR_PARAMETERS", fp);
  if (tiltH != Hshift_SIM)
    std::printf("$$ (read_sim_data) tiltH(=%g) is not equal to Hshift_SIM(=%g).\n", tiltH, Hshift_SIM);
  if (tiltG != Gshift_SIM)
    std::printf("$$ (read_sim_data) tiltG(=%g) is not equal to Gshift_SIM(=%g).\n", tiltG, Gshift_SIM);
  sr.header[0] = strprintf("%f %f %f %f %f %f #a b c alp bet gam", lp[0], lp[1], lp[2], lp[3], lp[4], lp[5]);
  sr.header[1] = strprintf("%f %f %f  #incidence", inc[0], inc[1], inc[2]);
  sr.header[2] = strprintf("%f %f %f  #zolzbase1", z[0], z[1], z[2]);
  sr.header[3] = strprintf("%f %f  #tiltH tiltG", tiltH, tiltG);

  chk_data("RF_INDEX{", fp);
  sr.num_rg = fget_i(fp);
  if (sr.num_rg != ei.num_rg) error_exit(stdout, "ei->num_rg != sr->num_cal_g.");
  check_count_fits(sr.num_rg, 2, "number of RF_INDEX reflections", fp);
  sr.rg.assign(static_cast<std::size_t>(sr.num_rg), Hkl{});
  sr.rg_pos.assign(static_cast<std::size_t>(sr.num_rg), {0.0, 0.0});
  for (int r = 0; r < sr.num_rg; ++r) {
    double v[5];
    const std::string line = need_line(kLineCap, fp);
    refuse_block_marker(line, sr.num_rg, "RF_INDEX reflection", fp);
    str_to_fs(5, line, v, fp);
    sr.rg[r] = Hkl{int_field(v[0], {}, "h", fp), int_field(v[1], {}, "k", fp), int_field(v[2], {}, "l", fp)};
    sr.rg_pos[r] = {v[3], v[4]};
  }
  chk_data("}RF_INDEX", fp);

  chk_data("COORD{", fp);
  fget_2i(&sr.num_pix, &sr.side, fp);
  // The comparison treats the points as a side x side grid.
  if (sr.side < 2 || sr.side > kMaxDataPixSide || sr.num_pix != sr.side * sr.side)
    fatal_out("$$ Data format error: %s holds %d points with %d a side, not a square grid.\n$$ Abort.\n",
              file.c_str(), sr.num_pix, sr.side);
  double Hbgn, Hend, Gbgn, Gend;
  fget_4d(&Hbgn, &Hend, &Gbgn, &Gend, fp);
  if (Hbgn + Hend > epsilon.general_eps) std::printf("$$(read_sim_data) Warning in H range\n");
  sr.header[4] = strprintf("%f  #disksize", Hend);
  // Each point needs a coordinate line and one intensity line per reflection.
  check_count_fits(static_cast<long long>(sr.num_pix) * (1 + sr.num_rg), 2, "number of simulated points", fp);
  alloc_ei_cal(ei, sr.side);
  sr.pix.assign(static_cast<std::size_t>(sr.num_pix), pix_point{});
  for (int p = 0; p < sr.num_pix; ++p) {
    double v[5];
    str_to_fs(5, need_line(kLineCap, fp), v, fp);
    pix_point& q = sr.pix[p];
    q.x = v[0] + tiltH;
    q.y = v[1] + tiltG;
    q.ix = int_field(v[2], {}, "point column", fp);
    q.iy = int_field(v[3], {}, "point row", fp);
    q.flag = int_field(v[4], {}, "point flag", fp);
    ei.cal_pix[p] = q;
  }
  chk_data("}COORD", fp);

  sr.intensity = RMatrix(static_cast<std::size_t>(sr.num_rg), static_cast<std::size_t>(sr.num_pix));
  for (int r = 0; r < sr.num_rg; ++r) {
    chk_data("RF{", fp);
    fget_hkl(fp);
    for (int p = 0; p < sr.num_pix; ++p) {
      sr.intensity[r][p] = fget_d(fp);
      ei.cal_int(r, 0, p) = sr.intensity[r][p];
    }
    chk_data("}RF", fp);
  }
}

void set_calint_to_ei_shift(fei& ei, const BeamList& rg, int n, const double* H, const double* G) {
  if (n != ei.num_rg) fatal_out("$$(set_calint_to_ei_shift) disagreement in num_reflex. Abort.\n");
  for (int r = 0; r < n; ++r) {
    check_hkl_synchro("set_calint_to_ei_shift", rg[r], ei.rg[r]);
    calc_extr_obs_int(H[r], G[r], ei.npix, ei.nx, ei.xmin, ei.xmax, ei.ymin, ei.ymax, ei.obs_int(r, 0),
                      ei.obs_sig(r, 0), ei.num_cal_pix, ei.cal_pix.data(), ei.extr_int(r, 0), ei.extr_sig(r, 0));
  }
}

void set_calint_to_ei_shiftscan(ts_state& st, const sim_record& sr) {
  std::vector<double> Hv(static_cast<std::size_t>(st.nH)), Gv(static_cast<std::size_t>(st.nG));
  set_shift_val(st.nH, st.Hmin, st.Hmax, Hv.data());
  set_shift_val(st.nG, st.Gmin, st.Gmax, Gv.data());
  for (int r = 0; r < sr.num_rg; ++r) {
    progress_indicator(r, sr.num_rg);
    check_hkl_synchro("set_calint_to_ei_shiftscan", sr.rg[r], st.ei.rg[r]);
    bool outside = false;
    shift_scan_disk(st.ei, r, 0, Hv, Gv, &st.H_opt[r], &st.G_opt[r], &st.scale[r], &st.gof[r], &outside);
  }
  std::printf("100%%\n\n");
}

// The comparison of thickness 0 with the per-reflection shifts; s and g out.
void compare_fixed(ts_state& st, sim_record& sr, const std::string& file, const char* no_tilt,
                   const char* count_fmt, double* s, double* g) {
  std::printf("$$simfile=%s\n", file.c_str());
  if (!st.have_tilt) error_exit(stdout, "%s", no_tilt);
  read_sim_data(sr, st.ei, file, st.Hshift_SIM, st.Gshift_SIM);
  if (sr.num_rg != st.preset) error_exit(stdout, count_fmt, sr.num_rg, st.preset);
  set_calint_to_ei_shift(st.ei, sr.rg, sr.num_rg, st.H.data(), st.G.data());
  *s = eval_scale_factor(st.ei, sr.num_rg, 0, st.weight.data());
  *g = eval_gof(st.ei, sr.num_rg, 0, st.weight.data(), *s);
  if (sr.num_rg > 0) st.compared = true;
}

void shiftscan_res_output(const ts_state& st, const sim_record& sr, const std::string& file, double g2, double s2) {
  OutputFile out = qz_fopen_chk_wmode(file);
  FILE* fp = out.get();
  qz_fprintf(fp, "# %s\n", file.c_str());
  qz_fprintf(fp, "# total_gof_shift = %g\n", g2);
  qz_fprintf(fp, "# total_scale_factor_shift = %g\n", s2);
  qz_fprintf(fp, "TS_RES{\n");
  qz_fprintf(fp, "%s\n", st.int_file.c_str());
  qz_fprintf(fp, "%d    #num_rf\n", sr.num_rg);
  qz_fprintf(fp, "%g    #thickness\n", sr.thickness);
  qz_fprintf(fp, "%g    #scale factor\n", s2);
  qz_fprintf(fp, "}TS_RES\n");
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "REFLEX_SHIFT_PAR{\n");
  for (int r = 0; r < sr.num_rg; ++r) {
    const Hkl& g = st.ei.rg[r];
    qz_fprintf(fp, "#\n");
    qz_fprintf(fp, "# hkl no. %d (gof_disk=%g, scale_disk=%g)\n", r, st.gof[r], st.scale[r]);
    qz_fprintf(fp, "%d %d %d    %g\n", g.h, g.k, g.l, 1.0);
    qz_fprintf(fp, "%g  ADJ  H%d  #Hshift\n", st.H_opt[r], r);
    qz_fprintf(fp, "%g  ADJ  G%d  #Gshift\n", st.G_opt[r], r);
  }
  qz_fprintf(fp, "}REFLEX_SHIFT_PAR\n");
  qz_fclose(out);
}

// Observed, scaled calculated and deviation of every point, one row of the
// calculated grid after another.
void write_points(FILE* fp, const fei& ei, int r, double scale, const char* fmt) {
  for (int p = 0; p < ei.num_cal_pix; ++p) {
    qz_fprintf(fp, fmt, ei.extr_int(r, 0, p), ei.cal_int(r, 0, p) * scale, ei.extr_sig(r, 0, p));
    if ((p + 1) % ei.num_cal_pix_side == 0) qz_fprintf(fp, "\n");
  }
}

void shiftscan_res_int_output(const fei& ei, double scale, int n, const std::string& file) {
  OutputFile out = qz_fopen_chk_wmode(file);
  FILE* fp = out.get();
  qz_fprintf(fp, "%s", kShiftPointsHead);
  qz_fprintf(fp, "CR_PAR{\n");
  qz_fprintf(fp, "# lattice parameter\n");
  qz_fprintf(fp, "# a,b,c,alpha,beta,gamma (dummy)\n");
  qz_fprintf(fp, "%g  %g  %g  %g  %g  %g\n", 1.0, 1.0, 1.0, 90.0, 90.0, 90.0);
  qz_fprintf(fp, "%d  %d  %d    # incident direction (dummy)\n", 0, 0, 1);
  qz_fprintf(fp, "%g  %g  %g    # zolzbase1 (dummy)\n", 1.0, 0.0, 0.0);
  qz_fprintf(fp, "%g  %g    # tiltH tiltG (dummy)\n", 0.0, 0.0);
  qz_fprintf(fp, "%g    # disksize (dummy)\n", 1.0);
  qz_fprintf(fp, "}CR_PAR\n");
  qz_fprintf(fp, "NUM{\n");
  qz_fprintf(fp, "%d    #num_reflex\n", n);
  qz_fprintf(fp, "%d    #num_thickness\n", 1);
  qz_fprintf(fp, "%d  %d    #num_pix, num_pix_side\n", ei.num_cal_pix, ei.num_cal_pix_side);
  qz_fprintf(fp, "}NUM\n");
  qz_fprintf(fp, "THICKNESS{\n");
  for (int r = 0; r < n; ++r) {
    const Hkl& g = ei.rg[r];
    qz_fprintf(fp, "RF{\n");
    qz_fprintf(fp, "%d  %d  %d  %g   #h k l\n", g.h, g.k, g.l, 1.0);
    qz_fprintf(fp, "#Obs  Cal  Sig\n");
    qz_fprintf(fp, "#(H, G) = (0,0)\n");
    qz_fprintf(fp, "#(H, G) = (0,1)\n");
    qz_fprintf(fp, "#     .....    \n");
    write_points(fp, ei, r, scale, "%g  %g  %g\n");
    qz_fprintf(fp, "}RF\n");
  }
  qz_fprintf(fp, "}THICKNESS\n");
  qz_fclose(out);
}

void output_fst_format_file(const ts_state& st, const sim_record& sr, double scale) {
  std::printf("\nWriting fst format file ...\n");
  const std::string file = "tsout_fst0.txt";
  OutputFile out = qz_fopen_chk_wmode(file);
  FILE* fp = out.get();
  const fei& ei = st.ei;
  qz_fprintf(fp, "FIT_RESULT\n");
  qz_fprintf(fp, "CR_PAR{\n");
  for (const std::string& h : sr.header) qz_fprintf(fp, "%s\n", h.c_str());
  qz_fprintf(fp, "}CR_PAR\n");
  qz_fprintf(fp, "NUM{\n");
  qz_fprintf(fp, "%d  #num_reflex\n", sr.num_rg);
  qz_fprintf(fp, "%d  #num_thickness\n", 1);
  qz_fprintf(fp, "%d  %d  #num_pix, num_pix_side\n", ei.num_cal_pix, ei.num_cal_pix_side);
  qz_fprintf(fp, "}NUM\n");
  qz_fprintf(fp, "THICKNESS{\n");
  for (int r = 0; r < sr.num_rg; ++r) {
    const Hkl& g = ei.rg[r];
    qz_fprintf(fp, "RF{\n");
    qz_fprintf(fp, "%d %d %d %f\n", g.h, g.k, g.l, st.weight[r]);
    write_points(fp, ei, r, scale, "%f %f %f\n");
    qz_fprintf(fp, "}RF\n");
  }
  qz_fprintf(fp, "}THICKNESS\n");
  qz_fclose(out);
  std::printf("\n See --> %s\n", file.c_str());
  std::printf("(Please visualize using talvis.)\n\n");
}

void output_gnuplot_file_ts_scan(const std::string& script, const std::string& table, const char* xlabel,
                                 const char* ylabel, const char* title, bool fixed_only) {
  OutputFile out = qz_fopen_chk_wmode(script);
  FILE* fp = out.get();
  const std::string data = gp_file(table);
  qz_fprintf(fp, "set xlabel %s\n", gp_quote(xlabel).c_str());
  qz_fprintf(fp, "set ylabel %s\n", gp_quote(ylabel).c_str());
  qz_fprintf(fp, "set title %s\n", gp_quote(title).c_str());
  qz_fprintf(fp, "set term png\n");
  qz_fprintf(fp, "set output %s\n", gp_file(table + ".png").c_str());
  qz_fprintf(fp, "plot %s using 1:2 title \"Fixed\" with linespoints", data.c_str());
  if (fixed_only)
    qz_fprintf(fp, "\n");
  else
    qz_fprintf(fp, ", %s using 1:4 title \"With shift\" with linespoints\n", data.c_str());
  qz_fprintf(fp, "#pause -1\n");
  qz_fclose(out);
}

FILE* open_table(ts_state& st) {
  if (!st.table) error_exit(stdout, "no TS_SCAN_OPEN");
  return st.table.get();
}

void sim_file_fixed(ts_state& st, FILE* script) {
  const std::string file = script_input_file(script, token_line(script, "simulation file name"));
  sim_record sr;
  double s = 0, g = 0;
  if (st.vis) {
    compare_fixed(st, sr, file, "no TS_SCAN_HG_SHIFT_SIM.", "num_reflex(=%d) and num_reflex_preset(=%d)", &s, &g);
    output_fst_format_file(st, sr, s);
    std::printf("$$ Gof=%f, Scale=%f\n", g, s);
    return;
  }
  FILE* table = open_table(st);
  compare_fixed(st, sr, file, "no TS_SCAN_HG_SHIFT_SIM", "num_reflex(=%d) is not equal to num_reflex_preset(=%d)",
                &s, &g);
  qz_fprintf(table, "%g  %g  %g  \n", sr.thickness, g, s);
  st.fixed_only = true;
}

void sim_file_shift(ts_state& st, FILE* script) {
  const std::string file = script_input_file(script, token_line(script, "simulation file name"));
  std::printf("$$simfile=%s\n", file.c_str());
  if (!st.have_tilt) error_exit(stdout, "no TS_SCAN_HG_SHIFT_SIM");
  if (!st.have_width) error_exit(stdout, "no TS_SCAN_WIDTH");
  const std::string shift_out = token_line(script, "shift-result file name");
  std::printf("$$shift_outfile=%s\n", shift_out.c_str());
  const std::string points_out = remove_extention(shift_out) + "_int.txt";
  check_named_output(shift_out, NamedOutput::shift_result);
  check_named_output(points_out, NamedOutput::shift_points);
  FILE* table = open_table(st);
  sim_record sr;
  read_sim_data(sr, st.ei, file, st.Hshift_SIM, st.Gshift_SIM);
  if (sr.num_rg != st.preset)
    error_exit(stdout, "num_reflex(=%d) is not equal to num_reflex_preset(=%d)", sr.num_rg, st.preset);
  set_calint_to_ei_shift(st.ei, sr.rg, sr.num_rg, st.H.data(), st.G.data());
  const double s = eval_scale_factor(st.ei, sr.num_rg, 0, st.weight.data());
  const double g = eval_gof(st.ei, sr.num_rg, 0, st.weight.data(), s);
  if (sr.num_rg > 0) st.compared = true;
  qz_fprintf(table, "%g  %g  %g  ", sr.thickness, g, s);
  if (st.nH > 1 && st.nG > 1) {
    set_calint_to_ei_shiftscan(st, sr);
    set_calint_to_ei_shift(st.ei, sr.rg, sr.num_rg, st.H_opt.data(), st.G_opt.data());
    const double s2 = eval_scale_factor(st.ei, sr.num_rg, 0, st.weight.data());
    const double g2 = eval_gof(st.ei, sr.num_rg, 0, st.weight.data(), s2);
    shiftscan_res_output(st, sr, shift_out, g2, s2);
    shiftscan_res_int_output(st.ei, s2, sr.num_rg, points_out);
    qz_fprintf(table, "    %g  %g\n", g2, s2);
  } else {
    qz_fprintf(table, "\n");
  }
}

int checked_steps(double n) {
  if (!(std::fabs(n) <= kMaxDataPixSide))
    error_exit(stdout, "number of scan steps (=%g) must not exceed %d", n, kMaxDataPixSide);
  return static_cast<int>(n);
}

void run_ts_scan(FILE* script, bool vis) {
  ts_state st;
  st.vis = vis;
  if (vis) std::printf("## Visualization of TS_SCAN result.\n\n");
  for (std::optional<std::string> tok = fget_1s(script); tok; tok = fget_1s(script)) {
    const std::string& c = *tok;
    if (c.empty()) continue;  // a blank line between commands
    if (c == "TS_SCAN_OPEN") {
      const std::string table = token_line(script, "table file name");
      const std::string plot = token_line(script, "plot-script name");
      if (vis) continue;
      check_named_output(table, NamedOutput::scan_table);
      check_named_output(plot, NamedOutput::scan_plot);
      st.table_name = table;
      st.plot_name = plot;
      std::printf("$$t_outfile=%s\n", table.c_str());
      std::printf("$$pltfile=%s\n", plot.c_str());
      if (st.table) qz_fclose(st.table);  // a table left open is kept as it stands
      st.table = qz_fopen_chk_wmode(table);
      qz_fprintf(st.table.get(), "%s", kScanTableHead);
    } else if (c == "TS_SCAN_NUM_REFLEX_PRESET") {
      const int n = fget_i(script);
      if (n > kMaxPreset) error_exit(stdout, "num_reflex_preset (=%d) must not exceed %d", n, kMaxPreset);
      std::printf("$$num_reflex_preset = %d\n", n);
      set_preset(st, n);
    } else if (c == "TS_SCAN_INT_FILE") {
      st.int_file = script_input_file(script, token_line(script, "intensity file name"));
      std::printf("$$intfile=%s\n", st.int_file.c_str());
      read_int_file(st.ei, st.int_file);
      // The comparisons take the measured values of the first thickness.
      if (st.ei.num_thickness < 1)
        fatal_out("$$ Data format error: %s holds no thickness.\n$$ Abort.\n", st.int_file.c_str());
      std::printf(vis ? "$$done intfile\n" : "$$intfile done\n");
    } else if (c == "TS_SCAN_WIDTH") {
      const int nH = checked_steps(fget_d(script));
      double a = 0, b = 0;
      fget_2d(&a, &b, script);
      const int nG = checked_steps(fget_d(script));
      double e = 0, f = 0;
      fget_2d(&e, &f, script);
      if (vis) continue;
      st.nH = nH;
      st.Hmin = a;
      st.Hmax = b;
      st.nG = nG;
      st.Gmin = e;
      st.Gmax = f;
      st.have_width = true;
    } else if (c == "TS_SCAN_HG_SHIFT_SIM") {
      fget_2d(&st.Hshift_SIM, &st.Gshift_SIM, script);
      st.have_tilt = true;
      std::printf("$$ Hshift_SIM, Gshift_SIM = %g, %g\n", st.Hshift_SIM, st.Gshift_SIM);
    } else if (c == "DEFAULT_HG_SHIFT_WEIGHT_FILE") {
      const std::string file = script_input_file(script, token_line(script, "shift and weight file name"));
      std::printf("$$HGshift_wt_file=%s\n", file.c_str());
      if (st.preset <= 0) error_exit(stdout, "no TS_SCAN_NUM_REFLEX_PRESET");
      read_hg_shift_weight_file(st.preset, file, st.H.data(), st.G.data(), st.weight.data());
    } else if (c == "TS_SCAN_SIM_FILE" && !vis) {
      sim_file_shift(st, script);
    } else if (c == "TS_SCAN_SIM_FILE_FIXED_SHIFT") {
      sim_file_fixed(st, script);
    } else if (c == "TS_SCAN_CLOSE") {
      free_ei(st.ei);
      if (!vis) {
        open_table(st);
        qz_fclose(st.table);
        output_gnuplot_file_ts_scan(st.plot_name, st.table_name, "thickness [A]", "GOF", "TSCAN", st.fixed_only);
        std::printf("\n==> See %s and %s.\n\n", st.table_name.c_str(), st.plot_name.c_str());
      }
      if (st.compared) {
        set_preset(st, 0);
        st.compared = false;
        std::printf("$$Done.\n");
      }
    } else {
      error_exit(stdout, "invalid command %s", c.c_str());
    }
  }
  if (st.table) qz_fclose(st.table);
}

}  // namespace

void job_ts_scan_mode(FILE* script) { run_ts_scan(script, false); }
void job_ts_scan_vis(FILE* script) { run_ts_scan(script, true); }

}  // namespace kv
