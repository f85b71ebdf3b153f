// Automatic beam searches over the reflections inside a sphere of radius
// g_max, and the list utilities they share.
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "beams/beam_select.hpp"
#include "crystal/structure_factor.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/parallel.hpp"  // tilt_loop_threads
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Index triples one search may visit; beyond this a g_max (or a degenerate
// cell) would keep the search running for hours.
constexpr double kMaxSearchBox = 1e9;

// Zone number n = h u + k v + l w, formed wide so that large indices of the
// search box cannot overflow it.
long long laue_zone(const Hkl& g, const Hkl& uvw) {
  return static_cast<long long>(g.h) * uvw.h + static_cast<long long>(g.k) * uvw.k +
         static_cast<long long>(g.l) * uvw.l;
}

double abs_g(const Hkl& g, const lattice_metric& lm) { return std::sqrt(sq_abs(hkl2rhkl(g), lm)); }

// Smallest n >= 1 whose multiple n e of the unit reciprocal vector e reaches
// g_max.
int axis_max(const Hkl& e, double g_max, const lattice_metric& lm) {
  auto length = [&](int n) { return abs_g(Hkl{n * e.h, n * e.k, n * e.l}, lm); };
  const double unit = length(1);
  if (!(unit < g_max)) return 1;  // also a NaN g_max
  const double estimate = std::ceil(g_max / unit);
  if (!(estimate < kMaxSearchBox))
    fatal_out("$$ g_max=%g is far too large for this cell (|g| of the unit step %g). Abort.\n", g_max,
              unit);
  int n = std::max(1, static_cast<int>(estimate) - 2);
  while (length(n) < g_max) ++n;
  return n;
}

void check_capacity(int n_exact, int n_bethe, int num_g_limit) {
  if (n_exact >= num_g_limit || n_bethe >= num_g_limit)
    fatal_out("$$ num_g has exceeded num_g_max.\n$$ Please set a greater value into num_g. Abort.\n");
}

// The index box -h..h, -k..k, -l..l that holds the sphere |g| < g_max.
struct HklBox {
  int h = 0, k = 0, l = 0;
};

HklBox hkl_box(double g_max, const lattice_metric& lm) {
  HklBox box;
  evaluate_hklmax(g_max, lm, &box.h, &box.k, &box.l);
  return box;
}

// Calls visit(g) for every g of the box but 000, h slowest and l fastest.
template <class Visit>
void for_each_hkl(const HklBox& box, Visit visit) {
  for (int h = -box.h; h <= box.h; ++h)
    for (int k = -box.k; k <= box.k; ++k)
      for (int l = -box.l; l <= box.l; ++l)
        if (h != 0 || k != 0 || l != 0) visit(Hkl{h, k, l});
}

enum class criterion { wg, sg, sg_multi };

// What one limit of the search left out: how many reflections and the
// strongest of them by |F_g|.
// The reflections one limit left out, in the order the search met them;
// their |F_g| is computed afterwards, on the job's threads, for the report.
struct LeftOut {
  const char* limit;
  std::vector<Hkl> members;
  int count = 0;
  Hkl strongest{};
  double abs_fg = -1.0;
  void add(const Hkl& g) { members.push_back(g); }
  // The count and the strongest member (the first met among equals).
  void settle(const std::vector<double>& f, std::size_t first) {
    count = static_cast<int>(members.size());
    for (std::size_t k = 0; k < members.size(); ++k)
      if (f[first + k] > abs_fg) {
        abs_fg = f[first + k];
        strongest = members[k];
      }
  }
};

// |F_g| of every left-out reflection of the tallies, through a table of
// its own, large enough for all of them: the walk through the look-ups is
// planned first, the first member of each symmetry family met is computed
// on `threads` threads, and the look-ups are replayed in order, the others
// taking their family's value with its phase. Then each tally's count and
// strongest member; the same on any thread count.
void settle_left_out(LeftOut* tallies, int n, double kv, const lattice_metric& lm, csd& c, int threads) {
  std::vector<Hkl> all;
  for (int i = 0; i < n; ++i) all.insert(all.end(), tallies[i].members.begin(), tallies[i].members.end());
  // Room for every family met, so that each is computed once (the report
  // reads |F_g| only; the selection's own table is not touched).
  fg_table table(static_cast<int>(std::min<std::size_t>(2 * all.size() + kFgTableCapacity, 1u << 24)));
  stock_lofg_tbl(table, kv, lm, c);
  const fg_table_walk walk = plan_fg_table_walk(table, all.data(), all.size(), c);
  std::vector<complex> fg;
  std::vector<int> warn;
  compute_walk_reflections(walk, kv, lm, c, threads, RankShare{}, fg, warn);
  std::vector<double> f(all.size());
  for (std::size_t k = 0; k < all.size(); ++k) {
    const complex v = fg_table_walk_value(table, walk, k, all[k], fg.data(), c);
    f[k] = std::hypot(v.re, v.im);
  }
  std::size_t first = 0;
  for (int i = 0; i < n; ++i) {
    tallies[i].settle(f, first);
    first += tallies[i].members.size();
  }
}

// The report of the last search, until the reader that shows it takes it.
// Searches run while the input is read, one at a time.
std::string& pending_left_out() {
  static std::string text;
  return text;
}

std::string left_out_report(const LeftOut* tallies, int n) {
  std::string out = "Beam search left out (reflections, strongest by |Fg|):\n";
  for (int i = 0; i < n; ++i) {
    const LeftOut& t = tallies[i];
    if (t.count == 0)
      out += strprintf("  %-22s none\n", t.limit);
    else
      out += strprintf("  %-22s %d, strongest %d %d %d with |Fg| = %.4g A\n", t.limit, t.count, t.strongest.h,
                       t.strongest.k, t.strongest.l, t.abs_fg);
  }
  return out;
}

void run_search(criterion crit, int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                const beam_search& bs, const Hkl& uvw, const Vec3& g1, double tiltH, double tiltG,
                double kv, csd& c) {
  check_num_g_limit(bs);
  if (crit == criterion::sg_multi) check_laue_zone_range(bs);

  const lattice_metric lm = bravai(c.lp);
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  const Vec3 g2 = zolz_ort_base(uvw, g1, lm);
  const double abs_b = abs_uvw(uvw, lm);
  const double lambda = wavelength(kv);
  const double abs_K = calc_abs_K(c, kv, lm);
  const double gamma = relativ_corr(kv);
  const HklBox box = hkl_box(bs.g_max, lm);
  const bool keep_forbidden = epsilon.forbidden_beam_flag == 1;

  exact->assign(1, Hkl{0, 0, 0});
  bethe->clear();
  LeftOut by_zone{"Laue zones (lz range)"}, by_gmax{"g_max"}, by_xi{"xi_g_max"},
      by_excitation{crit == criterion::wg ? "w_g_max" : "s_g_max"};

  for_each_hkl(box, [&](const Hkl& g) {
    if (extinction_rule(g, c.lattice_type, c.hex_flag) != 0) return;
    const long long zone = laue_zone(g, uvw);
    if (zone < bs.lz_min || zone > bs.lz_max) {
      if (abs_g(g, lm) < bs.g_max) by_zone.add(g);
      return;
    }
    const int n = static_cast<int>(zone);
    if (!(abs_g(g, lm) < bs.g_max)) {
      by_gmax.add(g);
      return;
    }

    const double xi_limit = crit == criterion::sg_multi ? bs.xi_g_max_lz[n] : bs.xi_g_max;
    double xi = 1e10;
    // The s_g criteria need xi_g only for the xi test; a limit at or
    // above the xi_g of a vanishing F_g spares the structure factor.
    if (crit == criterion::wg || xi_limit < 1e10 || keep_forbidden) {
      int warn = 0;
      const complex fg = structure_factor_ext_tbl(g, kv, lm, c, table, &warn);
      xi = fg_to_xig2(fg, gamma, lambda, lm);
    }
    const bool forbidden_kept = keep_forbidden && vanishing_fg(xi);
    if (!(xi < xi_limit) && !forbidden_kept) by_xi.add(g);
    if (xi < xi_limit || forbidden_kept) {
      double s_plus = 0, s_minus = 0;
      const double s = abs_edge_s_g_tilt(g, uvw, g1, g2, tiltH, tiltG, abs_b, abs_K,
                                         bs.disksize, lm, &s_plus, &s_minus);
      double value = s, exact_below = 0, bethe_below = 0;
      switch (crit) {
        case criterion::wg:
          value = s * ranking_xi(xi, xi_limit);
          exact_below = bs.w_g_bethe_min;
          bethe_below = bs.w_g_max;
          break;
        case criterion::sg:
          exact_below = bs.s_g_bethe_min;
          bethe_below = bs.s_g_max;
          break;
        case criterion::sg_multi:
          exact_below = bs.s_g_bethe_min_lz[n];
          bethe_below = bs.s_g_max_lz[n];
          break;
      }
      if (value < exact_below)
        exact->push_back(g);
      else if (value < bethe_below)
        bethe->push_back(g);
      else
        by_excitation.add(g);
    }
    check_capacity(static_cast<int>(exact->size()), static_cast<int>(bethe->size()),
                   bs.num_g_limit);
  });

  LeftOut tallies[4] = {std::move(by_zone), std::move(by_gmax), std::move(by_xi), std::move(by_excitation)};
  settle_left_out(tallies, 4, kv, lm, c, tilt_loop_threads());
  pending_left_out() = left_out_report(tallies, 4);
  *n_exact = static_cast<int>(exact->size());
  *n_bethe = static_cast<int>(bethe->size());
  sort_reflex(*n_exact, *exact, lm);
  sort_reflex(*n_bethe, *bethe, lm);
}

}  // namespace

