#include "expimage/sim_adapter.hpp"

#include <cstdio>

#include "bloch/engine.hpp"
#include "sim/runctl.hpp"

namespace kv {

SimulatedDisks simulate_disks(ImportSetup& setup, const BeamList& reflections, int side, double half_width,
                              double thickness) {
  sd s = setup.cond;
  s.calc_type = 2;
  s.num_cal_pix_side = side;
  s.disksize = half_width;
  s.num_thickness = 1;
  s.thickness = {thickness};
  // Output reflections: those of the list that are exact beams.
  std::vector<int> slot(reflections.size(), -1);
  s.cal_g.clear();
  for (std::size_t r = 0; r < reflections.size(); ++r)
    for (int b = 0; b < s.num_exact_beam; ++b)
      if (s.beams[b] == reflections[r]) {
        slot[r] = static_cast<int>(s.cal_g.size());
        s.cal_g.push_back(b);
        break;
      }
  s.num_g = static_cast<int>(s.cal_g.size());
  calc_kxy_tilt(s, setup.lm);
  const CMatrix vg = sd_potential_matrix(s, setup.crystal, setup.lm, stdout);
  const engine_setup job = make_engine_setup(setup.crystal, s, vg, setup.lm);
  work_cal_int w = alloc_work_cal_int(s.num_exact_beam + s.num_bethe_beam, s.num_g, 0);
  RMatrix out(std::max(1, s.num_g), 1);

  SimulatedDisks d;
  d.side = side;
  d.half_width = half_width;
  d.reflections = reflections;
  d.grid.assign(reflections.size(), std::vector<double>(static_cast<std::size_t>(s.num_k_points), 0.0));
  d.inside.assign(static_cast<std::size_t>(s.num_k_points), 0);
  for (int k = 0; k < s.num_k_points; ++k) {
    if (s.kp[k].flag != 1) continue;
    d.inside[k] = 1;
    if (s.num_g == 0) continue;
    calc_intensity_with_perturb_ug(s.tilt[k], job, w, out);
    for (std::size_t r = 0; r < reflections.size(); ++r)
      if (slot[r] >= 0) d.grid[r][k] = out[slot[r]][0] * epsilon.intensity_scaling;
  }
  return d;
}

}  // namespace kv
