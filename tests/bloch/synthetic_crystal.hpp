#pragma once
// A cubic crystal (a = 4 angstrom) viewed down [001] at 200 kV with a
// synthetic potential, for the Bloch-wave engine tests. The record owns
// everything its engine setup points to, so it is never copied.
#include <cmath>
#include <vector>

#include "bloch/engine.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"

namespace kvtest {

struct Synthetic {
  Synthetic() = default;
  Synthetic(const Synthetic&) = delete;
  Synthetic& operator=(const Synthetic&) = delete;
  kv::lattice_metric lm;
  kv::BeamList beams;
  kv::CMatrix vg;
  std::vector<int> cal_g;
  std::vector<double> thickness;
  kv::engine_setup job;
};

// V(g_i - g_j) = v(g_i - g_j); the first n_exact beams are exact (all when
// n_exact < 0), the rest Bethe beams; cal_g are the output reflections.
template <class VFn>
void make_synthetic(Synthetic& s, const kv::BeamList& beams, VFn v, const std::vector<int>& cal_g,
                    const std::vector<double>& thickness, kv::Hkl normal = kv::Hkl{0, 0, 1}, int n_exact = -1,
                    int flag_bs = 0) {
  using namespace kv;
  const double lp[6] = {4, 4, 4, 90, 90, 90};
  s.lm = bravai(lp);
  s.beams = beams;
  const int n = static_cast<int>(beams.size());
  s.vg = CMatrix(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      s.vg[i][j] = v(Hkl{beams[i].h - beams[j].h, beams[i].k - beams[j].k, beams[i].l - beams[j].l});
  s.cal_g = cal_g;
  s.thickness = thickness;
  engine_setup& job = s.job;
  job.kv = 200;
  job.incidence = Hkl{0, 0, 1};
  job.normal = normal;
  double evd = 0;
  pre_calc_intensity(job.kv, job.incidence, job.normal, s.lm, &job.abs_u, &job.abs_n, &job.cos_phi, &job.lambda,
                     &evd);
  const complex u0 = vg_to_ug(s.vg[0][0], relativ_corr(job.kv));
  job.K = std::sqrt(1.0 / (job.lambda * job.lambda) + u0.re);
  job.lm = s.lm;
  job.bs.flag_bs = flag_bs;
  job.n_e0 = n_exact < 0 ? n : n_exact;
  job.n_b0 = n - job.n_e0;
  job.beams = &s.beams;
  job.vg = &s.vg;
  job.num_g = static_cast<int>(s.cal_g.size());
  job.cal_g = s.cal_g.data();
  job.num_thickness = static_cast<int>(s.thickness.size());
  job.rc = program_run_control();
  job.thickness = s.thickness.data();
}

// 000 and every (h k 0) with h^2 + k^2 <= r^2.
inline kv::BeamList zolz_beams(int r) {
  kv::BeamList b{{0, 0, 0}};
  for (int h = -r; h <= r; ++h)
    for (int k = -r; k <= r; ++k)
      if (!(h == 0 && k == 0) && h * h + k * k <= r * r) b.push_back(kv::Hkl{h, k, 0});
  return b;
}

// V_{-h} = conj(V_h) for the elastic part, plus an absorptive part.
inline kv::complex hermitian_potential(const kv::Hkl& h, double absorption) {
  if (h == kv::Hkl{0, 0, 0}) return kv::complex{15.0, absorption * 8.0};
  const double mag = 4.0 / (1.0 + h.h * h.h + h.k * h.k);
  const double even = std::cos(0.7 * h.h) * std::cos(1.1 * h.k);
  const double odd = std::sin(0.9 * h.h + 0.4 * h.k);
  return kv::complex{mag * even, mag * 0.4 * odd + absorption * mag};
}

}  // namespace kvtest
