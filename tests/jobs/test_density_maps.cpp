// Projected and unit-cell density and potential maps of real crystals: the
// symmetry of the maps, their mean values (mean inner potential, electrons
// per cell), a low-order Fourier coefficient against the X-ray structure
// factor, the position of the heavier atom, and the files line by line.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <sstream>

#include "crystal/scattering.hpp"
#include "crystal/spacegroup.hpp"
#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

using namespace kvtest;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSiA = 5.4309;

const char* kIncident001 = "INCIDENT_BEAM{\n0 0 1\n0 0 1\n2 2 0\n0\n0\n200\n}INCIDENT_BEAM\n";

// A projected-map block: ZOLZ beams of [001] out to 2.5 / A, nx x ny points.
std::string proj_block(int nx, int ny, const std::string& xr, const std::string& yr, double area,
                       const std::string& search = "2\n300 2.5 0 0\n10 20 1e9\n") {
  std::ostringstream s;
  s << "E_DENSITY_CALCULATION_CONDITION{\n" << kIncident001 << "BEAM_SEARCH{\n" << search << "}BEAM_SEARCH\n"
    << "CALC_RXY_RANGE{\n" << nx << " " << ny << "\n" << xr << "\n" << yr << "\n}CALC_RXY_RANGE\n"
    << "AREA_PROJ_CELL{\n" << area << "\n}AREA_PROJ_CELL\n}E_DENSITY_CALCULATION_CONDITION\n";
  return s.str();
}

std::string cell_block(const std::string& range, const std::string& search = "0\n1 0\n0 0 0\n") {
  return "E_DENSITY_CALCULATION_CONDITION{\n" + std::string(kIncident001) + "BEAM_SEARCH_3D{\n" + search +
         "}BEAM_SEARCH_3D\nCALC_RXY_RANGE_3D{\n" + range + "}CALC_RXY_RANGE_3D\n}E_DENSITY_CALCULATION_CONDITION\n";
}

// The data rows of a projected map: per x block, per y point, the columns.
struct ProjMap {
  std::vector<std::vector<std::vector<double>>> rows;  // [i][j] -> x, y, values...
  std::vector<std::string> header;
};

ProjMap read_proj(const std::string& text) {
  ProjMap m;
  m.rows.emplace_back();
  for (const std::string& l : split_lines(text)) {
    if (l.rfind("#", 0) == 0) {
      m.header.push_back(l);
      continue;
    }
    if (l.empty()) {
      m.rows.emplace_back();
      continue;
    }
    m.rows.back().push_back(numbers_of(l));
  }
  if (m.rows.back().empty()) m.rows.pop_back();
  return m;
}

double mean_column(const ProjMap& m, int col) {
  double s = 0;
  int n = 0;
  for (const auto& r : m.rows)
    for (const auto& p : r) s += p[col], ++n;
  return s / n;
}

// A VEND map without its periodic closing planes: v[(i * ny + j) * nz + k].
struct Vend {
  std::vector<std::string> lines;
  int nx = 0, ny = 0, nz = 0;
  std::vector<double> v;
  double at(int i, int j, int k) const {
    i = ((i % nx) + nx) % nx, j = ((j % ny) + ny) % ny, k = ((k % nz) + nz) % nz;
    return v[(static_cast<std::size_t>(i) * ny + j) * nz + k];
  }
  double mean() const {
    double s = 0;
    for (double x : v) s += x;
    return s / v.size();
  }
};

Vend read_vend(const std::string& text) {
  Vend m;
  m.lines = split_lines(text);
  std::istringstream size(m.lines.at(2));
  size >> m.nx >> m.ny >> m.nz;
  --m.nx, --m.ny, --m.nz;
  for (int i = 0; i < m.nx; ++i)
    for (int j = 0; j < m.ny; ++j) {
      std::istringstream in(m.lines.at(3 + static_cast<std::size_t>(i) * (m.ny + 1) + j));
      for (int k = 0; k < m.nz; ++k) {
        double x;
        in >> x;
        m.v.push_back(x);
      }
    }
  return m;
}

