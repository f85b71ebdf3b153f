#include "expdata/comparison.hpp"

#include <cmath>

#include "input/fields.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/progress.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

struct Sums {
  double num = 0.0, den = 0.0;
};

// sum(w I_obs I_cal / sigma^2) and sum(w I_cal^2 / sigma^2) over one disk.
Sums scale_sums(const fei& ei, int r, int t, double w) {
  Sums s;
  const double* obs = ei.extr_int(r, t);
  const double* sig = ei.extr_sig(r, t);
  const double* cal = ei.cal_int(r, t);
  for (int p = 0; p < ei.num_cal_pix; ++p) {
    if (ei.cal_pix[p].flag != 1) continue;
    const double wt = eval_weight(sig[p], w);
    s.num += wt * obs[p] * cal[p];
    s.den += wt * cal[p] * cal[p];
  }
  return s;
}

// Weighted squared differences of one disk and the number of points with
// positive weight.
void gof_sums(const fei& ei, int r, int t, double w, double s, double* sum, int* n) {
  const double* obs = ei.extr_int(r, t);
  const double* sig = ei.extr_sig(r, t);
  const double* cal = ei.cal_int(r, t);
  for (int p = 0; p < ei.num_cal_pix; ++p) {
    if (ei.cal_pix[p].flag != 1) continue;
    const double wt = eval_weight(sig[p], w);
    const double d = obs[p] - s * cal[p];
    *sum += wt * d * d;
    if (wt > 0.0) ++*n;
  }
}

void calc_extr_disk(fei& ei, int r, int t, double dx, double dy) {
  calc_extr_obs_int(dx, dy, ei.npix, ei.nx, ei.xmin, ei.xmax, ei.ymin, ei.ymax, ei.obs_int(r, t), ei.obs_sig(r, t),
                    ei.num_cal_pix, ei.cal_pix.data(), ei.extr_int(r, t), ei.extr_sig(r, t));
}

// Whether the last compared point of a disk falls outside the measured range
// with the shift (dx, dy).
bool last_point_outside(const fei& ei, double dx, double dy) {
  for (int p = ei.num_cal_pix - 1; p >= 0; --p) {
    if (ei.cal_pix[p].flag != 1) continue;
    grid_cell c;
    return !find_mat_ii_obs(ei.cal_pix[p].x - dx, ei.cal_pix[p].y - dy, ei.npix, ei.nx, ei.xmin, ei.xmax,
                            ei.ymin, ei.ymax, &c);
  }
  return false;
}

}  // namespace

double scale_factor_disk(const fei& ei, int r, int t) {
  if (ei.num_cal_pix <= 0) return 1.0;
  const Sums s = scale_sums(ei, r, t, 1.0);
  return s.den > epsilon.general_eps ? s.num / s.den : 1.0;
}

double eval_gof_disk(const fei& ei, int r, int t, double s) {
  double sum = 0.0;
  int n = 0;
  gof_sums(ei, r, t, 1.0, s, &sum, &n);
  return n > 0 ? sum / n : 0.0;
}

double eval_scale_factor(const fei& ei, int num_reflex, int t, const double* w) {
  Sums total;
  for (int r = 0; r < num_reflex; ++r) {
    const Sums s = scale_sums(ei, r, t, w[r]);
    total.num += s.num;
    total.den += s.den;
  }
  if (!(total.den > epsilon.general_eps))
    error_exit(stdout, "(eval_scale_factor) too small denominator(=%g)", total.den);
  return total.num / total.den;
}

double eval_gof(const fei& ei, int num_reflex, int t, const double* w, double s) {
  double sum = 0.0;
  int n = 0;
  for (int r = 0; r < num_reflex; ++r) gof_sums(ei, r, t, w[r], s, &sum, &n);
  return n > 0 ? std::sqrt(sum / n) : 0.0;
}

void set_shift_val(int n, double min, double max, double* v) {
  for (int k = 0; k < n; ++k) v[k] = min + k * (max - min) / (n - 1);
}

void find_gof_min_disk(int nH, int nG, const RMatrix& Q, int* k_min, int* l_min) {
  double best = 1e30;
  *k_min = 0;
  *l_min = 0;
  for (int k = 0; k < nH; ++k)
    for (int l = 0; l < nG; ++l)
      if (Q[k][l] < best) {
        best = Q[k][l];
        *k_min = k;
        *l_min = l;
      }
}

void set_extr_obs_int_ei_shift(fei& ei, int t, int num_reflex, const double* H, const double* G) {
  if (num_reflex != ei.num_rg) error_exit(stdout, "inconsistency in number of reflex.");
  for (int r = 0; r < num_reflex; ++r) calc_extr_disk(ei, r, t, H[r], G[r]);
}

void shift_scan_disk(fei& ei, int r, int t, const std::vector<double>& Hv, const std::vector<double>& Gv, double* H,
                     double* G, double* S_opt, double* Q_opt, bool* outside) {
  const int nH = static_cast<int>(Hv.size()), nG = static_cast<int>(Gv.size());
  RMatrix S(Hv.size(), Gv.size()), Q(Hv.size(), Gv.size());
  *outside = false;
  for (int k = 0; k < nH; ++k)
    for (int l = 0; l < nG; ++l) {
      calc_extr_disk(ei, r, t, Hv[k], Gv[l]);
      S[k][l] = scale_factor_disk(ei, r, t);
      Q[k][l] = eval_gof_disk(ei, r, t, S[k][l]);
      *outside = *outside || last_point_outside(ei, Hv[k], Gv[l]);
    }
  int k = 0, l = 0;
  find_gof_min_disk(nH, nG, Q, &k, &l);
  *H = Hv[k];
  *G = Gv[l];
  *S_opt = S[k][l];
  *Q_opt = Q[k][l];
}

