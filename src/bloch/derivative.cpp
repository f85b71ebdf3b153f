#include "bloch/derivative.hpp"

#include <cmath>

#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "numeric/invert.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

void ensure_size(CMatrix& m, std::size_t rows, std::size_t cols) {
  if (m.rows() < rows || m.cols() < cols) m = CMatrix(rows, cols);
}

void ensure_size(RMatrix& m, std::size_t rows, std::size_t cols) {
  if (m.rows() != rows || m.cols() != cols) m = RMatrix(rows, cols);
}

void ensure_size(CVector& v, std::size_t n) {
  if (v.size() < n) v = alloc_vector<complex>(n);
}

// Scratch of a work area allocated without perturbations, or for fewer
// thicknesses than this job has.
void size_scratch(const engine_setup& job, work_cal_int& w) {
  const std::size_t N = static_cast<std::size_t>(job.n_e0 + job.n_b0);
  const std::size_t nt = static_cast<std::size_t>(job.num_thickness > 0 ? job.num_thickness : 0);
  const std::size_t ng = static_cast<std::size_t>(job.num_g > 0 ? job.num_g : 0);
  for (CMatrix* m : {&w.c_inv, &w.left, &w.right, &w.d_bethe_y, &w.d_bethe_z, &w.d_right, &w.d_eig})
    ensure_size(*m, N, N);
  ensure_size(w.d_vec, N);
  ensure_size(w.d_exp, N);
  ensure_size(w.d_row, N);
  if (w.inv_sqrt_beta.size() < N) w.inv_sqrt_beta = alloc_vector<double>(N);
  if (w.d_rows.size() < N) w.d_rows.resize(N);
  if (w.d_kept.size() < N) w.d_kept = alloc_vector<int>(N);
  ensure_size(w.d_psi, ng, nt);
  if (w.d_weight.dim1() != nt || w.d_weight.dim2() < N) w.d_weight = Tensor3<complex>(nt, N, N);
}

// y[k] += sum_q f[q] x[q][k] for k < n, q < m: four rows of x per pass so
// that y is loaded and stored once for four products.
void add_row_combination(int n, complex* y, int m, const complex* f, const complex* const* x) {
  int q = 0;
  for (; q + 4 <= m; q += 4) {
    const complex f0 = f[q], f1 = f[q + 1], f2 = f[q + 2], f3 = f[q + 3];
    const complex *x0 = x[q], *x1 = x[q + 1], *x2 = x[q + 2], *x3 = x[q + 3];
    for (int k = 0; k < n; ++k) {
      double yr = y[k].re, yi = y[k].im;
      yr += f0.re * x0[k].re - f0.im * x0[k].im + f1.re * x1[k].re - f1.im * x1[k].im;
      yi += f0.re * x0[k].im + f0.im * x0[k].re + f1.re * x1[k].im + f1.im * x1[k].re;
      yr += f2.re * x2[k].re - f2.im * x2[k].im + f3.re * x3[k].re - f3.im * x3[k].im;
      yi += f2.re * x2[k].im + f2.im * x2[k].re + f3.re * x3[k].im + f3.im * x3[k].re;
      y[k] = complex{yr, yi};
    }
  }
  for (; q < m; ++q) {
    const complex fq = f[q];
    const complex* xq = x[q];
    for (int k = 0; k < n; ++k) y[k] += fq * xq[k];
  }
}

double calc_K_n(const Vec3& kt, const engine_setup& job) {
  const double kz = calc_K_z(job.K, kt, job.lm);
  return kz * job.cos_phi + inner_product_uvw_hkl(job.normal, kt) / job.abs_n;
}

