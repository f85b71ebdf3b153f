// "talvis import" end to end on synthetic GaAs [110] patterns: korvex
// simulates the pattern once, tools/make_cbed_image.py renders it onto a
// detector with a known geometry and noise, and the import must give that
// geometry back, sample intensities that agree with the simulation within
// the stated noise, and write a fit-mode file that refines.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "expimage/import_setup.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::run_program;
using kvtest::RunResult;
using kvtest::ScratchDir;

namespace kv {
namespace {

const std::string kTool = std::string(KV_EXAMPLES_DIR) + "/../tools/make_cbed_image.py";
constexpr double kPi = 3.14159265358979323846;

// The GaAs [110] example at 200 kV with g1 = 002 (a polar direction: 002
// and 00-2 disks differ), one thickness, the given grid, disk and
// reflections.
std::string gaas_setup(int side, double disk, const std::string& reflex, const std::string& import_block) {
  std::string s = kvtest::read_file(std::string(KV_EXAMPLES_DIR) + "/gaas_110_200kv.dat");
  auto replace = [&](const std::string& from, const std::string& to) {
    const std::size_t p = s.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    if (p != std::string::npos) s.replace(p, from.size(), to);
  };
  replace("2 -2 0\n% tiltH", "0 0 2\n% tiltH");
  replace("% points along one side of the grid\n31\n% disk half-width (tilt units)\n0.5",
          "% points along one side of the grid\n" + std::to_string(side) + "\n% disk half-width (tilt units)\n" +
              std::to_string(disk));
  replace("OUTPUT_REFLEX{\n% 0: every exact beam\n0\n}OUTPUT_REFLEX", reflex);
  replace("OUTPUT_THICKNESS{\n3\n500.0\n1000.0\n1500.0\n}OUTPUT_THICKNESS", "OUTPUT_THICKNESS{\n1\n1000.0\n}OUTPUT_THICKNESS");
  return s + import_block;
}

const char* kReflex = "OUTPUT_REFLEX{\n5\n0 0 0\n0 0 2\n0 0 -2\n1 -1 1\n-1 1 -1\n}OUTPUT_REFLEX";

// Key-value lines of an _import.txt file (first value of each key).
std::map<std::string, std::vector<double>> import_values(const std::string& text) {
  std::map<std::string, std::vector<double>> m;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::string key;
    ls >> key;
    std::vector<double> v;
    std::string tok;
    while (ls >> tok) {
      char* end = nullptr;
      const double x = std::strtod(tok.c_str(), &end);
      if (end != tok.c_str()) v.push_back(x);
    }
    if (key == "disk") key += " " + std::to_string(int(v[0])) + " " + std::to_string(int(v[1])) + " " + std::to_string(int(v[2]));
    m[key] = v;
  }
  return m;
}

double json_number(const std::string& json, const std::string& key) {
  const std::size_t p = json.find("\"" + key + "\":");
  EXPECT_NE(p, std::string::npos) << key;
  return std::strtod(json.c_str() + p + key.size() + 3, nullptr);
}

std::vector<double> json_matrix(const std::string& json) {
  std::vector<double> m;
  std::size_t p = json.find("\"matrix\":");
  for (int i = 0; i < 4; ++i) {
    p = json.find_first_of("-0123456789", json.find_first_of("-0123456789[", p + 1));
    char* end = nullptr;
    m.push_back(std::strtod(json.c_str() + p, &end));
    p = end - json.c_str();
  }
  return m;
}

// One korvex simulation (61 points across a disk of half-width 0.5, every
// exact beam) shared by the tests of this file.
class Import : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir();
    kvtest::write_file(*dir_ / "render.dat", gaas_setup(61, 0.5, "OUTPUT_REFLEX{\n0\n}OUTPUT_REFLEX", ""));
    const RunResult r = run_program(KORVEX_EXE, {"render.dat"}, dir_->path());
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  const ScratchDir& d() const { return *dir_; }

