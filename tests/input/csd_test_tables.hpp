#pragma once
// Helpers of the crystal-block and structure-factor tests: a working folder
// with a small electron scattering-factor table of made-up but smooth
// values, and parameter-file texts of a few crystals.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.hpp"

namespace kvtest {

// An electron table in the korvexbk.dat layout for the given elements:
// element i has f(s) = (2 + 0.7 i) exp(-0.8 s^2) angstrom and an
// absorptive table that grows with B and B s^2.
inline std::string synthetic_bk_table(const std::vector<std::string>& names) {
  std::ostringstream o;
  o << "% electron scattering factors for tests (made-up values)\nDTS\n";
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 9; ++c) o << 0.1 * (9 * r + c) << (c < 8 ? " " : "\n");
  }
  o << "GM\n0.1 0.3 0.6 1.0 2.0 4.0\nGMS2\n0.0 0.05 0.1 0.2 0.4\n0.8 1.5 3.0 6.0 12.0\n";
  for (std::size_t i = 0; i < names.size(); ++i) {
    const double f0 = 2.0 + 0.7 * static_cast<double>(i);
    o << names[i] << "\n1.0 0.0\n";
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 9; ++c) {
        const double s = 0.1 * (9 * r + c);
        o << 1000.0 * f0 * std::exp(-0.8 * s * s) << (c < 8 ? " " : "\n");
      }
    for (int k = 0; k < 60; ++k) {
      const int gm = k % 6, gms2 = k / 6;
      o << 1e-4 * f0 * (1 + gm) * std::exp(-0.3 * gms2) << ((k < 52 ? (k % 13 == 12) : k == 59) ? "\n" : " ");
    }
  }
  return o.str();
}

// A scratch folder that is the working directory while the object lives,
// holding korvexbk.dat (made up) unless told otherwise. The space-group and
// X-ray tables are found in the source tree's data folder.
class ScratchCwd {
 public:
  explicit ScratchCwd(bool with_bk = true,
                      const std::vector<std::string>& elements = {"Si", "O", "Ga", "As", "Al",
                                                                  "Cu", "Sr", "Ti"})
      : saved_(std::filesystem::current_path()) {
    if (with_bk) dir_.write("korvexbk.dat", synthetic_bk_table(elements));
    std::filesystem::current_path(dir_.path());
  }
  ~ScratchCwd() { std::filesystem::current_path(saved_); }
  ScratchCwd(const ScratchCwd&) = delete;
  ScratchCwd& operator=(const ScratchCwd&) = delete;
  const ScratchDir& dir() const { return dir_; }

 private:
  ScratchDir dir_;
  std::filesystem::path saved_;
};

// A CRYSTAL_STRUCTURE_DATA block of silicon (Fd-3m, origin at the centre)
// with the given B and LOW_ORDER_FG part.
inline std::string si_block(double b = 0.0, const std::string& lofg = "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n") {
  std::ostringstream o;
  o << "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n5.4309 FIX a\n5.4309 FIX b\n5.4309 FIX c\n"
       "90 FIX al\n90 FIX be\n90 FIX ga\n}LATTICE\nATOM{\n1\nSITE{\nSi\n0.125 FIX x1\n"
       "0.125 FIX y1\n0.125 FIX z1\nISO\n"
    << b << " FIX b1\n1.0 FIX occ1\n0\n}SITE\n}ATOM\n"
    << lofg << "}CRYSTAL_STRUCTURE_DATA\n";
  return o.str();
}

}  // namespace kvtest
