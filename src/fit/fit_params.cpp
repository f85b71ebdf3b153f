#include "fit/fit_params.hpp"

#include "expdata/dataset_ranges.hpp"
#include "expdata/fed_constraints.hpp"
#include "input/constraints.hpp"

namespace kv {

namespace {

bool refined(const fitpar& p) { return p.flg == kFlgAdj || p.flg == kFlgRst; }

void add(std::vector<fit_param>& ps, fitpar& fp, double* value, fit_kind kind, int dataset = -1, int block = -1,
         int reflex = -1, bool shift_g = false, value_range range = {-HUGE_VAL, HUGE_VAL}) {
  if (!refined(fp)) return;
  fit_param p;
  p.name = fp.name;
  p.kind = kind;
  p.value = value;
  p.fp = &fp;
  p.dataset = dataset;
  p.block = block;
  p.reflex = reflex;
  p.shift_g = shift_g;
  p.start = *value;
  p.lower = range.lower;
  p.upper = range.upper;
  ps.push_back(p);
}

void add_crystal(std::vector<fit_param>& ps, csd& cs) {
  for (int i = 0; i < 6; ++i) add(ps, cs.lp_fp[i], &cs.lp[i], fit_kind::lattice);
  for (int s = 0; s < cs.num_atom; ++s) {
    atom& a = cs.atoms[s];
    auto& fp = cs.atom_fp[s];
    add(ps, fp[kApX], &a.x, fit_kind::potential);
    add(ps, fp[kApY], &a.y, fit_kind::potential);
    add(ps, fp[kApZ], &a.z, fit_kind::potential);
    if (a.bf == 0) {
      add(ps, fp[kApB], &a.b_iso, fit_kind::potential, -1, -1, -1, false, {0.0, HUGE_VAL});
    } else {
      double* beta[6] = {&a.beta11, &a.beta22, &a.beta33, &a.beta12, &a.beta13, &a.beta23};
      for (int k = 0; k < 6; ++k) add(ps, fp[kApBeta11 + k], beta[k], fit_kind::potential);
    }
    add(ps, fp[kApOcc], &a.occ, fit_kind::potential, -1, -1, -1, false, {0.0, 1.0});
  }
  for (int e = 0; e < cs.num_lofg; ++e) {
    if (cs.lof_type == 1 || cs.lof_type == 2) {
      add(ps, cs.lofg_fp[e][0], &cs.lofg_fg[e].re, fit_kind::potential);
      add(ps, cs.lofg_fp[e][1], &cs.lofg_fg[e].im, fit_kind::potential);
    } else {
      for (int s = 0; s < cs.num_atom; ++s) {
        add(ps, cs.lofg_f_fp[e][s][0], &cs.lofg_f[e][s].re, fit_kind::potential);
        add(ps, cs.lofg_f_fp[e][s][1], &cs.lofg_f[e][s].im, fit_kind::potential);
      }
    }
  }
}

void add_dataset(std::vector<fit_param>& ps, fed& ed, int i) {
  add(ps, ed.tiltH_fp, &ed.tiltH, fit_kind::geometry, i);
  add(ps, ed.tiltG_fp, &ed.tiltG, fit_kind::geometry, i);
  add(ps, ed.voltage_fp, &ed.voltage, fit_kind::geometry, i, -1, -1, false, voltage_range());
  for (int t = 0; t < ed.num_thick_block; ++t) {
    thickness_block& b = ed.tb[t];
    add(ps, b.scale_fp, &b.scale, fit_kind::scale, i, t, -1, false, scale_range());
    add(ps, b.thickness_fp, &b.thickness, fit_kind::thickness, i, t, -1, false, thickness_range());
    add(ps, b.thickwidth_fp, &b.thickwidth, fit_kind::thickwidth, i, t, -1, false, thickness_range());
    for (int r = 0; r < ed.num_reflex; ++r) {
      add(ps, b.H_shift_fp[r], &b.H_shift[r], fit_kind::shift, i, t, r, false);
      add(ps, b.G_shift_fp[r], &b.G_shift[r], fit_kind::shift, i, t, r, true);
    }
  }
  if (ed.det.present) {
    add(ps, ed.det.psf_fp, &ed.det.psf_var, fit_kind::psf, i);
    add(ps, ed.det.background_fp, &ed.det.background, fit_kind::background, i);
  }
}

}  // namespace

std::vector<fit_param> collect_fit_params(csd& cs, std::vector<fed>& eds) {
  std::vector<fit_param> ps;
  add_crystal(ps, cs);
  for (std::size_t i = 0; i < eds.size(); ++i) add_dataset(ps, eds[i], static_cast<int>(i));
  return ps;
}

void apply_fit_params(const std::vector<fit_param>& ps, const double* x, csd& cs, std::vector<fed>& eds) {
  for (std::size_t j = 0; j < ps.size(); ++j) *ps[j].value = x[j];
  constraint_csd(cs);
  constraint_fed(static_cast<int>(eds.size()), eds);
  // A constraint may carry a value out of its physical range at any step.
  check_dataset_ranges(eds);
}

}  // namespace kv