// The Bethe factors folded into the left factor L = [C^-1, -C^-1 Z] and
// the right factor R = [C; -Y C] of C^-1 dB C = L dA R.
void bethe_factors(int n, int nb, bool simple, const solver_control& ctl, work_cal_int& w) {
  const CMatrix& a = w.a;
  const CMatrix& c = w.c;
  CMatrix& y = w.d_bethe_y;  // A_bb^-1 first, then Y (n_b x n_e)
  CMatrix& z = w.d_bethe_z;   // Z (n_e x n_b)
  CMatrix& left = w.left;
  CMatrix& right = w.right;
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) left[j][k] = w.c_inv[j][k];
    for (int k = 0; k < n; ++k) right[j][k] = c[j][k];
  }
  if (nb < 1) return;

  if (simple) {
    for (int m = 0; m < nb; ++m) {
      const complex inv = c_div(complex{1.0, 0.0}, a[n + m][n + m]);
      for (int j = 0; j < n; ++j) y[m][j] = a[n + m][j] * inv;
      for (int i = 0; i < n; ++i) z[i][m] = a[i][n + m] * inv;
    }
  } else {
    CMatrix& inv = w.d_right;  // A_bb^-1, scratch until the parameters are done
    for (int i = 0; i < nb; ++i)
      for (int j = 0; j < nb; ++j) inv[i][j] = a[n + i][n + j];
    invmat(nb, inv, w.d_inv, ctl);
    const complex** rows = w.d_rows.data();
    for (int k = 0; k < nb; ++k) rows[k] = a[n + k];
    for (int m = 0; m < nb; ++m) {  // Y = A_bb^-1 A_be
      complex* yrow = y[m];
      for (int j = 0; j < n; ++j) yrow[j] = complex{0, 0};
      add_row_combination(n, yrow, nb, inv[m], rows);
    }
    for (int k = 0; k < nb; ++k) rows[k] = inv[k];
    for (int i = 0; i < n; ++i) {  // Z = A_eb A_bb^-1
      complex* zrow = z[i];
      for (int m = 0; m < nb; ++m) zrow[m] = complex{0, 0};
      add_row_combination(nb, zrow, nb, a[i] + n, rows);
    }
  }
  const complex** rows = w.d_rows.data();
  // left[j][n + m] = -(C^-1 Z)_jm
  for (int i = 0; i < n; ++i) rows[i] = z[i];
  for (int j = 0; j < n; ++j) {
    complex* lrow = left[j] + n;
    for (int m = 0; m < nb; ++m) lrow[m] = complex{0, 0};
    add_row_combination(nb, lrow, n, w.c_inv[j], rows);
    for (int m = 0; m < nb; ++m) lrow[m] = -lrow[m];
  }
  // right[n + m][k] = -(Y C)_mk
  for (int j = 0; j < n; ++j) rows[j] = c[j];
  for (int m = 0; m < nb; ++m) {
    complex* rrow = right[n + m];
    for (int k = 0; k < n; ++k) rrow[k] = complex{0, 0};
    add_row_combination(n, rrow, n, y[m], rows);
    for (int k = 0; k < n; ++k) rrow[k] = -rrow[k];
  }
}