void shift_scan_ei(fei& ei, int num_reflex, int t, int nH, double Hmin, double Hmax, int nG, double Gmin,
                   double Gmax, shift_opt* opt) {
  if (num_reflex != ei.num_rg) error_exit(stdout, "inconsistency in ng and ei->num_rg.");
  std::vector<double> Hv(static_cast<std::size_t>(nH)), Gv(static_cast<std::size_t>(nG));
  set_shift_val(nH, Hmin, Hmax, Hv.data());
  set_shift_val(nG, Gmin, Gmax, Gv.data());
  const std::size_t n = static_cast<std::size_t>(num_reflex);
  opt->H.assign(n, 0.0);
  opt->G.assign(n, 0.0);
  opt->scale.assign(n, 1.0);
  opt->gof.assign(n, 0.0);
  for (int r = 0; r < num_reflex; ++r) {
    progress_indicator(r, num_reflex);
    bool outside = false;
    shift_scan_disk(ei, r, t, Hv, Gv, &opt->H[r], &opt->G[r], &opt->scale[r], &opt->gof[r], &outside);
    if (outside) std::printf("[out of area: %d %d %d]\n", ei.rg[r].h, ei.rg[r].k, ei.rg[r].l);
  }
  std::printf("100%%\n\n");
}

void read_res_data(fei& ei, BeamList* rg, std::vector<double>* weight, const std::string& file) {
  File f = fopen_chk_rmode(file);
  FILE* fp = f.get();
  chk_data("FIT_RESULT", fp);
  chk_data("CR_PAR{", fp);
  double v[6];
  fget_6d(v, fp);                          // lattice parameters
  fget_3d(&v[0], &v[1], &v[2], fp);        // incident direction
  fget_3d(&v[0], &v[1], &v[2], fp);        // zolzbase1
  double tiltH = 0.0, tiltG = 0.0;
  fget_2d(&tiltH, &tiltG, fp);
  const double d = fget_d(fp);
  chk_data("}CR_PAR", fp);
  chk_data("NUM{", fp);
  const int R = fget_i(fp);
  const int T = fget_i(fp);
  int npix = 0, m = 0;
  fget_2i(&npix, &m, fp);
  chk_data("}NUM", fp);
  // Reflections and thicknesses are matched with the intensity file's by
  // position.
  if (R != ei.num_rg || T != ei.num_thickness)
    fatal_out("$$ Data format error: %s holds %d reflections and %d thicknesses, the intensity file %d and "
              "%d.\n$$ Abort.\n",
              file.c_str(), R, T, ei.num_rg, ei.num_thickness);
  if (m < 2 || m > kMaxDataPixSide)
    fatal_out("$$ Data format error: num_pix_side=%d in %s must lie between 2 and %d.\n$$ Abort.\n", m,
              file.c_str(), kMaxDataPixSide);
  if (m != ei.num_cal_pix_side || ei.cal_int.dim3() != static_cast<std::size_t>(m) * m) alloc_ei_cal(ei, m);
  for (int p = 0; p < ei.num_cal_pix; ++p) {
    pix_point& q = ei.cal_pix[p];
    q.ix = p % m;
    q.iy = p / m;
    q.x = tiltH - d + q.ix * (2.0 * d) / (m - 1);
    q.y = tiltG - d + q.iy * (2.0 * d) / (m - 1);
    q.flag = std::hypot(q.x - tiltH, q.y - tiltG) < d + epsilon.general_eps ? 1 : 0;
  }
  rg->assign(static_cast<std::size_t>(R), Hkl{});
  weight->assign(static_cast<std::size_t>(R), 0.0);
  for (int t = 0; t < T; ++t) {
    chk_data("THICKNESS{", fp);
    for (int r = 0; r < R; ++r) {
      chk_data("RF{", fp);
      Hkl& g = (*rg)[r];
      fget_3i1d(&g.h, &g.k, &g.l, &(*weight)[r], fp);
      if (!(g == ei.rg[r]))
        fatal_out("$$ Data format error: reflection %d of %s is %d %d %d, of the intensity file %d %d %d.\n"
                  "$$ Abort.\n",
                  r, file.c_str(), g.h, g.k, g.l, ei.rg[r].h, ei.rg[r].k, ei.rg[r].l);
      double* cal = ei.cal_int(r, t);
      for (int p = 0; p < ei.num_cal_pix; ++p) {
        double o = 0.0, c = 0.0, s = 0.0;
        fget_3d(&o, &c, &s, fp);
        cal[p] = s > 0.0 ? c : 0.0;
        if ((p + 1) % m == 0) chk_row_end(fp, m);
      }
      chk_data("}RF", fp);
    }
    chk_data("}THICKNESS", fp);
  }
}

}  // namespace kv
