#pragma once
// Derivatives of one tilt's intensities with respect to parameters that
// enter only the potential matrix V(g_i - g_j) (structure factors, Debye-
// Waller factors, coordinates, occupancies). Each parameter comes as dV/dp.
// The analytic route perturbs the Bloch solution to first order; the
// finite-difference route solves again with V + h dV/dp and divides.
#include <vector>

#include "bloch/derivative.hpp"
#include "bloch/engine.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct tilt_derivative_work {
  intensity_jacobian jac;        // intensity and d_param as filled by either route
  std::vector<CMatrix> stepped;  // finite differences: V + h dV/dp
  RMatrix scratch;
  std::vector<const CMatrix*> dvg_ptrs;  // the dV/dp handed to the analytic route
};

// h: the finite-difference steps (used only when analytic is false).
void tilt_potential_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<CMatrix>& dvg,
                                const std::vector<double>& h, bool analytic, work_cal_int& w,
                                tilt_derivative_work& out);

}  // namespace kv
