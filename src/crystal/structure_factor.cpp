#include "crystal/structure_factor.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <string>
#include <vector>

#include "sim/error.hpp"
#include "sim/parallel.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kVgCoef = 0.020886563;               // h^2 / (2 m0 e) / pi, 1/(volt angstrom^2)
constexpr double kUgPerVg = 150.41214074282078;       // pi / kVgCoef

double sq_s_of(const Hkl& g, const lattice_metric& lm) { return sq_abs(hkl2rhkl(g), lm) / 4.0; }


double g_dot_t(const Hkl& g, const sym_op& op) {
  return g.h * op.trans[0] + g.k * op.trans[1] + g.l * op.trans[2];
}

// An anisotropic site's B_eq, written into b_iso, is the B with which its
// absorptive factor is looked up.
void set_beq(const lattice_metric& lm, atom& a) {
  if (a.bf == 1) a.b_iso = bij_to_beq(lm, a);
}

[[noreturn]] void invalid_af() { fatal_out("$$ Invalid af. Abort.\n"); }

// The electron scattering factor of site j at s from its Bird and King
// table, an anisotropic site's B_eq written into its b_iso first. Returns
// the table look-up's status.
int site_bk(const lattice_metric& lm, csd& cs, int j, double s, double kv, complex* bk) {
  set_beq(lm, cs.atoms[j]);
  return atom_bk(cs.bks[j], s, cs.atoms[j].b_iso, bk, kv);
}

// Whether the factors of site j at s, looked up with the given status, are
// what the structure factor needs: computed normally, or s beyond the
// table's elastic nodes for a site whose elastic factor comes from the Mott
// formula (af 0) and whose B s^2 lies beyond the absorptive nodes as well,
// where the table gives no absorption at any s.
bool site_factors_usable(int status, const atom& a, double b, const bk_table& t, double s) {
  if (status == 0) return true;
  return status == 1 && a.af == 0 && b * s * s > t.gms2[9];
}
bool site_factors_usable(int status, const atom& a, const bk_table& t, double s) {
  return site_factors_usable(status, a, a.b_iso, t, s);
}

// The B with which site a's absorptive factor is looked up: B_eq of an
// anisotropic site (what set_beq writes into its b_iso), else b_iso.
double lookup_b(const lattice_metric& lm, const atom& a) { return a.bf == 1 ? bij_to_beq(lm, a) : a.b_iso; }

// F_g of the crystal from one scattering factor per site, f[j].
complex crystal_fg(const Hkl& g, double sq_s, const csd& cs, const complex* f) {
  return calc_structure_factor_ph(g, sq_s, cs.num_sym_op, cs.sym_ops.data(), cs.num_atom,
                                  cs.atoms.data(), f);
}

}  // namespace

namespace {

// The nearest integer of a rotation element (-1, 0 or 1 up to the rounding
// of the table it was read from), halves away from zero as lround rounds,
// without the library call: this runs nine times per operation and
// reflection in the potential set-up.
inline int nearest_int(double x) { return static_cast<int>(x < 0 ? x - 0.5 : x + 0.5); }

// F of R^T g from F of g: fg exp(+2 pi i g.t).
complex carried_fg(const Hkl& g, complex fg, const sym_op& op) {
  const double phase = 2.0 * kPi * g_dot_t(g, op);
  return fg * complex{std::cos(phase), std::sin(phase)};
}

// The reflections of a table by value, each with the first entry that
// holds it: search_g_table without the scan.
struct hkl_hash {
  std::size_t operator()(const std::array<int, 3>& v) const {
    return static_cast<std::size_t>(v[0]) * 73856093u ^ static_cast<std::size_t>(v[1]) * 19349663u ^
           static_cast<std::size_t>(v[2]) * 83492791u;
  }
};
using hkl_index = std::unordered_map<std::array<int, 3>, int, hkl_hash>;
std::array<int, 3> key_of(const Hkl& g) { return {g.h, g.k, g.l}; }

}  // namespace

// g' = R^T g with the rotation elements taken as integers.
Hkl rotate_hkl(const sym_op& op, const Hkl& g) {
  const int v[3] = {g.h, g.k, g.l};
  int out[3];
  for (int c = 0; c < 3; ++c) {
    int s = 0;
    for (int i = 0; i < 3; ++i) s += nearest_int(op.rot[3 * c + i]) * v[i];
    out[c] = s;
  }
  return Hkl{out[0], out[1], out[2]};
}

