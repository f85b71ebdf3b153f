#pragma once
// Helpers of the beam-selection tests: a scratch working directory with a
// small made-up electron scattering-factor table, crystals read from
// CRYSTAL_STRUCTURE_DATA texts, and the FatalError a piece of code ends with.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

namespace kvtest {

// korvexbk.dat for the given elements: element i has the elastic factor
// (1.5 + 0.5 i) exp(-0.5 s^2) angstrom and a smooth absorptive table.
inline std::string beam_test_bk_table(const std::vector<std::string>& names) {
  std::ostringstream o;
  o << "% made-up electron scattering factors\nDTS\n";
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 9; ++c) o << 0.25 * (9 * r + c) << (c < 8 ? " " : "\n");
  o << "GM\n0.1 0.3 0.6 1.0 2.0 4.0\nGMS2\n0.0 0.05 0.1 0.2 0.4\n0.8 1.5 3.0 6.0 12.0\n";
  for (std::size_t i = 0; i < names.size(); ++i) {
    const double f0 = 1.5 + 0.5 * static_cast<double>(i);
    o << names[i] << "\n1.0 0.0\n";
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 9; ++c) {
        const double s = 0.25 * (9 * r + c);
        o << 1000.0 * f0 * std::exp(-0.5 * s * s) << (c < 8 ? " " : "\n");
      }
    for (int k = 0; k < 60; ++k) {
      const int gm = k % 6, gms2 = k / 6;
      const bool line_end = k < 52 ? (k % 13 == 12) : k == 59;
      o << 2e-4 * f0 * (1 + gm) * std::exp(-0.2 * gms2) << (line_end ? "\n" : " ");
    }
  }
  return o.str();
}

// A scratch folder that is the working directory while the object lives,
// holding korvexbk.dat for Si, Ga, As and Cu; the space-group and X-ray
// tables come from the source tree's data folder.
class BeamScratch {
 public:
  BeamScratch() : saved_(std::filesystem::current_path()) {
    dir_.write("korvexbk.dat", beam_test_bk_table({"Si", "Ga", "As", "Cu"}));
    std::filesystem::current_path(dir_.path());
  }
  ~BeamScratch() { std::filesystem::current_path(saved_); }
  BeamScratch(const BeamScratch&) = delete;
  BeamScratch& operator=(const BeamScratch&) = delete;
  const ScratchDir& dir() const { return dir_; }

 private:
  ScratchDir dir_;
  std::filesystem::path saved_;
};

struct SiteText {
  std::string name;
  double x, y, z, b;
  int af = 0;
};

// A CRYSTAL_STRUCTURE_DATA block: space group, cell, isotropic sites and an
// optional LOW_ORDER_FG body (the lines between its markers).
inline std::string crystal_block(int sg, const std::vector<double>& lp,
                                 const std::vector<SiteText>& sites,
                                 const std::string& lofg_body = "0\n") {
  std::ostringstream o;
  o << "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n" << sg << "\n";
  const char* names[6] = {"a", "b", "c", "al", "be", "ga"};
  for (int i = 0; i < 6; ++i) o << lp[i] << " FIX " << names[i] << "\n";
  o << "}LATTICE\nATOM{\n" << sites.size() << "\n";
  int n = 0;
  for (const SiteText& s : sites) {
    ++n;
    o << "SITE{\n" << s.name << "\n" << s.x << " FIX x" << n << "\n" << s.y << " FIX y" << n << "\n"
      << s.z << " FIX z" << n << "\nISO\n" << s.b << " FIX b" << n << "\n1.0 FIX occ" << n << "\n"
      << s.af << "\n}SITE\n";
  }
  o << "}ATOM\nLOW_ORDER_FG{\n" << lofg_body << "}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
  return o.str();
}

inline kv::csd read_crystal(const std::string& block) {
  kv::csd c;
  StringFile f(block);
  kv::input_csd_cstr(c, f.get(), "beamtest");
  return c;
}

// Simple cubic (Pm-3m), one Cu atom at the origin.
inline kv::csd cubic_p(double a = 4.0, const std::string& lofg_body = "0\n") {
  return read_crystal(crystal_block(221, {a, a, a, 90, 90, 90}, {{"Cu", 0, 0, 0, 0.5}}, lofg_body));
}

// Silicon (Fd-3m, origin at the centre).
inline kv::csd silicon(const std::string& lofg_body = "0\n") {
  return read_crystal(
      crystal_block(227, {5.4309, 5.4309, 5.4309, 90, 90, 90}, {{"Si", 0.125, 0.125, 0.125, 0.46}},
                    lofg_body));
}

}  // namespace kvtest