  void render(const std::string& out, const std::vector<std::string>& extra) const {
    std::vector<std::string> args{kTool, "render_rs0.txt", "--out", out, "--width", "400", "--height", "380"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run_program("/usr/bin/python3", args, d().path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  RunResult import(const std::string& image, const std::string& setup) const {
    return run_program(TALVIS_EXE, {"import", image, setup}, d().path());
  }

  static ScratchDir* dir_;
};
ScratchDir* Import::dir_ = nullptr;

struct Geometry {
  const char* format;
  const char* dtype;
  double cx, cy, scale, angle, ell, ell_angle;
  int hand;
  const char* psf;     // Gaussian point spread (pixels)
  const char* frames;  // frames the dose is split over (summed by the reader)
};

TEST_F(Import, CalibrationGivesTheDetectorGeometryBackAtAnyRotationHandednessAndEllipticity) {
  kvtest::write_file(d() / "setup.dat", gaas_setup(15, 0.45, kReflex, "IMPORT{\ngain 2.0\nread_noise 3.0\ndark dark.tif\n}IMPORT\n"));
  const Geometry cases[] = {
      {"dm4", "uint16", 200.3, 190.7, 36.0, 17.0, 0.02, 30.0, 1, "0", "1"},
      {"tif", "float32", 195.45, 188.2, 34.0, -121.3, 0.02, 75.0, -1, "0", "1"},
      {"mrc", "float32", 203.8, 186.1, 38.0, 63.0, 0.0, 0.0, 1, "1.0", "4"},
      {"dm3", "uint16", 198.2, 192.9, 35.0, 200.0, 0.02, -40.0, -1, "0.6", "1"},
  };
  for (const Geometry& c : cases) {
    const std::string name = std::string("geo_") + c.format;
    render(name, {"--formats", c.format, "--dtype", c.dtype, "--cx", std::to_string(c.cx), "--cy",
                  std::to_string(c.cy), "--scale", std::to_string(c.scale), "--angle", std::to_string(c.angle),
                  "--ellipticity", std::to_string(c.ell), "--ell-angle", std::to_string(c.ell_angle),
                  "--handedness", std::to_string(c.hand), "--dose", "2000", "--gain", "2", "--read-noise", "3",
                  "--dark", "100", "--dark-out", "dark", "--seed", "7", "--psf", c.psf, "--frames", c.frames});
    const RunResult r = import(name + "." + c.format, "setup.dat");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto v = import_values(d().read(name + "_import.txt"));
    const std::string truth = d().read(name + "_truth.json");
    const std::vector<double> A = json_matrix(truth);
    const double angle = std::atan2(A[2], A[0]) * 180.0 / kPi;
    SCOPED_TRACE(name);
    EXPECT_NEAR(v.at("centre_x_px")[0], c.cx, 0.1);
    EXPECT_NEAR(v.at("centre_y_px")[0], c.cy, 0.1);
    EXPECT_NEAR(v.at("px_per_g1half")[0] / c.scale - 1.0, 0.0, 0.001);
    EXPECT_NEAR(std::remainder(v.at("g1_angle_deg")[0] - angle, 360.0), 0.0, 0.05);
    EXPECT_NEAR(v.at("disk_radius_g1half")[0] / 0.5 - 1.0, 0.0, 0.005);
    EXPECT_NEAR(v.at("ellipticity")[0], c.ell, 0.004);
    // The 002 disk is found where the true geometry puts 002 (u = 2, v = 0),
    // not 00-2: the sign of g1 is right.
    ASSERT_TRUE(v.count("disk 0 0 2"));
    EXPECT_NEAR(v.at("disk 0 0 2")[3], c.cx + 2 * A[0], 0.5);
    EXPECT_NEAR(v.at("disk 0 0 2")[4], c.cy + 2 * A[2], 0.5);
    // GaAs [110] with g1 = 002 has a mirror that turns g2 into -g2, so the
    // disks' contents cannot tell the handedness: both choices score alike
    // and the reported handedness is either.
    const auto& best = v.at("orientation_score");
    EXPECT_GT(best[2], 0.9);
    EXPECT_EQ(v.at("g1_sign_determined")[0], 1.0);
    EXPECT_EQ(v.at("handedness_determined")[0], 0.0);
    const double alpha = v.at("alpha_mrad")[0];
    EXPECT_NEAR(alpha / (v.at("disk_radius_px")[0] * v.at("mrad_per_px")[0]) - 1.0, 0.0, 1e-4);
  }
}

TEST_F(Import, SampledIntensitiesAgreeWithTheSimulationWithinTheStatedNoiseAndTheFitFileRefines) {
  // Pixels of 5 % scattered sensitivity, some dead: without the gain
  // reference the scatter alone would lift the reduced chi-squared to 1.6.
  kvtest::write_file(d() / "setup_fit.dat",
                     gaas_setup(15, 0.45, kReflex, "IMPORT{\ngain 1.5\nread_noise 2.0\ngain_reference gref.tif\n}IMPORT\n"));
  render("fitimg", {"--formats", "npy", "--dtype", "float32", "--scale", "36", "--angle", "41", "--dose", "1500",
                    "--gain", "1.5", "--read-noise", "2", "--seed", "3", "--gain-ref-out", "gref"});
  const RunResult r = import("fitimg.npy", "setup_fit.dat");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto v = import_values(d().read("fitimg_import.txt"));
  // At the true thickness the only misfit left is the noise.
  EXPECT_GT(v.at("points_used")[0], 500);
  EXPECT_NEAR(v.at("start_chi2_reduced")[0], 1.0, 0.25);
  const double true_scale = json_number(d().read("fitimg_truth.json"), "electrons_per_unit");
  EXPECT_EQ(v.at("excluded_dead")[0], json_number(d().read("fitimg_truth.json"), "dead_pixels"));
  EXPECT_GT(v.at("excluded_dead")[0], 0.0);
  EXPECT_NEAR(v.at("start_scale")[0] / true_scale - 1.0, 0.0, 0.02);

  // The fit-mode file written serves as the setup of another import of the
  // same image (with the detector block added): the same intensities.
  kvtest::write_file(d() / "again_setup.dat", d().read("fitimg_fit.dat") +
                                                  "IMPORT{\ngain 1.5\nread_noise 2.0\ngain_reference gref.tif\n}IMPORT\n");
  std::filesystem::copy_file(d() / "fitimg.npy", d() / "again.npy", std::filesystem::copy_options::overwrite_existing);
  const RunResult again = import("again.npy", "again_setup.dat");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(d().read("again_int.txt"), d().read("fitimg_int.txt"));

  // The fit-mode file as written, with scale and thickness set free from
  // 10 % and 8 % off: the refinement finds both again.
  std::string fit = d().read("fitimg_fit.dat");
  const std::size_t ps = fit.find(" FIX scale");
  const std::size_t ls = fit.rfind('\n', ps) + 1;
  fit.replace(ls, ps + 10 - ls, std::to_string(1.1 * true_scale) + " ADJ scale");
  const std::size_t pt = fit.find(" FIX thick\n");
  const std::size_t lt = fit.rfind('\n', pt) + 1;
  fit.replace(lt, pt + 10 - lt, "1080 ADJ thick");
  kvtest::write_file(d() / "refine.dat", fit);
  const RunResult k = run_program(KORVEX_EXE, {"refine.dat"}, d().path());
  ASSERT_EQ(k.status, 0) << k.out;
  // The table of refined parameters (the beam check's table after it
  // names the same parameters).
  double scale = 0, thick = 0;
  const std::size_t table = k.out.find("$$ Refined parameters");
  ASSERT_NE(table, std::string::npos) << k.out;
  for (const std::string& line : kvtest::split_lines(k.out.substr(table))) {
    std::istringstream ls2(line);
    std::string name;
    double start = 0, fin = 0;
    if (ls2 >> name >> start >> fin) {
      if (name == "scale" && scale == 0) scale = fin;
      if (name == "thick" && thick == 0) thick = fin;
    }
  }
  EXPECT_NEAR(thick, 1000.0, 5.0) << k.out;
  EXPECT_NEAR(scale / true_scale - 1.0, 0.0, 0.02) << k.out;
}

TEST_F(Import, ManualPixelsOfZeroAndG1IndexAPatternAndExcludedPixelsAreCounted) {
  render("man", {"--formats", "tif", "--dtype", "uint16", "--scale", "36", "--angle", "-30", "--cx", "210", "--cy",
                 "180", "--dose", "3000", "--seed", "5"});
  // A mask whose zero pixels are known: (x + 7 y) mod 97 = 0.
  const RunResult m = run_program("/usr/bin/python3",
                                  {kTool, "--test-pattern", "400x380", "--dtype", "uint8", "--out", "mask", "--formats", "tif"},
                                  d().path());
  ASSERT_EQ(m.status, 0) << m.err;
  long zeros = 0;
  for (int y = 0; y < 380; ++y)
    for (int x = 0; x < 400; ++x) zeros += (x + 7 * y) % 97 == 0;
  // g1 pixel 2 px off its true place: the fit corrects it.
  const double g1x = 210 + 2 * 36 * std::cos(-30 * kPi / 180) + 1.5, g1y = 180 + 2 * 36 * std::sin(-30 * kPi / 180) - 1.0;
  kvtest::write_file(d() / "setup_man.dat",
                     gaas_setup(11, 0.45, kReflex,
                                "IMPORT{\nmask mask.tif\nsaturation 2500\ncentre_000_px 211.0 179.2\ng1_px " +
                                    std::to_string(g1x) + " " + std::to_string(g1y) + "\n}IMPORT\n"));
  const RunResult r = import("man.tif", "setup_man.dat");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto v = import_values(d().read("man_import.txt"));
  EXPECT_NEAR(v.at("centre_x_px")[0], 210.0, 0.1);
  EXPECT_NEAR(v.at("centre_y_px")[0], 180.0, 0.1);
  EXPECT_NEAR(std::remainder(v.at("g1_angle_deg")[0] + 30.0, 360.0), 0.0, 0.05);
  EXPECT_EQ(v.at("excluded_masked")[0], static_cast<double>(zeros));
  EXPECT_GT(v.at("excluded_saturated")[0], 0.0);
  EXPECT_GT(v.at("points_excluded_pixels")[0], 0.0);
  // Points resting on an excluded pixel carry deviation -1 in the
  // intensity file, never a filled-in value.
  const std::string ints = d().read("man_int.txt");
  EXPECT_NE(ints.find(" -1\n"), std::string::npos);
  const std::string html = d().read("man_import.html");
  EXPECT_NE(html.find("man_import.png"), std::string::npos);
  EXPECT_NE(html.find("<td>0 0 2</td>"), std::string::npos);
}

TEST_F(Import, PatternsWithoutDisksAndBadSetupsAreRefusedWithOneMessage) {
  kvtest::write_file(d() / "setup_bad.dat", gaas_setup(11, 0.45, kReflex, "IMPORT{\ngain 2\nexposure 3\n}IMPORT\n"));
  render("plain", {"--formats", "npy", "--scale", "36"});
  RunResult r = import("plain.npy", "setup_bad.dat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Import setup setup_bad.dat: unknown IMPORT key exposure"), std::string::npos) << r.out;

  kvtest::write_file(d() / "setup_ok.dat", gaas_setup(11, 0.45, kReflex, ""));
  const RunResult m = run_program("/usr/bin/python3",
                                  {kTool, "--test-pattern", "64x64", "--dtype", "float32", "--out", "flat", "--formats", "npy"},
                                  d().path());
  ASSERT_EQ(m.status, 0);
  r = import("flat.npy", "setup_ok.dat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Import flat.npy: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Abort."), std::string::npos) << r.out;

  r = import("absent.dm3", "setup_ok.dat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Image absent.dm3: cannot be opened for reading"), std::string::npos) << r.out;

  kvtest::write_file(d() / "setup_tfringe.dat", "TFRINGE_MODE\n");
  r = import("plain.npy", "setup_tfringe.dat");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("the setup must be a SIM_MODE or FIT_MODE parameter file (found TFRINGE_MODE)"),
            std::string::npos) << r.out;
}

}  // namespace
}  // namespace kv