complex calc_structure_factor_ph(const Hkl& g, double sq_s, int num_op, const sym_op* ops,
                                 int num_atom, const atom* atoms, const complex* f) {
  // R^T g and g.t of every operation, the same for every site: once per
  // reflection (on the stack for the largest space groups, 192 operations).
  constexpr int kStackOps = 192;
  Hkl gr_stack[kStackOps];
  double gt_stack[kStackOps];
  std::vector<Hkl> gr_heap;
  std::vector<double> gt_heap;
  Hkl* grs = gr_stack;
  double* gts = gt_stack;
  if (num_op > kStackOps) {
    gr_heap.resize(static_cast<std::size_t>(num_op));
    gt_heap.resize(static_cast<std::size_t>(num_op));
    grs = gr_heap.data();
    gts = gt_heap.data();
  }
  for (int k = 0; k < num_op; ++k) {
    grs[k] = rotate_hkl(ops[k], g);
    gts[k] = g_dot_t(g, ops[k]);
  }
  complex fg{0.0, 0.0};
  for (int j = 0; j < num_atom; ++j) {
    const atom& a = atoms[j];
    if (a.bf != 0 && a.bf != 1) fatal_out("ERROR: Invalid atom.bf. Abort.\n");
    complex sum{0.0, 0.0};
    for (int k = 0; k < num_op; ++k) {
      const Hkl& gr = grs[k];
      const double phi = -2.0 * kPi * (gr.h * a.x + gr.k * a.y + gr.l * a.z + gts[k]);
      double t = 1.0;
      if (a.bf == 1) {
        const double h = gr.h, kk = gr.k, l = gr.l;
        t = std::exp(-(a.beta11 * h * h + a.beta22 * kk * kk + a.beta33 * l * l +
                       2.0 * a.beta12 * h * kk + 2.0 * a.beta13 * h * l + 2.0 * a.beta23 * kk * l));
      }
      sum += complex{t * std::cos(phi), t * std::sin(phi)};
    }
    double w = a.occ * a.multiplicity;
    if (a.bf == 0) w *= std::exp(-a.b_iso * sq_s);
    fg += f[j] * (w * sum);
  }
  return fg;
}

complex calc_structure_factor(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                              int* warn) {
  store_site_beq(lm, cs);
  return calc_structure_factor_shared(g, kv, lm, cs, warn);
}

complex calc_structure_factor_shared(const Hkl& g, double kv, const lattice_metric& lm, const csd& cs, int* warn) {
  const double s2 = sq_s_of(g, lm);
  const double s = std::sqrt(s2);
  std::vector<complex> f(cs.num_atom);
  int flag = 0;
  for (int j = 0; j < cs.num_atom; ++j) {
    const atom& a = cs.atoms[j];
    const double b = lookup_b(lm, a);
    complex bk;
    if (!site_factors_usable(atom_bk(cs.bks[j], s, b, &bk, kv), a, b, cs.bks[j], s)) flag = 1;
    if (a.af == 0)
      f[j] = complex{atomsf_xdt(s2, cs.xdts[j]), bk.im};
    else if (a.af == 1)
      f[j] = bk;
    else
      invalid_af();
  }
  *warn = flag;
  return crystal_fg(g, s2, cs, f.data());
}

void store_site_beq(const lattice_metric& lm, csd& cs) {
  for (int j = 0; j < cs.num_atom; ++j) set_beq(lm, cs.atoms[j]);
}