double ranking_xi(double xi_g, double xi_limit) {
  return epsilon.forbidden_beam_flag == 1 && vanishing_fg(xi_g) ? xi_limit : xi_g;
}

bool vanishing_fg_reflection(const Hkl& g, double kv, csd& c) {
  if (g == Hkl{0, 0, 0} || extinction_rule(g, c.lattice_type, c.hex_flag) != 0) return false;
  const lattice_metric lm = bravai(c.lp);
  // Beyond s = 6 1/angstrom the electron table has no factor at all, so a
  // zero there says nothing about the structure.
  if (!(sq_abs(hkl2rhkl(g), lm) / 4.0 <= 36.0)) return false;
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  int warn = 0;
  const complex fg = structure_factor_ext_tbl(g, kv, lm, c, table, &warn);
  return vanishing_fg(fg_to_xig2(fg, relativ_corr(kv), wavelength(kv), lm));
}

std::string last_left_out_report() { return pending_left_out(); }

std::string take_left_out_report() {
  std::string text;
  text.swap(pending_left_out());
  return text;
}

void evaluate_hklmax(double g_max, const lattice_metric& lm, int* h_max, int* k_max, int* l_max) {
  const int h = axis_max(Hkl{1, 0, 0}, g_max, lm);
  const int k = axis_max(Hkl{0, 1, 0}, g_max, lm);
  const int l = axis_max(Hkl{0, 0, 1}, g_max, lm);
  const double box = (2.0 * h + 1) * (2.0 * k + 1) * (2.0 * l + 1);
  if (box > kMaxSearchBox)
    fatal_out(
        "$$ g_max=%g needs a search over %d x %d x %d index ranges; too many reflections. Abort.\n",
        g_max, 2 * h + 1, 2 * k + 1, 2 * l + 1);
  *h_max = h;
  *k_max = k;
  *l_max = l;
}

