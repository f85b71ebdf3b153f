#pragma once
// Analytic derivatives of one tilt's intensities with respect to the
// potential coefficients and to the crystal thickness, by first-order
// perturbation of the Bloch-wave solution.
//
// With the Bethe-reduced structure matrix B = C Lambda C^-1, the exact-beam
// amplitudes are psi(t) = D^-1/2 C E(t) alpha with E_jj = exp(x lambda_j),
// x = -i pi t / K_n and D the obliquity factors. A change dB of the
// structure matrix changes them by
//   dpsi = D^-1/2 C [(C^-1 dB C) o F(t)] alpha,
//   F_jk = (e_j - e_k) / (lambda_j - lambda_k),  F_jj = x e_j,
// the derivative of the matrix exponential (valid for any diagonalisable B,
// degenerate eigenvalues included). The change of the potential matrix dV
// reaches dB through the same scaling as the structure matrix and through
// the Bethe reduction at the tilt's beam selection, which is held fixed:
//   generalised: dB = dA_ee - dA_eb Y - Z dA_be + Z dA_bb Y,
//                Y = A_bb^-1 A_be, Z = A_eb A_bb^-1,
//   classical:   the same with A_bb replaced by its diagonal.
// Both are folded into C^-1 dB C = L dA R with L = [C^-1, -C^-1 Z] and
// R = [C; -Y C], so each parameter costs two products with the sparsity of
// dA exploited in the first.
//
// Intensities come from calc_intensity_with_perturb_ug and are identical to
// it. Parameter derivatives are those of the sum over all Bloch waves; when
// bc_accuracy < 1 drops weak waves from the intensities, the derivatives
// still belong to the full sum (the dropped waves are those whose change
// matters least, and the dropped set itself jumps with the parameters).
// Thickness derivatives are those of the intensities as summed.
#include <vector>

#include "bloch/engine.hpp"
#include "numeric/matrix.hpp"

namespace kv {

// One tilt's intensities and their derivatives.
struct intensity_jacobian {
  RMatrix intensity;             // I[r][t], identical to calc_intensity_with_perturb_ug's output
  std::vector<RMatrix> d_param;  // dI[r][t]/dp for each potential-matrix derivative passed in
  RMatrix d_thickness;           // dI[r][t]/dt, per angstrom of thickness t
};

// dvg[p] is the derivative of the job's potential matrix V(g_i - g_j) (volts, same layout as *job.vg)
// with respect to parameter p. Fills out (resizing as needed) for the tilt kt. The work area comes
// from alloc_work_cal_int with n_perturb >= 1 (one with n_perturb = 0 is sized on first use).
void calc_intensity_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<const CMatrix*>& dvg,
                                work_cal_int& w, intensity_jacobian& out);

// F(x; a, b) = (exp(x a) - exp(x b)) / (a - b), with its limit x exp(x a) when
// |a - b| < degeneracy_eps. half_a, half_b are exp(x a / 2), exp(x b / 2).
complex exp_divided_difference(complex x, complex a, complex b, complex half_a, complex half_b,
                               double degeneracy_eps);

}  // namespace kv
