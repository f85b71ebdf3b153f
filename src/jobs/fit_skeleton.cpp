#include "jobs/fit_skeleton.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "crystal/structure_factor.hpp"
#include "expdata/dataset.hpp"
#include "expdata/fit_files.hpp"
#include "input/crystal_data.hpp"
#include "input/fields.hpp"
#include "jobs/simulation.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr int kSkeletonIterations = 30;

fitpar fixed(const std::string& name, double value) {
  fitpar p;
  p.flg = kFlgFix;
  p.val = value;
  p.name = name;
  p.expr = strprintf("%.10g", value);
  return p;
}

// Every parameter of the crystal FIX, constraints kept.
void fix_all(csd& cs) {
  auto fix = [](fitpar& p) {
    if (p.flg != kFlgCst) p.flg = kFlgFix;
  };
  for (fitpar& p : cs.lp_fp) fix(p);
  for (auto& site : cs.atom_fp)
    for (fitpar& p : site) fix(p);
  for (auto& e : cs.lofg_fp)
    for (fitpar& p : e) fix(p);
  for (auto& e : cs.lofg_f_fp)
    for (auto& site : e)
      for (fitpar& p : site) fix(p);
}

// Whether g is one of the low-order entries or a symmetry equivalent of one.
bool listed(const csd& cs, const Hkl& g) {
  for (int e = 0; e < cs.num_lofg; ++e) {
    if (cs.lofg_hkl[e] == g) return true;
    for (const sym_op& op : cs.sym_ops)
      if (rotate_hkl(op, cs.lofg_hkl[e]) == g) return true;
  }
  return false;
}

std::string index_name(int v) { return v < 0 ? "m" + std::to_string(-v) : std::to_string(v); }

// The measured reflections that LOW_ORDER_FG does not cover yet, with their
// independent-atom elastic structure factors (lof_type 2) or total ones
// (lof_type 1). A block of per-site factors (lof_type 3, 4) is left as it is.
void add_measured_reflections(csd& cs, const std::vector<Hkl>& measured, double kv) {
  if (cs.num_lofg > 0 && cs.lof_type != 1 && cs.lof_type != 2) {
    std::printf("$$ LOW_ORDER_FG of lof_type %d is kept as it is: add the measured reflections by hand.\n",
                cs.lof_type);
    return;
  }
  if (cs.num_lofg == 0) cs.lof_type = 2;
  const lattice_metric lm = bravai(cs.lp.data());
  // The independent-atom values: the crystal without its low-order entries.
  csd iam = cs;
  iam.num_lofg = 0;
  for (const Hkl& g : measured) {
    if (g == Hkl{0, 0, 0} || listed(cs, g)) continue;
    complex f = calc_Fg_ela(g, kv, lm, iam);
    if (cs.lof_type == 1) f = f + calc_Fg_inela(g, kv, lm, iam);
    const std::string base = "f" + index_name(g.h) + index_name(g.k) + index_name(g.l);
    cs.lofg_hkl.push_back(g);
    cs.lofg_fg.push_back(f);
    cs.lofg_fp.push_back({fixed(base + "_re", f.re), fixed(base + "_im", f.im)});
    ++cs.num_lofg;
  }
}

// The simulation's thicknesses: the OUTPUT_THICKNESS block, wherever it
// stands after the beam search (OUTPUT_REFLEX before it is passed over).
std::vector<double> sim_thicknesses(FILE* fp) {
  for (;;) {
    const std::string line = need_line(kLineCap, fp);
    const std::vector<std::string_view> tok = split_tokens(line);
    if (tok.empty() || tok[0] != "OUTPUT_THICKNESS{") continue;
    enter_block(fp, "OUTPUT_THICKNESS{");
    const int n = fget_i(fp);
    if (n < 1) fatal_out("$$ OUTPUT_THICKNESS lists no thickness: the fit needs one to start from. Abort.\n");
    std::vector<double> t(static_cast<std::size_t>(n));
    fget_cal_thick(n, t.data(), fp);
    return t;
  }
}

