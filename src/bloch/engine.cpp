#include "bloch/engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "beams/beam_select.hpp"
#include "crystal/structure_factor.hpp"
#include "input/fields.hpp"
#include "numeric/eigen.hpp"
#include "numeric/invert.hpp"
#include "numeric/lapack.hpp"
#include "numeric/matrix_dump.hpp"
#include "sim/debug.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

Vec3 to_vec(const Hkl& g) { return Vec3{double(g.h), double(g.k), double(g.l)}; }

int laue_zone(const Hkl& g, const Hkl& uvw) { return g.h * uvw.h + g.k * uvw.k + g.l * uvw.l; }

}  // namespace

work_cal_int alloc_work_cal_int(int n, int num_g, int n_perturb) {
  const std::size_t N = n > 0 ? static_cast<std::size_t>(n) : 0;
  work_cal_int w;
  w.sg = alloc_vector<double>(N);
  w.beta = alloc_vector<double>(N);
  w.beta_sel = alloc_vector<double>(N);
  w.a = CMatrix(N, N);
  w.b = CMatrix(N, N);
  w.c = CMatrix(N, N);
  w.eigval = alloc_vector<complex>(N);
  w.alpha = alloc_vector<complex>(N);
  w.branch = alloc_vector<int>(N);
  w.pos = alloc_vector<int>(num_g > 0 ? static_cast<std::size_t>(num_g) : 0);
  w.idx = alloc_vector<int>(N);
  w.eig = alloc_eigmat_work(n);
  w.bc = CMatrix(N, N);
  w.bethe_bb = alloc_vector<complex>(N * N);
  w.bethe_y = alloc_vector<complex>(N * N);
  w.bethe_ipiv = alloc_vector<int>(N);
  w.inv_sqrt_beta = alloc_vector<double>(N);
  w.branch_weight = alloc_vector<double>(N);
  w.n_perturb = n_perturb > 0 ? n_perturb : 0;
  if (w.n_perturb > 0) {
    w.c_inv = CMatrix(N, N);
    w.left = CMatrix(N, N);
    w.right = CMatrix(N, N);
    w.d_bethe_y = CMatrix(N, N);
    w.d_bethe_z = CMatrix(N, N);
    w.d_right = CMatrix(N, N);
    w.d_eig = CMatrix(N, N);
    w.d_vec = alloc_vector<complex>(N);
    w.d_exp = alloc_vector<complex>(N);
    w.d_row = alloc_vector<complex>(N);
    w.d_rows = alloc_vector<const complex*>(N);
    w.d_kept = alloc_vector<int>(N);
    w.d_inv = alloc_invert_scratch(n);
  }
  return w;
}

void pre_calc_intensity(double kv, const Hkl& incidence, const Hkl& normal, const lattice_metric& lm,
                        double* abs_u, double* abs_n, double* cos_phi, double* lambda, double* evd) {
  *lambda = wavelength(kv);
  *evd = evdash(kv);
  *abs_u = abs_uvw(incidence, lm);
  *abs_n = abs_uvw(normal, lm);
  *cos_phi = inner_product_uvw(incidence, normal, lm) / (*abs_u * *abs_n);
}

double calc_K_z(double K, const Vec3& kt, const lattice_metric& lm) {
  return -std::sqrt(K * K - sq_abs(kt, lm));
}

double calc_g_z(const Hkl& g, double abs_u, const Hkl& u) { return laue_zone(g, u) / abs_u; }

double calc_g_n(const Hkl& g, double abs_n, const Hkl& n) { return laue_zone(g, n) / abs_n; }

double calc_excitation_error(const Vec3& kt, double kz, const Hkl& g, double gz, double K,
                             const lattice_metric& lm) {
  const Vec3 gv = to_vec(g);
  const Vec3 half{kt[0] + 0.5 * gv[0], kt[1] + 0.5 * gv[1], kt[2] + 0.5 * gv[2]};
  return -(kz * gz + inner_product(half, gv, lm)) / K;
}

void calc_sg_beta_g(const Vec3& kt, double kz, double kn, double K, double abs_u, const Hkl& u,
                    double abs_n, const Hkl& n, int n_e0, int n_b0, const BeamList& beams,
                    const lattice_metric& lm, double* sg, double* beta) {
  calc_sg_beta_g(kt, kz, kn, K, abs_u, u, abs_n, n, n_e0, n_b0, beams, lm, sg, beta, dbg);
}

