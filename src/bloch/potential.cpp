#include "bloch/potential.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "crystal/structure_factor.hpp"
#include "input/constraints.hpp"
#include "input/crystal_data.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/progress.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

// F_g from the user's low-order values when g is among them (or their
// equivalents), else computed through the table.
complex table_or_computed(const Hkl& g, double kv, const lattice_metric& lm, csd& c, fg_table& t, int* warn) {
  return structure_factor_ext_tbl(g, kv, lm, c, t, warn);
}

}  // namespace

void potential_matrix_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv,
                          const lattice_metric& lm, CMatrix& vg, int* error_flag, bool show_progress, int threads,
                          bool share_ranks) {
  *error_flag = 0;
  constraint_csd(c);
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  const int n = n_e0 + n_b0;
  if (n < 1) {
    if (show_progress) std::printf("100%%\n");
    return;
  }
  // The reflections g_i - g_j, row by row: the order in which the table
  // meets them decides the member of each symmetry family whose computed
  // F_g the whole family takes (the others carry it times their translation
  // phases, which may differ from their own computed values in the last
  // bits), so that order is kept.
  const std::size_t nn = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  std::vector<Hkl> h(nn);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      h[static_cast<std::size_t>(i) * n + j] =
          Hkl{beams[i].h - beams[j].h, beams[i].k - beams[j].k, beams[i].l - beams[j].l};
  const fg_table_walk walk = plan_fg_table_walk(table, h.data(), nn, c);

  // Each computed F_g depends on its reflection and the crystal only, so
  // they are computed on the job's threads (and ranks), each into its own
  // slot.
  std::vector<complex> fg;
  std::vector<int> warn;
  compute_walk_reflections(walk, kv, lm, c, threads, share_ranks ? rank_share() : RankShare{}, fg, warn);

  // The table filled and the matrix written in the serial order, row by row.
  for (int i = 0; i < n; ++i) {
    if (show_progress) progress_indicator(i, n);
    int warn_row = 0;
    for (int j = 0; j < n; ++j) {
      const std::size_t k = static_cast<std::size_t>(i) * n + j;
      vg[i][j] = fg_to_vg(fg_table_walk_value(table, walk, k, h[k], fg.data(), c), lm);
      if (walk.source[k] < 0) warn_row |= warn[-1 - walk.source[k]];
    }
    if (warn_row) *error_flag = 1;
  }
  if (show_progress) std::printf("100%%\n");
}

void vgv_reim_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv, const lattice_metric& lm,
                  complex* vg) {
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  const int n = n_e0 + n_b0;
  for (int i = 0; i < n; ++i) {
    progress_indicator(i, n);
    int warn = 0;
    vg[i] = fg_to_vg(table_or_computed(beams[i], kv, lm, c, table, &warn), lm);
  }
  std::printf("100%%.\n");
}

void vgv_fxgv_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv, const lattice_metric& lm,
                  complex* vg, complex* fxg) {
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  const int n = n_e0 + n_b0;
  for (int i = 0; i < n; ++i) {
    progress_indicator(i, n);
    const Hkl& g = beams[i];
    const int at = search_g_table(table.num, g, table.g.data());
    const complex fg = at >= 0 ? table.fg[at] : calc_Fg_ela(g, kv, lm, c);
    vg[i] = fg_to_vg(fg, lm);
    const complex z = calc_z_factor(g, lm, c);
    const Vec3 gv{double(g.h), double(g.k), double(g.l)};
    const double f = (131.2625 / kPi) * (sq_abs(gv, lm) / 4.0);
    fxg[i] = complex{z.re - f * fg.re, z.im - f * fg.im};
  }
  std::printf("100%%.\n");
}

}  // namespace kv

namespace kv {

std::vector<complex> beam_potentials(const BeamList& beams, int n, csd& c, double kv, const lattice_metric& lm) {
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  std::vector<complex> vg(static_cast<std::size_t>(std::max(n, 0)));
  for (int i = 0; i < n; ++i) {
    int warn = 0;
    vg[i] = fg_to_vg(table_or_computed(beams[i], kv, lm, c, table, &warn), lm);
  }
  return vg;
}

}  // namespace kv
