// The shift scan of talvis (FIT_SHIFT_SCAN_MODE): for every reflection,
// thickness block and dataset of a fit-mode file, the disk shift that brings
// the measured pattern onto a calculation read from a FIT_RESULT file; then
// the calculation is rescaled and the starting and optimised comparisons and
// the updated fit-mode file are written.
#include <cstdio>
#include <string>
#include <vector>

#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "expdata/fit_files.hpp"
#include "input/fields.hpp"
#include "sim/script_folder.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "expdata/scans.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

// Scan settings of one dataset: one grid per thickness, one result file.
struct shift_par {
  std::vector<int> nH, nG;
  std::vector<double> Hmin, Hmax, Gmin, Gmax;
  std::string res_file;
};

std::string script_token(FILE* fp, const char* what) {
  const std::optional<std::string> tok = fget_1s(fp);
  if (!tok || tok->empty())
    fatal_out("$$ Data format error: %s expected in the script.\n$$ Abort.\n", what);
  return *tok;
}

void read_shift_par(shift_par& sp, int num_thickness, FILE* fp) {
  const std::size_t n = static_cast<std::size_t>(num_thickness);
  sp.nH.assign(n, 0);
  sp.nG.assign(n, 0);
  sp.Hmin.assign(n, 0.0);
  sp.Hmax.assign(n, 0.0);
  sp.Gmin.assign(n, 0.0);
  sp.Gmax.assign(n, 0.0);
  for (std::size_t t = 0; t < n; ++t) {
    sp.res_file = script_input_file(fp, script_token(fp, "result file name"));
    const double div = fget_d(fp);
    if (!(div >= 2.0)) error_exit(stdout, "num_scan_div should be greater than 1");
    if (div > kMaxDataPixSide) error_exit(stdout, "num_scan_div (=%g) must not exceed %d", div, kMaxDataPixSide);
    sp.nH[t] = sp.nG[t] = static_cast<int>(div);
    fget_2d(&sp.Hmin[t], &sp.Hmax[t], fp);
    fget_2d(&sp.Gmin[t], &sp.Gmax[t], fp);
  }
}

// The starting comparison of block t with the shifts of the fit-mode file.
void set_fst_shift(const fed& ed, fei& ei, int t, const std::string& res_file, std::vector<double>* weight) {
  BeamList rg;
  read_res_data(ei, &rg, weight, res_file);
  const thickness_block& b = ed.tb[static_cast<std::size_t>(t)];
  set_extr_obs_int_ei_shift(ei, t, ed.num_reflex, b.H_shift.data(), b.G_shift.data());
  const double s = eval_scale_factor(ei, ed.num_reflex, t, weight->data());
  const double g = eval_gof(ei, ed.num_reflex, t, weight->data(), s);
  std::printf("Initial SHIFT: GoF=%g, scale=%g\n", g, s);
}

void set_shift_opt_fed(fed& ed, int t, const shift_opt& opt) {
  thickness_block& b = ed.tb[static_cast<std::size_t>(t)];
  b.H_shift = opt.H;
  b.G_shift = opt.G;
}

void change_scale_ed_ei(fed& ed, fei& ei, int t, double s) {
  ed.tb[static_cast<std::size_t>(t)].scale *= s;
  for (int r = 0; r < ei.num_rg; ++r) {
    double* cal = ei.cal_int(r, t);
    for (int p = 0; p < ei.num_cal_pix; ++p) cal[p] *= s;
  }
}

// Block t's calculated intensities are still those of the result file read
// for the starting comparison; the blocks before it already carry their new
// scale, so the file is not read again here.
void find_opt_shift(fed& ed, fei& ei, int t, const shift_par& sp, const std::vector<double>& weight) {
  std::printf("$$num_div = %d %d\n", sp.nH[t], sp.nG[t]);
  std::printf("$$[Hmin,Hmax] = [%g,%g], [Gmin,Gmax] = [%g,%g]\n", sp.Hmin[t], sp.Hmax[t], sp.Gmin[t], sp.Gmax[t]);
  shift_opt opt;
  shift_scan_ei(ei, ed.num_reflex, t, sp.nH[t], sp.Hmin[t], sp.Hmax[t], sp.nG[t], sp.Gmin[t], sp.Gmax[t], &opt);
  set_extr_obs_int_ei_shift(ei, t, ed.num_reflex, opt.H.data(), opt.G.data());
  const double s = eval_scale_factor(ei, ed.num_reflex, t, weight.data());
  const double g = eval_gof(ei, ed.num_reflex, t, weight.data(), s);
  set_shift_opt_fed(ed, t, opt);
  change_scale_ed_ei(ed, ei, t, s);
  std::printf("Optimized SHIFT: GoF=%g, scale=%g\n", g, s);
  std::printf("\n");
}

}  // namespace

void job_fit_shift_scan_mode(FILE* script) {
  std::printf("##### SHIFT scan mode #####\n");
  const std::string fit_file = script_input_file(script, script_token(script, "FIT_MODE file name"));
  std::printf("Input: FIT_MODE file -- %s\n\n", fit_file.c_str());

  csd cs;
  int max_iter = 0, num = 0;
  std::vector<fed> eds;
  std::vector<fei> eis;
  input_fit_mode_file(fit_file, cs, &max_iter, &num, eds, eis);

  std::vector<shift_par> sp(static_cast<std::size_t>(num));
  for (int i = 0; i < num; ++i) read_shift_par(sp[i], eis[i].num_thickness, script);

  std::vector<std::vector<double>> weights(static_cast<std::size_t>(num));
  for (int i = 0; i < num; ++i)
    for (int t = 0; t < eds[i].num_thick_block; ++t) set_fst_shift(eds[i], eis[i], t, sp[i].res_file, &weights[i]);

  const std::string base = remove_extention(fit_file);
  fit_res_output(num, eds, eis, cs.lp.data(), base + "_sf_fst");

  std::printf("\n");
  std::printf("SHIFT scan:\n");
  for (int i = 0; i < num; ++i) {
    std::printf("##Experimental data: no.=%d\n", i);
    std::printf("Input: fst/res file  -- %s\n", sp[i].res_file.c_str());
    for (int t = 0; t < eds[i].num_thick_block; ++t) find_opt_shift(eds[i], eis[i], t, sp[i], weights[i]);
  }
  fit_res_output(num, eds, eis, cs.lp.data(), base + "_sf_res");

  const std::string out = base + "_sf.txt";
  std::printf("Result: FIT_MODE file -- %s\n", out.c_str());
  output_FIT_MODE_file(out, cs, max_iter, num, eds, eis);
  free_fed_vector(eds);
  free_fei_vector(eis);
  free_csd(cs);
}

}  // namespace kv
