// talvis fitfile: a fit-mode file from a SIM_MODE file and a measured file,
// every parameter FIX; the measured reflections' independent-atom structure
// factors are those of korvex's own reflection listing; marked as the Si
// example marks them, it refines to the example's result.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "support/run_program.hpp"

using kvtest::RunResult;
using kvtest::run_program;
using kvtest::ScratchDir;

namespace kv {
namespace {

const std::string kFit = std::string(KV_EXAMPLES_DIR) + "/fit/";

void copy_example(const ScratchDir& d, const std::string& name) { d.write(name, kvtest::read_file(kFit + name)); }

// name -> value of the lines "VALUE FLAG NAME" of a fit-mode file with the
// given flag.
std::map<std::string, double> flagged(const std::string& text, const std::string& want) {
  std::map<std::string, double> v;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string value, flag, name;
    if (l >> value >> flag >> name && flag == want) v[name] = std::atof(value.c_str());
  }
  return v;
}

// The refined parameter table of a korvex log on standard output.
std::map<std::string, double> refined_table(const std::string& out) {
  std::map<std::string, double> t;
  const std::size_t at = out.find("\nname ");
  std::istringstream in(out.substr(at == std::string::npos ? out.size() : at + 1));
  std::string line, name;
  std::getline(in, line);
  double start = 0, fin = 0, su = 0;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    if (!(l >> name >> start >> fin >> su)) break;
    t[name] = fin;
  }
  return t;
}

TEST(FitFile, SkeletonHasEveryParameterFixedAndTheIndependentAtomFactors) {
  ScratchDir d;
  copy_example(d, "si110_fit_int.txt");
  // The simulation without its low-order block: the skeleton lists the
  // measured reflections with their independent-atom values.
  std::string sim = kvtest::read_file(kFit + "si110_fit_sim.dat");
  const std::size_t a = sim.find("LOW_ORDER_FG{"), b = sim.find("}LOW_ORDER_FG");
  ASSERT_NE(a, std::string::npos);
  sim.replace(a, b - a, "LOW_ORDER_FG{\n0\n");
  d.write("iam.dat", sim);
  const RunResult r = run_program(TALVIS_EXE, {"fitfile", "iam.dat", "si110_fit_int.txt"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Fit-mode file ==> iam_fit.dat"), std::string::npos) << r.out;
  const std::string fit = d.read("iam_fit.dat");
  EXPECT_TRUE(flagged(fit, "ADJ").empty());
  EXPECT_TRUE(flagged(fit, "RST").empty());
  const std::map<std::string, double> fixed = flagged(fit, "FIX");
  // 1-11 and -11-1 are one family, 2-20 and -220 another: two entries.
  ASSERT_TRUE(fixed.count("f1m11_re")) << fit;
  ASSERT_TRUE(fixed.count("f2m20_re")) << fit;
  EXPECT_FALSE(fixed.count("fm11m1_re")) << fit;
  for (const char* name : {"tH", "tG", "kv", "scale", "thick", "thick_width", "H_shift4", "G_shift4"})
    EXPECT_TRUE(fixed.count(name)) << name;
  EXPECT_DOUBLE_EQ(fixed.at("thick"), 1200.0);
  // The calculated disk: the measured 13 x 13 grid and one step more on
  // every side (step 1/12 of g1/2).
  EXPECT_NE(fit.find("15  #num_cal_pix_side"), std::string::npos) << fit;
  EXPECT_NE(fit.find("0.583333    #Disksize"), std::string::npos) << fit;

  // The values are the elastic structure factors of korvex's own listing.
  const RunResult k = run_program(KORVEX_EXE, {"iam.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  const std::regex row(R"(^\d+\s+(-?\d+)\s+(-?\d+)\s+(-?\d+)\s+\d+(\s+\S+){7}\s+(\S+))");
  std::map<std::string, double> listing;
  std::istringstream in(d.read("iam_fg0.txt"));
  std::string line;
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, row)) listing[m[1].str() + " " + m[2].str() + " " + m[3].str()] = std::stod(m[5]);
  ASSERT_TRUE(listing.count("1 -1 1") && listing.count("2 -2 0"));
  EXPECT_NEAR(fixed.at("f1m11_re"), listing.at("1 -1 1"), 1e-5 * std::fabs(listing.at("1 -1 1")));
  EXPECT_NEAR(fixed.at("f2m20_re"), listing.at("2 -2 0"), 1e-5 * std::fabs(listing.at("2 -2 0")));

  // Not a SIM_MODE file: one message.
  const RunResult bad = run_program(TALVIS_EXE, {"fitfile", "si110_fit_int.txt", "si110_fit_int.txt"}, d.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE((bad.out + bad.err).find("is no SIM_MODE parameter file"), std::string::npos) << bad.out << bad.err;
}

TEST(FitFile, MarkedLikeTheExampleItRefinesToTheExamplesResult) {
  ScratchDir d;
  for (const char* f : {"si110_fit.dat", "si110_fit_sim.dat", "si110_fit_int.txt"}) copy_example(d, f);
  const RunResult made = run_program(TALVIS_EXE, {"fitfile", "si110_fit_sim.dat", "si110_fit_int.txt"}, d.path());
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  std::string fit = d.read("si110_fit_sim_fit.dat");
  const std::string example = d.read("si110_fit.dat");
  // The example's refined parameters ADJ, its known disk shifts and its
  // run-control keys.
  for (const auto& [name, value] : flagged(example, "ADJ"))
    fit = std::regex_replace(fit, std::regex("FIX  " + name + "  #"), "ADJ  " + name + "  #");
  for (const auto& [name, value] : flagged(example, "FIX"))
    if (name.find("_shift") != std::string::npos)
      fit = std::regex_replace(fit, std::regex("\n0  FIX  " + name + "  #"),
                               "\n" + std::to_string(value) + "  FIX  " + name + "  #");
  const std::size_t eps = example.find("perturb_step");
  fit.insert(fit.find("}EPS_CONTROL_PARAMETERS"), example.substr(eps, example.find("}EPS_CONTROL") - eps));
  d.write("marked.dat", fit);

  const RunResult mine = run_program(KORVEX_EXE, {"marked.dat"}, d.path());
  ASSERT_EQ(mine.status, 0) << mine.out;
  const RunResult theirs = run_program(KORVEX_EXE, {"si110_fit.dat"}, d.path());
  ASSERT_EQ(theirs.status, 0) << theirs.out;
  const std::map<std::string, double> a = refined_table(mine.out), b = refined_table(theirs.out);
  ASSERT_EQ(a.size(), 5u) << mine.out;
  ASSERT_EQ(b.size(), 5u) << theirs.out;
  // The same minimum from another start, to well within its uncertainty.
  const std::map<std::string, double> su{{"b_si", 0.0055}, {"f111_re", 0.0147}, {"f220_re", 0.034},
                                         {"scale", 0.00073}, {"thick", 0.9}};
  for (const auto& [name, value] : b) {
    ASSERT_TRUE(a.count(name)) << name;
    EXPECT_LT(std::fabs(a.at(name) - value), 0.2 * su.at(name)) << name << " " << a.at(name) << " " << value;
  }
}

}  // namespace
}  // namespace kv
