// End-to-end runs of the korvex binary: command line, log, mode dispatch and
// the failures of the start-up sequence.
#include <gtest/gtest.h>

#include <string>

#include "sim/parallel.hpp"
#include "support/run_program.hpp"

using kv::resolve_thread_count;
using kvtest::run_program;
using kvtest::ScratchDir;

namespace {

const char* kEps =
    "EPS_CONTROL_PARAMETERS{\n"
    "eigen_eps 1e-8\n"
    "}EPS_CONTROL_PARAMETERS\n";

TEST(KorvexProcess, LogIsNamedAfterTheTextBeforeTheFirstDot) {
  ScratchDir d;
  d.write("run.dat", std::string("NO_SUCH_MODE\n") + kEps);
  d.write("a.b.dat", std::string("NO_SUCH_MODE\n") + kEps);
  auto r = run_program(KORVEX_EXE, {"run.dat"}, d.path());
  EXPECT_TRUE(std::filesystem::exists(d / "run_log.txt"));
  r = run_program(KORVEX_EXE, {"a.b.dat"}, d.path());
  EXPECT_TRUE(std::filesystem::exists(d / "a_log.txt"));
  EXPECT_NE(d.read("a_log.txt").find("parameter_file: a.b.dat\n"), std::string::npos);
}

TEST(KorvexProcess, GreetingBannerAndUnknownMode) {
  ScratchDir d;
  d.write("run.dat", std::string("% comment\nCOMMENT{\nx\n}COMMENT\nsim_mode, trailing\n") + kEps);
  const auto r = run_program(KORVEX_EXE, {"run.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("\n#####  Welcome to KORVEX\n#####", 0), 0u);
  // No num_threads line: the banner announces every core.
  const int cores = resolve_thread_count(0);
  const std::string cpu = cores == 1 ? "#####  [Single CPU version]\n"
                                     : "#####  [Multi-thread version: " + std::to_string(cores) + " threads]\n";
  EXPECT_NE(r.out.find(cpu + "#####\n"), std::string::npos);
  EXPECT_NE(r.out.find("No korvex.ini in the working folder: no diagnostic dumps"), std::string::npos);
  EXPECT_NE(r.out.find("parameter_file: run.dat\n"), std::string::npos);
  const std::string tail =
      "##### Job mode sim_mode is not supported. Abort.\n"
      "$$ The first word of run.dat must be one of: SIM_MODE, SIM_COHERENT_MODE, DISPSURF_MODE, BLOCH_MODE, "
      "TFRINGE_MODE, E_DENSITY_PROJ_MODE, POTENTIAL_REIM_PROJ_MODE, E_DENSITY_3D_UNITCELL_MODE, "
      "POTENTIAL_REIM_3D_UNITCELL_MODE, FIT_MODE (upper case, exactly as written here).\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  const std::string log = d.read("run_log.txt");
  EXPECT_NE(log.find(cpu), std::string::npos);
  EXPECT_EQ(log.find("See you again"), std::string::npos);  // no closing block after a failure
}

TEST(KorvexProcess, BannerNamesTheThreadsTheRunAsksFor) {
  ScratchDir d;
  d.write("one.dat", "BOGUS\nEPS_CONTROL_PARAMETERS{\nnum_threads 1\n}EPS_CONTROL_PARAMETERS\n");
  d.write("three.dat", "BOGUS\nEPS_CONTROL_PARAMETERS{\nnum_threads 3\n}EPS_CONTROL_PARAMETERS\n");
  auto r = run_program(KORVEX_EXE, {"one.dat"}, d.path());
  EXPECT_NE(r.out.find("#####  [Single CPU version]\n#####\n"), std::string::npos);
  EXPECT_NE(d.read("one_log.txt").find("#####  [Single CPU version]\n"), std::string::npos);
  r = run_program(KORVEX_EXE, {"three.dat"}, d.path());
  EXPECT_NE(r.out.find("#####  [Multi-thread version: 3 threads]\n#####\n"), std::string::npos);
  EXPECT_EQ(r.out.find("[Single CPU version]"), std::string::npos);
}

TEST(KorvexProcess, PromptsForTheFileWhenNoArgument) {
  ScratchDir d;
  d.write("p.dat", std::string("BOGUS\n") + kEps);
  const auto r = run_program(KORVEX_EXE, {}, d.path(), "# skipped\np.dat rest\n");
  EXPECT_NE(r.out.find("Parameter file (with file extension) >>"), std::string::npos);
  EXPECT_NE(r.out.find("parameter_file: p.dat\n"), std::string::npos);
  EXPECT_NE(r.out.find("##### Job mode BOGUS is not supported. Abort.\n"), std::string::npos);
  const auto empty = run_program(KORVEX_EXE, {}, d.path(), "");
  EXPECT_EQ(empty.status, 1);
}

TEST(KorvexProcess, TwoArgumentsGiveTheUsageLine) {
  ScratchDir d;
  const auto r = run_program(KORVEX_EXE, {"a.dat", "b.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Usage: korvex parameter_file (with extension)\n"), std::string::npos);
}

TEST(KorvexProcess, MissingParameterFile) {
  ScratchDir d;
  const auto r = run_program(KORVEX_EXE, {"nothere.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "$$ (fopen_chk_rmode) Cannot open nothere.dat. Abort.\n");
}

TEST(KorvexProcess, TruncatedOrMissingBlocks) {
  ScratchDir d;
  d.write("t1.dat", "SIM_MODE\nEPS_CONTROL_PARAMETERS{\neigen_eps 1e-8\n");
  auto r = run_program(KORVEX_EXE, {"t1.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("}EPS_CONTROL_PARAMETERS"), std::string::npos);

  d.write("t2.dat", "SIM_MODE\nCRYSTAL_STRUCTURE_DATA{\n");
  r = run_program(KORVEX_EXE, {"t2.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Data format error has been found at EPS_CONTROL_PARAMETERS{.\n$$ Abort.\n"
                       "$$ buf=CRYSTAL_STRUCTURE_DATA{\n"),
            std::string::npos);

  d.write("t3.dat", "% only comments\n");
  r = run_program(KORVEX_EXE, {"t3.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("no job mode"), std::string::npos);

  d.write("t4.dat", "SIM_MODE\nCOMMENT{\n");
  r = run_program(KORVEX_EXE, {"t4.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
}

TEST(KorvexProcess, IniFileIsReadBeforeThePrompt) {
  ScratchDir d;
  d.write("korvex.ini", "chk_data_dump_flag 1\nINI_PARAM_END\n");
  d.write("p.dat", std::string("BOGUS\n") + kEps);
  const auto r = run_program(KORVEX_EXE, {}, d.path(), "p.dat\n");
  const auto ini = r.out.find("Reading korvex.ini\n");
  const auto prompt = r.out.find("Parameter file (with file extension) >>");
  ASSERT_NE(ini, std::string::npos);
  ASSERT_NE(prompt, std::string::npos);
  EXPECT_LT(ini, prompt);
  EXPECT_NE(r.out.find("$$ chk_data: EPS_CONTROL_PARAMETERS{ ok.\n"), std::string::npos);
}

TEST(KorvexProcess, NeverOverwritesItsOwnParameterFile) {
  ScratchDir d;
  const std::string text = std::string("BOGUS\n") + kEps;
  d.write("x_log.txt", text);
  // The base name of x_log.txt is x, so its log would be x_log.txt itself.
  const auto r = run_program(KORVEX_EXE, {"x_log.txt"}, d.path());
  EXPECT_EQ(d.read("x_log.txt"), text);
  (void)r;
}

}  // namespace
