#include "model/tilt_derivatives.hpp"

namespace kv {

namespace {

void finite_differences(const Vec3& kt, const engine_setup& job, const std::vector<CMatrix>& dvg,
                        const std::vector<double>& h, work_cal_int& w, tilt_derivative_work& out) {
  const std::size_t R = static_cast<std::size_t>(job.num_g), T = static_cast<std::size_t>(job.num_thickness);
  intensity_jacobian& j = out.jac;
  if (j.intensity.rows() != R || j.intensity.cols() != T) {
    j.intensity = RMatrix(R, T);
    out.scratch = RMatrix(R, T);
  }
  calc_intensity_with_perturb_ug(kt, job, w, j.intensity);
  j.d_param.resize(dvg.size());
  const CMatrix& vg = *job.vg;
  for (std::size_t p = 0; p < dvg.size(); ++p) {
    if (out.stepped.size() <= p) out.stepped.emplace_back(vg.rows(), vg.cols());
    CMatrix& v = out.stepped[p];
    for (std::size_t a = 0; a < vg.rows(); ++a)
      for (std::size_t b = 0; b < vg.cols(); ++b) v[a][b] = vg[a][b] + h[p] * dvg[p][a][b];
    engine_setup stepped_job = job;
    stepped_job.vg = &v;
    calc_intensity_with_perturb_ug(kt, stepped_job, w, out.scratch);
    if (j.d_param[p].rows() != R || j.d_param[p].cols() != T) j.d_param[p] = RMatrix(R, T);
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t t = 0; t < T; ++t) j.d_param[p][r][t] = (out.scratch[r][t] - j.intensity[r][t]) / h[p];
  }
}

}  // namespace

void tilt_potential_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<CMatrix>& dvg,
                                const std::vector<double>& h, bool analytic, work_cal_int& w,
                                tilt_derivative_work& out) {
  if (!analytic) {
    finite_differences(kt, job, dvg, h, w, out);
    return;
  }
  out.dvg_ptrs.clear();  // keeps its capacity from tilt to tilt
  for (const CMatrix& d : dvg) out.dvg_ptrs.push_back(&d);
  calc_intensity_derivatives(kt, job, out.dvg_ptrs, w, out.jac);
}

}  // namespace kv
