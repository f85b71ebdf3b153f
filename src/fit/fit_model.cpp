#include "fit/fit_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "beams/beam_select.hpp"
#include "bloch/potential.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "model/tilt_derivatives.hpp"
#include "numeric/lapack.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/parallel.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

// The refinement uses the tilt loops' thread count (num_threads, dumps force one).
int fit_thread_count(const RunControl& rc) { return tilt_loop_threads(rc); }

void thickness_points(double t, double w, int n, int type, std::vector<double>* tk, std::vector<double>* wk) {
  tk->clear();
  wk->clear();
  if (n <= 0) {
    tk->push_back(t);
    wk->push_back(1.0);
    return;
  }
  double sum = 0.0;
  for (int k = -n; k <= n; ++k) {
    const double u = static_cast<double>(k) / n;  // -1 .. 1 across the plus-minus range
    double wt = 1.0;
    if (type == 1)
      wt = n + 1 - std::abs(k);
    else if (type == 2)
      wt = std::exp(-2.0 * u * u);
    tk->push_back(t + u * w);
    wk->push_back(wt);
    sum += wt;
  }
  for (double& v : *wk) v /= sum;
}

double measured_variance(double obs, double sig, const Epsilon& eps) {
  return eps.w_sq_coef * sig * sig + eps.w_exponent_coef * std::pow(std::fabs(obs), eps.w_exponent);
}

