#include "bloch/potential.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "crystal/structure_factor.hpp"
#include "input/constraints.hpp"
#include "input/crystal_data.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/parallel.hpp"
#include "sim/progress.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

// F_g from the user's low-order values when g is among them (or their
// equivalents), else computed through the table.
complex table_or_computed(const Hkl& g, double kv, const lattice_metric& lm, csd& c, fg_table& t, int* warn) {
  return structure_factor_ext_tbl(g, kv, lm, c, t, warn);
}

// F_g of every reflection of `computed` into fg (and its warning into warn)
// on `threads` threads. Over several MPI ranks each rank computes the
// reflections dealt to it and every rank receives them all: each value is
// computed by one rank exactly as one process computes it, so the matrix is
// the same bit for bit on any number of ranks.
void computed_structure_factors(const std::vector<Hkl>& computed, double kv, const lattice_metric& lm,
                                const csd& crystal, int threads, const RankShare& ranks, std::vector<complex>& fg,
                                std::vector<int>& warn) {
  const int m = static_cast<int>(computed.size());
  if (ranks.size <= 1) {
    parallel_for(m, threads, [&](int, int r) {
      fg[r] = structure_factor_ext_shared(computed[r], kv, lm, crystal, &warn[r]);
    });
    return;
  }
  // Three numbers per reflection: F_g and the warning.
  constexpr int kSlot = 3;
  const int mine_n = ranks.count(m);
  std::vector<double> mine(static_cast<std::size_t>(mine_n) * kSlot);
  parallel_for(mine_n, threads, [&](int, int j) {
    int w = 0;
    const complex f = structure_factor_ext_shared(computed[ranks.item(j)], kv, lm, crystal, &w);
    double* o = &mine[static_cast<std::size_t>(j) * kSlot];
    o[0] = f.re;
    o[1] = f.im;
    o[2] = w;
  });
  std::vector<double> all;
  share_item_slots(m, kSlot, mine, all);
  for (int r = 0; r < m; ++r) {
    const double* v = &all[static_cast<std::size_t>(r) * kSlot];
    fg[r] = complex{v[0], v[1]};
    warn[r] = static_cast<int>(v[2]);
  }
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
  // they are computed on the job's threads, each into its own slot; the
  // crystal is read, not written, meanwhile.
  // Evaluating a reflection that the centring allows writes each
  // anisotropic site's B_eq into its b_iso; that is done here, once, before
  // the threads start.
  const int m = static_cast<int>(walk.computed.size());
  for (const Hkl& g : walk.computed)
    if (extinction_rule(g, c.lattice_type, c.hex_flag) == 0) {
      store_site_beq(lm, c);
      break;
    }
  std::vector<complex> fg(static_cast<std::size_t>(m));
  std::vector<int> warn(static_cast<std::size_t>(m), 0);
  computed_structure_factors(walk.computed, kv, lm, c, threads, share_ranks ? rank_share() : RankShare{}, fg, warn);

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