void calc_sg_beta_g(const Vec3& kt, double kz, double kn, double K, double abs_u, const Hkl& u,
                    double abs_n, const Hkl& n, int n_e0, int n_b0, const BeamList& beams,
                    const lattice_metric& lm, double* sg, double* beta, const Dbg& d) {
  const int N = n_e0 + n_b0;
  for (int i = 0; i < N; ++i) {
    const Hkl& g = beams[i];
    sg[i] = calc_excitation_error(kt, kz, g, calc_g_z(g, abs_u, u), K, lm);
    beta[i] = 1.0 + calc_g_n(g, abs_n, n) / kn;
    if (d.sg_dump_flag == 1) qz_fprintf(stdout, "$$ Sg(%d %d %d) = %g\n", g.h, g.k, g.l, sg[i]);
    if (d.betag_dump_flag == 1) qz_fprintf(stdout, "$$ beta_ge(%d %d %d) = %g\n", g.h, g.k, g.l, beta[i]);
  }
}

void vg_select_info_ug(int n_e0, int n_b0, int* n_e, int* n_b, int* idx, const CMatrix& vg,
                       const BeamList& beams, const double* sg, const beam_search& bs,
                       const Hkl& incidence, double kv) {
  vg_select_info_ug(n_e0, n_b0, n_e, n_b, idx, vg, beams, sg, bs, incidence, kv, epsilon.vg_select_flag);
}

void vg_select_info_ug(int n_e0, int n_b0, int* n_e, int* n_b, int* idx, const CMatrix& vg,
                       const BeamList& beams, const double* sg, const beam_search& bs,
                       const Hkl& incidence, double kv, int vg_select_flag) {
  const int N = n_e0 + n_b0;
  const int mode = bs.flag_bs % 10;
  if (vg_select_flag == 0 || mode == 0) {
    *n_e = n_e0;
    *n_b = n_b0;
    for (int i = 0; i < N; ++i) idx[i] = i;
    return;
  }
  if (N < 1 || !(beams[0] == Hkl{0, 0, 0})) qz_error_exit(stdout, "reflex_sel[0] must be 000");

  const double gamma = relativ_corr(kv), lambda = wavelength(kv);
  // 0 exact, 1 Bethe, 2 left out at this tilt.
  auto classify = [&](int i) {
    const double s = std::fabs(sg[i]);
    double crit = s, first = 0, second = 0;
    if (mode == 1) {
      crit = s * ranking_xi(vg_to_xig(vg[i][0], gamma, lambda), bs.xi_g_max);
      first = bs.w_g_bethe_min;
      second = bs.w_g_max;
    } else if (mode == 2) {
      first = bs.s_g_bethe_min;
      second = bs.s_g_max;
    } else {
      const int zone = laue_zone(beams[i], incidence);
      if (zone < 0 || zone >= kNumLaueZones) return 2;  // a zone without thresholds
      first = bs.s_g_bethe_min_lz[zone];
      second = bs.s_g_max_lz[zone];
    }
    if (crit < first) return 0;
    if (crit < second) return 1;
    return 2;
  };

  // Exact beams first, then the Bethe beams, each in beam-list order: two
  // passes instead of a list, so that a tilt allocates nothing.
  int ne = 0;
  idx[ne++] = 0;
  for (int i = 1; i < N; ++i)
    if (classify(i) == 0) idx[ne++] = i;
  int nb = 0;
  for (int i = 1; i < N; ++i)
    if (classify(i) == 1) idx[ne + nb++] = i;
  *n_e = ne;
  *n_b = nb;
}

void vg_select_trans_ug(int /*n_e0*/, int /*n_b0*/, int n_e, int n_b, const int* idx, const double* beta,
                        double* beta_sel, int num_g, const int* cal_g, int* pos) {
  for (int k = 0; k < n_e + n_b; ++k) beta_sel[k] = beta[idx[k]];
  for (int r = 0; r < num_g; ++r) {
    pos[r] = -1;
    for (int p = 0; p < n_e; ++p)
      if (idx[p] == cal_g[r]) {
        pos[r] = p;
        break;
      }
  }
}

