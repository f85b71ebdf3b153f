#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fit/fit_job.hpp"
#include "fit/fit_model.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"
#include "support/run_program.hpp"

using kvtest::run_program;
using kvtest::RunResult;
using kvtest::ScratchDir;

namespace kv {
namespace {

const std::string kTool = std::string(KV_EXAMPLES_DIR) + "/../tools/make_fit_example.py";

// The synthetic silicon [110] measurement and its fit-mode file si.dat in d.
void make_example(const ScratchDir& d, const std::vector<std::string>& extra) {
  std::vector<std::string> args{kTool, "--korvex", KORVEX_EXE, "--dir", d.path().string(), "--name", "si"};
  args.insert(args.end(), extra.begin(), extra.end());
  const RunResult r = run_program("/usr/bin/python3", args, d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

RunResult run_fit(const ScratchDir& d, const std::string& file = "si.dat") {
  return run_program(KORVEX_EXE, {file}, d.path());
}

struct refined {
  double start = 0, final_v = 0, su = 0;
};

// The parameter table of a refinement's log.
std::map<std::string, refined> parameter_table(const std::string& out) {
  std::map<std::string, refined> t;
  std::istringstream in(out);
  std::string line;
  bool in_table = false;
  while (std::getline(in, line)) {
    if (line.rfind("name ", 0) == 0) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    std::istringstream l(line);
    std::string name;
    refined r;
    if (!(l >> name >> r.start >> r.final_v >> r.su)) break;
    t[name] = r;
  }
  return t;
}

std::map<std::string, double> true_values(const ScratchDir& d) {
  std::map<std::string, double> v;
  std::istringstream in(d.read("si_true.txt"));
  std::string name;
  double t = 0, s = 0;
  while (in >> name >> t >> s) v[name] = t;
  return v;
}

double reduced_chisq(const std::string& out) {
  const std::string key = "$$ reduced chisq = ";
  const std::size_t p = out.rfind(key);
  return p == std::string::npos ? -1.0 : std::atof(out.c_str() + p + key.size());
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
}

TEST(FitJob, NoiseFreeRoundTripReturnsTheTrueValuesAndWritesFilesThatRunAgain) {
  ScratchDir d;
  make_example(d, {"--noise-free", "--tol-chisq-abs", "1e-6"});
  const RunResult r = run_fit(d);
  ASSERT_EQ(r.status, 0) << r.out;
  const auto table = parameter_table(r.out);
  const auto truth = true_values(d);
  ASSERT_EQ(table.size(), 5u) << r.out;
  for (const char* fg : {"f111_re", "f220_re"}) {
    EXPECT_NEAR(table.at(fg).start / truth.at(fg), 0.97 + (std::string(fg) == "f220_re") * 0.06, 1e-6);
    EXPECT_LT(std::fabs(table.at(fg).final_v / truth.at(fg) - 1.0), 1e-4) << fg;
  }
  EXPECT_NEAR(table.at("thick").start, 1320.0, 1e-6);
  EXPECT_NEAR(table.at("thick").final_v, truth.at("thickness"), 0.1);
  EXPECT_LT(std::fabs(table.at("b_si").final_v / truth.at("b_si") - 1.0), 1e-3);
  EXPECT_LT(std::fabs(table.at("scale").final_v / truth.at("scale") - 1.0), 1e-4);
  EXPECT_LT(reduced_chisq(r.out), 1e-6);
  EXPECT_NE(r.out.find("Refinement stopped: "), std::string::npos);
  EXPECT_NE(r.out.find("$$ iteration   1  chisq = "), std::string::npos);
  // The potential matrix is built at every evaluation without its 5%10%... line.
  EXPECT_EQ(r.out.find("5%10%"), std::string::npos) << r.out;

  for (const char* f : {"si_fit_fst0.txt", "si_fit_res0.txt", "si_fit_tlv.txt", "si_chisq.txt", "si_chisq.plt"})
    EXPECT_TRUE(std::filesystem::exists(d / f)) << f;
  EXPECT_EQ(d.read("si_fit_res0.txt").rfind("FIT_RESULT", 0), 0u);
  const std::string script = d.read("si_fit_tlv.txt");
  EXPECT_NE(script.find("FIT_VISUAL_MODE"), std::string::npos);
  EXPECT_NE(script.find("si_fit_res0.txt"), std::string::npos);
  EXPECT_NE(script.find("CHISQ_PLOT\nsi_chisq.txt\n"), std::string::npos) << script;
  // talvis on the script: both result pages, then the chi-squared plot on a
  // page that links them.
  const RunResult vis = run_program(TALVIS_EXE, {"si_fit_tlv.txt"}, d.path());
  ASSERT_EQ(vis.status, 0) << vis.out << vis.err;
  for (const char* f : {"si_fit_fst0_.html", "si_fit_res0_.html", "si_chisq.png", "si_chisq_.html"})
    EXPECT_TRUE(std::filesystem::exists(d / f)) << f;
  const std::string chisq_page = d.read("si_chisq_.html");
  EXPECT_NE(chisq_page.find("<img src=\"si_chisq.png\">"), std::string::npos) << chisq_page;
  EXPECT_NE(chisq_page.find("<a href=\"si_fit_fst0_.html\">"), std::string::npos) << chisq_page;
  EXPECT_NE(chisq_page.find("<a href=\"si_fit_res0_.html\">"), std::string::npos) << chisq_page;

  // The refined file starts where the refinement ended.
  const RunResult again = run_fit(d, "si_fit.txt");
  ASSERT_EQ(again.status, 0) << again.out;
  const auto t2 = parameter_table(again.out);
  EXPECT_NEAR(t2.at("thick").start, truth.at("thickness"), 0.1);
  EXPECT_LT(reduced_chisq(again.out), 1e-4);
}

TEST(FitJob, RestrainedParameterIsPulledToItsValueConstrainedFollowFixedStay) {
  ScratchDir d;
  make_example(d, {"--noise-free", "--fg-off", "0", "--t-off", "0", "--scale-off", "0", "--b-off", "0.1"});
  std::string fit = d.read("si.dat");
  // B restrained to 0.6 with a weight that outweighs the data; f220_im
  // follows f111_re through a constraint; y of the site stays fixed.
  replace_all(fit, "ADJ b_si", "RST b_si 0.6");
  replace_all(fit, "intensity_scaling 10000.0\n", "intensity_scaling 10000.0\nscale_rst_chisq 1e12\n");
  replace_all(fit, "0.0 FIX f220_im", "0.001*f111_re CST f220_im");
  d.write("si.dat", fit);
  const RunResult r = run_fit(d);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("(689 points, 1 restraints, 5 parameters)"), std::string::npos) << r.out;
  const auto t = parameter_table(r.out);
  EXPECT_NEAR(t.at("b_si").final_v, 0.6, 1e-4);
  const std::string refined = d.read("si_fit.txt");
  EXPECT_NE(refined.find("RST  b_si  0.6"), std::string::npos) << refined;
  EXPECT_NE(refined.find("0.001*f111_re  CST  f220_im"), std::string::npos) << refined;
  EXPECT_NE(refined.find("0.125  FIX  y_b_si"), std::string::npos) << refined;
}

// ---- The model in-process: Jacobian and threads ---------------------------------

struct loaded {
  csd cs;
  std::vector<fed> eds;
  std::vector<fei> eis;
  fit_problem fp;
};

void load(const ScratchDir& d, loaded& L) {
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(d.path());
  File f = fopen_chk_rmode("si.dat");
  fget_1s(f.get());
  read_eps_ctrl_params(f.get());
  int max_iter = 0;
  read_fit_input(f.get(), "si", L.cs, &max_iter, L.eds, L.eis);
  setup_fit_problem(L.fp, L.cs, L.eds, L.eis, program_run_control());
  std::filesystem::current_path(saved);
}

TEST(FitModel, AnalyticJacobianAgreesWithFiniteDifferencesAndThreadsGiveIdenticalBytes) {
  const Epsilon saved = epsilon;
  ScratchDir d;
  make_example(d, {"--noise-free", "--side", "7", "--perturb-step", "1e-4"});
  loaded L;
  load(d, L);
  fit_problem& fp = L.fp;
  const int P = fp.num_params(), M = fp.num_residuals();
  std::vector<double> x = current_params(fp), res(M), jac(static_cast<std::size_t>(M) * P);
  fp.threads = 1;
  eval_residuals(fp, x.data(), res.data(), jac.data());

  for (int j = 0; j < P; ++j) {
    const double h = 1e-4 * std::max(std::fabs(x[j]), 1.0);
    std::vector<double> xp = x, xm = x, rp(M), rm(M);
    xp[j] += h;
    xm[j] -= h;
    eval_residuals(fp, xp.data(), rp.data(), nullptr);
    eval_residuals(fp, xm.data(), rm.data(), nullptr);
    double diff = 0, norm = 0;
    for (int n = 0; n < M; ++n) {
      const double fd = (rp[n] - rm[n]) / (2 * h);
      diff += std::pow(jac[static_cast<std::size_t>(n) * P + j] - fd, 2);
      norm += fd * fd;
    }
    EXPECT_GT(norm, 0.0) << fp.params[j].name;
    // Forward differences of relative step 1e-4 are good to O(h): about 1e-3
    // across a thickness fringe; a wrong column is off by order 1.
    EXPECT_LT(std::sqrt(diff / norm), 5e-3) << fp.params[j].name;
  }

  // The same Jacobian with the potential derivatives by solving again with
  // a stepped potential matrix instead of the perturbed eigen solution.
  std::vector<double> res_fd(M), jac_fd(jac.size());
  fp.analytic_derivatives = false;
  eval_residuals(fp, x.data(), res_fd.data(), jac_fd.data());
  fp.analytic_derivatives = true;
  EXPECT_EQ(std::memcmp(res.data(), res_fd.data(), res.size() * sizeof(double)), 0);
  for (int j = 0; j < P; ++j) {
    double diff = 0, norm = 0;
    for (int n = 0; n < M; ++n) {
      const std::size_t k = static_cast<std::size_t>(n) * P + j;
      diff += std::pow(jac[k] - jac_fd[k], 2);
      norm += jac[k] * jac[k];
    }
    // Potential and thickness columns change route (perturbed eigen solution
    // against a second solve or a stepped thickness); the rest must not move.
    // The stepped thickness is a forward difference, good to O(h) as above.
    const fit_kind kind = fp.params[j].kind;
    const double tol = kind == fit_kind::potential ? 1e-3 : kind == fit_kind::thickness ? 5e-3 : 1e-15;
    EXPECT_LT(std::sqrt(diff / norm), tol) << fp.params[j].name;
  }

  std::vector<double> res3(M), jac3(jac.size());
  fp.threads = 3;
  eval_residuals(fp, x.data(), res3.data(), jac3.data());
  EXPECT_EQ(std::memcmp(res.data(), res3.data(), res.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(jac.data(), jac3.data(), jac.size() * sizeof(double)), 0);
  epsilon = saved;
}

TEST(FitModel, ThicknessAveragingWeightsAreNormalisedAndShaped) {
  std::vector<double> tk, wk;
  thickness_points(1000.0, 50.0, 2, 1, &tk, &wk);
  ASSERT_EQ(tk.size(), 5u);
  EXPECT_DOUBLE_EQ(tk[0], 950.0);
  EXPECT_DOUBLE_EQ(tk[4], 1050.0);
  EXPECT_NEAR(wk[2] / wk[0], 3.0, 1e-12);  // triangle: 1 2 3 2 1
  double sum = 0;
  for (double w : wk) sum += w;
  EXPECT_NEAR(sum, 1.0, 1e-12);
  thickness_points(1000.0, 50.0, 2, 0, &tk, &wk);
  EXPECT_NEAR(wk[0], 0.2, 1e-12);
  thickness_points(1000.0, 50.0, 2, 2, &tk, &wk);
  EXPECT_NEAR(wk[0] / wk[2], std::exp(-2.0), 1e-12);
  thickness_points(1000.0, 50.0, 0, 2, &tk, &wk);
  ASSERT_EQ(tk.size(), 1u);
  EXPECT_DOUBLE_EQ(tk[0], 1000.0);
}

// ---- Bad input: one message, status 1 ---------------------------------------------

struct bad_case {
  const char* what;
  std::vector<std::string> tool_args;
  std::function<void(std::string& fit, std::string& data)> edit;
  const char* message;
};

// A measured file named like an output of the refinement was found only when
// the fit, minutes later, came to write that output.
TEST(FitJob, AMeasuredFileNamedLikeAnOutputIsRefusedBeforeTheFit) {
  ScratchDir d;
  make_example(d, {});
  d.write("si_chisq.txt", d.read("si_int.txt"));
  std::string fit = d.read("si.dat");
  replace_all(fit, "si_int.txt", "si_chisq.txt");
  d.write("si.dat", fit);
  const RunResult r = run_fit(d);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("$$ si_chisq.txt is an input file of this run and is not overwritten. Abort.\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("$$ iteration"), std::string::npos) << r.out;
  EXPECT_FALSE(std::filesystem::exists(d / "si_fit_fst0.txt"));
  EXPECT_EQ(d.read("si_chisq.txt"), d.read("si_int.txt"));
}

TEST(FitJob, BadInputEndsWithOneMessageAndStatusOne) {
  const std::vector<bad_case> cases = {
      {"nothing to refine", {"--wrong-b"},
       [](std::string& f, std::string&) {
         replace_all(f, " ADJ ", " FIX ");
       },
       "$$ No parameter is flagged ADJ or RST: nothing to refine. Abort.\n"},
      {"parameter without influence", {},
       [](std::string& f, std::string&) { replace_all(f, "0.0 FIX thick_width", "0.0 ADJ thick_width"); },
       "$$ Parameter thick_width has no influence on any intensity. Abort.\n"},
      {"reflection missing from the beams", {},
       [](std::string& f, std::string& data) {
         replace_all(data, "RF{\n-2 2 0\n", "RF{\n-8 8 0\n");
       },
       "$$ Reflection -8 8 0 of si_int.txt is not among the exact beams of dataset 0. Abort.\n"},
      {"NaN measured value", {},
       [](std::string&, std::string& data) {
         const std::size_t p = data.find("RF{\n1 -1 1\n") + 11;
         data.replace(p, data.find(' ', p) - p, "nan");
       },
       "$$ Data format error: \"nan\" is not a finite number.\n$$ (line 204 of si_int.txt, block THICKNESS > RF)\n"},
      {"non-numeric deviation", {},
       [](std::string&, std::string& data) {
         const std::size_t p = data.find(' ', data.find("RF{\n0 0 0\n") + 10) + 1;
         data.replace(p, data.find('\n', p) - p, "x12");
       },
       "$$ Data format error: expected a number, found \"x12\".\n"},
      // Words that are neither flags nor units, read before the fit starts.
      {"misspelt flag", {},
       [](std::string& f, std::string&) { replace_all(f, "1320 ADJ thick", "1320 ADJJ thick"); },
       "$$ Data format error: \"ADJJ\" after the value of the thickness is not a flag word: write FIX, ADJ, RST or "
       "CST (or 0, 2, 1, -1), in upper case.\n$$ line: 1320 ADJJ thick\n"},
      {"lower-case flag", {},
       [](std::string& f, std::string&) { replace_all(f, "1320 ADJ thick", "1320 adj thick"); },
       "\"adj\" after the value of the thickness is not a flag word"},
      {"misspelt unit", {},
       [](std::string& f, std::string&) { replace_all(f, "0.0 FIX tH", "1.0 mradx FIX tH"); },
       "\"mradx\" after the value of tiltH is not a flag word: write FIX, ADJ, RST or CST (or 0, 2, 1, -1), in upper "
       "case, or the unit mrad right after the number.\n"},
      // Dataset values outside their physical range.
      {"negative thickness", {},
       [](std::string& f, std::string&) { replace_all(f, "1320 ADJ thick", "-1320 ADJ thick"); },
       "$$ Invalid the thickness (=-1320): it must be a finite number not below 0.\n"},
      {"negative thickness width", {},
       [](std::string& f, std::string&) { replace_all(f, "0.0 FIX thick_width", "-5 FIX thick_width"); },
       "$$ Invalid the thickness width (=-5): it must be a finite number not below 0.\n"},
      {"thickness width below 0 by its constraint", {},
       [](std::string& f, std::string&) { replace_all(f, "0.0 FIX thick_width", "0-thick CST thick_width"); },
       "$$ Dataset 1, thickness block 1: the thickness width thick_width (=-1320 from CST 0-thick) must be a finite "
       "number not below 0. Abort.\n"},
      {"scale 0", {},
       [](std::string& f, std::string&) {
         const std::size_t p = f.find(" ADJ scale");
         f.replace(f.rfind('\n', p) + 1, p - f.rfind('\n', p) - 1, "0");
       },
       "$$ Invalid the scale factor (=0): it must be a finite number greater than 0.\n"},
      {"negative iteration count", {},
       [](std::string& f, std::string&) { replace_all(f, "ITER_EXP_NUM{\n30\n", "ITER_EXP_NUM{\n-3\n"); },
       "$$ Invalid maximum number of iterations (ITER_EXP_NUM) (=-3): it must lie between 0 and 100000. Abort.\n"},
      {"unknown line in DETECTOR_PAR", {"--detector", "adj"},
       [](std::string& f, std::string&) { replace_all(f, "0.0 ADJ bg\n", "0.0 ADJ bg\ngian 2\n"); },
       "$$ Data format error: \"gain g\", \"read_noise r\" or }DETECTOR_PAR expected.\n$$ Abort.\n$$ buf=gian 2\n"},
      {"negative point spread", {"--detector", "adj"},
       [](std::string& f, std::string&) { replace_all(f, "0.0 ADJ psf\n", "-0.1 ADJ psf\n"); },
       "psf_width"},
      {"a row of points short", {},
       [](std::string&, std::string& data) {
         const std::size_t p = data.find("RF{\n0 0 0\n") + 10;
         data.erase(p, data.find('\n', p) + 1 - p);
       },
       "$$ Data format error: an empty line is expected after each row of "},
      {"weight model out of range", {"--weight-model", "2"},
       [](std::string&, std::string&) {},
       "$$ fit_weight_model = 2: it must be 0 or 1.\n"},
      {"singular normal matrix without svd", {"--split-site", "--svd-flag", "0"},
       [](std::string&, std::string&) {},
       "$$ Singular normal matrix: the parameters b_si1, b_si2 cannot be determined independently. Abort.\n"},
  };
  for (const bad_case& c : cases) {
    ScratchDir d;
    make_example(d, c.tool_args);
    std::string fit = d.read("si.dat"), data = d.read("si_int.txt");
    c.edit(fit, data);
    d.write("si.dat", fit);
    d.write("si_int.txt", data);
    const RunResult r = run_fit(d);
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.what << "\n" << r.out;
    EXPECT_EQ(r.out.find("$$ iteration"), std::string::npos) << c.what;
  }
  // A measured file that is not there: the open failure says which file of
  // the fit-mode file it is, why, and where it is named.
  ScratchDir d;
  make_example(d, {});
  std::string fit = d.read("si.dat");
  replace_all(fit, "si_int.txt", "absent_int.txt");
  d.write("si.dat", fit);
  const RunResult r = run_fit(d);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("$$ (fopen_chk_rmode) Cannot open absent_int.txt. Abort.\n$$ absent_int.txt is the "
                       "measured-intensity file that INTENSITY_DATA names (No such file or directory)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("of si.dat, block FIT_CALCULATION_CONDITION > DATA_SET > INTENSITY_DATA)\n"), std::string::npos)
      << r.err;
}

TEST(FitModel, CountingNoiseIsTakenFromTheDeviationsUnlessGiven) {
  // s^2 = 2.5 I + 3^2 exactly: both recovered; a given value is kept.
  std::vector<double> obs, sig;
  for (int k = 0; k < 50; ++k) {
    obs.push_back(10.0 * k);
    sig.push_back(std::sqrt(2.5 * obs.back() + 9.0));
  }
  const count_noise n = noise_from_deviations(obs, sig, 0.0, -1.0);
  EXPECT_NEAR(n.gain, 2.5, 1e-9);
  EXPECT_NEAR(n.read_var, 9.0, 1e-7);
  const count_noise g = noise_from_deviations(obs, sig, 2.0, -1.0);
  EXPECT_EQ(g.gain, 2.0);
  EXPECT_NEAR(g.read_var, 9.0 + 0.5 * 245.0, 1e-7);  // the mean of s^2 - 2 I
  const count_noise r = noise_from_deviations(obs, sig, 0.0, 0.0);
  EXPECT_EQ(r.read_var, 0.0);
  EXPECT_GT(r.gain, 2.5);
  // Pure counting noise s^2 = I: the line through the origin, gain 1.
  for (std::size_t k = 0; k < obs.size(); ++k) sig[k] = std::sqrt(obs[k]);
  const count_noise p = noise_from_deviations(obs, sig, 0.0, -1.0);
  EXPECT_NEAR(p.gain, 1.0, 1e-9);
  EXPECT_NEAR(p.read_var, 0.0, 1e-7);
  // A dark point keeps the variance of one count; a negative model is dark.
  EXPECT_EQ(model_variance(-5.0, count_noise{2.0, 0.0}), 4.0);
  EXPECT_EQ(model_variance(100.0, count_noise{2.0, 1.0}), 201.0);
}

TEST(FitModel, PointSpreadAndBackgroundColumnsAgreeWithFiniteDifferencesAlsoAtZeroWidth) {
  const Epsilon saved = epsilon;
  ScratchDir d;
  make_example(d, {"--noise-free", "--side", "7", "--psf-steps", "1", "--background", "0.02", "--detector", "adj"});
  loaded L;
  load(d, L);
  fit_problem& fp = L.fp;
  const int P = fp.num_params(), M = fp.num_residuals();
  int jpsf = -1, jbg = -1;
  for (int j = 0; j < P; ++j) {
    if (fp.params[j].kind == fit_kind::psf) jpsf = j;
    if (fp.params[j].kind == fit_kind::background) jbg = j;
  }
  ASSERT_GE(jpsf, 0);
  ASSERT_GE(jbg, 0);
  const double step = 2.0 * L.eds[0].disksize / (L.eds[0].num_cal_pix_side - 1);
  // At zero width (the start a user writes) and at one grid step.
  for (const double v : {0.0, step * step}) {
    std::vector<double> x = current_params(fp), res(M), jac(static_cast<std::size_t>(M) * P);
    x[jpsf] = v;
    x[jbg] = 30.0;
    eval_residuals(fp, x.data(), res.data(), jac.data());
    for (const int j : {jpsf, jbg}) {
      const double h = j == jpsf ? 1e-4 * step * step : 1e-3;
      std::vector<double> xp = x, xm = x, rp(M), rm(M);
      xp[j] += h;
      xm[j] -= h;
      eval_residuals(fp, xp.data(), rp.data(), nullptr);
      eval_residuals(fp, xm.data(), rm.data(), nullptr);
      double diff = 0, norm = 0;
      for (int n = 0; n < M; ++n) {
        const double fd = (rp[n] - rm[n]) / (2 * h);
        diff += std::pow(jac[static_cast<std::size_t>(n) * P + j] - fd, 2);
        norm += fd * fd;
      }
      EXPECT_GT(norm, 0.0) << fp.params[j].name << " at v = " << v;
      EXPECT_LT(std::sqrt(diff / norm), 1e-4) << fp.params[j].name << " at v = " << v;
    }
  }
  epsilon = saved;
}

TEST(FitJob, PointSpreadAndBackgroundAreRefinedFromZeroAndWrittenBack) {
  ScratchDir d;
  make_example(d, {"--noise-free", "--psf-steps", "1", "--background", "0.03", "--detector", "adj", "--beam-check",
                   "0"});
  const RunResult r = run_fit(d);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::map<std::string, refined> t = parameter_table(r.out);
  const std::map<std::string, double> truth = true_values(d);
  for (const char* k : {"f111_re", "f220_re", "b_si", "psf", "bg"})
    EXPECT_NEAR(t.at(k).final_v, truth.at(k), 1e-3 * std::fabs(truth.at(k))) << k << "\n" << r.out;
  // The refined file carries the block with the width, not the variance,
  // and runs again to the same values.
  const std::string refined_file = d.read("si_fit.txt");
  const std::size_t p = refined_file.find("DETECTOR_PAR{\n");
  ASSERT_NE(p, std::string::npos);
  const double width = std::atof(refined_file.c_str() + p + 14);
  EXPECT_NEAR(width * width, truth.at("psf"), 1e-3 * truth.at("psf"));
  EXPECT_NE(refined_file.find("ADJ  bg"), std::string::npos);
  const RunResult again = run_fit(d, "si_fit.txt");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_NEAR(parameter_table(again.out).at("bg").final_v, truth.at("bg"), 1e-3 * truth.at("bg"));
}

// The largest |change / s.u.| of the beam-convergence table, and whether the
// log warns.
double largest_beam_change(const std::string& out, bool* warned) {
  const std::size_t p = out.find("change/s.u.");
  double worst = -1.0;
  if (p == std::string::npos) return worst;
  std::istringstream in(out.substr(out.find('\n', p) + 1));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string name;
    double change = 0, z = 0;
    if (!(l >> name >> change >> z)) break;
    worst = std::max(worst, std::fabs(z));
  }
  *warned = out.find("$$ Warning: the larger beam set would move") != std::string::npos;
  return worst;
}

TEST(FitJob, BeamCheckWarnsOnATruncatedBeamSetAndNotOnAConvergedOne) {
  // 29 beams (g_max 1.0) against 1000 counts: far from converged.
  ScratchDir a;
  make_example(a, {"--side", "5", "--gmax", "1.0", "--global-search", "0"});
  const RunResult ra = run_fit(a);
  ASSERT_EQ(ra.status, 0) << ra.out;
  bool warned = false;
  EXPECT_GT(largest_beam_change(ra.out, &warned), 3.0) << ra.out;
  EXPECT_TRUE(warned);
  // About 130 beams against 50 counts: converged at that precision.
  ScratchDir b;
  make_example(b, {"--side", "5", "--counts", "50", "--gmax", "2.25", "--num-g-limit", "1350", "--sg-bethe-min",
                   "0.03", "--sg-max", "0.12", "--global-search", "0"});
  const RunResult rb = run_fit(b);
  ASSERT_EQ(rb.status, 0) << rb.out;
  const double worst = largest_beam_change(rb.out, &warned);
  EXPECT_GE(worst, 0.0) << rb.out;
  EXPECT_LT(worst, 0.3) << rb.out;
  EXPECT_FALSE(warned);
}

TEST(FitModel, ThicknessScanAndModelWeightsAtTheTrueValuesOfNoiseFreeData) {
  const Epsilon saved = epsilon;
  ScratchDir d;
  make_example(d, {"--noise-free", "--side", "7", "--fg-off", "0", "--b-off", "0", "--t-off", "0", "--scale-off",
                   "0.2"});
  loaded L;
  load(d, L);
  fit_problem& fp = L.fp;
  const std::map<std::string, double> truth = true_values(d);
  // The scan finds the true thickness among its steps, with the true scale
  // in closed form although the start's scale is 20 % off.
  std::vector<double> ts;
  for (double t = 1000.0; t <= 1400.0; t += 25.0) ts.push_back(t);
  const std::vector<block_scan> scan = scan_thickness(fp, 0, {0}, {ts});
  ASSERT_EQ(scan.size(), 1u);
  const block_scan& b = scan[0];
  const std::size_t best = static_cast<std::size_t>(std::min_element(b.chisq.begin(), b.chisq.end()) - b.chisq.begin());
  EXPECT_EQ(b.thickness[best], truth.at("thickness"));
  EXPECT_NEAR(b.scale[best], truth.at("scale"), 1e-6 * truth.at("scale"));
  EXPECT_LT(b.chisq[best], 1e-6);
  EXPECT_GT(b.chisq[best == 0 ? 1 : best - 1], 1.0);
  const double xi = shortest_extinction(fp, 0);
  EXPECT_GT(xi, 100.0);
  EXPECT_LT(xi, 2000.0);

  // Deviations sqrt(max(I, 1)) of noise-free counts: gain 1, and at the true
  // values the model's variance of a point is its measured deviation squared.
  ASSERT_TRUE(fp.model_weights);
  EXPECT_NEAR(fp.noise[0].gain, 1.0, 0.01);
  std::vector<double> x = current_params(fp);
  for (std::size_t j = 0; j < fp.params.size(); ++j)
    if (fp.params[j].kind == fit_kind::scale) x[j] = truth.at("scale");
  update_model_weights(fp, x.data());
  int n_bright = 0;
  for (const measured_point& p : fp.pts) {
    const double obs = L.eis[0].obs_int(p.reflex, p.block, p.pix), sig = L.eis[0].obs_sig(p.reflex, p.block, p.pix);
    if (obs < 20.0) continue;
    ++n_bright;
    EXPECT_NEAR(p.sqrt_weight * sig, 1.0, 0.02) << obs;
  }
  EXPECT_GT(n_bright, 20);
  epsilon = saved;
}

}  // namespace
}  // namespace kv