// The dataset: the simulation's geometry and beam search, the measured
// file's reflections and grid.
fed skeleton_dataset(const sd& s, const beam_search& bs, const fei& ei, const std::string& measured_file,
                     const std::vector<double>& thick, double intensity_scaling) {
  fed ed;
  ed.incidence = s.incidence;
  ed.normal = s.normal;
  ed.zolzbase1 = s.zolzbase1;
  ed.tiltH = s.tiltH;
  ed.tiltG = s.tiltG;
  ed.voltage = s.voltage;
  ed.tiltH_fp = fixed("tH", s.tiltH);
  ed.tiltG_fp = fixed("tG", s.tiltG);
  ed.voltage_fp = fixed("kv", s.voltage);
  ed.bs = bs;
  // The calculated grid has the measured step and reaches one step beyond
  // the measured grid on every side, so that a disk shift of up to one step
  // still finds calculated points around every measured one.
  const double step = ei.nx > 1 ? (ei.xmax - ei.xmin) / (ei.nx - 1) : 0.0;
  ed.calc_type = 2;
  ed.num_cal_pix_side = ei.nx + 2;
  ed.disksize = 0.5 * (ed.num_cal_pix_side - 1) * step;
  ed.bs.disksize = ed.disksize;
  ed.int_file = measured_file;
  ed.num_reflex = ei.num_rg;
  ed.num_thick_block = ei.num_thickness;
  for (int t = 0; t < ei.num_thickness; ++t) {
    thickness_block b;
    const std::string suffix = ei.num_thickness > 1 ? std::to_string(t) : "";
    // Start of the scale: the measured counts against the simulated
    // fractions of the incident beam, which add up to about one over the
    // measured reflections.
    double sum = 0;
    int n = 0;
    for (int r = 0; r < ei.num_rg; ++r)
      for (int p = 0; p < ei.npix; ++p)
        if (ei.obs_sig(r, t, p) >= 0) {
          sum += ei.obs_int(r, t, p);
          ++n;
        }
    b.scale = n > 0 && sum > 0 ? sum / (static_cast<double>(n) / ei.num_rg) / intensity_scaling : 1.0;
    b.thickness = thick[std::min<std::size_t>(t, thick.size() - 1)];
    b.thickwidth = 0.0;
    b.scale_fp = fixed("scale" + suffix, b.scale);
    b.thickness_fp = fixed("thick" + suffix, b.thickness);
    b.thickwidth_fp = fixed("thick_width" + suffix, 0.0);
    b.num_avrpix = 0;
    b.avrpix_par = 1.0;
    for (int r = 0; r < ei.num_rg; ++r) {
      const std::string tag = (ei.num_thickness > 1 ? std::to_string(t) + "_" : "") + std::to_string(r);
      b.weight.push_back(1.0);
      b.H_shift.push_back(0.0);
      b.G_shift.push_back(0.0);
      b.H_shift_fp.push_back(fixed("H_shift" + tag, 0.0));
      b.G_shift_fp.push_back(fixed("G_shift" + tag, 0.0));
    }
    ed.tb.push_back(std::move(b));
  }
  return ed;
}

}  // namespace

std::string write_fit_skeleton(const std::string& sim_file, const std::string& measured_file) {
  mark_input_file(sim_file);
  mark_input_file(measured_file);
  const std::string base = remove_extention(sim_file);
  File f = fopen_chk_rmode(sim_file);
  FILE* fp = f.get();
  const std::optional<std::string> mode = fget_1s(fp);
  if (!mode || (*mode != "SIM_MODE" && *mode != "SIM_COHERENT_MODE"))
    fatal_out("$$ %s is no SIM_MODE parameter file: it begins with %s. Abort.\n", sim_file.c_str(),
              mode ? mode->c_str() : "nothing");
  read_eps_ctrl_params(fp);
  csd cs;
  input_csd_cstr(cs, fp, base);
  chk_data("SIM_CALCULATION_CONDITION{", fp);
  sd s;
  fget_sd_incident_beam(s, cs, fp);
  fget_sd_kxy_range(s, fp, " Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$", true);
  apply_microscope_units(s, bravai(cs.lp.data()));
  fed searched;
  read_BEAM_SEARCH(searched, fp);
  const std::vector<double> thick = sim_thicknesses(fp);

  fei ei;
  read_int_file(ei, measured_file);
  fix_all(cs);
  add_measured_reflections(cs, std::vector<Hkl>(ei.rg.begin(), ei.rg.begin() + ei.num_rg), s.voltage);
  fed ed = skeleton_dataset(s, searched.bs, ei, measured_file, thick, epsilon.intensity_scaling);
  ed.num_exact_beam = searched.num_exact_beam;
  ed.num_bethe_beam = searched.num_bethe_beam;
  ed.beams = searched.beams;
  const std::string out = base + "_fit.dat";
  output_FIT_MODE_file(out, cs, kSkeletonIterations, 1, {ed}, {ei});
  std::printf("Fit-mode file ==> %s\n$$ Every parameter is FIX: mark those to refine ADJ, then korvex %s\n",
              out.c_str(), out.c_str());
  return out;
}

}  // namespace kv