double abs_edge_s_g_tilt(const Hkl& g, const Hkl& incidence, const Vec3& g1, const Vec3& g2,
                         double tiltH, double tiltG, double abs_b, double abs_K, double disksize,
                         const lattice_metric& lm, double* s_plus, double* s_minus) {
  const double g_z = static_cast<double>(laue_zone(g, incidence)) / abs_b;
  double x = 0, y = 0;
  const Vec3 in_plane = proj_to_zolz(g, incidence, g1, lm, &x, &y);
  const Vec3 e = normalize_vec(in_plane, g1, lm);
  const Vec3 gv = hkl2rhkl(g);

  auto edge_s = [&](double sign) {
    Vec3 kt{}, half{};
    for (int i = 0; i < 3; ++i) {
      kt[i] = 0.5 * (tiltH * g1[i] + tiltG * g2[i]) + sign * 0.5 * disksize * e[i];
      half[i] = kt[i] + 0.5 * gv[i];
    }
    const double k_z = -std::sqrt(abs_K * abs_K - sq_abs(kt, lm));
    return (-k_z * g_z - inner_product(half, gv, lm)) / abs_K;
  };
  *s_plus = edge_s(+1.0);
  *s_minus = edge_s(-1.0);
  if (*s_plus * *s_minus < 0) return 0.0;
  return std::min(std::fabs(*s_plus), std::fabs(*s_minus));
}