// d_weight(t)[j][k] = F_jk(t) alpha_k, and the amplitudes and thickness
// derivatives of the output reflections.
void thickness_terms(double kn, const engine_setup& job, work_cal_int& w, intensity_jacobian& out) {
  const int n = w.n_e;
  const double deg = job.rc.epsilon.degeneracy_eps;
  const complex* lam = w.eigval.data();
  const complex* alpha = w.alpha.data();
  int* kept = w.d_kept.data();
  for (int j = 0; j < n; ++j) kept[j] = 0;
  for (int k = 0; k < w.n_branch; ++k) kept[w.branch[k]] = 1;
  for (int t = 0; t < job.num_thickness; ++t) {
    const double f = -kPi * job.thickness[t] / kn;
    const complex x{0.0, f};
    complex* half = w.d_exp.data();
    for (int j = 0; j < n; ++j) half[j] = c_exp(complex{-0.5 * f * lam[j].im, 0.5 * f * lam[j].re});
    for (int j = 0; j < n; ++j) {
      complex* row = w.d_weight(t, j);
      for (int k = 0; k < n; ++k)
        row[k] = exp_divided_difference(x, lam[j], lam[k], half[j], half[k], deg) * alpha[k];
    }
    for (int r = 0; r < job.num_g; ++r) {
      const int p = w.pos[r];
      if (p < 0 || p >= n) {
        w.d_psi[r][t] = complex{0, 0};
        out.d_thickness[r][t] = 0.0;
        continue;
      }
      const double sb = 1.0 / std::sqrt(w.beta_sel[p]);
      complex all{0, 0}, sum{0, 0}, dsum{0, 0};
      for (int j = 0; j < n; ++j) {
        const complex term = (sb * w.c[p][j]) * alpha[j] * (half[j] * half[j]);
        all += term;
        if (!kept[j]) continue;
        sum += term;
        dsum += term * complex{kPi * lam[j].im / kn, -kPi * lam[j].re / kn};  // d/dt of exp(-i pi lambda t / K_n)
      }
      w.d_psi[r][t] = all;
      out.d_thickness[r][t] = w.n_branch < 1 ? 0.0 : 2.0 * (sum.re * dsum.re + sum.im * dsum.im);
    }
  }
}

// d_right = dA R for one potential derivative; entries of dV that are zero
// are skipped, so a parameter touching few reflections costs little.
void d_structure_times_right(const CMatrix& dvg, double kv, double K_local, bool simple, work_cal_int& w) {
  const int n = w.n_e, N = w.n_e + w.n_b;
  const double ucoef = vg_to_ug(complex{1.0, 0.0}, relativ_corr(kv)).re;  // U = ucoef V
  const complex du0 = ucoef * dvg[0][0];
  const double dK = du0.re / (2.0 * K_local);
  complex* da = w.d_row.data();
  const complex** rows = w.d_rows.data();
  for (int a = 0; a < N; ++a) {
    const int ia = w.idx[a];
    const double sa = ucoef / std::sqrt(w.beta[ia]);
    const complex* vrow = dvg[ia];
    int m = 0;
    for (int b = 0; b < N; ++b) {
      if (a == b) {
        if (du0.re == 0.0 && du0.im == 0.0) continue;
        da[m] = complex{2.0 * w.sg[ia] / w.beta[ia] * dK, du0.im / w.beta[ia]};
      } else {
        if (simple && a >= n && b >= n) continue;  // classical Bethe sees only the diagonal of A_bb
        const int jb = w.idx[b];
        const complex dv = vrow[jb];
        if (dv.re == 0.0 && dv.im == 0.0) continue;
        da[m] = (sa * w.inv_sqrt_beta[b]) * dv;
      }
      rows[m++] = w.right[b];
    }
    complex* trow = w.d_right[a];
    for (int k = 0; k < n; ++k) trow[k] = complex{0, 0};
    add_row_combination(n, trow, m, da, rows);
  }
}

void one_parameter(const CMatrix& dvg, double kv, double K_local, bool simple, const engine_setup& job,
                   work_cal_int& w, RMatrix& d) {
  const int n = w.n_e, N = w.n_e + w.n_b;
  d_structure_times_right(dvg, kv, K_local, simple, w);
  // d_eig = L (dA R) = C^-1 dB C
  const complex** rows = w.d_rows.data();
  for (int a = 0; a < N; ++a) rows[a] = w.d_right[a];
  for (int j = 0; j < n; ++j) {
    complex* grow = w.d_eig[j];
    for (int k = 0; k < n; ++k) grow[k] = complex{0, 0};
    add_row_combination(n, grow, N, w.left[j], rows);
  }
  for (int t = 0; t < job.num_thickness; ++t) {
    for (int j = 0; j < n; ++j) {
      const complex* grow = w.d_eig[j];
      const complex* hrow = w.d_weight(t, j);
      double sr = 0, si = 0;
      for (int k = 0; k < n; ++k) {
        sr += grow[k].re * hrow[k].re - grow[k].im * hrow[k].im;
        si += grow[k].re * hrow[k].im + grow[k].im * hrow[k].re;
      }
      w.d_vec[j] = complex{sr, si};
    }
    for (int r = 0; r < job.num_g; ++r) {
      const int p = w.pos[r];
      if (p < 0 || p >= n) {
        d[r][t] = 0.0;
        continue;
      }
      const double sb = 1.0 / std::sqrt(w.beta_sel[p]);
      complex dpsi{0, 0};
      for (int j = 0; j < n; ++j) dpsi += w.c[p][j] * w.d_vec[j];
      dpsi = sb * dpsi;
      const complex psi = w.d_psi[r][t];
      d[r][t] = 2.0 * (psi.re * dpsi.re + psi.im * dpsi.im);
    }
  }
}

}  // namespace