// Largest |rho(R r + t) - rho(r)| over the grid points that the operation
// maps onto grid points.
double worst_asymmetry(const Vend& m, const std::vector<kv::sym_op>& ops) {
  double worst = 0;
  for (const kv::sym_op& op : ops)
    for (int i = 0; i < m.nx; ++i)
      for (int j = 0; j < m.ny; ++j)
        for (int k = 0; k < m.nz; ++k) {
          const kv::Vec3 r{double(i) / m.nx, double(j) / m.ny, double(k) / m.nz};
          const kv::Vec3 q = kv::apply_sym_op(op, r);
          const double a = q[0] * m.nx, b = q[1] * m.ny, c = q[2] * m.nz;
          if (std::fabs(a - std::round(a)) > 1e-9 || std::fabs(b - std::round(b)) > 1e-9 ||
              std::fabs(c - std::round(c)) > 1e-9)
            continue;
          worst = std::max(worst, std::fabs(m.at(int(std::lround(a)), int(std::lround(b)), int(std::lround(c))) -
                                            m.at(i, j, k)));
        }
  return worst;
}

std::vector<kv::sym_op> group_ops(int number) {
  int n = 0, centro = 0, hex = 0;
  std::string type;
  return kv::read_sp_group_tbl(number, &n, &centro, &type, &hex);
}

// Fourier coefficient (h k l) of a unit-cell map times the cell volume.
std::complex<double> coefficient(const Vend& m, int h, int k, int l, double volume) {
  std::complex<double> s = 0;
  for (int i = 0; i < m.nx; ++i)
    for (int j = 0; j < m.ny; ++j)
      for (int q = 0; q < m.nz; ++q)
        s += m.at(i, j, q) *
             std::polar(1.0, -2.0 * kPi * (double(h * i) / m.nx + double(k * j) / m.ny + double(l * q) / m.nz));
  return s * volume / double(m.nx * m.ny * m.nz);
}

}  // namespace

TEST(ProjectedMaps, Si001PotentialHasFourfoldMirrorSymmetryAboutTheAtomColumns) {
  ScratchDir d;
  // x1 along [110], x2 along [-110], both of length a/sqrt(8): the atom
  // columns form a square lattice of period 1 with one column at (1/2, 0).
  const auto r = run_korvex(d, "pp.dat",
                            "POTENTIAL_REIM_PROJ_MODE\n" + eps_block() + si_crystal() +
                                proj_block(9, 9, "0 1", "-0.5 0.5", 29.5));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const ProjMap m = read_proj(d.read("pp_pp.txt"));
  ASSERT_EQ(m.rows.size(), 9u);
  for (const auto& row : m.rows) ASSERT_EQ(row.size(), 9u);
  for (int col : {2, 3}) {
    auto v = [&](int du, int dv) { return m.rows[4 + du][4 + dv][col]; };
    double worst = 0, lo = 1e300, hi = -1e300;
    for (int u = -4; u <= 4; ++u)
      for (int w = -4; w <= 4; ++w) {
        worst = std::max({worst, std::fabs(v(u, w) - v(-u, w)), std::fabs(v(u, w) - v(u, -w)),
                          std::fabs(v(u, w) - v(w, -u))});
        lo = std::min(lo, v(u, w));
        hi = std::max(hi, v(u, w));
      }
    EXPECT_LT(worst, 2e-4 * (hi - lo)) << "column " << col;
    EXPECT_GT(hi - lo, 1e-2) << "column " << col;
    // Both the potential and the absorption peak on the column.
    EXPECT_EQ(v(0, 0), hi) << "column " << col;
  }
  EXPECT_EQ(m.header[0], "# Projected potential (formed by 69 beams)");
  EXPECT_EQ(m.header[1], "# nx  ny");
  EXPECT_EQ(m.header[2], "# 9  9");
  EXPECT_EQ(m.header[3], "# x\ty\tpot.re[V]\tpot.im[V])");
  const std::vector<std::string> lines = split_lines(d.read("pp_pp.txt"));
  EXPECT_EQ(lines[4].substr(0, 7), "0\t-0.5\t");
  EXPECT_EQ(lines[5].substr(0, 9), "0\t-0.375\t");
  EXPECT_EQ(lines[13], "");
  EXPECT_EQ(lines[14].substr(0, 9), "0.125\t-0.");
  EXPECT_EQ(d.read("pp_im_pp.plt"),
            "#Imaginary (inelastic) potential plot\nset pm3d\nset nosurface\nset view 0,0\nset size square\n"
            "set term png crop\nset output 'pp_im_pp.png'\n#set zrange [-3:3]\n"
            "splot 'pp_pp.txt' using 1:2:4 with lines\npause -1\n");
  EXPECT_EQ(d.read("pp_re_pp.plt"),
            "#Real (elastic) potential plot\nset pm3d\nset nosurface\nset view 0,0\nset size square\n"
            "set term png crop\nset output 'pp_re_pp.png'\n#set zrange [0:20]\n"
            "splot 'pp_pp.txt' using 1:2:3 with lines\npause -1\n");
  EXPECT_NE(r.out.find("x1 = 0.25 0.25 "), std::string::npos);
  EXPECT_NE(r.out.find("Projected potential        ==> pp_pp.txt\n"), std::string::npos);
}

