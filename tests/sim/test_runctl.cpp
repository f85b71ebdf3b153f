#include <gtest/gtest.h>

#include <filesystem>

#include "sim/error.hpp"
#include "sim/progress.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::capture_stdout;
using kvtest::StringFile;

namespace kv {
namespace {

Epsilon read_block(const std::string& body, bool utility = false, std::string* printed = nullptr) {
  StringFile f("EPS_CONTROL_PARAMETERS{\n" + body + "}EPS_CONTROL_PARAMETERS\nNEXT\n");
  const std::string out = capture_stdout([&] {
    if (utility)
      read_eps_ctrl_params_tlv(f.get());
    else
      read_eps_ctrl_params(f.get());
  });
  if (printed) *printed = out;
  char buf[64];
  EXPECT_NE(std::fgets(buf, sizeof buf, f.get()), nullptr);
  EXPECT_STREQ(buf, "NEXT\n");  // the stream stands after the closing line
  return epsilon;
}

TEST(EpsBlock, MarkersOnlyKeepsDefaults) {
  epsilon.general_eps = 123.0;
  const Epsilon e = read_block("");
  EXPECT_DOUBLE_EQ(e.general_eps, 1e-10);
  EXPECT_DOUBLE_EQ(e.intensity_scaling, 10000.0);
  EXPECT_DOUBLE_EQ(e.e_density_gmax_val, 12.0);
  EXPECT_EQ(e.vg_select_flag, 1);
  EXPECT_EQ(e.numh, 20);
  EXPECT_EQ(e.flag_modified_marquardt, 1);
  EXPECT_EQ(e.forbidden_beam_flag, 0);
}

TEST(EpsBlock, LongerKeysWinOverTheShorterOnesTheyContain) {
  Epsilon e = read_block("w_exponent_coef 0.5\n");
  EXPECT_DOUBLE_EQ(e.w_exponent_coef, 0.5);
  EXPECT_DOUBLE_EQ(e.w_exponent, 4.0);
  e = read_block("w_exponent 2\n");
  EXPECT_DOUBLE_EQ(e.w_exponent, 2.0);
  EXPECT_DOUBLE_EQ(e.w_exponent_coef, 0.0);
  e = read_block("bc_invmat_func 1\n");
  EXPECT_EQ(e.bc_invmat_func, 1);
  EXPECT_EQ(e.invmat_func, 0);
  e = read_block("invmat_func 3\n");
  EXPECT_EQ(e.invmat_func, 3);
  EXPECT_EQ(e.bc_invmat_func, 0);
  e = read_block("num_thickwidth 3\nthickwidth_type 0\n");
  EXPECT_EQ(e.num_thickwidth, 3);
  EXPECT_EQ(e.thickwidth_type, 0);
}

TEST(EpsBlock, EveryKeySetsItsOwnField) {
  const Epsilon e = read_block(
      "general_eps 1e-12, followed by a comment\n"
      "eigen_eps 2e-9\ninv_eps 3e-9\ndegeneracy_eps 4e-9\nperturb_step 0.002\n"
      "tol_chisq_abs 0.5\ntol_chisq_rel 0.6\ntol_parameter 0.7\ntol_lambda 8\n"
      "marq_lambda_max 9e6\nintensity_scaling 1\nbc_accuracy 0.99\ncorr_threshold 0.4\n"
      "w_sq_coef 2\nscale_rst_chisq 3\ne_density_gmax_val 6.5\nvg_select_flag 0\n"
      "eigmat_func 1\nsvd_flag 0\ncal_range_flag 1\nnumh 7\nauto_multiplicity_off 1\n"
      "flag_modified_marquardt 0\nforbidden_beam_flag 1\n");
  EXPECT_DOUBLE_EQ(e.general_eps, 1e-12);
  EXPECT_DOUBLE_EQ(e.eigen_eps, 2e-9);
  EXPECT_DOUBLE_EQ(e.inv_eps, 3e-9);
  EXPECT_DOUBLE_EQ(e.degeneracy_eps, 4e-9);
  EXPECT_DOUBLE_EQ(e.perturb_step, 0.002);
  EXPECT_DOUBLE_EQ(e.tol_chisq_abs, 0.5);
  EXPECT_DOUBLE_EQ(e.tol_chisq_rel, 0.6);
  EXPECT_DOUBLE_EQ(e.tol_parameter, 0.7);
  EXPECT_DOUBLE_EQ(e.tol_lambda, 8);
  EXPECT_DOUBLE_EQ(e.marq_lambda_max, 9e6);
  EXPECT_DOUBLE_EQ(e.intensity_scaling, 1);
  EXPECT_DOUBLE_EQ(e.bc_accuracy, 0.99);
  EXPECT_DOUBLE_EQ(e.corr_threshold, 0.4);
  EXPECT_DOUBLE_EQ(e.w_sq_coef, 2);
  EXPECT_DOUBLE_EQ(e.scale_rst_chisq, 3);
  EXPECT_DOUBLE_EQ(e.e_density_gmax_val, 6.5);
  EXPECT_EQ(e.vg_select_flag, 0);
  EXPECT_EQ(e.eigmat_func, 1);
  EXPECT_EQ(e.svd_flag, 0);
  EXPECT_EQ(e.cal_range_flag, 1);
  EXPECT_EQ(e.numh, 7);
  EXPECT_EQ(e.auto_multiplicity_off, 1);
  EXPECT_EQ(e.flag_modified_marquardt, 0);
  EXPECT_EQ(e.forbidden_beam_flag, 1);
}

TEST(EpsBlock, LastOccurrenceWinsAndUnknownLinesWarn) {
  std::string out;
  const Epsilon e = read_block("eigen_eps 1e-6\nsomething_else 3\n\neigen_eps 1e-7\n", false, &out);
  EXPECT_DOUBLE_EQ(e.eigen_eps, 1e-7);
  EXPECT_EQ(out,
            "$$ The next line could not be recognized.\nsomething_else 3\n"
            "$$ The next line could not be recognized.\n\n");
}

TEST(EpsBlock, UtilityVariantKnowsFewerKeys) {
  std::string out;
  const Epsilon e = read_block("e_density_gmax_val 5\ninvmat_func 1\nintensity_scaling 2\n", true, &out);
  EXPECT_DOUBLE_EQ(e.e_density_gmax_val, 0.0);
  EXPECT_EQ(e.invmat_func, 0);
  EXPECT_DOUBLE_EQ(e.intensity_scaling, 2.0);
  EXPECT_DOUBLE_EQ(e.general_eps, 1e-10);
  EXPECT_NE(out.find("could not be recognized.\ne_density_gmax_val 5\n"), std::string::npos);
  EXPECT_NE(out.find("could not be recognized.\ninvmat_func 1\n"), std::string::npos);
}

// num_threads sits next to num_thickwidth, numh and the other short keys:
// each line must set its own field, in both readers.
TEST(EpsBlock, ThreadCountIsReadByBothReaders) {
  EXPECT_EQ(read_block("").num_threads, 0);
  Epsilon e = read_block("num_threads 3\nnum_thickwidth 2\nnumh 9\n");
  EXPECT_EQ(e.num_threads, 3);
  EXPECT_EQ(e.num_thickwidth, 2);
  EXPECT_EQ(e.numh, 9);
  std::string out;
  e = read_block("num_threads 1\n", true, &out);
  EXPECT_EQ(e.num_threads, 1);
  EXPECT_EQ(out.find("could not be recognized"), std::string::npos);
}

TEST(EpsBlock, TruncatedBlockAndMissingValueAreFormatErrors) {
  {
    StringFile f("EPS_CONTROL_PARAMETERS{\neigen_eps 1e-6\n");
    EXPECT_THROW(read_eps_ctrl_params(f.get()), FatalError);
  }
  {
    StringFile f("EPS_CONTROL_PARAMETERS{\neigen_eps\n}EPS_CONTROL_PARAMETERS\n");
    EXPECT_THROW(read_eps_ctrl_params(f.get()), FatalError);
  }
  {
    StringFile f("EPS_CONTROL_PARAMETER{\n}EPS_CONTROL_PARAMETERS\n");
    EXPECT_THROW(read_eps_ctrl_params(f.get()), FatalError);
  }
}

TEST(EpsBlock, BadValuesAreRefusedWithTheKeyAndTheLine) {
  struct Case {
    std::string body, message;
  };
  const std::string at = "$$ (line 2, block EPS_CONTROL_PARAMETERS)\n$$ Abort.\n";
  const std::vector<Case> cases = {
      {"eigen_eps nan\n", "$$ Data format error: \"nan\" for eigen_eps is not a finite number.\n" + at},
      {"intensity_scaling -1\n", "$$ Invalid intensity_scaling (=-1): it must be a finite number greater than 0.\n" + at},
      {"tol_lambda 0\n", "$$ Invalid tol_lambda (=0): it must be a finite number greater than 0.\n" + at},
      {"inv_eps 1e-8x\n", "$$ Data format error: the number \"1e-8x\" for inv_eps has trailing characters \"x\".\n" + at},
      {"max_memory_gb 0\n", "$$ Invalid max_memory_gb (=0): it must be a finite number greater than 0.\n" + at},
      {"num_threads 3e9\n",
       "$$ Data format error: the integer \"3e9\" for num_threads is outside the range -2147483648 to 2147483647.\n" +
           at},
      {"eigen_eps 1e-8 " + std::string(150, 'c') + "\n",
       "$$ Data format error: line 2 is longer than 127 characters: eigen_eps 1e-8 " + std::string(25, 'c') + "...\n" +
           at},
  };
  for (const Case& c : cases) {
    StringFile f("EPS_CONTROL_PARAMETERS{\n" + c.body + "}EPS_CONTROL_PARAMETERS\n");
    const std::string msg = kvtest::fatal_text([&] { read_eps_ctrl_params(f.get()); });
    EXPECT_EQ(msg, c.message) << c.body;
  }
  // Zero stays allowed where it means "off".
  EXPECT_DOUBLE_EQ(read_block("w_exponent_coef 0\ncorr_threshold 0\n").w_exponent_coef, 0.0);
}

// A comment longer than the reader's buffer once left its tail to be read
// as a key line: "... The default intensity_scaling is 10000" set the
// scaling to 0.
TEST(EpsBlock, LongCommentsNeverSetAKey) {
  const std::string tail = " The default intensity_scaling is 10000\n";
  const Epsilon e = read_block("% " + std::string(200, '-') + tail + "# " + std::string(500, '-') + tail);
  EXPECT_DOUBLE_EQ(e.intensity_scaling, 10000.0);
}

TEST(JobLimits, BothReadersKnowTheKeysAndEstimatesBeyondThemAreRefused) {
  Epsilon e = read_block("max_memory_gb 64\nmax_output_gb 0.5\n");
  EXPECT_DOUBLE_EQ(e.max_memory_gb, 64.0);
  EXPECT_DOUBLE_EQ(e.max_output_gb, 0.5);
  e = read_block("max_memory_gb 8\n", true);
  EXPECT_DOUBLE_EQ(e.max_memory_gb, 8.0);
  e = read_block("");
  EXPECT_DOUBLE_EQ(e.max_memory_gb, 4.0);
  EXPECT_DOUBLE_EQ(e.max_output_gb, 2.0);

  EXPECT_NO_THROW(check_job_size(JobSize{4e9, 2e9}, "test job"));
  EXPECT_EQ(kvtest::fatal_text([] { check_job_size(JobSize{6.4e9, 0}, "CBED simulation"); }),
            "$$ The CBED simulation needs about 6.4 GB of memory, more than the limit of 4 GB.\n"
            "$$ Reduce the request, or raise the limit with max_memory_gb in EPS_CONTROL_PARAMETERS.\n$$ Abort.\n");
  EXPECT_EQ(kvtest::fatal_text([] { check_job_size(JobSize{0, 3e10}, "thickness-fringe job"); }),
            "$$ The thickness-fringe job would write about 30 GB of output, more than the limit of 2 GB.\n"
            "$$ Reduce the request, or raise the limit with max_output_gb in EPS_CONTROL_PARAMETERS.\n$$ Abort.\n");
  read_block("max_output_gb 40\n");
  EXPECT_NO_THROW(check_job_size(JobSize{0, 3e10}, "thickness-fringe job"));
  epsilon = Epsilon{};
}

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    dbg = Dbg{};
  }
  kvtest::ScratchDir dir_;
  std::filesystem::path old_;
};

