#include "input/crystal_checks.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "crystal/spacegroup.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"

namespace kv {

// The cell must have positive edges and a real, non-zero volume; anything
// else turns every metric quantity into infinity or not-a-number.
void check_cell(const csd& cs) {
  const double* lp = cs.lp.data();
  constexpr double kDeg = 3.141592653589793 / 180.0;
  const double ca = std::cos(lp[3] * kDeg), cb = std::cos(lp[4] * kDeg), cg = std::cos(lp[5] * kDeg);
  const double v2 = 1.0 - ca * ca - cb * cb - cg * cg + 2.0 * ca * cb * cg;
  // Edges up to 10 000 A cover every crystal (and keep the metric finite).
  const bool edges = lp[0] <= 1e4 && lp[1] <= 1e4 && lp[2] <= 1e4;
  const bool ok = edges && lp[0] > 0.0 && lp[1] > 0.0 && lp[2] > 0.0 && lp[3] > 0.0 && lp[3] < 180.0 &&
                  lp[4] > 0.0 && lp[4] < 180.0 && lp[5] > 0.0 && lp[5] < 180.0 && v2 > 1e-12;
  if (!ok)
    fatal_out("$$ Invalid lattice parameters a=%g b=%g c=%g alpha=%g beta=%g gamma=%g: "
              "the cell has no volume. Abort.\n",
              lp[0], lp[1], lp[2], lp[3], lp[4], lp[5]);
}

// B is the mean-square displacement times 8 pi^2, never negative (1000 A^2
// would be a displacement of 3.6 A); an occupancy is a fraction of the site;
// a fractional coordinate far from the cell loses every digit in the phase
// 2 pi g.r. Checked once constrained values are known, so the message names
// the value the calculation would use.
constexpr double kMaxB = 1000.0;
constexpr double kMaxFraction = 100.0;

namespace {

// The displacement tensor beta (exponent -h^T beta h) is a scaled
// mean-square displacement tensor: every direction must have a displacement
// of at least 0, so the symmetric matrix must be positive semi-definite,
// i.e. every principal minor not below 0 (within rounding).
void check_aniso(const atom& a, int j, FILE* fp) {
  const double b11 = a.beta11, b22 = a.beta22, b33 = a.beta33, b12 = a.beta12, b13 = a.beta13, b23 = a.beta23;
  const double scale = std::max({std::fabs(b11), std::fabs(b22), std::fabs(b33), std::fabs(b12), std::fabs(b13),
                                 std::fabs(b23)});
  const double tol = 1e-9 * scale;
  const double m2[3] = {b11 * b22 - b12 * b12, b11 * b33 - b13 * b13, b22 * b33 - b23 * b23};
  const double det = b11 * (b22 * b33 - b23 * b23) - b12 * (b12 * b33 - b23 * b13) + b13 * (b12 * b23 - b22 * b13);
  const bool ok = b11 >= -tol && b22 >= -tol && b33 >= -tol && m2[0] >= -tol * scale && m2[1] >= -tol * scale &&
                  m2[2] >= -tol * scale && det >= -tol * scale * scale;
  if (!ok)
    fatal_out("$$ Invalid anisotropic displacement (beta11..beta23 = %g %g %g %g %g %g) of site %d (%s): the "
              "tensor must not give a negative mean-square displacement in any direction.\n%s$$ Abort.\n",
              b11, b22, b33, b12, b13, b23, j + 1, a.name.c_str(), place_note(fp).c_str());
}

// Whether two fractional positions are the same point of the crystal.
bool same_point(const Vec3& r, const Vec3& q) {
  for (int k = 0; k < 3; ++k) {
    const double d = r[k] - q[k];
    if (std::fabs(d - std::round(d)) > 1e-4) return false;
  }
  return true;
}

// The same point, or one that an operation of the space group takes onto
// the other.
bool same_position(const csd& cs, const atom& a, const atom& b) {
  const Vec3 p{a.x, a.y, a.z}, q{b.x, b.y, b.z};
  if (same_point(p, q)) return true;
  for (const sym_op& op : cs.sym_ops)
    if (same_point(apply_sym_op(op, p), q)) return true;
  return false;
}

// Sites that share one position (mixed or partial occupation) together
// hold at most one atom there.
void check_shared_positions(const csd& cs, FILE* fp) {
  const int n = cs.num_atom;
  std::vector<int> group(static_cast<std::size_t>(n), -1);
  for (int i = 0; i < n; ++i) {
    if (group[i] >= 0) continue;
    group[i] = i;
    double sum = cs.atoms[i].occ;
    std::string sites = std::to_string(i + 1) + " (" + cs.atoms[i].name + ")";
    int members = 1;
    for (int j = i + 1; j < n; ++j) {
      if (group[j] >= 0 || !same_position(cs, cs.atoms[i], cs.atoms[j])) continue;
      group[j] = i;
      sum += cs.atoms[j].occ;
      sites += ", " + std::to_string(j + 1) + " (" + cs.atoms[j].name + ")";
      ++members;
    }
    if (members > 1 && sum > 1.0 + 1e-6)
      fatal_out("$$ Invalid occupancies: sites %s stand on one position and their occupancies add up to %g, more "
                "than 1.\n%s$$ Abort.\n",
                sites.c_str(), sum, place_note(fp).c_str());
  }
}

}  // namespace

void check_sites(const csd& cs, FILE* fp) {
  for (int j = 0; j < cs.num_atom; ++j) {
    const atom& a = cs.atoms[j];
    if (a.bf == 0 && !(a.b_iso >= 0.0))
      fatal_out("$$ Invalid B (=%g) of site %d (%s): a Debye-Waller B must not be negative.\n%s$$ Abort.\n",
                a.b_iso, j + 1, a.name.c_str(), place_note(fp).c_str());
    if (a.bf == 0 && a.b_iso > kMaxB)
      fatal_out("$$ Invalid B (=%g) of site %d (%s): at most %g A^2.\n%s$$ Abort.\n", a.b_iso, j + 1,
                a.name.c_str(), kMaxB, place_note(fp).c_str());
    if (!(a.occ >= 0.0 && a.occ <= 1.0))
      fatal_out("$$ Invalid occupancy (=%g) of site %d (%s): it must lie between 0 and 1.\n%s$$ Abort.\n",
                a.occ, j + 1, a.name.c_str(), place_note(fp).c_str());
    if (!(std::fabs(a.x) <= kMaxFraction && std::fabs(a.y) <= kMaxFraction && std::fabs(a.z) <= kMaxFraction))
      fatal_out("$$ Invalid position (%g %g %g) of site %d (%s): fractional coordinates must lie between %g and "
                "%g.\n%s$$ Abort.\n",
                a.x, a.y, a.z, j + 1, a.name.c_str(), -kMaxFraction, kMaxFraction, place_note(fp).c_str());
    if (a.bf == 1) check_aniso(a, j, fp);
  }
  check_shared_positions(cs, fp);
}

}  // namespace kv