std::string fg_failure_text(const Hkl& g, double kv, const lattice_metric& lm, csd& cs) {
  const double s = std::sqrt(sq_s_of(g, lm));
  for (int j = 0; j < cs.num_atom; ++j) {
    complex bk;
    const int status = site_bk(lm, cs, j, s, kv, &bk);
    const atom& a = cs.atoms[j];
    if (site_factors_usable(status, a, cs.bks[j], s)) continue;
    const std::string where = strprintf("reflection %d %d %d, site %d (%s)", g.h, g.k, g.l, j + 1, a.name.c_str());
    switch (status) {
      case 1:
        return strprintf("%s: s = |g|/2 = %g 1/A lies beyond the electron table's last node, %g 1/A, where the "
                         "%s is not known",
                         where.c_str(), s, cs.bks[j].dts[26],
                         a.af == 0 ? "absorptive factor (B s^2 within the table's range)" : "tabulated factor");
      case 2:
        return strprintf("%s: B = %g A^2 is negative; a Debye-Waller B must be at least 0", where.c_str(), a.b_iso);
      case 3:
        return strprintf("%s: B = %g A^2 or s = %g 1/A is not a number the factors can be computed from",
                         where.c_str(), a.b_iso, s);
      default:
        return strprintf("%s: the voltage %g kV lies outside (0, 10000] kV", where.c_str(), kv);
    }
  }
  return std::string();
}

complex calc_Fg_ela(const Hkl& g, double kv, const lattice_metric& lm, csd& cs) {
  const double s2 = sq_s_of(g, lm);
  const double s = std::sqrt(s2);
  std::vector<complex> f(cs.num_atom);
  for (int j = 0; j < cs.num_atom; ++j) {
    const atom& a = cs.atoms[j];
    if (a.af == 0) {
      f[j] = complex{atomsf_xdt(s2, cs.xdts[j]), 0.0};
    } else if (a.af == 1 || a.af == 2) {
      complex bk;
      site_bk(lm, cs, j, s, kv, &bk);
      f[j] = complex{bk.re, 0.0};
    } else {
      invalid_af();
    }
  }
  return crystal_fg(g, s2, cs, f.data());
}

complex calc_Fg_inela(const Hkl& g, double kv, const lattice_metric& lm, csd& cs) {
  const double s2 = sq_s_of(g, lm);
  const double s = std::sqrt(s2);
  std::vector<complex> f(cs.num_atom);
  for (int j = 0; j < cs.num_atom; ++j) {
    const int af = cs.atoms[j].af;
    if (af != 0 && af != 1) invalid_af();
    complex bk;
    site_bk(lm, cs, j, s, kv, &bk);
    f[j] = complex{0.0, bk.im};
  }
  return crystal_fg(g, s2, cs, f.data());
}

complex calc_z_factor(const Hkl& g, const lattice_metric& lm, csd& cs) {
  const double s2 = sq_s_of(g, lm);
  std::vector<complex> f(cs.num_atom);
  for (int j = 0; j < cs.num_atom; ++j) {
    set_beq(lm, cs.atoms[j]);
    f[j] = complex{cs.xdts[j].z, 0.0};
  }
  return crystal_fg(g, s2, cs, f.data());
}

double calc_F_0_re(const csd& cs) {
  double f0 = 0.0;
  for (int j = 0; j < cs.num_atom; ++j) {
    complex bk;
    atom_bk(cs.bks[j], 0.0, 0.0, &bk, 100.0);
    f0 += bk.re * cs.atoms[j].occ * cs.atoms[j].multiplicity * cs.num_sym_op;
  }
  return f0;
}

complex structure_factor_ext(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                             int* warn) {
  if (extinction_rule(g, cs.lattice_type, cs.hex_flag) != 0) {
    *warn = 0;
    return complex{0.0, 0.0};
  }
  return calc_structure_factor(g, kv, lm, cs, warn);
}

complex structure_factor_ext_shared(const Hkl& g, double kv, const lattice_metric& lm, const csd& cs, int* warn) {
  if (extinction_rule(g, cs.lattice_type, cs.hex_flag) != 0) {
    *warn = 0;
    return complex{0.0, 0.0};
  }
  return calc_structure_factor_shared(g, kv, lm, cs, warn);
}