void construct_ug_mat_slct(int n_e, int n_b, const int* idx, double kv, const CMatrix& vg,
                           const double* sg, const double* beta, CMatrix& a) {
  const double gamma = relativ_corr(kv), lambda = wavelength(kv);
  const complex u0 = vg_to_ug(vg[0][0], gamma);
  const double K = std::sqrt(1.0 / (lambda * lambda) + u0.re);
  const int N = n_e + n_b;
  for (int i = 0; i < N; ++i) {
    const int ia = idx[i];
    const complex* vrow = vg[ia];
    complex* arow = a[i];
    for (int j = 0; j < N; ++j) {
      const int jb = idx[j];
      arow[j] = (1.0 / std::sqrt(beta[ia] * beta[jb])) * vg_to_ug(vrow[jb], gamma);
    }
    arow[i] = complex{2.0 * K * sg[ia] / beta[ia], u0.im / beta[ia]};
  }
}

std::shared_ptr<const ug_table> make_ug_table(double kv, const CMatrix& vg) {
  auto t = std::make_shared<ug_table>();
  const double gamma = relativ_corr(kv), lambda = wavelength(kv);
  t->source = &vg;
  t->u = CMatrix(vg.rows(), vg.cols());
  for (std::size_t i = 0; i < vg.rows(); ++i) {
    const complex* vrow = vg[i];
    complex* urow = t->u[i];
    for (std::size_t j = 0; j < vg.cols(); ++j) urow[j] = vg_to_ug(vrow[j], gamma);
  }
  t->u0 = vg.rows() > 0 ? t->u[0][0] : complex{0, 0};
  t->K = std::sqrt(1.0 / (lambda * lambda) + t->u0.re);
  return t;
}

void construct_ug_mat_table(int n_e, int n_b, const int* idx, const ug_table& ug, const double* sg,
                            const double* beta, CMatrix& a) {
  const CMatrix& u = ug.u;
  const int N = n_e + n_b;
  for (int i = 0; i < N; ++i) {
    const int ia = idx[i];
    const complex* urow = u[ia];
    complex* arow = a[i];
    // 1 / sqrt(beta_i beta_j) is symmetric in the pair: element (j, i)
    // takes the factor of (i, j).
    for (int j = i + 1; j < N; ++j) {
      const int jb = idx[j];
      const double f = 1.0 / std::sqrt(beta[ia] * beta[jb]);
      arow[j] = f * urow[jb];
      a[j][i] = f * u[jb][ia];
    }
    arow[i] = complex{2.0 * ug.K * sg[ia] / beta[ia], ug.u0.im / beta[ia]};
  }
}

void build_structure_matrix(const engine_setup& job, work_cal_int& w) {
  if (job.ug && job.ug->source == job.vg)
    construct_ug_mat_table(w.n_e, w.n_b, w.idx.data(), *job.ug, w.sg.data(), w.beta.data(), w.a);
  else
    construct_ug_mat_slct(w.n_e, w.n_b, w.idx.data(), job.kv, *job.vg, w.sg.data(), w.beta.data(), w.a);
}

void bethe_reduce(const engine_setup& job, work_cal_int& w) {
  if (!simple_bethe_mode(job.bs.flag_bs)) {
    g_bethe(w.n_e, w.n_b, w.a, w.b, w);
    return;
  }
  if (w.bethe_y.size() < static_cast<std::size_t>(std::max(w.n_b, 1)))
    w.bethe_y = alloc_vector<complex>(static_cast<std::size_t>(std::max(w.n_b, 1)));
  simple_bethe(w.n_e, w.n_b, w.a, w.b, w.bethe_y.data());
}

void g_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b, work_cal_int& w) {
  const int status = bethe_solve(n_e, n_b, a, b, w.bethe_bb, w.bethe_y, w.bethe_ipiv);
  if (status != 0) qz_fprintf(stdout, "$$ (g_bethe): zgesv = %d\n", status);
}

void g_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b) {
  work_cal_int w;
  g_bethe(n_e, n_b, a, b, w);
}

void simple_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b) {
  std::vector<complex> inv_diag = alloc_vector<complex>(static_cast<std::size_t>(std::max(n_b, 1)));
  simple_bethe(n_e, n_b, a, b, inv_diag.data());
}

