#pragma once
// Derivatives of one tilt's intensities with respect to parameters that
// enter only the potential matrix V(g_i - g_j) (structure factors, Debye-
// Waller factors, coordinates, occupancies). Each parameter comes as the
// potential matrix with that parameter stepped by h. The derivative is the
// divided difference of the intensities of the two Bloch solutions.
#include <vector>

#include "bloch/engine.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct tilt_derivative_work {
  RMatrix intensity;             // I[r][t] with the job's potential matrix
  std::vector<RMatrix> d_param;  // dI[r][t]/dp for each stepped matrix
  RMatrix stepped;               // scratch
};

void tilt_potential_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<CMatrix>& vg_plus,
                                const std::vector<double>& h, work_cal_int& w, tilt_derivative_work& out);

}  // namespace kv