fg_table_walk plan_fg_table_walk(const fg_table& t, const Hkl* lookups, std::size_t n, const csd& cs) {
  // The table's reflections as stock_fg_tbl_sym would leave them, held by
  // value (which entries it appends depends on the reflections and the room
  // left only, never on the values): each with its first entry, as
  // search_g_table finds it.
  hkl_index at;
  int num = 0;
  for (; num < t.num; ++num) at.emplace(key_of(t.g[num]), num);
  // Reflections computed while the table was full, which are not stored
  // and would be computed again at every later look-up.
  hkl_index unstored;
  fg_table_walk w;
  w.source.resize(n);
  w.stock_begin.push_back(0);
  for (std::size_t k = 0; k < n; ++k) {
    const Hkl& g = lookups[k];
    const auto found = at.find(key_of(g));
    if (found != at.end()) {
      w.source[k] = found->second;
      continue;
    }
    const auto again = unstored.find(key_of(g));
    if (again != unstored.end()) {
      w.source[k] = -1 - again->second;
      continue;
    }
    const int r = static_cast<int>(w.computed.size());
    w.computed.push_back(g);
    w.source[k] = -1 - r;
    // stock_fg_tbl_sym's appends: g itself, then each equivalent not yet
    // present, while room remains.
    if (num < t.capacity) {
      at.emplace(key_of(g), num++);
      w.stock_op.push_back(-1);
      for (int op = 0; op < cs.num_sym_op && num < t.capacity; ++op)
        if (at.emplace(key_of(rotate_hkl(cs.sym_ops[op], g)), num).second) {
          ++num;
          w.stock_op.push_back(op);
        }
    } else {
      unstored.emplace(key_of(g), r);
    }
    w.stock_begin.push_back(static_cast<int>(w.stock_op.size()));
  }
  return w;
}

complex fg_table_walk_value(fg_table& t, const fg_table_walk& w, std::size_t k, const Hkl& g, const complex* computed,
                            const csd& cs) {
  const int src = w.source[k];
  if (src >= 0) return t.fg[src];
  const int r = -1 - src;
  const complex fg = computed[r];
  // The entries the walk found stock_fg_tbl_sym appending, with its values;
  // none where the table was full, as it is at every later look-up of r.
  for (int e = w.stock_begin[r]; e < w.stock_begin[r + 1]; ++e) {
    const int op = w.stock_op[e];
    t.g[t.num] = op < 0 ? g : rotate_hkl(cs.sym_ops[op], g);
    t.fg[t.num] = op < 0 ? fg : carried_fg(g, fg, cs.sym_ops[op]);
    ++t.num;
  }
  return fg;
}

void compute_walk_reflections(const fg_table_walk& w, double kv, const lattice_metric& lm, csd& cs, int threads,
                              const RankShare& ranks, std::vector<complex>& fg, std::vector<int>& warn) {
  const std::vector<Hkl>& computed = w.computed;
  const int m = static_cast<int>(computed.size());
  fg.assign(computed.size(), complex{0, 0});
  warn.assign(computed.size(), 0);
  for (const Hkl& g : computed)
    if (extinction_rule(g, cs.lattice_type, cs.hex_flag) == 0) {
      store_site_beq(lm, cs);
      break;
    }
  const csd& crystal = cs;
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
    int flag = 0;
    const complex f = structure_factor_ext_shared(computed[ranks.item(j)], kv, lm, crystal, &flag);
    double* o = &mine[static_cast<std::size_t>(j) * kSlot];
    o[0] = f.re;
    o[1] = f.im;
    o[2] = flag;
  });
  std::vector<double> all;
  share_item_slots(m, kSlot, mine, all);
  for (int r = 0; r < m; ++r) {
    const double* v = &all[static_cast<std::size_t>(r) * kSlot];
    fg[r] = complex{v[0], v[1]};
    warn[r] = static_cast<int>(v[2]);
  }
}

complex structure_factor_ext_tbl(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                                 fg_table& t, int* warn) {
  const int idx = search_g_table(t.num, g, t.g.data());
  if (idx >= 0) {
    *warn = 0;
    return t.fg[idx];
  }
  const complex fg = structure_factor_ext(g, kv, lm, cs, warn);
  stock_fg_tbl_sym(g, fg, t, cs);
  return fg;
}

int search_g_table(int n, const Hkl& g, const Hkl* tbl) {
  for (int i = 0; i < n; ++i)
    if (tbl[i] == g) return i;
  return -1;
}

