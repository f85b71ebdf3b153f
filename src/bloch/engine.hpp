#pragma once
// The per-tilt Bloch-wave engine: excitation errors and obliquity factors,
// per-tilt beam re-selection, the structure matrix with its Bethe reduction,
// the eigen solution, the entrance-surface boundary condition and the
// diffracted amplitudes at any thickness.
//
// Reciprocal quantities in inverse angstrom (no 2 pi), thickness in angstrom,
// potentials in volts, U_g in inverse angstrom squared.
#include <memory>
#include <vector>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"
#include "numeric/eigen.hpp"
#include "numeric/invert.hpp"
#include "numeric/matrix.hpp"
#include "sim/runctl.hpp"

namespace kv {

// Per-job scratch of the tilt loop, allocated once for N beams.
struct work_cal_int {
  std::vector<double> sg;        // excitation errors, beam-list order
  std::vector<double> beta;      // obliquity factors, beam-list order
  std::vector<double> beta_sel;  // obliquity factors, selection order
  CMatrix a;                     // structure matrix, selection order
  CMatrix b;                     // Bethe-reduced matrix (leading n_e x n_e)
  CMatrix c;                     // eigenvectors as columns
  CVector eigval;
  CVector alpha;                 // Bloch-wave excitation coefficients
  std::vector<int> branch;       // Bloch-wave branches summed
  std::vector<int> pos;          // position of each output reflection, or -1
  std::vector<int> idx;          // selection: exact beams, then Bethe beams
  int n_e = 0, n_b = 0;          // this tilt's beam counts
  int n_branch = 0;
  // Solver scratch, sized once so that a tilt allocates nothing.
  eigmat_work eig;               // eigen solver copies and LAPACK workspace
  CMatrix bc;                    // scaled eigenvectors of the boundary condition
  std::vector<complex> bethe_bb; // A_bb, factorised in place
  std::vector<complex> bethe_y;  // A_eb A_bb^-1
  std::vector<int> bethe_ipiv;
  CMatrix excite;                // alpha_j exp(-i pi lambda_j t / K_n), thickness x branch
  // Scratch of the intensity derivatives (bloch/derivative.hpp), sized for
  // N beams when n_perturb >= 1 and empty otherwise.
  int n_perturb = 0;
  CMatrix c_inv;                 // C^-1
  CMatrix left;                  // [C^-1, -C^-1 Z], n_e x N
  CMatrix right;                 // [C; -Y C], N x n_e
  CMatrix d_bethe_y;             // A_bb^-1, then the Bethe factor Y
  CMatrix d_bethe_z;              // the Bethe factor Z = A_eb A_bb^-1
  CMatrix d_right;               // dA times the right factor, N x n_e
  CMatrix d_eig;                 // C^-1 dB C, n_e x n_e
  CVector d_vec;                 // (C^-1 dB C o F(t)) alpha
  CVector d_exp;                 // exp(-i pi lambda_j t / K_n / 2)
  Tensor3<complex> d_weight;     // F_jk(t) alpha_k per thickness, sized on first use
  CMatrix d_psi;                 // all-branch amplitude per output reflection and thickness
  CVector d_row;                 // nonzero elements of one row of dA
  std::vector<const complex*> d_rows;  // the rows of the right factor they multiply
  std::vector<double> inv_sqrt_beta;   // 1 / sqrt(beta), selection order, set once per tilt
  std::vector<int> d_kept;             // 1 for the Bloch waves summed
  invert_scratch d_inv;                // vectors of the derivatives' inverses (C, A_bb)
  std::vector<double> branch_weight;   // |alpha_j|^2 of the branch limitation
};

work_cal_int alloc_work_cal_int(int n, int num_g, int n_perturb);

// The tilt-independent part of the structure matrix: U(g_i - g_j) for every
// beam pair of the potential matrix `source`, with U_0 and the mean wave
// number K of the diagonal, converted once instead of at every tilt.
struct ug_table {
  const CMatrix* source = nullptr;  // the V matrix converted
  CMatrix u;                        // vg_to_ug(V(g_i - g_j))
  complex u0;                       // U_0
  double K = 0;                     // sqrt(1 / lambda^2 + Re U_0)
};
std::shared_ptr<const ug_table> make_ug_table(double kv, const CMatrix& vg);

// Quantities fixed for the whole job.
struct engine_setup {
  double kv = 0;              // accelerating voltage
  Hkl incidence;              // zone axis [u v w]
  Hkl normal;                 // surface normal [u v w]
  double abs_u = 0, abs_n = 0, cos_phi = 0;
  double lambda = 0;          // wavelength (angstrom)
  double K = 0;               // mean wave number in the crystal
  lattice_metric lm;
  beam_search bs;
  int n_e0 = 0, n_b0 = 0;
  const BeamList* beams = nullptr;
  const CMatrix* vg = nullptr;  // V(g_i - g_j), volts
  // The U table of vg when the job made one; a setup whose vg points
  // elsewhere (a stepped copy) converts per tilt instead.
  std::shared_ptr<const ug_table> ug;
  int num_g = 0;
  const int* cal_g = nullptr;
  int num_thickness = 0;
  const double* thickness = nullptr;
  // The run-control values the tilts read: beam re-selection, branch
  // accuracy, solvers and their tolerances, debug dumps.
  RunControl rc;
};

// |u|, |n| (angstrom), cos of their angle, wavelength and corrected voltage.
void pre_calc_intensity(double kv, const Hkl& incidence, const Hkl& normal, const lattice_metric& lm,
                        double* abs_u, double* abs_n, double* cos_phi, double* lambda, double* evd);

double calc_K_z(double K, const Vec3& kt, const lattice_metric& lm);
double calc_g_z(const Hkl& g, double abs_u, const Hkl& u);
double calc_g_n(const Hkl& g, double abs_n, const Hkl& n);
// s_g = -(K_z g_z + (K_t + g/2).g) / K.
double calc_excitation_error(const Vec3& kt, double kz, const Hkl& g, double gz, double K,
                             const lattice_metric& lm);
void calc_sg_beta_g(const Vec3& kt, double kz, double kn, double K, double abs_u, const Hkl& u,
                    double abs_n, const Hkl& n, int n_e0, int n_b0, const BeamList& beams,
                    const lattice_metric& lm, double* sg, double* beta);
// The same with the dumps of `d` instead of the program's debug flags.
void calc_sg_beta_g(const Vec3& kt, double kz, double kn, double K, double abs_u, const Hkl& u,
                    double abs_n, const Hkl& n, int n_e0, int n_b0, const BeamList& beams,
                    const lattice_metric& lm, double* sg, double* beta, const Dbg& d);
// This tilt's exact and Bethe beams (indices into the beam list).
void vg_select_info_ug(int n_e0, int n_b0, int* n_e, int* n_b, int* idx, const CMatrix& vg,
                       const BeamList& beams, const double* sg, const beam_search& bs,
                       const Hkl& incidence, double kv);
// The same with the caller's vg_select_flag (0: keep the job's beams at
// every tilt) instead of the program's.
void vg_select_info_ug(int n_e0, int n_b0, int* n_e, int* n_b, int* idx, const CMatrix& vg,
                       const BeamList& beams, const double* sg, const beam_search& bs,
                       const Hkl& incidence, double kv, int vg_select_flag);
void vg_select_trans_ug(int n_e0, int n_b0, int n_e, int n_b, const int* idx, const double* beta,
                        double* beta_sel, int num_g, const int* cal_g, int* pos);
void construct_ug_mat_slct(int n_e, int n_b, const int* idx, double kv, const CMatrix& vg,
                           const double* sg, const double* beta, CMatrix& a);
// The same matrix, element for element, from a U table: one square root per
// beam pair (the pair's two elements share it) and no conversion.
void construct_ug_mat_table(int n_e, int n_b, const int* idx, const ug_table& ug, const double* sg,
                            const double* beta, CMatrix& a);
// This tilt's structure matrix into w.a (selection in w.idx, excitation
// errors and obliquities in w.sg and w.beta), from the job's U table when it
// belongs to job.vg.
void build_structure_matrix(const engine_setup& job, work_cal_int& w);
// The Bethe reduction of w.a into w.b (classical or generalised as the
// beam-search mode says) in the scratch of w.
void bethe_reduce(const engine_setup& job, work_cal_int& w);
// Generalised Bethe potentials: B = A_ee - A_eb A_bb^-1 A_be, by one LU
// solve with A_bb and one matrix product (no explicit inverse).
void g_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b);
// The same with the scratch of w (w.a and w.b untouched otherwise).
void g_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b, work_cal_int& w);
// Classical Bethe potentials: B_ij = A_ij - sum_k A_ik A_kj / A_kk.
void simple_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b);
// With n_b values of the caller's scratch for the inverse diagonal.
void simple_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b, complex* inv_diag);