void simple_bethe(int n_e, int n_b, const CMatrix& a, CMatrix& b, complex* inv_diag) {
  const int N = n_e + n_b;
  for (int k = n_e; k < N; ++k) inv_diag[k - n_e] = c_div(complex{1.0, 0.0}, a[k][k]);
  for (int i = 0; i < n_e; ++i)
    for (int j = 0; j < n_e; ++j) {
      complex sum = a[i][j];
      for (int k = n_e; k < N; ++k) sum -= a[i][k] * a[k][j] * inv_diag[k - n_e];
      b[i][j] = sum;
    }
}

namespace {

int check_b_cond(int n, const CMatrix& c, const complex* alpha, int bc_chk_flag) {
  if (bc_chk_flag != 1 && bc_chk_flag != 2) return 0;
  int found = 0;
  for (int j = 0; j < n; ++j) {
    const double m = c_abs(alpha[j]);
    if (m <= 1.0) continue;
    found = 1;
    std::printf("$$ bc[%d] = %g, %g (c_abs = %g)\n", j, alpha[j].re, alpha[j].im, m);
    if (bc_chk_flag == 2) {
      double norm2 = 0;
      for (int g = 0; g < n; ++g) {
        std::printf("$$ vec[%d][%d]=%g %g\n", g, j, c[g][j].re, c[g][j].im);
        norm2 += c_norm2(c[g][j]);
      }
      std::printf("$$ norm^2 = %g\n", norm2);
    }
  }
  return found;
}

}  // namespace

namespace {

// m_gj = C_gj / sqrt(beta_g), the matrix of the entrance-surface condition.
void scaled_eigvec(int n, const double* beta_sel, const CMatrix& c, CMatrix& m) {
  for (int g = 0; g < n; ++g) {
    const double s = 1.0 / std::sqrt(beta_sel[g]);
    for (int j = 0; j < n; ++j) m[g][j] = s * c[g][j];
  }
}

// alpha = M^-1 e_0 for m_gj = C_gj / sqrt(beta_g), the excitations of the
// Bloch waves at the entrance surface. When the eigen solver left C^-1 e_0
// from its factors (the Hermitian split), alpha = sqrt(beta_0) C^-1 e_0
// costs nothing more; otherwise M is solved as bc_invmat_func says.
void entrance_excitations(int n, const double* beta_sel, const CMatrix& c, complex* alpha, work_cal_int& w,
                          const RunControl& rc) {
  if (w.eig.have_first_inv && n > 0) {
    const double s = std::sqrt(beta_sel[0]);
    for (int j = 0; j < n; ++j) alpha[j] = s * w.eig.first_inv[j];
    return;
  }
  if (static_cast<int>(w.bc.cols()) < n) w.bc = CMatrix(n, n);
  scaled_eigvec(n, beta_sel, c, w.bc);
  bc_invmat(n, w.bc, alpha, w.eig.lw, solver_control_of(rc));
}

}  // namespace

int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha, work_cal_int& w) {
  return upper_b_cond(n, beta_sel, c, alpha, w, program_run_control());
}

int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha, work_cal_int& w,
                 const RunControl& rc) {
  entrance_excitations(n, beta_sel, c, alpha, w, rc);
  return check_b_cond(n, c, alpha, rc.dbg.bc_chk_flag);
}

int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha,
                          work_cal_int& w) {
  return upper_b_cond_coherent(n, beta_sel, a0, c, alpha, w, program_run_control());
}

int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha,
                          work_cal_int& w, const RunControl& rc) {
  entrance_excitations(n, beta_sel, c, alpha, w, rc);
  for (int j = 0; j < n; ++j) alpha[j] = alpha[j] * a0;
  return check_b_cond(n, c, alpha, rc.dbg.bc_chk_flag);
}

int upper_b_cond(int n, const double* beta_sel, const CMatrix& c, complex* alpha) {
  work_cal_int w;
  w.bc = CMatrix(n, n);
  if (epsilon.bc_invmat_func == 2) w.eig.lw = alloc_lapack_work(n);
  return upper_b_cond(n, beta_sel, c, alpha, w);
}

int upper_b_cond_coherent(int n, const double* beta_sel, complex a0, const CMatrix& c, complex* alpha) {
  work_cal_int w;
  w.bc = CMatrix(n, n);
  if (epsilon.bc_invmat_func == 2) w.eig.lw = alloc_lapack_work(n);
  return upper_b_cond_coherent(n, beta_sel, a0, c, alpha, w);
}

