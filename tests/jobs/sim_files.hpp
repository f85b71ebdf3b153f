#pragma once
// Parameter files of real crystals for the job tests, a run of korvex on
// one, and a reader of the SIM_RESULT files the jobs write.
#include <map>
#include <string>
#include <vector>

#include "support/run_program.hpp"

namespace kvtest {

// The EPS block and CRYSTAL_STRUCTURE_DATA block of silicon (Fd-3m, origin
// at the centre, a = 5.4309 A, B = 0.4632 A^2) and of GaAs (F-43m,
// a = 5.6533 A).
std::string eps_block(const std::string& extra = "");
std::string si_crystal(int af = 0);
std::string gaas_crystal();

// Writes the parameter file `name` with `text` into the scratch folder and
// runs korvex on it there.
RunResult run_korvex(const ScratchDir& d, const std::string& name, const std::string& text);

struct SimCondition {
  std::string incidence = "0 0 1";
  std::string normal = "0 0 1";
  std::string g1 = "2 2 0";
  double tiltH = 0, tiltG = 0, kv = 200;
  int calc_type = 3, n = 9;
  double disksize = 0.5;
  std::string beam_search = "2\n300 2.5 0 0\n0.02 0.05 10000\n";
  std::string reflexes = "0\n";
  std::string thickness = "2\n500\n1500\n";
};
std::string sim_condition(const SimCondition& c);

// One RF block of a result file: indices and the values of every point
// (one value per point for SIM_RESULT, two for SIM_COHERENT_RESULT).
struct ResultFile {
  std::vector<std::string> lines;
  std::vector<std::vector<int>> hkl;
  std::vector<std::vector<double>> values;  // per reflection, per number in point order
  int num_pix = 0, num_pix_side = 0;
};
ResultFile read_result(const std::string& text);

}  // namespace kvtest