complex exp_divided_difference(complex x, complex a, complex b, complex half_a, complex half_b,
                               double degeneracy_eps) {
  const complex delta = a - b;
  const complex mid = x * half_a * half_b;  // x exp(x (a + b) / 2)
  if (c_norm2(delta) < degeneracy_eps * degeneracy_eps) return mid;
  // (e_a - e_b) / (a - b) = x exp(x (a + b) / 2) sinh(z) / z with z = x (a - b) / 2;
  // the series avoids the cancellation of the difference for close eigenvalues.
  const complex z = 0.5 * (x * delta);
  if (c_norm2(z) < 0.01) {
    const complex z2 = z * z;
    complex s = complex{1.0 / 362880.0, 0};
    for (double d : {5040.0, 120.0, 6.0, 1.0}) s = s * z2 + complex{1.0 / d, 0};
    return mid * s;
  }
  return (half_a * half_a - half_b * half_b) / delta;
}

void calc_intensity_derivatives(const Vec3& kt, const engine_setup& job, const std::vector<const CMatrix*>& dvg,
                                work_cal_int& w, intensity_jacobian& out) {
  const std::size_t ng = static_cast<std::size_t>(job.num_g), nt = static_cast<std::size_t>(job.num_thickness);
  const std::size_t N = static_cast<std::size_t>(job.n_e0 + job.n_b0);
  for (std::size_t p = 0; p < dvg.size(); ++p)
    if (dvg[p] == nullptr || dvg[p]->rows() < N || dvg[p]->cols() < N)
      fatal_err("Potential derivative %zu does not cover the %zu beams of the job.\n", p + 1, N);
  ensure_size(out.intensity, ng, nt);
  ensure_size(out.d_thickness, ng, nt);
  out.d_param.resize(dvg.size());
  for (RMatrix& d : out.d_param) ensure_size(d, ng, nt);
  size_scratch(job, w);

  calc_intensity_with_perturb_ug(kt, job, w, out.intensity);
  const double kn = calc_K_n(kt, job);
  const int n = w.n_e;
  const bool simple = simple_bethe_mode(job.bs.flag_bs);
  for (int a = 0; a < n + w.n_b; ++a) w.inv_sqrt_beta[a] = 1.0 / std::sqrt(w.beta_sel[a]);

  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) w.c_inv[i][j] = w.c[i][j];
  const solver_control ctl = solver_control_of(job.rc);
  invmat(n, w.c_inv, w.d_inv, ctl);
  bethe_factors(n, w.n_b, simple, ctl, w);
  thickness_terms(kn, job, w, out);

  const double gamma = relativ_corr(job.kv), lambda = wavelength(job.kv);
  const double K_local = std::sqrt(1.0 / (lambda * lambda) + vg_to_ug((*job.vg)[0][0], gamma).re);
  for (std::size_t p = 0; p < dvg.size(); ++p) one_parameter(*dvg[p], job.kv, K_local, simple, job, w, out.d_param[p]);
}

}  // namespace kv