void limited_branch(double accuracy, int n, const complex* alpha, int* n_branch, int* branch) {
  std::vector<double> weight(accuracy == 1.0 ? 0 : static_cast<std::size_t>(std::max(n, 0)));
  limited_branch(accuracy, n, alpha, n_branch, branch, weight.data());
}

void limited_branch(double accuracy, work_cal_int& w) {
  if (w.branch_weight.size() < static_cast<std::size_t>(w.n_e)) w.branch_weight = alloc_vector<double>(w.n_e);
  limited_branch(accuracy, w.n_e, w.alpha.data(), &w.n_branch, w.branch.data(), w.branch_weight.data());
}

void limited_branch(double accuracy, int n, const complex* alpha, int* n_branch, int* branch, double* w) {
  for (int j = 0; j < n; ++j) branch[j] = j;
  if (accuracy == 1.0) {
    *n_branch = n;
    return;
  }
  double total = 0;
  for (int j = 0; j < n; ++j) {
    w[j] = c_norm2(alpha[j]);
    total += w[j];
  }
  d_heapsort(n, w, branch);
  double acc = 0;
  for (int k = 0; k < n; ++k) {
    acc += w[k];
    if (acc / total >= accuracy) {
      *n_branch = k + 1;
      return;
    }
  }
  *n_branch = n;
}

complex psi_limited_ug(int p, double t, int n, int n_branch, const int* branch, double kn,
                       const double* beta_sel, const complex* eigval, const CMatrix& c,
                       const complex* alpha) {
  if (p < 0 || p >= n || n_branch < 1) return complex{0, 0};
  const double sb = 1.0 / std::sqrt(beta_sel[p]);
  const double f = -kPi * t / kn;
  complex sum{0, 0};
  for (int k = 0; k < n_branch; ++k) {
    const int j = branch[k];
    // exp(-i pi lambda_j t / K_n) = exp(i f lambda_j)
    const complex ph = c_exp(complex{-f * eigval[j].im, f * eigval[j].re});
    sum += (sb * c[p][j]) * alpha[j] * ph;
  }
  return sum;
}

double psi_to_intensity_limited_ug(int p, double t, int n, int n_branch, const int* branch, double kn,
                                   const double* beta_sel, const complex* eigval, const CMatrix& c,
                                   const complex* alpha) {
  return c_norm2(psi_limited_ug(p, t, n, n_branch, branch, kn, beta_sel, eigval, c, alpha));
}

