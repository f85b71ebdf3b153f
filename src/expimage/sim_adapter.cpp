#include "expimage/sim_adapter.hpp"

#include "model/simulate.hpp"
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
  s.kp.clear();
  s.tilt.clear();

  SimulatedDisks d;
  d.side = side;
  d.half_width = half_width;
  d.reflections = reflections;
  const sim_result r = simulate(setup.crystal, s, program_run_control());
  const std::size_t K = r.tilts.size();
  d.grid.assign(reflections.size(), std::vector<double>(K, 0.0));
  d.inside.assign(K, 0);
  for (std::size_t k = 0; k < K; ++k) {
    if (r.tilts[k].flag != 1) continue;
    d.inside[k] = 1;
    for (std::size_t g = 0; g < reflections.size(); ++g)
      if (slot[g] >= 0) d.grid[g][k] = r.intensity(slot[g], 0, k);
  }
  return d;
}

}  // namespace kv