TEST(ProjectedMaps, MeansGiveTheMeanInnerPotentialAndTheElectronsOfTheCell) {
  ScratchDir d;
  // One full period sampled by 16 x 16 points: the mean of the sum is its
  // g = 0 term exactly.
  const std::string block = proj_block(16, 16, "0 0.9375", "0 0.9375", kSiA * kSiA);
  auto r = run_korvex(d, "ed.dat", "E_DENSITY_PROJ_MODE\n" + eps_block() + si_crystal() + block);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_korvex(d, "ed2.dat",
                 "E_DENSITY_PROJ_MODE\n" + eps_block() + si_crystal() +
                     proj_block(16, 16, "0 0.9375", "0 0.9375", 2 * kSiA * kSiA));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_korvex(d, "cell.dat",
                 "E_DENSITY_3D_UNITCELL_MODE\n" + eps_block() + si_crystal() + cell_block("UNITCELL_XYZ\n8 8 8\n"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const ProjMap ed = read_proj(d.read("ed_ed.txt")), pp = read_proj(d.read("ed_pp.txt"));
  // 8 silicon atoms of 14 electrons over the projected cell a^2.
  EXPECT_NEAR(mean_column(ed, 2) * kSiA * kSiA, 112.0, 2e-3);
  // The same V_0 as the mean of the unit-cell map; for Si about 14 V.
  const double v0 = read_vend(d.read("cell_pt.3ed")).mean();
  EXPECT_NEAR(mean_column(pp, 2), v0, 1e-4 * v0);
  EXPECT_GT(v0, 12.0);
  EXPECT_LT(v0, 16.0);
  // Doubling the area halves the density and leaves the potential alone.
  const ProjMap ed2 = read_proj(d.read("ed2_ed.txt"));
  EXPECT_EQ(d.read("ed_pp.txt"), d.read("ed2_pp.txt"));
  for (std::size_t i = 0; i < ed.rows.size(); ++i)
    for (std::size_t j = 0; j < ed.rows[i].size(); ++j)
      EXPECT_NEAR(ed2.rows[i][j][2], 0.5 * ed.rows[i][j][2], 1e-5 * std::fabs(ed.rows[i][j][2]) + 1e-9);
  EXPECT_EQ(ed.header[0], "# Projected electron density (formed by 69 beams)");
  EXPECT_EQ(ed.header[3], "# x\ty\tpotential.re[V])");
  EXPECT_EQ(pp.header[3], "# x\ty\tpotential.re[V])");
  EXPECT_EQ(d.read("ed_ed.plt"),
            "#\nset pm3d\nset nosurface\nset view 0,0\nset size square\nset term png crop\n"
            "set output 'ed_ed.png'\n#set zrange [0:3]\nsplot 'ed_ed.txt' using 1:2:3 with lines\npause -1\n");
  EXPECT_EQ(d.read("ed_pp.plt"),
            "#\nset pm3d\nset nosurface\nset view 0,0\nset size square\nset term png crop\n"
            "set output 'ed_pp.png'\n#set zrange [0:20]\nsplot 'ed_pp.txt' using 1:2:3 with lines\npause -1\n");
}

TEST(ProjectedMaps, SinglePointGridsAndBadInput) {
  ScratchDir d;
  auto r = run_korvex(d, "one.dat",
                      "POTENTIAL_REIM_PROJ_MODE\n" + eps_block() + si_crystal() + proj_block(1, 3, "0.3 9", "0 1", 1));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const ProjMap m = read_proj(d.read("one_pp.txt"));
  ASSERT_EQ(m.rows.size(), 1u);
  ASSERT_EQ(m.rows[0].size(), 3u);
  EXPECT_EQ(m.rows[0][2][0], 0.3);  // nx = 1 keeps x_begin
  EXPECT_EQ(m.rows[0][1][1], 0.5);

  r = run_korvex(d, "zero.dat",
                 "E_DENSITY_PROJ_MODE\n" + eps_block() + si_crystal() + proj_block(3, 3, "0 1", "0 1", 0));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ The projected-cell area must be positive"), std::string::npos) << r.out;
  r = run_korvex(d, "empty.dat",
                 "POTENTIAL_REIM_PROJ_MODE\n" + eps_block() + si_crystal() + proj_block(0, 3, "0 1", "0 1", 1));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ number of pixels should be from 1 to 1024. Abort.\n$$ x,y = 0 3\n"), std::string::npos)
      << r.out;
  r = run_korvex(d, "flag.dat",
                 "POTENTIAL_REIM_PROJ_MODE\n" + eps_block() + si_crystal() + proj_block(3, 3, "0 1", "0 1", 1, "7\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Invalid flag_bs\n"), std::string::npos) << r.out;
}

TEST(CellMaps, SiliconDensityIsSymmetricHoldsTheElectronsAndMatchesXrayFactors) {
  ScratchDir d;
  const auto r = run_korvex(d, "si.dat",
                            "E_DENSITY_3D_UNITCELL_MODE\n" + eps_block() + si_crystal() +
                                cell_block("UNITCELL_XYZ\n16 16 16\n"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("$$ number of reflections for FFT = 3375\n"), std::string::npos);
  EXPECT_NE(r.out.find("$$ All reflections are within gmax\n"), std::string::npos);
  const Vend ed = read_vend(d.read("si_ed.3ed")), pt = read_vend(d.read("si_pt.3ed"));
  const double volume = kSiA * kSiA * kSiA;
  EXPECT_NEAR(ed.mean() * volume, 112.0, 1e-3);
  const std::vector<kv::sym_op> ops = group_ops(227);
  ASSERT_EQ(ops.size(), 192u);
  EXPECT_LT(worst_asymmetry(ed, ops), 1e-4);
  EXPECT_LT(worst_asymmetry(pt, ops), 1e-3);
  // The atom at (1/8 1/8 1/8) is the density maximum.
  double hi = -1e300;
  for (double x : ed.v) hi = std::max(hi, x);
  EXPECT_EQ(ed.at(2, 2, 2), hi);
  // |F_111| = 4 sqrt(2) f_x(s) exp(-B s^2) with the four-Gaussian X-ray
  // factor: the Mott-Bethe coefficients must reproduce it.
  std::string si = "Si";
  const kv::xdt x = kv::read_xdt_table(si);
  const double s2 = 3.0 / (kSiA * kSiA) / 4.0;
  const double f111 = 4.0 * std::sqrt(2.0) * kv::xray_asf(s2, x) * std::exp(-0.4632 * s2);
  EXPECT_NEAR(std::abs(coefficient(ed, 1, 1, 1, volume)), f111, 0.02 * f111);
  EXPECT_NEAR(std::abs(coefficient(ed, 2, 0, 0, volume)), 0.0, 1e-2);  // forbidden
}

TEST(CellMaps, GaAsDensityPeaksOnArsenicAndPotentialJobAddsAbsorption) {
  ScratchDir d;
  const std::string block = cell_block("UNITCELL_XYZ\n8 8 8\n");
  auto r = run_korvex(d, "ed.dat", "E_DENSITY_3D_UNITCELL_MODE\n" + eps_block() + gaas_crystal() + block);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = run_korvex(d, "pt.dat", "POTENTIAL_REIM_3D_UNITCELL_MODE\n" + eps_block() + gaas_crystal() + block);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const Vend ed = read_vend(d.read("ed_ed.3ed"));
  // As (33 electrons) at (1/4 1/4 1/4), Ga (31) at the origin, the empty
  // tetrahedral site at (3/4 3/4 3/4): a wrong sign of the synthesis would
  // exchange the first and the last.
  EXPECT_GT(ed.at(2, 2, 2), ed.at(0, 0, 0));
  EXPECT_GT(ed.at(0, 0, 0), 4 * ed.at(6, 6, 6));
  EXPECT_NEAR(ed.mean() * std::pow(5.6533, 3), 4.0 * (31 + 33), 2e-3);
  EXPECT_LT(worst_asymmetry(ed, group_ops(216)), 1e-4);
  // The complex potential job's real part is the density job's potential.
  const Vend re = read_vend(d.read("pt_pt.3ed")), im = read_vend(d.read("pt_ptim.3ed"));
  const Vend pt = read_vend(d.read("ed_pt.3ed"));
  ASSERT_EQ(re.v.size(), pt.v.size());
  for (std::size_t i = 0; i < re.v.size(); ++i) EXPECT_NEAR(re.v[i], pt.v[i], 1e-4 * std::fabs(pt.v[i]) + 1e-4);
  EXPECT_GT(im.mean(), 0.0);  // absorption
  EXPECT_GT(im.at(2, 2, 2), im.at(6, 6, 6));
  EXPECT_EQ(im.lines[0], "#Imaginary potential [V]");
  EXPECT_EQ(re.lines[0], "#Electrostatic potential [V]");
  EXPECT_NE(r.out.find("Potential.im (VEND-format):        ==> pt_ptim.3ed\n"), std::string::npos);
}

TEST(CellMaps, VendLayoutOfAFourPointGrid) {
  ScratchDir d;
  const auto r = run_korvex(d, "v.dat",
                            "E_DENSITY_3D_UNITCELL_MODE\n" + eps_block() + si_crystal() +
                                cell_block("UNITCELL_XYZ\n4 4 4\n"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("$$ number of reflections for FFT = 27\n"), std::string::npos);
  EXPECT_NE(r.out.find("Electron density (VEND-format): ==> v_ed.3ed\n"), std::string::npos);
  for (const char* f : {"v_ed.3ed", "v_pt.3ed"}) {
    const std::vector<std::string> lines = split_lines(d.read(f));
    ASSERT_EQ(lines.size(), 28u) << f;
    EXPECT_EQ(lines[1], "5.4309 5.4309 5.4309 90 90 90");
    EXPECT_EQ(lines[2], "5  5  5");
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 3; i < lines.size(); ++i) {
      std::vector<std::string> tok;
      std::istringstream in(lines[i]);
      std::string t;
      while (in >> t) tok.push_back(t);
      ASSERT_EQ(tok.size(), 5u) << lines[i];
      EXPECT_EQ(tok[4], tok[0]);
      // Values separated by two blanks, none after the last.
      EXPECT_EQ(lines[i], tok[0] + "  " + tok[1] + "  " + tok[2] + "  " + tok[3] + "  " + tok[4]);
      rows.push_back(tok);
    }
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(rows[i * 5 + 4], rows[i * 5]);  // j = 4 repeats j = 0
    for (int j = 0; j <= 4; ++j) EXPECT_EQ(rows[20 + j], rows[j]);        // i = 4 repeats i = 0
  }
  EXPECT_EQ(split_lines(d.read("v_ed.3ed"))[0], "#Electron density [e/A^3]");
  EXPECT_EQ(split_lines(d.read("v_pt.3ed"))[0], "#Electrostatic potential [V]");
}

TEST(CellMaps, ResolutionCutAppliesToTheDensityJobOnly) {
  ScratchDir d;
  const std::string eps = eps_block("e_density_gmax_val 0.01\n");
  const std::string block = cell_block("UNITCELL_XYZ\n8 8 8\n");
  auto r = run_korvex(d, "ed.dat", "E_DENSITY_3D_UNITCELL_MODE\n" + eps + si_crystal() + block);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("$$ Threshold gmax = 0.010000.\n$$ gmax filtered.\n"), std::string::npos) << r.out;
  const Vend ed = read_vend(d.read("ed_ed.3ed"));
  for (double v : ed.v) EXPECT_NEAR(v, 112.0 / std::pow(kSiA, 3), 1e-5);
  r = run_korvex(d, "pt.dat", "POTENTIAL_REIM_3D_UNITCELL_MODE\n" + eps + si_crystal() + block);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const Vend pt = read_vend(d.read("pt_pt.3ed"));
  double lo = 1e300, hi = -1e300;
  for (double v : pt.v) lo = std::min(lo, v), hi = std::max(hi, v);
  EXPECT_GT(hi - lo, 10.0);
}

TEST(CellMaps, BadBlocksEndWithOneMessage) {
  ScratchDir d;
  struct Case {
    std::string range, search, message;
    bool on_stderr;
  };
  const std::vector<Case> cases = {
      {"4 4 4\n0 1\n0 1\n0 1\n", "0\n1 0\n0 0 0\n", "$$error. Use UNITCELL_XYZ mode.\n", false},
      {"GRID 4 4 4\n", "0\n1 0\n0 0 0\n", "$$Data format error in CALC_RXY_RANGE_3D. Abort.\n$$buf=GRID 4 4 4", false},
      {"UNITCELL_XYZ\n6 8 8\n", "0\n1 0\n0 0 0\n", "$$ number of pixels should be a power of two", false},
      {"UNITCELL_XYZ\n0 8 8\n", "0\n1 0\n0 0 0\n",
       "$$ number of pixels should be greater than 0. Abort.\n$$ x,y,z = 0 8 8\n", false},
      {"UNITCELL_XYZ\n4 4 4\n", "11\n300 2.5 0 0\n0.02 0.05 10000\n", "Flag_bs = 11 is invalid for 3D Density calc.\n",
       true},
  };
  for (const Case& c : cases) {
    for (const char* mode : {"E_DENSITY_3D_UNITCELL_MODE", "POTENTIAL_REIM_3D_UNITCELL_MODE"}) {
      const auto r = run_korvex(d, "bad.dat", std::string(mode) + "\n" + eps_block() + si_crystal() +
                                                  cell_block(c.range, c.search));
      EXPECT_EQ(r.status, 1) << c.message;
      EXPECT_NE((c.on_stderr ? r.err : r.out).find(c.message), std::string::npos) << r.out << r.err;
      EXPECT_FALSE(std::filesystem::exists(d / "bad_pt.3ed")) << c.message;
    }
  }
}