count_noise noise_from_deviations(const std::vector<double>& obs, const std::vector<double>& sig, double gain,
                                  double read_noise) {
  count_noise n;
  const double N = static_cast<double>(obs.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t k = 0; k < obs.size(); ++k) {
    const double x = obs[k], y = sig[k] * sig[k];
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  if (gain > 0.0 && read_noise >= 0.0) return count_noise{gain, read_noise * read_noise};
  if (gain > 0.0) return count_noise{gain, N > 0 ? std::max(0.0, (sy - gain * sx) / N) : 0.0};
  if (read_noise >= 0.0) {
    const double rv = read_noise * read_noise;
    n.gain = sxx > 0 ? (sxy - rv * sx) / sxx : 1.0;
    n.read_var = rv;
  } else {
    const double det = N * sxx - sx * sx;
    n.gain = det > 0 ? (N * sxy - sx * sy) / det : 0.0;
    n.read_var = N > 0 ? (sy - n.gain * sx) / N : 0.0;
    if (n.read_var < 0.0) {  // the line through the origin instead
      n.read_var = 0.0;
      n.gain = sxx > 0 ? sxy / sxx : 1.0;
    }
  }
  if (!(n.gain > 0.0)) {  // deviations unrelated to the values: a constant variance
    n.gain = 1e-12;
    n.read_var = N > 0 ? sy / N : 1.0;
  }
  return n;
}

double model_variance(double m, const count_noise& n) {
  return std::max(n.gain * std::max(m, 0.0) + n.read_var, n.gain * n.gain);
}

namespace {

// ---- Grid geometry ------------------------------------------------------------

struct grid_geom {
  int m = 0;
  double H0 = 0, G0 = 0, d = 0, step = 0;
};

grid_geom geometry_of(const fed& ed) {
  grid_geom g;
  g.m = ed.num_cal_pix_side;
  g.H0 = ed.tiltH;
  g.G0 = ed.tiltG;
  g.d = ed.disksize;
  g.step = 2.0 * g.d / (g.m - 1);
  return g;
}

// Bilinear cell of an absolute position (H, G) on the calculated grid,
// clamped to the grid.
struct cell {
  int k00 = 0, k10 = 0, k01 = 0, k11 = 0;
  double fx = 0, fy = 0;
};

cell cell_of(const grid_geom& g, double H, double G) {
  auto axis = [&](double v, double o, int* i, double* f) {
    double q = (v - (o - g.d)) / g.step;
    q = std::clamp(q, 0.0, static_cast<double>(g.m - 1));
    int iq = static_cast<int>(q);
    if (iq > g.m - 2) iq = g.m - 2;
    *i = iq;
    *f = q - iq;
  };
  int ix = 0, iy = 0;
  cell c;
  axis(H, g.H0, &ix, &c.fx);
  axis(G, g.G0, &iy, &c.fy);
  c.k00 = iy * g.m + ix;
  c.k10 = c.k00 + 1;
  c.k01 = c.k00 + g.m;
  c.k11 = c.k01 + 1;
  return c;
}

double interp(const double* v, const cell& c) {
  return (v[c.k00] * (1 - c.fx) + v[c.k10] * c.fx) * (1 - c.fy) + (v[c.k01] * (1 - c.fx) + v[c.k11] * c.fx) * c.fy;
}

double shift_of(const fed& ed, int b, int r, bool g) { return g ? ed.tb[b].G_shift[r] : ed.tb[b].H_shift[r]; }

cell point_cell(const fed& ed, const fei& ei, const grid_geom& g, const measured_point& p) {
  const pix_point& q = ei.pix[static_cast<std::size_t>(p.pix)];
  return cell_of(g, q.x + shift_of(ed, p.block, p.reflex, false), q.y + shift_of(ed, p.block, p.reflex, true));
}

// ---- Thickness sets -------------------------------------------------------------

// One thickness average of one block: thicknesses thick[first ..] with weights.
struct thick_set {
  int block = 0;
  int first = 0;
  std::vector<double> wk;
};

int add_set(std::vector<thick_set>& sets, std::vector<double>& thick, int block, double t, double w,
            const Epsilon& eps) {
  std::vector<double> tk, wk;
  thickness_points(t, w, eps.num_thickwidth, eps.thickwidth_type, &tk, &wk);
  thick_set s;
  s.block = block;
  s.first = static_cast<int>(thick.size());
  s.wk = wk;
  thick.insert(thick.end(), tk.begin(), tk.end());
  sets.push_back(s);
  return static_cast<int>(sets.size()) - 1;
}

double fd_step(double v, const Epsilon& eps) {
  const double a = std::fabs(v);
  return eps.perturb_step * (a > eps.general_eps ? a : 1.0);
}

// ---- Engine over the grid ---------------------------------------------------------

// The condition record of a dataset for the engine: its beams, output
// reflections, thickness list and a square tilt grid (point k = row * m +
// column, H along the columns).
sd dataset_condition(const fed& ed, const dataset_model& dm, const std::vector<double>& thick,
                     const lattice_metric& lm, const Epsilon& eps) {
  sd s;
  s.incidence = ed.incidence;
  s.normal = ed.normal;
  s.zolzbase1 = ed.zolzbase1;
  s.tiltH = ed.tiltH;
  s.tiltG = ed.tiltG;
  s.voltage = ed.voltage;
  s.bs = ed.bs;
  s.num_exact_beam = dm.n_e0;
  s.num_bethe_beam = dm.n_b0;
  s.beams = dm.beams;
  s.num_g = static_cast<int>(dm.cal_g.size());
  s.cal_g = dm.cal_g;
  s.thickness = thick;
  s.num_thickness = static_cast<int>(thick.size());
  s.calc_type = 3;
  s.num_cal_pix_side = dm.side;
  s.disksize = ed.disksize;
  calc_kxy_tilt(s, lm, eps);
  return s;
}

CMatrix dataset_potential(const fit_problem& fp, int i) {
  const dataset_model& dm = fp.dm[i];
  const fed& ed = (*fp.eds)[i];
  const lattice_metric lm = bravai(fp.cs->lp.data());
  const int n = dm.n_e0 + dm.n_b0;
  CMatrix vg(n, n);
  int error_flag = 0;
  potential_matrix_csd(dm.n_e0, dm.n_b0, dm.beams, *fp.cs, ed.voltage, lm, vg, &error_flag, false,
                       tilt_loop_threads(fp.rc));
  return vg;
}

// Grids of one dataset: val[v] holds, for the potential matrix vg (v = 0)
// and then for each perturbed matrix, the intensities of every thickness set
// and reflection at every needed grid point, averaged with the block's
// kernel: val[v][(set * R + r) * K + k]. For 1 <= v <= dvg.size() the
// values are the derivatives with respect to the potential parameter whose
// dV/dp is dvg[v - 1]; with d_thickness a last entry holds the analytic
// derivatives with respect to the block's thickness. Every point of a
// thickness set moves with the thickness, so the derivative of a set's
// average is the same weighted average of the point derivatives, whatever
// the width.
struct dataset_grids {
  std::vector<std::vector<double>> val;
};

// Grid points whose values the interpolation reads (corners) and the
// points the kernel needs around them.
void dilate(const std::vector<char>& in, int m, int h, std::vector<char>* out) {
  *out = in;
  if (h <= 0) return;
  for (int iy = 0; iy < m; ++iy)
    for (int ix = 0; ix < m; ++ix) {
      if (!in[iy * m + ix]) continue;
      for (int a = std::max(0, iy - h); a <= std::min(m - 1, iy + h); ++a)
        for (int b = std::max(0, ix - h); b <= std::min(m - 1, ix + h); ++b) (*out)[a * m + b] = 1;
    }
}

int kernel_half(const fed& ed) {
  int h = 0;
  for (const thickness_block& b : ed.tb)
    if (b.num_avrpix > 1) h = std::max(h, (b.num_avrpix - 1) / 2);
  return h;
}

// The detector's Gaussian point spread on a dataset's calculated grid. The
// kernel is the discrete Gaussian w_k = exp(-v) I_k(v) (I_k the modified
// Bessel function) of variance v in grid steps squared: it obeys the
// discrete heat equation dw_k/dv = (w_{k-1} - 2 w_k + w_{k+1}) / 2
// exactly, so the derivative of the blurred grid with respect to v is the
// blur with that second difference, which does not vanish at v = 0: a
// point spread started at zero width refines. Below v = 0 the blur goes on
// linearly (I + v dI/dv at v = 0), so that a step past zero stays smooth.
struct psf_plan {
  bool active = false;  // the blur or its derivative is needed
  bool deriv = false;   // the variance is refined here: the d/dv grid is wanted
  double v = 0.0;       // variance in grid steps squared
  int half = 0;         // kernel half width in points
  std::vector<double> w, dw;  // kernel and its derivative, index k + half
};

constexpr double kMaxPsfVar = 400.0;  // grid steps squared: beyond it the Bessel terms overflow

psf_plan psf_plan_of(const fit_problem& fp, int i, bool with_derivatives) {
  const fed& ed = (*fp.eds)[i];
  psf_plan p;
  if (!ed.det.present) return p;
  const double step = geometry_of(ed).step;
  p.v = ed.det.psf_var / (step * step);
  if (with_derivatives && !fp.fed_constrained)
    for (const fit_param& q : fp.params) p.deriv = p.deriv || (q.kind == fit_kind::psf && q.dataset == i);
  p.active = p.deriv || p.v != 0.0;
  if (!p.active) return p;
  // The kernel is cut where its tail is below 1e-17, so that the cut, which
  // moves with v, leaves the blur a smooth function of v.
  p.half = p.v > 0.0 ? static_cast<int>(std::ceil(8.0 * std::sqrt(std::min(p.v, kMaxPsfVar)))) + 10 : 1;
  const int n = 2 * p.half + 1;
  p.w.assign(static_cast<std::size_t>(n), 0.0);
  p.dw.assign(static_cast<std::size_t>(n), 0.0);
  if (p.v <= 0.0) {  // the second difference at v = 0
    p.dw[p.half - 1] = p.dw[p.half + 1] = 0.5;
    p.dw[p.half] = -1.0;
    p.w[p.half] = 1.0;
    return p;
  }
  if (p.v > kMaxPsfVar) {  // not a usable spread: the step is refused through non-finite residuals
    std::fill(p.w.begin(), p.w.end(), std::nan(""));
    std::fill(p.dw.begin(), p.dw.end(), std::nan(""));
    return p;
  }
  std::vector<double> e(static_cast<std::size_t>(n + 2));
  for (int k = -p.half - 1; k <= p.half + 1; ++k)
    e[static_cast<std::size_t>(k + p.half + 1)] = std::exp(-p.v) * std::cyl_bessel_i(std::abs(k), p.v);
  for (int k = -p.half; k <= p.half; ++k) {
    const std::size_t a = static_cast<std::size_t>(k + p.half + 1);
    p.w[static_cast<std::size_t>(k + p.half)] = e[a];
    p.dw[static_cast<std::size_t>(k + p.half)] = 0.5 * (e[a - 1] - 2.0 * e[a] + e[a + 1]);
  }
  return p;
}

// out = kx (along H) then ky (along G) applied to in (m x m, edges
// continued), both kernels of half width h.
void separable(const std::vector<double>& in, int m, int h, const std::vector<double>& kx,
               const std::vector<double>& ky, std::vector<double>* out) {
  std::vector<double> tmp(in.size(), 0.0);
  out->assign(in.size(), 0.0);
  for (int y = 0; y < m; ++y)
    for (int x = 0; x < m; ++x) {
      double a = 0.0;
      for (int k = -h; k <= h; ++k) a += kx[k + h] * in[y * m + std::clamp(x + k, 0, m - 1)];
      tmp[y * m + x] = a;
    }
  for (int y = 0; y < m; ++y)
    for (int x = 0; x < m; ++x) {
      double a = 0.0;
      for (int k = -h; k <= h; ++k) a += ky[k + h] * tmp[std::clamp(y + k, 0, m - 1) * m + x];
      (*out)[y * m + x] = a;
    }
}

// The blurred grid and, with d, its derivative with respect to v.
void blur(const psf_plan& p, int m, const std::vector<double>& in, std::vector<double>* out,
          std::vector<double>* d) {
  std::vector<double> delta(p.w.size(), 0.0), a, b;
  delta[static_cast<std::size_t>(p.half)] = 1.0;
  if (p.v > 0.0) {
    separable(in, m, p.half, p.w, p.w, out);
    if (d) {
      separable(in, m, p.half, p.dw, p.w, &a);
      separable(in, m, p.half, p.w, p.dw, &b);
      for (std::size_t k = 0; k < a.size(); ++k) a[k] += b[k];
      *d = std::move(a);
    }
    return;
  }
  separable(in, m, p.half, p.dw, delta, &a);
  separable(in, m, p.half, delta, p.dw, &b);
  out->resize(in.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    a[k] += b[k];
    (*out)[k] = in[k] + p.v * a[k];
  }
  if (d) *d = std::move(a);
}

void compute_grids(const fit_problem& fp, int i, const CMatrix& vg, const std::vector<CMatrix>& dvg,
                   const std::vector<double>& h_plus, const std::vector<thick_set>& sets,
                   const std::vector<double>& thick, const std::vector<char>& corner_need, dataset_grids& out,
                   bool d_thickness = false, const psf_plan& psf = psf_plan{}) {
  const fed& ed = (*fp.eds)[i];
  const dataset_model& dm = fp.dm[i];
  const lattice_metric lm = bravai(fp.cs->lp.data());
  const sd s = dataset_condition(ed, dm, thick, lm, fp.rc.epsilon);
  const engine_setup job = make_engine_setup(*fp.cs, s, vg, lm, fp.rc);
  const int m = dm.side, K = m * m, R = s.num_g, T = s.num_thickness, S = static_cast<int>(sets.size());
  const int P = static_cast<int>(dvg.size());
  const int V = 1 + P + (d_thickness ? 1 : 0);
  // The perturbed eigen solution serves the potential parameters when asked
  // for, and is the only route to the thickness derivatives.
  const bool analytic = d_thickness || (P > 0 && fp.analytic_derivatives);

  // The point spread reads the averaged grid around the corner points, the
  // averaging kernel the raw grid around those.
  std::vector<char> avg_need, raw_need;
  dilate(corner_need, m, psf.active ? psf.half : 0, &avg_need);
  dilate(avg_need, m, kernel_half(ed), &raw_need);
  std::vector<int> tilts;
  for (int k = 0; k < K; ++k)
    if (raw_need[k]) tilts.push_back(k);

  // The needed tilts are dealt out to the MPI ranks (one rank without MPI)
  // and each rank's share runs on its threads. A tilt's slot holds its V
  // grids of R x T values; every rank receives every slot, so that all
  // ranks continue the refinement from the same numbers.
  const RankShare share = rank_share();
  const int n_tilts = static_cast<int>(tilts.size()), my_tilts = share.count(n_tilts);
  const std::size_t slot = static_cast<std::size_t>(V) * R * T;
  std::vector<double> mine(static_cast<std::size_t>(my_tilts) * slot, 0.0);
  const int threads = std::max(1, std::min(fp.threads, std::max(my_tilts, 1)));
  const int N = dm.n_e0 + dm.n_b0;
  std::vector<work_cal_int> work;
  std::vector<tilt_derivative_work> dwork(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) work.push_back(alloc_work_cal_int(N, R, V > 1 ? 1 : 0));
  blas_single_thread();  // the tilts are the parallel level; LAPACK calls inside stay serial
  parallel_for(my_tilts, threads, [&](int tid, int j) {
    const int k = tilts[share.item(j)];
    tilt_derivative_work& dw = dwork[tid];
    tilt_potential_derivatives(s.tilt[k], job, dvg, h_plus, analytic, work[tid], dw);
    double* dst = mine.data() + static_cast<std::size_t>(j) * slot;
    for (int v = 0; v < V; ++v) {
      const RMatrix& I = v == 0 ? dw.jac.intensity : v <= P ? dw.jac.d_param[v - 1] : dw.jac.d_thickness;
      for (int r = 0; r < R; ++r)
        for (int t = 0; t < T; ++t) dst[(static_cast<std::size_t>(v) * R + r) * T + t] = I[r][t];
    }
  });
  std::vector<double> all;
  share_item_slots(n_tilts, static_cast<int>(slot), mine, all);

  // raw[v][(k * R + r) * T + t]
  std::vector<std::vector<double>> raw(static_cast<std::size_t>(V),
                                       std::vector<double>(static_cast<std::size_t>(K) * R * T, 0.0));
  for (int n = 0; n < n_tilts; ++n) {
    const double* src = all.data() + static_cast<std::size_t>(n) * slot;
    for (int v = 0; v < V; ++v)
      std::copy(src + static_cast<std::size_t>(v) * R * T, src + static_cast<std::size_t>(v + 1) * R * T,
                raw[v].data() + static_cast<std::size_t>(tilts[n]) * R * T);
  }

  // Thickness averages, then the averaging kernel at the corner points.
  out.val.assign(static_cast<std::size_t>(V), std::vector<double>(static_cast<std::size_t>(S) * R * K, 0.0));
  std::vector<double> avg(static_cast<std::size_t>(K));
  for (int v = 0; v < V; ++v)
    for (int si = 0; si < S; ++si) {
      const thick_set& ts = sets[si];
      const thickness_block& blk = ed.tb[ts.block];
      for (int r = 0; r < R; ++r) {
        for (int k : tilts) {
          const double* src = raw[v].data() + (static_cast<std::size_t>(k) * R + r) * T + ts.first;
          double a = 0.0;
          for (std::size_t j = 0; j < ts.wk.size(); ++j) a += ts.wk[j] * src[j];
          avg[k] = a * fp.rc.epsilon.intensity_scaling;
        }
        double* dst = out.val[v].data() + (static_cast<std::size_t>(si) * R + r) * K;
        const int n = blk.num_avrpix;
        for (int k = 0; k < K; ++k) {
          if (!avg_need[k]) continue;
          if (n <= 1) {
            dst[k] = avg[k];
            continue;
          }
          const int hk = (n - 1) / 2, iy = k / m, ix = k % m;
          double a = 0.0;
          for (int p = 0; p < n; ++p)
            for (int q = 0; q < n; ++q) {
              const int y = std::clamp(iy + p - hk, 0, m - 1), x = std::clamp(ix + q - hk, 0, m - 1);
              a += blk.avrpix_wt[p][q] * avg[y * m + x];
            }
          dst[k] = a;
        }
      }
    }
  if (!psf.active) return;
  // The point spread on every grid; its derivative (the last grid) from the
  // base grids.
  if (psf.deriv) out.val.emplace_back(static_cast<std::size_t>(S) * R * K, 0.0);
  std::vector<double> g(static_cast<std::size_t>(K)), b, d;
  for (int v = 0; v < V; ++v)
    for (int q = 0; q < S * R; ++q) {
      double* src = out.val[v].data() + static_cast<std::size_t>(q) * K;
      std::copy(src, src + K, g.begin());
      blur(psf, m, g, &b, v == 0 && psf.deriv ? &d : nullptr);
      std::copy(b.begin(), b.end(), src);
      if (v == 0 && psf.deriv) std::copy(d.begin(), d.end(), out.val[V].data() + static_cast<std::size_t>(q) * K);
    }
}

// ---- One dataset's residuals -------------------------------------------------------

// The base thickness set of every block, and for each width parameter of
// the dataset its perturbed set. Thickness parameters take the analytic
// thickness derivative when the potential derivatives are analytic, and a
// perturbed set otherwise.
struct dataset_plan {
  std::vector<thick_set> sets;
  std::vector<double> thick;
  std::vector<int> base_set;               // per block
  std::vector<int> param_set;              // per fit parameter: perturbed set or -1
  std::vector<double> param_h;             // its step
  bool analytic_thickness = false;         // some thickness parameter uses d_thickness
};

dataset_plan plan_dataset(const fit_problem& fp, int i, bool with_derivatives) {
  const fed& ed = (*fp.eds)[i];
  dataset_plan pl;
  for (int b = 0; b < ed.num_thick_block; ++b)
    pl.base_set.push_back(add_set(pl.sets, pl.thick, b, ed.tb[b].thickness, ed.tb[b].thickwidth, fp.rc.epsilon));
  pl.param_set.assign(fp.params.size(), -1);
  pl.param_h.assign(fp.params.size(), 0.0);
  if (!with_derivatives || fp.fed_constrained) return pl;
  for (std::size_t j = 0; j < fp.params.size(); ++j) {
    const fit_param& p = fp.params[j];
    if (p.dataset != i) continue;
    const thickness_block& blk = ed.tb[p.block];
    if (p.kind == fit_kind::thickness && fp.analytic_derivatives) {
      pl.analytic_thickness = true;
    } else if (p.kind == fit_kind::thickness) {
      const double h = fd_step(blk.thickness, fp.rc.epsilon);
      pl.param_h[j] = h;
      pl.param_set[j] = add_set(pl.sets, pl.thick, p.block, blk.thickness + h, blk.thickwidth, fp.rc.epsilon);
    } else if (p.kind == fit_kind::thickwidth) {
      const double h = fd_step(blk.thickwidth, fp.rc.epsilon);
      pl.param_h[j] = h;
      pl.param_set[j] = add_set(pl.sets, pl.thick, p.block, blk.thickness, blk.thickwidth + h, fp.rc.epsilon);
    }
  }
  return pl;
}

std::vector<char> corner_need_of(const fit_problem& fp, int i, const std::vector<int>& pts, double extra_shift) {
  const fed& ed = (*fp.eds)[i];
  const fei& ei = (*fp.eis)[i];
  const grid_geom g = geometry_of(ed);
  std::vector<char> need(static_cast<std::size_t>(g.m) * g.m, 0);
  for (int n : pts) {
    const measured_point& p = fp.pts[n];
    for (int dir = 0; dir < 3; ++dir) {
      const pix_point& q = ei.pix[static_cast<std::size_t>(p.pix)];
      const double dH = dir == 1 ? extra_shift : 0.0, dG = dir == 2 ? extra_shift : 0.0;
      const cell c = cell_of(g, q.x + shift_of(ed, p.block, p.reflex, false) + dH,
                             q.y + shift_of(ed, p.block, p.reflex, true) + dG);
      need[c.k00] = need[c.k10] = need[c.k01] = need[c.k11] = 1;
    }
  }
  return need;
}

// The measured points of dataset i (indices into fp.pts).
std::vector<int> points_of(const fit_problem& fp, int i) {
  std::vector<int> v;
  for (std::size_t n = 0; n < fp.pts.size(); ++n)
    if (fp.pts[n].dataset == i) v.push_back(static_cast<int>(n));
  return v;
}

// Residuals of dataset i's points from the grids (base thickness sets, v = 0).
void dataset_residuals(const fit_problem& fp, int i, const dataset_plan& pl, const dataset_grids& gr,
                       const std::vector<int>& pts, double* res) {
  const fed& ed = (*fp.eds)[i];
  const fei& ei = (*fp.eis)[i];
  const grid_geom g = geometry_of(ed);
  const int K = g.m * g.m, R = static_cast<int>(fp.dm[i].cal_g.size());
  for (int n : pts) {
    const measured_point& p = fp.pts[n];
    const cell c = point_cell(ed, ei, g, p);
    const double* v = gr.val[0].data() + (static_cast<std::size_t>(pl.base_set[p.block]) * R + p.reflex) * K;
    const double model = ed.tb[p.block].scale * interp(v, c) + ed.det.background;
    res[n] = p.sqrt_weight * (ei.obs_int(p.reflex, p.block, p.pix) - model);
  }
}

void restraint_residuals(const fit_problem& fp, const double* x, double* res) {
  const double s = std::sqrt(fp.rc.epsilon.scale_rst_chisq);
  for (std::size_t n = 0; n < fp.restrained.size(); ++n) {
    const int j = fp.restrained[n];
    res[fp.pts.size() + n] = s * (x[j] - fp.params[j].fp->rst_val);
  }
}

// Residuals of every measured point at the current field values (no
// derivatives).
void all_residuals(fit_problem& fp, double* res) {
  for (int i = 0; i < static_cast<int>(fp.eds->size()); ++i) {
    const std::vector<int> pts = points_of(fp, i);
    if (pts.empty()) continue;
    const dataset_plan pl = plan_dataset(fp, i, false);
    const CMatrix vg = dataset_potential(fp, i);
    dataset_grids gr;
    compute_grids(fp, i, vg, {}, {}, pl.sets, pl.thick, corner_need_of(fp, i, pts, 0.0), gr, false,
                  psf_plan_of(fp, i, false));
    dataset_residuals(fp, i, pl, gr, pts, res);
  }
}

// Whether parameter j can change dataset i's intensities.
bool touches(const fit_problem& fp, const fit_param& p, int i) {
  if (p.dataset < 0) return true;
  return fp.fed_constrained || p.dataset == i;
}

// Jacobian columns of dataset i for every parameter that needs no complete
// re-evaluation, from one pass over the grid.
void dataset_jacobian(fit_problem& fp, int i, const double* x, double* res, double* jac) {
  const std::vector<int> pts = points_of(fp, i);
  if (pts.empty()) return;
  const int P = fp.num_params();
  const fed& ed = (*fp.eds)[i];
  const fei& ei = (*fp.eis)[i];
  const dataset_plan pl = plan_dataset(fp, i, true);
  const CMatrix vg = dataset_potential(fp, i);

  // dV/dp of each potential parameter: divided differences of the potential
  // matrix (structure factors only, no Bloch solution).
  std::vector<CMatrix> vg_plus;
  std::vector<double> h_plus;
  std::vector<int> pot_index(static_cast<std::size_t>(P), -1);
  std::vector<double> xs(x, x + P);
  for (int j = 0; j < P; ++j) {
    if (fp.params[j].kind != fit_kind::potential) continue;
    const double h = fd_step(x[j], fp.rc.epsilon);
    xs[j] = x[j] + h;
    apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
    CMatrix d = dataset_potential(fp, i);
    for (std::size_t a = 0; a < d.rows(); ++a)
      for (std::size_t b = 0; b < d.cols(); ++b) d[a][b] = (1.0 / h) * (d[a][b] - vg[a][b]);
    vg_plus.push_back(std::move(d));
    xs[j] = x[j];
    apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
    h_plus.push_back(h);
    pot_index[j] = static_cast<int>(vg_plus.size());
  }

  // Shift derivatives need the cells one step further along H or G.
  const double hs = fd_step(0.0, fp.rc.epsilon);
  dataset_grids gr;
  const psf_plan psf = psf_plan_of(fp, i, true);
  compute_grids(fp, i, vg, vg_plus, h_plus, pl.sets, pl.thick, corner_need_of(fp, i, pts, hs), gr,
                pl.analytic_thickness, psf);
  dataset_residuals(fp, i, pl, gr, pts, res);
  const int v_thick = 1 + static_cast<int>(vg_plus.size());  // the d_thickness grids, when computed
  const int v_psf = static_cast<int>(gr.val.size()) - 1;       // the d/dv grids, when computed

  const grid_geom g = geometry_of(ed);
  const int K = g.m * g.m, R = static_cast<int>(fp.dm[i].cal_g.size());
  auto grid = [&](int v, int set, int r) {
    return gr.val[v].data() + (static_cast<std::size_t>(set) * R + r) * K;
  };
  for (int n : pts) {
    const measured_point& p = fp.pts[n];
    const cell c = point_cell(ed, ei, g, p);
    const double scale = ed.tb[p.block].scale;
    const int bs = pl.base_set[p.block];
    const double base = interp(grid(0, bs, p.reflex), c);
    double* row = jac + static_cast<std::size_t>(n) * P;
    for (int j = 0; j < P; ++j) {
      const fit_param& q = fp.params[j];
      if (!touches(fp, q, i)) continue;
      if (q.kind == fit_kind::potential) {
        row[j] = -p.sqrt_weight * scale * interp(grid(pot_index[j], bs, p.reflex), c);
      } else if (fp.fed_constrained || q.kind == fit_kind::lattice || q.kind == fit_kind::geometry) {
        continue;  // complete re-evaluation below
      } else if (q.kind == fit_kind::background) {
        row[j] = -p.sqrt_weight;
      } else if (q.kind == fit_kind::psf) {
        // d/d(psf_width^2) = d/dv / step^2
        row[j] = -p.sqrt_weight * scale * interp(grid(v_psf, bs, p.reflex), c) / (g.step * g.step);
      } else if (q.block != p.block) {
        continue;
      } else if (q.kind == fit_kind::scale) {
        row[j] = -p.sqrt_weight * base;
      } else if (q.kind == fit_kind::thickness && pl.param_set[j] < 0) {
        row[j] = -p.sqrt_weight * scale * interp(grid(v_thick, bs, p.reflex), c);
      } else if (q.kind == fit_kind::thickness || q.kind == fit_kind::thickwidth) {
        const double moved = interp(grid(0, pl.param_set[j], p.reflex), c);
        row[j] = -p.sqrt_weight * scale * (moved - base) / pl.param_h[j];
      } else if (q.kind == fit_kind::shift && q.reflex == p.reflex) {
        const pix_point& pp = ei.pix[static_cast<std::size_t>(p.pix)];
        const double H = pp.x + shift_of(ed, p.block, p.reflex, false) + (q.shift_g ? 0.0 : hs);
        const double G = pp.y + shift_of(ed, p.block, p.reflex, true) + (q.shift_g ? hs : 0.0);
        const double moved = interp(grid(0, bs, p.reflex), cell_of(g, H, G));
        row[j] = -p.sqrt_weight * scale * (moved - base) / hs;
      }
    }
  }
}

// Columns of the parameters that change the whole setup: complete
// re-evaluation at x + h e_j.
void full_fd_columns(fit_problem& fp, const double* x, const double* res, double* jac) {
  const int P = fp.num_params(), M = static_cast<int>(fp.pts.size());
  std::vector<double> xs(x, x + P), r2(static_cast<std::size_t>(M));
  for (int j = 0; j < P; ++j) {
    const fit_param& q = fp.params[j];
    const bool full = q.kind == fit_kind::lattice || q.kind == fit_kind::geometry ||
                      (fp.fed_constrained && q.dataset >= 0);
    if (!full) continue;
    const double h = fd_step(x[j], fp.rc.epsilon);
    xs[j] = x[j] + h;
    apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
    all_residuals(fp, r2.data());
    xs[j] = x[j];
    apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
    for (int n = 0; n < M; ++n) jac[static_cast<std::size_t>(n) * P + j] = (r2[n] - res[n]) / h;
  }
}

// ---- Setup ------------------------------------------------------------------------------

BeamList dataset_beams(fed& ed, csd& cs, int* n_e0, int* n_b0) {
  if (ed.bs.flag_bs % 10 == 0) {
    *n_e0 = ed.num_exact_beam;
    *n_b0 = ed.num_bethe_beam;
    return ed.beams;
  }
  BeamList exact, bethe;
  int ne = 0, nb = 0;
  std::printf("Beam search... ");
  switch (ed.bs.flag_bs % 10) {
    case 1:
      simple_beam_search_wg(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG,
                            ed.voltage, cs);
      break;
    case 2:
      simple_beam_search_sg(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG,
                            ed.voltage, cs);
      break;
    default:
      beam_search_sg_multi(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG,
                           ed.voltage, cs);
  }
  std::printf("Exact = %d, Bethe = %d\n", ne, nb);
  *n_e0 = ne;
  *n_b0 = nb;
  return beam_merge(ne, nb, exact, bethe);
}

void check_dataset(const fed& ed, const fei& ei, int i) {
  if (ed.calc_type != 2 && ed.calc_type != 3)
    fatal_out("$$ Dataset %d: calc_type=%d; a refinement compares disks (calc_type 2 or 3). Abort.\n", i,
              ed.calc_type);
  if (ed.num_cal_pix_side < 2 || !(ed.disksize > 0.0))
    fatal_out("$$ Dataset %d: num_cal_pix_side=%d and disksize=%g do not describe a grid. Abort.\n", i,
              ed.num_cal_pix_side, ed.disksize);
  for (int r = 0; r < ei.num_rg; ++r)
    for (int t = 0; t < ei.num_thickness; ++t)
      for (int p = 0; p < ei.npix; ++p)
        if (!std::isfinite(ei.obs_int(r, t, p)) || !std::isfinite(ei.obs_sig(r, t, p)))
          fatal_out("$$ %s: reflection %d %d %d, thickness %d, point %d is not a finite number. Abort.\n",
                    ed.int_file.c_str(), ei.rg[r].h, ei.rg[r].k, ei.rg[r].l, t, p);
}

bool inside_disk(const fed& ed, double H, double G, const Epsilon& eps) {
  const double e = eps.general_eps;
  if (ed.calc_type == 3) return std::fabs(H - ed.tiltH) <= ed.disksize + e && std::fabs(G - ed.tiltG) <= ed.disksize + e;
  return std::hypot(H - ed.tiltH, G - ed.tiltG) <= ed.disksize + e;
}

void select_points(fit_problem& fp, int i) {
  const fed& ed = (*fp.eds)[i];
  const fei& ei = (*fp.eis)[i];
  for (int b = 0; b < ed.num_thick_block; ++b)
    for (int r = 0; r < ed.num_reflex; ++r) {
      const double w = ed.tb[b].weight[r];
      if (!(w > fp.rc.epsilon.general_eps)) continue;
      for (int p = 0; p < ei.npix; ++p) {
        const double sig = ei.obs_sig(r, b, p);
        if (!(sig > 0.0)) continue;
        const double var = measured_variance(ei.obs_int(r, b, p), sig, fp.rc.epsilon);
        if (!(var > 0.0)) continue;
        const pix_point& q = ei.pix[static_cast<std::size_t>(p)];
        if (!inside_disk(ed, q.x + ed.tb[b].H_shift[r], q.y + ed.tb[b].G_shift[r], fp.rc.epsilon)) continue;
        measured_point m;
        m.dataset = i;
        m.block = b;
        m.reflex = r;
        m.pix = p;
        m.w_r = w;
        m.sqrt_weight = m.sqrt_weight_obs = std::sqrt(w / var);
        fp.pts.push_back(m);
      }
    }
}

// Counting statistics of every dataset: as given in DETECTOR_PAR, the rest
// from the compared points' values and deviations.
void set_count_noise(fit_problem& fp) {
  fp.noise.assign(fp.eds->size(), count_noise{});
  for (std::size_t i = 0; i < fp.eds->size(); ++i) {
    const fed& ed = (*fp.eds)[i];
    const fei& ei = (*fp.eis)[i];
    std::vector<double> obs, sig;
    for (const measured_point& p : fp.pts)
      if (p.dataset == static_cast<int>(i)) {
        obs.push_back(ei.obs_int(p.reflex, p.block, p.pix));
        sig.push_back(ei.obs_sig(p.reflex, p.block, p.pix));
      }
    fp.noise[i] = noise_from_deviations(obs, sig, ed.det.gain, ed.det.read_noise);
  }
}

void check_psf(const fed& ed, int i) {
  if (!ed.det.present) return;
  const grid_geom g = geometry_of(ed);
  if (ed.det.psf_var > kMaxPsfVar * g.step * g.step)
    fatal_out("$$ Dataset %d: psf_width = %g is wider than %g grid steps of the calculated grid (%g). Abort.\n", i,
              psf_width(ed.det), std::sqrt(kMaxPsfVar), g.step);
}

}  // namespace

void setup_fit_problem(fit_problem& fp, csd& cs, std::vector<fed>& eds, std::vector<fei>& eis,
                       const RunControl& rc) {
  fp.cs = &cs;
  fp.eds = &eds;
  fp.eis = &eis;
  fp.rc = rc;
  fp.threads = fit_thread_count(rc);
  fp.params = collect_fit_params(cs, eds);
  if (fp.params.empty()) fatal_out("$$ No parameter is flagged ADJ or RST: nothing to refine. Abort.\n");
  for (std::size_t j = 0; j < fp.params.size(); ++j)
    if (fp.params[j].fp->flg == kFlgRst) fp.restrained.push_back(static_cast<int>(j));
  for (const fed& ed : eds) {
    if (ed.tiltH_fp.flg == kFlgCst || ed.tiltG_fp.flg == kFlgCst || ed.voltage_fp.flg == kFlgCst)
      fp.fed_constrained = true;
    if (ed.det.present && (ed.det.psf_fp.flg == kFlgCst || ed.det.background_fp.flg == kFlgCst))
      fp.fed_constrained = true;
    for (const thickness_block& b : ed.tb) {
      if (b.scale_fp.flg == kFlgCst || b.thickness_fp.flg == kFlgCst || b.thickwidth_fp.flg == kFlgCst)
        fp.fed_constrained = true;
      for (std::size_t r = 0; r < b.H_shift_fp.size(); ++r)
        if (b.H_shift_fp[r].flg == kFlgCst || b.G_shift_fp[r].flg == kFlgCst) fp.fed_constrained = true;
    }
  }

  fp.dm.assign(eds.size(), dataset_model{});
  for (std::size_t i = 0; i < eds.size(); ++i) {
    fed& ed = eds[i];
    fei& ei = eis[i];
    check_dataset(ed, ei, static_cast<int>(i));
    dataset_model& dm = fp.dm[i];
    dm.beams = dataset_beams(ed, cs, &dm.n_e0, &dm.n_b0);
    dm.side = ed.num_cal_pix_side;
    for (int r = 0; r < ei.num_rg; ++r) {
      const int n = find_n_g(dm.n_e0, ei.rg[r], dm.beams);
      if (n < 0)
        fatal_out("$$ Reflection %d %d %d of %s is not among the exact beams of dataset %d. Abort.\n", ei.rg[r].h,
                  ei.rg[r].k, ei.rg[r].l, ed.int_file.c_str(), static_cast<int>(i));
      dm.cal_g.push_back(n);
    }
    select_points(fp, static_cast<int>(i));
  }
  if (fp.pts.empty()) fatal_out("$$ No measured point with a positive weight lies inside a calculated disk. Abort.\n");
  for (std::size_t i = 0; i < eds.size(); ++i) check_psf(eds[i], static_cast<int>(i));
  check_job_size(fit_job_size(fp), "refinement");
  fp.model_weights = rc.epsilon.fit_weight_model == 1;
  if (fp.model_weights) set_count_noise(fp);
}

JobSize fit_job_size(const fit_problem& fp) {
  // Each dataset's eigenproblems on every thread (as the CBED job), and the
  // Jacobian of every residual and parameter with its normal matrix.
  const double threads = std::max(1, tilt_loop_threads());
  JobSize size;
  for (const dataset_model& dm : fp.dm) {
    const double n = static_cast<double>(dm.beams.size());
    size.memory_bytes += 16.0 * n * n * (1.0 + 8.0 * threads);
  }
  const double P = fp.num_params(), M = static_cast<double>(fp.pts.size() + fp.restrained.size());
  size.memory_bytes += 8.0 * M * P * 2.0 + 8.0 * P * P * 4.0;
  return size;
}

std::vector<double> current_params(const fit_problem& fp) {
  std::vector<double> x;
  for (const fit_param& p : fp.params) x.push_back(*p.value);
  return x;
}

void eval_residuals(fit_problem& fp, const double* x, double* res, double* jac) {
  apply_fit_params(fp.params, x, *fp.cs, *fp.eds);
  const int P = fp.num_params(), M = fp.num_residuals();
  if (!jac) {
    all_residuals(fp, res);
  } else {
    std::fill(jac, jac + static_cast<std::size_t>(M) * P, 0.0);
    for (int i = 0; i < static_cast<int>(fp.eds->size()); ++i) dataset_jacobian(fp, i, x, res, jac);
    full_fd_columns(fp, x, res, jac);
    const double s = std::sqrt(fp.rc.epsilon.scale_rst_chisq);
    for (std::size_t n = 0; n < fp.restrained.size(); ++n)
      jac[(fp.pts.size() + n) * P + fp.restrained[n]] = s;
  }
  restraint_residuals(fp, x, res);
}

void fill_fit_results(fit_problem& fp) {
  for (int i = 0; i < static_cast<int>(fp.eds->size()); ++i) {
    fed& ed = (*fp.eds)[i];
    fei& ei = (*fp.eis)[i];
    const grid_geom g = geometry_of(ed);
    alloc_ei_cal(ei, g.m);
    const int K = g.m * g.m, R = ei.num_rg;
    std::vector<char> need(static_cast<std::size_t>(K), 0);
    for (int k = 0; k < K; ++k) {
      pix_point& q = ei.cal_pix[k];
      q.ix = k % g.m;
      q.iy = k / g.m;
      q.x = g.H0 - g.d + q.ix * g.step;
      q.y = g.G0 - g.d + q.iy * g.step;
      q.flag = inside_disk(ed, q.x, q.y, fp.rc.epsilon) ? 1 : 0;
      need[k] = static_cast<char>(q.flag);
    }
    const dataset_plan pl = plan_dataset(fp, i, false);
    const CMatrix vg = dataset_potential(fp, i);
    dataset_grids gr;
    compute_grids(fp, i, vg, {}, {}, pl.sets, pl.thick, need, gr, false, psf_plan_of(fp, i, false));
    for (int b = 0; b < ed.num_thick_block; ++b)
      for (int r = 0; r < R; ++r) {
        const double* v = gr.val[0].data() + (static_cast<std::size_t>(pl.base_set[b]) * R + r) * K;
        for (int k = 0; k < K; ++k)
          ei.cal_int(r, b, k) = ei.cal_pix[k].flag == 1 ? ed.tb[b].scale * v[k] + ed.det.background : 0.0;
        calc_extr_obs_int(ed.tb[b].H_shift[r], ed.tb[b].G_shift[r], ei.npix, ei.nx, ei.xmin, ei.xmax, ei.ymin,
                          ei.ymax, ei.obs_int(r, b), ei.obs_sig(r, b), ei.num_cal_pix, ei.cal_pix.data(),
                          ei.extr_int(r, b), ei.extr_sig(r, b));
      }
  }
}

std::vector<double> r_factors(fit_problem& fp, const double* x) {
  std::vector<double> res(static_cast<std::size_t>(fp.num_residuals()));
  eval_residuals(fp, x, res.data(), nullptr);
  const std::size_t D = fp.eds->size();
  std::vector<double> num(D, 0.0), den(D, 0.0);
  for (std::size_t n = 0; n < fp.pts.size(); ++n) {
    const measured_point& p = fp.pts[n];
    const double obs = (*fp.eis)[p.dataset].obs_int(p.reflex, p.block, p.pix);
    num[p.dataset] += std::fabs(res[n] / p.sqrt_weight);
    den[p.dataset] += std::fabs(obs);
  }
  std::vector<double> r(D, 0.0);
  for (std::size_t i = 0; i < D; ++i) r[i] = den[i] > 0.0 ? num[i] / den[i] : 0.0;
  return r;
}

std::vector<double> model_at_points(fit_problem& fp, const double* x) {
  std::vector<double> res(static_cast<std::size_t>(fp.num_residuals()));
  eval_residuals(fp, x, res.data(), nullptr);
  std::vector<double> m(fp.pts.size());
  for (std::size_t n = 0; n < fp.pts.size(); ++n) {
    const measured_point& p = fp.pts[n];
    m[n] = (*fp.eis)[p.dataset].obs_int(p.reflex, p.block, p.pix) - res[n] / p.sqrt_weight;
  }
  return m;
}

double update_model_weights(fit_problem& fp, const double* x) {
  const std::vector<double> m = model_at_points(fp, x);
  double change = 0.0;
  for (std::size_t n = 0; n < fp.pts.size(); ++n) {
    measured_point& p = fp.pts[n];
    const double w = std::sqrt(p.w_r / model_variance(m[n], fp.noise[p.dataset]));
    change = std::max(change, std::fabs(w / p.sqrt_weight - 1.0));
    p.sqrt_weight = w;
  }
  return change;
}

std::vector<block_scan> scan_thickness(fit_problem& fp, int i, const std::vector<int>& blocks,
                                       const std::vector<std::vector<double>>& ts) {
  const fed& ed = (*fp.eds)[i];
  const fei& ei = (*fp.eis)[i];
  const std::vector<int> pts = points_of(fp, i);
  std::vector<thick_set> sets;
  std::vector<double> thick;
  for (std::size_t c = 0; c < blocks.size(); ++c)
    for (double t : ts[c]) add_set(sets, thick, blocks[c], t, ed.tb[blocks[c]].thickwidth, fp.rc.epsilon);
  dataset_grids gr;
  compute_grids(fp, i, dataset_potential(fp, i), {}, {}, sets, thick, corner_need_of(fp, i, pts, 0.0), gr, false,
                psf_plan_of(fp, i, false));
  const grid_geom g = geometry_of(ed);
  const int K = g.m * g.m, R = static_cast<int>(fp.dm[i].cal_g.size());
  std::vector<block_scan> out;
  int set = 0;
  for (std::size_t c = 0; c < blocks.size(); ++c) {
    const int b = blocks[c];
    bool free_scale = false;
    for (const fit_param& q : fp.params)
      free_scale = free_scale || (q.kind == fit_kind::scale && q.dataset == i && q.block == b);
    block_scan bs;
    bs.block = b;
    for (double t : ts[c]) {
      // chi^2(s) = sum w (y - s m)^2 with y = obs - background: s = sum w y m / sum w m^2.
      std::vector<double> y, m, w;
      for (int n : pts) {
        const measured_point& p = fp.pts[n];
        if (p.block != b) continue;
        const double* v = gr.val[0].data() + (static_cast<std::size_t>(set) * R + p.reflex) * K;
        m.push_back(interp(v, point_cell(ed, ei, g, p)));
        y.push_back(ei.obs_int(p.reflex, p.block, p.pix) - ed.det.background);
        w.push_back(p.sqrt_weight_obs * p.sqrt_weight_obs);
      }
      double sym = 0, smm = 0;
      for (std::size_t k = 0; k < m.size(); ++k) {
        sym += w[k] * y[k] * m[k];
        smm += w[k] * m[k] * m[k];
      }
      const double sc = free_scale ? (smm > 0 ? sym / smm : ed.tb[b].scale) : ed.tb[b].scale;
      double chi = 0;
      for (std::size_t k = 0; k < m.size(); ++k) chi += w[k] * (y[k] - sc * m[k]) * (y[k] - sc * m[k]);
      bs.thickness.push_back(t);
      bs.chisq.push_back(chi);
      bs.scale.push_back(sc);
      ++set;
    }
    out.push_back(bs);
  }
  return out;
}

double shortest_extinction(const fit_problem& fp, int i) {
  const fed& ed = (*fp.eds)[i];
  const dataset_model& dm = fp.dm[i];
  const CMatrix vg = dataset_potential(fp, i);
  const double gamma = relativ_corr(ed.voltage), lambda = wavelength(ed.voltage);
  double best = 1e10;
  for (int n : dm.cal_g)
    if (n > 0) best = std::min(best, vg_to_xig(vg[n][0], gamma, lambda));
  if (best >= 1e10)
    for (int n = 1; n < dm.n_e0; ++n) best = std::min(best, vg_to_xig(vg[n][0], gamma, lambda));
  return best;
}

std::vector<dataset_model> widened_beam_sets(fit_problem& fp, double factor) {
  std::vector<dataset_model> out = fp.dm;
  for (std::size_t i = 0; i < fp.eds->size(); ++i) {
    fed& ed = (*fp.eds)[i];
    const fei& ei = (*fp.eis)[i];
    if (ed.bs.flag_bs % 10 == 0) continue;
    const beam_search keep = ed.bs;
    beam_search& b = ed.bs;
    b.num_g_limit = static_cast<int>(std::ceil(b.num_g_limit * factor * factor * factor));
    b.g_max *= factor;
    b.w_g_bethe_min *= factor;
    b.w_g_max *= factor;
    b.s_g_bethe_min *= factor;
    b.s_g_max *= factor;
    b.xi_g_max *= factor;
    for (int d = 0; d < kNumLaueZones; ++d) {
      b.s_g_bethe_min_lz[d] *= factor;
      b.s_g_max_lz[d] *= factor;
      b.xi_g_max_lz[d] *= factor;
    }
    dataset_model& dm = out[i];
    dm.beams = dataset_beams(ed, *fp.cs, &dm.n_e0, &dm.n_b0);
    ed.bs = keep;
    dm.cal_g.clear();
    for (int r = 0; r < ei.num_rg; ++r) dm.cal_g.push_back(find_n_g(dm.n_e0, ei.rg[r], dm.beams));
    // A measured reflection that the wider search ranks among the Bethe
    // beams leaves the dataset's set as it was.
    if (std::find(dm.cal_g.begin(), dm.cal_g.end(), -1) != dm.cal_g.end()) dm = fp.dm[i];
  }
  return out;
}

}  // namespace kv
