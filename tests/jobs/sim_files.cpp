#include "jobs/sim_files.hpp"

#include <cstdlib>
#include <sstream>

namespace kvtest {

RunResult run_korvex(const ScratchDir& d, const std::string& name, const std::string& text) {
  d.write(name, text);
  return run_program(KORVEX_EXE, {name}, d.path());
}

std::string eps_block(const std::string& extra) {
  return "EPS_CONTROL_PARAMETERS{\n" + extra + "}EPS_CONTROL_PARAMETERS\n";
}

static std::string lattice(int sg, double a) {
  std::ostringstream s;
  s << "LATTICE{\n" << sg << "\n";
  for (const char* n : {"a", "b", "c"}) s << a << " FIX " << n << "\n";
  s << "90\n90\n90\n}LATTICE\n";
  return s.str();
}

static std::string site(const std::string& name, double x, double y, double z, double b, int af) {
  std::ostringstream s;
  s << "SITE{\n" << name << "\n" << x << "\n" << y << "\n" << z << "\nISO\n" << b << "\n1.0\n" << af << "\n}SITE\n";
  return s.str();
}

std::string si_crystal(int af) {
  return "CRYSTAL_STRUCTURE_DATA{\n" + lattice(227, 5.4309) + "ATOM{\n1\n" +
         site("Si", 0.125, 0.125, 0.125, 0.4632, af) +
         "}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
}

std::string gaas_crystal() {
  return "CRYSTAL_STRUCTURE_DATA{\n" + lattice(216, 5.6533) + "ATOM{\n2\n" + site("Ga", 0, 0, 0, 0.62, 0) +
         site("As", 0.25, 0.25, 0.25, 0.60, 0) + "}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
}

std::string sim_condition(const SimCondition& c) {
  std::ostringstream s;
  s << "SIM_CALCULATION_CONDITION{\nINCIDENT_BEAM{\n"
    << c.incidence << "\n" << c.normal << "\n" << c.g1 << "\n" << c.tiltH << "\n" << c.tiltG << "\n" << c.kv
    << "\n}INCIDENT_BEAM\nCALC_KXY_RANGE{\n" << c.calc_type << "\n" << c.n << "\n" << c.disksize
    << "\n}CALC_KXY_RANGE\nBEAM_SEARCH{\n" << c.beam_search << "}BEAM_SEARCH\nOUTPUT_REFLEX{\n" << c.reflexes
    << "}OUTPUT_REFLEX\nOUTPUT_THICKNESS{\n" << c.thickness << "}OUTPUT_THICKNESS\n}SIM_CALCULATION_CONDITION\n";
  return s.str();
}

ResultFile read_result(const std::string& text) {
  ResultFile r;
  r.lines = split_lines(text);
  for (std::size_t i = 0; i < r.lines.size(); ++i) {
    if (r.lines[i] == "COORD{") {
      std::istringstream in(r.lines[i + 1]);
      in >> r.num_pix >> r.num_pix_side;
    }
    if (r.lines[i] != "RF{") continue;
    std::istringstream h(r.lines[i + 2]);
    std::vector<int> hkl(3);
    h >> hkl[0] >> hkl[1] >> hkl[2];
    r.hkl.push_back(hkl);
    std::vector<double> v;
    std::size_t j = i + 3;
    for (; j < r.lines.size() && r.lines[j] != "}RF"; ++j) {
      std::istringstream in(r.lines[j]);
      double x;
      while (in >> x) v.push_back(x);
    }
    r.values.push_back(v);
    i = j;
  }
  return r;
}

}  // namespace kvtest