double spacing(const Hkl& g, const lattice_metric& lm) {
  if (g == Hkl{0, 0, 0}) return 0.0;
  return 1.0 / abs_g(g, lm);
}

void sort_reflex(int n, BeamList& list, const lattice_metric& lm) {
  n = std::clamp(n, 0, static_cast<int>(list.size()));
  // Key: the spacing d = 1/|g| on a grid of 1e-9 angstrom, so that
  // symmetry-equivalent reflections, whose lengths may differ in the last
  // bit, count as equal and keep their loop order. 000 comes first.
  std::vector<long long> key(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double d = spacing(list[i], lm);
    key[i] = list[i] == Hkl{0, 0, 0} || !(d < 1e9) ? LLONG_MAX : std::llround(d * 1e9);
  }
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key[a] > key[b]; });
  BeamList sorted(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) sorted[i] = list[order[i]];
  std::copy(sorted.begin(), sorted.end(), list.begin());
}

int find_n_g(int n, const Hkl& g, const BeamList& list) {
  n = std::min(n, static_cast<int>(list.size()));
  for (int i = 0; i < n; ++i)
    if (list[i] == g) return i;
  return -1;
}

BeamList beam_merge(int n_exact, int n_bethe, const BeamList& exact, const BeamList& bethe) {
  BeamList out(exact.begin(), exact.begin() + std::min<std::size_t>(n_exact, exact.size()));
  out.insert(out.end(), bethe.begin(), bethe.begin() + std::min<std::size_t>(n_bethe, bethe.size()));
  return out;
}

void simple_beam_search_wg(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                           const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                           double tiltH, double tiltG, double kv, csd& c) {
  run_search(criterion::wg, n_exact, n_bethe, exact, bethe, bs, incidence, g1, tiltH, tiltG, kv, c);
}

void simple_beam_search_sg(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                           const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                           double tiltH, double tiltG, double kv, csd& c) {
  run_search(criterion::sg, n_exact, n_bethe, exact, bethe, bs, incidence, g1, tiltH, tiltG, kv, c);
}

void beam_search_sg_multi(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                          const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                          double tiltH, double tiltG, double kv, csd& c) {
  run_search(criterion::sg_multi, n_exact, n_bethe, exact, bethe, bs, incidence, g1, tiltH, tiltG,
             kv, c);
}

void beam_search_sphere(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                        const beam_search& bs, double kv, csd& c) {
  pending_left_out().clear();  // the sphere has no limits to report on
  check_num_g_limit(bs);
  const lattice_metric lm = bravai(c.lp);
  // Filled like the other searches so that a bad LOW_ORDER_FG block stops
  // the run at the same point; the sphere itself needs no structure factor.
  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);
  const HklBox box = hkl_box(bs.g_max, lm);
  // A radius that is not positive holds no reflection (its square would).
  const double g_max2 = bs.g_max > 0 ? bs.g_max * bs.g_max : 0.0;

  exact->assign(1, Hkl{0, 0, 0});
  bethe->clear();
  for_each_hkl(box, [&](const Hkl& g) {
    if (!(sq_abs(hkl2rhkl(g), lm) < g_max2)) return;
    if (extinction_rule(g, c.lattice_type, c.hex_flag) != 0) return;
    exact->push_back(g);
    check_capacity(static_cast<int>(exact->size()), 0, bs.num_g_limit);
  });
  *n_exact = static_cast<int>(exact->size());
  *n_bethe = 0;
  sort_reflex(*n_exact, *exact, lm);
}

}  // namespace kv
