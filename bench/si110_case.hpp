#pragma once
// Silicon [110] at 200 kV for the engine benchmarks: the potential matrix of
// about n_exact exact beams and half as many Bethe beams.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bloch/engine.hpp"
#include "bloch/potential.hpp"
#include "input/crystal_data.hpp"
#include "sim/runctl.hpp"

namespace kvbench {

using namespace kv;

inline constexpr const char* kSi =
    "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n5.4309\n5.4309\n5.4309\n90\n90\n90\n}LATTICE\n"
    "ATOM{\n1\nSITE{\nSi\n0.125\n0.125\n0.125\nISO\n0.4632\n1.0\n0\n}SITE\n}ATOM\n"
    "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";

struct Case {
  csd crystal;
  BeamList beams;
  CMatrix vg;
  std::vector<int> cal_g;
  std::vector<double> thickness{500.0, 1000.0, 1500.0};
  engine_setup job;
};

// Zero-order Laue-zone reflections of [110] allowed by the F centring,
// ordered by |g|: after 000 the first n_exact - 1 are exact beams, the next
// n_exact / 2 Bethe beams. The run-control records start from their
// defaults with the per-tilt re-selection of Bethe potentials off.
// b_iso replaces the Debye-Waller factor of the site (stronger absorption).
inline Case make_case(int n_exact, double b_iso = 0.0) {
  epsilon = Epsilon{};
  epsilon.vg_select_flag = 0;
  Case c;
  FILE* fp = std::tmpfile();
  std::string text = kSi;
  if (b_iso > 0) text.replace(text.find("0.4632"), 6, std::to_string(b_iso));
  std::fputs(text.c_str(), fp);
  std::rewind(fp);
  input_csd_cstr(c.crystal, fp, "bench");
  std::fclose(fp);
  const lattice_metric lm = bravai(c.crystal.lp);
  std::vector<std::pair<double, Hkl>> cand;
  for (int h = -20; h <= 20; ++h)
    for (int l = -20; l <= 20; ++l) {
      const Hkl g{h, -h, l};
      if (g == Hkl{0, 0, 0} || extinction_rule(g, c.crystal.lattice_type, 0) != 0) continue;
      cand.push_back({sq_abs(Vec3{double(h), double(-h), double(l)}, lm), g});
    }
  std::stable_sort(cand.begin(), cand.end(), [](auto& a, auto& b) { return a.first < b.first; });
  const int n_bethe = n_exact / 2;
  c.beams.push_back(Hkl{0, 0, 0});
  for (int i = 0; i < n_exact - 1 + n_bethe; ++i) c.beams.push_back(cand[i].second);
  const int n = static_cast<int>(c.beams.size());
  c.vg = CMatrix(n, n);
  int err = 0;
  potential_matrix_csd(n_exact, n_bethe, c.beams, c.crystal, 200.0, lm, c.vg, &err);
  for (int i = 0; i < n_exact; ++i) c.cal_g.push_back(i);
  engine_setup& j = c.job;
  j.kv = 200;
  j.incidence = Hkl{1, 1, 0};
  j.normal = Hkl{1, 1, 0};
  double evd = 0;
  pre_calc_intensity(200, j.incidence, j.normal, lm, &j.abs_u, &j.abs_n, &j.cos_phi, &j.lambda, &evd);
  j.K = calc_abs_K(c.crystal, 200, lm);
  j.lm = lm;
  j.bs.flag_bs = 0;  // generalised Bethe potentials
  j.n_e0 = n_exact;
  j.n_b0 = n_bethe;
  j.num_g = n_exact;
  j.num_thickness = 3;
  j.rc = program_run_control();
  return c;
}

inline void point(Case& c) {
  c.job.beams = &c.beams;
  c.job.vg = &c.vg;
  c.job.ug = make_ug_table(c.job.kv, c.vg);  // as a job's setup makes it
  c.job.cal_g = c.cal_g.data();
  c.job.thickness = c.thickness.data();
}

}  // namespace kvbench
