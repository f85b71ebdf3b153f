#include "crystal/formula.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv {

namespace {

// Electropositive first: noble gases, groups 1 and 2, the rare earths and
// actinoids, then the transition metals group by group from 3 to 12, the
// p-block from group 13 to 17 (hydrogen between the pnictogens and the
// chalcogens).
constexpr const char* kSequence[] = {
    "Rn", "Xe", "Kr", "Ar", "Ne", "He", "Fr", "Cs", "Rb", "K",  "Na", "Li", "Ra", "Ba", "Sr", "Ca", "Mg", "Be",
    "Lr", "No", "Md", "Fm", "Es", "Cf", "Bk", "Cm", "Am", "Pu", "Np", "U",  "Pa", "Th", "Ac", "Lu", "Yb", "Tm",
    "Er", "Ho", "Dy", "Tb", "Gd", "Eu", "Sm", "Pm", "Nd", "Pr", "Ce", "La", "Y",  "Sc", "Hf", "Zr", "Ti", "Ta",
    "Nb", "V",  "W",  "Mo", "Cr", "Re", "Tc", "Mn", "Os", "Ru", "Fe", "Ir", "Rh", "Co", "Pt", "Pd", "Ni", "Au",
    "Ag", "Cu", "Hg", "Cd", "Zn", "B",  "Al", "Ga", "In", "Tl", "Pb", "Sn", "Ge", "Si", "C",  "Bi", "Sb", "As",
    "P",  "N",  "H",  "Po", "Te", "Se", "S",  "O",  "At", "I",  "Br", "Cl", "F"};

bool whole(double x) { return std::fabs(x - std::round(x)) <= 0.02 * std::max(1.0, std::fabs(x)); }

}  // namespace

int electropositive_rank(const std::string& element) {
  const int n = static_cast<int>(sizeof kSequence / sizeof kSequence[0]);
  for (int i = 0; i < n; ++i)
    if (element == kSequence[i]) return i;
  return n;
}

std::string formula_text(std::vector<std::pair<std::string, double>> counts, bool reduce) {
  std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
    return electropositive_rank(a.first) < electropositive_rank(b.first);
  });
  if (reduce && !counts.empty()) {
    double least = counts[0].second;
    for (const auto& c : counts) least = std::min(least, c.second);
    if (least > 0.0) {
      int mult = 0;
      for (int m = 1; m <= 12 && mult == 0; ++m)
        if (std::all_of(counts.begin(), counts.end(), [&](const auto& c) { return whole(c.second / least * m); }))
          mult = m;
      for (auto& c : counts) {
        c.second = c.second / least * (mult > 0 ? mult : 1);
        if (mult > 0) c.second = std::round(c.second);
      }
    }
  }
  std::string out;
  for (const auto& [el, n] : counts) {
    out += el;
    if (std::fabs(n - 1.0) > 1e-9) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.3g", n);
      out += buf;
    }
  }
  return out;
}

}  // namespace kv