TEST_F(IniFile, MissingFileKeepsDefaults) {
  dbg.vg_dump_flag = 5;
  const std::string out = capture_stdout([] { read_ini_file(); });
  EXPECT_EQ(out, "No korvex.ini in the working folder: no diagnostic dumps (this is the usual case).\n");
  EXPECT_EQ(dbg.vg_dump_flag, 0);
  EXPECT_EQ(dbg.print_bij_flag, 1);
}

TEST_F(IniFile, FlagsByFirstSubstringMatchAndUnknownLinesIgnored) {
  dir_.write("korvex.ini",
             "% comment\n"
             "reflex_only_flag 1\n"
             "vg_dump_flag 1\n"
             "chk_data_dump_flag 1\n"
             "print_bij_flag 0\n"
             "mystery 3\n"
             "INI_PARAM_END\n"
             "eigval_dump_flag 1\n");
  const std::string out = capture_stdout([] { read_ini_file(); });
  EXPECT_EQ(out, "Reading korvex.ini\nmystery 3 is ignored.\n");
  EXPECT_EQ(dbg.reflex_only_flag, 1);
  EXPECT_EQ(dbg.vg_dump_flag, 1);
  EXPECT_EQ(dbg.chk_data_dump_flag, 1);
  EXPECT_EQ(dbg.print_bij_flag, 0);
  EXPECT_EQ(dbg.eigval_dump_flag, 0);  // after INI_PARAM_END
}

