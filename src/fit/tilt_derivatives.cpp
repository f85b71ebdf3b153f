#include "fit/tilt_derivatives.hpp"

namespace kv {

void tilt_potential_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<CMatrix>& vg_plus,
                                const std::vector<double>& h, work_cal_int& w, tilt_derivative_work& out) {
  const std::size_t R = static_cast<std::size_t>(job.num_g), T = static_cast<std::size_t>(job.num_thickness);
  if (out.intensity.rows() != R || out.intensity.cols() != T) {
    out.intensity = RMatrix(R, T);
    out.stepped = RMatrix(R, T);
  }
  calc_intensity_with_perturb_ug(kt, job, w, out.intensity);
  out.d_param.resize(vg_plus.size());
  for (std::size_t p = 0; p < vg_plus.size(); ++p) {
    engine_setup stepped_job = job;
    stepped_job.vg = &vg_plus[p];
    calc_intensity_with_perturb_ug(kt, stepped_job, w, out.stepped);
    if (out.d_param[p].rows() != R || out.d_param[p].cols() != T) out.d_param[p] = RMatrix(R, T);
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t t = 0; t < T; ++t) out.d_param[p][r][t] = (out.stepped[r][t] - out.intensity[r][t]) / h[p];
  }
}

}  // namespace kv
