#pragma once
// Measured intensity files and DATA_SET blocks for the experimental-data
// tests.
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "input/fields.hpp"
#include "sim/runctl.hpp"

namespace kvtest {

// Restores the run-control record (the tolerances) that a fit-mode file
// reader replaces.
struct EpsilonGuard {
  kv::Epsilon saved = kv::epsilon;
  ~EpsilonGuard() { kv::epsilon = saved; }
};

struct IntFileRecipe {
  std::string kind = "FIT_EXPDATA_RAW";
  double x0 = 0.0, y0 = 0.0;  // origin added to the range
  int nx = 3;
  double xmin = -1.0, xmax = 1.0, ymin = -1.0, ymax = 1.0;  // relative to the origin
  std::vector<kv::Hkl> reflexes{{0, 0, 0}, {1, 1, 1}};
  int num_thickness = 1;
  // Intensity and deviation of reflection r, thickness t at absolute (x, y).
  std::function<double(int r, int t, double x, double y)> intensity = [](int r, int t, double x, double y) {
    return 100.0 * (r + 1) + 10.0 * t + 2.0 * x + 3.0 * y;
  };
  std::function<double(int r, int t, int p)> sigma = [](int, int, int) { return 1.0; };
  bool drop_row_gap = false;  // leave out the empty line after the first row
};

inline std::string int_file_text(const IntFileRecipe& s) {
  std::ostringstream o;
  o.precision(17);
  o << s.kind << "\n# measured\nCR{\n1 0 0\n0 1 0\n0 0 1\n1 1 1\n" << s.x0 << " " << s.y0 << "\n}CR\n";
  o << "PAR{\n" << s.num_thickness << "\n" << s.reflexes.size() << "\n" << s.nx * s.nx << " " << s.nx << "\n"
    << s.xmin << " " << s.xmax << " " << s.ymin << " " << s.ymax << "\n}PAR\n";
  const int npix = s.nx * s.nx;
  for (int t = 0; t < s.num_thickness; ++t) {
    o << "THICKNESS{\n";
    for (std::size_t r = 0; r < s.reflexes.size(); ++r) {
      o << "RF{\n" << s.reflexes[r].h << " " << s.reflexes[r].k << " " << s.reflexes[r].l << "\n";
      for (int p = 0; p < npix; ++p) {
        const int c = p % s.nx, row = p / s.nx;
        const double x = s.x0 + s.xmin + c * (s.xmax - s.xmin) / (s.nx - 1);
        const double y = s.y0 + s.ymin + row * (s.ymax - s.ymin) / (s.nx - 1);
        o << s.intensity(static_cast<int>(r), t, x, y) << " " << s.sigma(static_cast<int>(r), t, p) << "\n";
        if ((p + 1) % s.nx == 0 && !(s.drop_row_gap && p + 1 == s.nx)) o << "\n";
      }
      o << "}RF\n";
    }
    o << "}THICKNESS\n";
  }
  return o.str();
}

// A DATA_SET block for an intensity file with the given reflections; each
// thickness block's text comes from `block(t)`.
inline std::string data_set_text(const std::string& int_file, int num_thick, int num_reflex,
                                 const std::function<std::string(int t)>& block,
                                 const std::string& kxy = "2\n5\n1.0\n",
                                 const std::string& beams = "0\n3 0\n0 0 0\n1 1 1\n-1 -1 -1\n") {
  std::ostringstream o;
  o << "DATA_SET{\nINCIDENT_BEAM{\n1 1 0\n1 1 0\n0 0 1\n0.1 ADJ tH1\n-0.2 FIX tG1\n200 FIX kv1\n}INCIDENT_BEAM\n"
    << "CALC_KXY_RANGE{\n" << kxy << "}CALC_KXY_RANGE\nBEAM_SEARCH{\n" << beams << "}BEAM_SEARCH\n"
    << "INTENSITY_DATA{\n" << int_file << "\n" << num_thick << "\n" << num_reflex << "\n}INTENSITY_DATA\n";
  for (int t = 0; t < num_thick; ++t) o << block(t);
  o << "}DATA_SET\n";
  return o.str();
}

// A thickness block with shift lines for n reflections named H<t><r>, G<t><r>.
inline std::string thickness_block_text(int t, int n, const std::string& stw_avr = "0 1.0\n") {
  std::ostringstream o;
  o << "THICKNESS_BLOCK{\nSTW_PAR{\n1.5 ADJ sc" << t << "\n" << 500 + 100 * t << " ADJ th" << t
    << "\n0 FIX tw" << t << "\n" << stw_avr << "}STW_PAR\nREFLEX_SHIFT_PAR{\n";
  for (int r = 0; r < n; ++r)
    o << "0 0 0\n" << 0.01 * (r + 1) << " ADJ H" << t << r << "\n" << -0.02 * (r + 1) << " ADJ G" << t << r << "\n";
  o << "}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n";
  return o.str();
}

}  // namespace kvtest