void stock_fg_tbl_sym(const Hkl& g, complex fg, int* n, int cap, Hkl* tbl_g, complex* tbl_fg,
                      int num_op, const sym_op* ops) {
  if (*n >= cap) return;
  tbl_g[*n] = g;
  tbl_fg[*n] = fg;
  ++*n;
  for (int k = 0; k < num_op && *n < cap; ++k) {
    const Hkl gr = rotate_hkl(ops[k], g);
    if (search_g_table(*n, gr, tbl_g) >= 0) continue;
    tbl_g[*n] = gr;
    tbl_fg[*n] = carried_fg(g, fg, ops[k]);
    ++*n;
  }
}

void stock_fg_tbl_sym(const Hkl& g, complex fg, fg_table& t, const csd& cs) {
  stock_fg_tbl_sym(g, fg, &t.num, t.capacity, t.g.data(), t.fg.data(), cs.num_sym_op,
                   cs.sym_ops.data());
}

complex lofg_to_fg(int e, double kv, const lattice_metric& lm, csd& cs) {
  const Hkl& g = cs.lofg_hkl[e];
  switch (cs.lof_type) {
    case 1:
      return cs.lofg_fg[e];
    case 2:
      return cs.lofg_fg[e] + calc_Fg_inela(g, kv, lm, cs);
    case 3:
      return crystal_fg(g, sq_s_of(g, lm), cs, cs.lofg_f[e].data());
    case 4:
      return crystal_fg(g, sq_s_of(g, lm), cs, cs.lofg_f[e].data()) + calc_Fg_inela(g, kv, lm, cs);
    default:
      fatal_out("$$ Invalid lof_type. Abort.\n");
  }
}

void stock_lofg_tbl(fg_table& t, double kv, const lattice_metric& lm, csd& cs) {
  for (int e = 0; e < cs.num_lofg; ++e) {
    const Hkl& g = cs.lofg_hkl[e];
    stock_fg_tbl_sym(g, lofg_to_fg(e, kv, lm, cs), t, cs);
    if (t.num < t.capacity) continue;
    // Full: make sure this entry's whole family made it in.
    bool complete = search_g_table(t.num, g, t.g.data()) >= 0;
    for (int k = 0; complete && k < cs.num_sym_op; ++k)
      complete = search_g_table(t.num, rotate_hkl(cs.sym_ops[k], g), t.g.data()) >= 0;
    if (!complete)
      fatal_out("$$ The structure-factor table (%d entries) cannot hold LOW_ORDER_FG %d %d %d "
                "and all its equivalents. Abort.\n",
                t.capacity, g.h, g.k, g.l);
  }
}

complex fg_to_vg(complex fg, const lattice_metric& lm) { return fg * (1.0 / (kVgCoef * lm.vol)); }

complex fg_to_ug(complex fg, double kv, const lattice_metric& lm) {
  return fg * (relativ_corr(kv) / (kPi * lm.vol));
}

double fg_to_xig2(complex fg, double gamma, double lambda, const lattice_metric& lm) {
  const double u = c_abs(fg * (gamma / (kPi * lm.vol)));
  return u < 1e-12 ? 1e10 : 1.0 / (lambda * u);
}

double vg_to_xig(complex vg, double gamma, double lambda) {
  const double u = c_abs(vg * (gamma / kUgPerVg));
  return u < 1e-12 ? 1e10 : 1.0 / (lambda * u);
}

complex vg_to_ug(complex vg, double gamma) { return vg * (gamma * kVgCoef / kPi); }

void debug_vg_dump(const CMatrix& vg, int n) {
  if (dbg.vg_dump_flag != 1) return;
  const std::string path = dbg.base_name + "_vg.txt";
  OutputFile fp = qz_fopen_chk_wmode(path);
  std::printf("vg_data output ==> %s\n", path.c_str());
  qz_fprintf(fp.get(), "Vg: [Volt]\n");
  fprint_complexmat(fp.get(), n, vg);
  qz_fclose(fp);
}

double calc_abs_K(csd& c, double kv, const lattice_metric& lm) {
  complex f0{calc_F_0_re(c), 0.0};
  for (int e = 0; e < c.num_lofg; ++e) {
    if (c.lofg_hkl[e] == Hkl{0, 0, 0}) {
      f0 = lofg_to_fg(e, kv, lm, c);
      break;
    }
  }
  const double lambda = wavelength(kv);
  return std::sqrt(1.0 / (lambda * lambda) + fg_to_ug(f0, kv, lm).re);
}

}  // namespace kv