// A long comment ending in the end marker once ended the file early; an
// over-long flag line is refused with its line.
TEST_F(IniFile, LongCommentsStayCommentsAndLongLinesAreRefused) {
  dir_.write("korvex.ini", "% " + std::string(120, '-') + " INI_PARAM_END\nvg_dump_flag 1\nINI_PARAM_END\n");
  capture_stdout([] { read_ini_file(); });
  EXPECT_EQ(dbg.vg_dump_flag, 1);

  dir_.write("korvex.ini", "vg_dump_flag 1 " + std::string(100, 'x') + "\nINI_PARAM_END\n");
  std::string msg;
  capture_stdout([&] { msg = kvtest::fatal_text([] { read_ini_file(); }); });
  EXPECT_EQ(msg, "$$ Data format error: line 1 is longer than 79 characters: vg_dump_flag 1 " + std::string(25, 'x') +
                     "...\n$$ (line 1 of korvex.ini)\n$$ Abort.\n");
  dir_.write("korvex.ini", "vg_dump_flag nan\nINI_PARAM_END\n");
  capture_stdout([&] { msg = kvtest::fatal_text([] { read_ini_file(); }); });
  EXPECT_EQ(msg, "$$ Data format error: \"nan\" for vg_dump_flag is not a finite number.\n"
                 "$$ (line 1 of korvex.ini)\n$$ Abort.\n");
}