namespace {

// w.excite[t][k] = alpha_j exp(-i pi lambda_j t / K_n) for branch j =
// branch[k]: one exponential per branch and thickness, shared by every
// output reflection.
void excitation_phases(const engine_setup& job, double kn, work_cal_int& w) {
  const int nt = job.num_thickness, nbr = w.n_branch;
  // The obliquity factor of every exact beam, once for all thicknesses and
  // output reflections.
  if (w.inv_sqrt_beta.size() < static_cast<std::size_t>(w.n_e)) w.inv_sqrt_beta = alloc_vector<double>(w.n_e);
  for (int p = 0; p < w.n_e; ++p) w.inv_sqrt_beta[p] = 1.0 / std::sqrt(w.beta_sel[p]);
  if (static_cast<int>(w.excite.rows()) < nt || static_cast<int>(w.excite.cols()) < nbr)
    w.excite = CMatrix(static_cast<std::size_t>(std::max(nt, 1)), w.alpha.size() > 0 ? w.alpha.size() : 1);
  for (int t = 0; t < nt; ++t) {
    const double f = -kPi * job.thickness[t] / kn;
    complex* q = w.excite[t];
    for (int k = 0; k < nbr; ++k) {
      const int j = w.branch[k];
      q[k] = w.alpha[j] * c_exp(complex{-f * w.eigval[j].im, f * w.eigval[j].re});
    }
  }
}

// The amplitude of output position p at thickness index t from the phases
// of excitation_phases.
complex summed_amplitude(int p, int t, const work_cal_int& w) {
  if (p < 0 || p >= w.n_e || w.n_branch < 1) return complex{0, 0};
  const double sb = w.inv_sqrt_beta[p];
  const complex* row = w.c[p];
  const complex* q = w.excite[t];
  complex sum{0, 0};
  for (int k = 0; k < w.n_branch; ++k) sum += (sb * row[w.branch[k]]) * q[k];
  return sum;
}

// Steps shared by the incoherent and the coherent tilt: geometry, beam
// selection, structure matrix, Bethe reduction and eigen solution. Returns K_n.
double solve_tilt(const Vec3& kt, const engine_setup& job, work_cal_int& w, const char* bethe_msg) {
  const bool mon = job.rc.dbg.process_mon_flag == 1;
  dbg_mon(mon, "$$ calc_sg_beta_g\n");
  const double kz = calc_K_z(job.K, kt, job.lm);
  const double kn = kz * job.cos_phi + inner_product_uvw_hkl(job.normal, kt) / job.abs_n;
  calc_sg_beta_g(kt, kz, kn, job.K, job.abs_u, job.incidence, job.abs_n, job.normal, job.n_e0, job.n_b0,
                 *job.beams, job.lm, w.sg.data(), w.beta.data(), job.rc.dbg);

  dbg_mon(mon, "$$ vg_select\n");
  vg_select_info_ug(job.n_e0, job.n_b0, &w.n_e, &w.n_b, w.idx.data(), *job.vg, *job.beams, w.sg.data(),
                    job.bs, job.incidence, job.kv, job.rc.epsilon.vg_select_flag);
  vg_select_trans_ug(job.n_e0, job.n_b0, w.n_e, w.n_b, w.idx.data(), w.beta.data(), w.beta_sel.data(),
                     job.num_g, job.cal_g, w.pos.data());

  dbg_mon(mon, "$$ construct_matrix\n");
  build_structure_matrix(job, w);
  dbg_print_cmat(job.rc.dbg.a_mat_dump_flag, "a_matrix:", w.n_e + w.n_b, w.a);

  dbg_mon(mon, bethe_msg);
  bethe_reduce(job, w);
  dbg_print_cmat(job.rc.dbg.b_mat_dump_flag, "bethe_matrix:", w.n_e, w.b);

  eigmat(w.n_e, w.b, w.eigval.data(), w.c, w.eig, solver_control_of(job.rc));
  return kn;
}

}  // namespace

void calc_intensity_with_perturb_ug(const Vec3& kt, const engine_setup& job, work_cal_int& w,
                                    RMatrix& intensity) {
  const double kn = solve_tilt(kt, job, w, "$$ Bethe Approx.\n");
  dbg_mon(job.rc.dbg.process_mon_flag == 1, "$$ upper_b_cond\n");
  upper_b_cond(w.n_e, w.beta_sel.data(), w.c, w.alpha.data(), w, job.rc);
  dbg_print_cvec(job.rc.dbg.b_cond_dump_flag, "upper_b_cond:", w.n_e, w.alpha.data());
  limited_branch(job.rc.epsilon.bc_accuracy, w);
  dbg_mon(job.rc.dbg.process_mon_flag == 1, "$$ calc_intensity\n");
  sum_intensities(job, kn, w, intensity);
}

void sum_intensities(const engine_setup& job, double kn, work_cal_int& w, RMatrix& intensity) {
  excitation_phases(job, kn, w);
  for (int r = 0; r < job.num_g; ++r)
    for (int t = 0; t < job.num_thickness; ++t) intensity[r][t] = c_norm2(summed_amplitude(w.pos[r], t, w));
}

void calc_intensity_ug_coherent(const Vec3& kt, complex a0, const engine_setup& job, work_cal_int& w,
                                CMatrix& amplitude) {
  const double kn = solve_tilt(kt, job, w, "$$ GBA\n");
  dbg_mon(job.rc.dbg.process_mon_flag == 1, "$$ upper_b_cond\n");
  upper_b_cond_coherent(w.n_e, w.beta_sel.data(), a0, w.c, w.alpha.data(), w, job.rc);
  dbg_print_cvec(job.rc.dbg.b_cond_dump_flag, "upper_b_cond:", w.n_e, w.alpha.data());
  limited_branch(job.rc.epsilon.bc_accuracy, w);
  dbg_mon(job.rc.dbg.process_mon_flag == 1, "$$ calc_intensity\n");
  excitation_phases(job, kn, w);
  for (int r = 0; r < job.num_g; ++r)
    for (int t = 0; t < job.num_thickness; ++t) amplitude[r][t] = summed_amplitude(w.pos[r], t, w);
}

}  // namespace kv