// Excitations alpha with sum_j C_gj / sqrt(beta_g) alpha_j = delta_g0.
int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha);
int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha);
// Both with the scratch of w.
int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha, work_cal_int& w);
int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha,
                          work_cal_int& w);
// Both with the solver and the bc_chk_flag check of `rc` instead of the
// program's records.
int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha, work_cal_int& w,
                 const RunControl& rc);
int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha,
                          work_cal_int& w, const RunControl& rc);
void limited_branch(double accuracy, int n, const complex* alpha, int* n_branch, int* branch);
// With n values of the caller's scratch for the branch weights.
void limited_branch(double accuracy, int n, const complex* alpha, int* n_branch, int* branch, double* weight);
// The same in the scratch of w: w.n_branch and w.branch from w.alpha.
void limited_branch(double accuracy, work_cal_int& w);
complex psi_limited_ug(int p, double t, int n, int n_branch, const int* branch, double kn,
                       const double* beta_sel, const complex* eigval, const CMatrix& c,
                       const complex* alpha);
double psi_to_intensity_limited_ug(int p, double t, int n, int n_branch, const int* branch, double kn,
                                   const double* beta_sel, const complex* eigval, const CMatrix& c,
                                   const complex* alpha);

// One tilt: intensity[r][t] for every output reflection r and thickness t
// (unscaled fractions of the incident beam).
void calc_intensity_with_perturb_ug(const Vec3& kt, const engine_setup& job, work_cal_int& w,
                                    RMatrix& intensity);
// The summation step of a solved tilt (eigen solution, excitations and
// branches in w): intensity[r][t] at every output reflection and thickness.
void sum_intensities(const engine_setup& job, double kn, work_cal_int& w, RMatrix& intensity);
// One tilt of a coherent probe: amplitudes with incident partial wave a0.
void calc_intensity_ug_coherent(const Vec3& kt, complex a0, const engine_setup& job, work_cal_int& w,
                                CMatrix& amplitude);

}  // namespace kv