TEST_F(IniFile, MissingEndMarkerIsFatal) {
  dir_.write("korvex.ini", "vg_dump_flag 1\n");
  try {
    capture_stdout([] { read_ini_file(); });
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "\n$$ No INI_PARAM_END command in korvex.ini. Abort.\n");
    EXPECT_EQ(e.status(), 1);
  }
}

TEST(Progress, HundredUnitsStartAtSixAndEndWith95) {
  const std::string out = capture_stdout([] {
    std::string seen;
    for (int i = 0; i < 100; ++i) {
      progress_indicator(i, 100);
      if (i == 5) std::printf("|");  // nothing is printed up to i = 5
    }
  });
  std::string expected = "|    ";
  for (int t = 5; t <= 95; t += 5) expected += std::to_string(t) + "%";
  EXPECT_EQ(out, expected);
}

TEST(Progress, SingleUnitPrintsAllWithoutLeadingBlanks) {
  const std::string out = capture_stdout([] { progress_indicator(0, 1); });
  std::string expected;
  for (int t = 5; t <= 95; t += 5) expected += std::to_string(t) + "%";
  EXPECT_EQ(out, expected);
}

TEST(Progress, ForecastLines) {
  const std::string out = capture_stdout([] {
    exec_time_forecast(-1);
    exec_time_forecast(10);
    exec_time_forecast(0);
  });
  EXPECT_EQ(out.rfind("  Estimating exec. time ....  Maybe not so long.\n100%\n    elapsed time: ", 0), 0u)
      << out;
  EXPECT_NE(out.find(" [hour]\n"), std::string::npos);
}

}  // namespace
}  // namespace kv
