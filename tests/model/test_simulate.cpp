// The simulation as a function of values: what simulate() returns depends on
// the values handed to it and on nothing process-wide, so two simulations
// with different run-control values give, side by side on two threads, what
// each gives alone; and the SIM_MODE job's tilt loop returns the same
// numbers as simulate().
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "crystal/structure_factor.hpp"
#include "input/constraints.hpp"
#include "input/crystal_data.hpp"
#include "jobs/simulation.hpp"
#include "model/simulate.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

namespace fs = std::filesystem;

// Runs in a scratch folder of its own: the readers write the reflection
// listing of the beam search there.
class SimulateValues : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_eps_ = epsilon;
    saved_dbg_ = dbg;
    old_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("kv_simulate_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    fs::current_path(dir_);
    dbg.base_name = "sv";
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
    epsilon = saved_eps_;
    dbg = saved_dbg_;
  }

  // The crystal and condition of the Si [110] demo, read by the
  // parameter-file readers, on a 9 x 9 grid to keep the test short.
  void read_demo(csd& c, sd& s) {
    File fp = fopen_chk_rmode(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat");
    ASSERT_TRUE(fget_1s(fp.get()).has_value());
    read_eps_ctrl_params(fp.get());
    input_csd_cstr(c, fp.get(), "sv");
    input_sim_data(s, c, fp.get());
    s.num_cal_pix_side = 9;
  }

  // The crystal and condition of an example, as the job reads them.
  void read_example(const std::string& name, csd& c, sd& s) {
    File fp = fopen_chk_rmode(std::string(KV_EXAMPLES_DIR) + "/" + name);
    ASSERT_TRUE(fget_1s(fp.get()).has_value());
    read_eps_ctrl_params(fp.get());
    input_csd_cstr(c, fp.get(), "sv");
    input_sim_data(s, c, fp.get());
  }

  Epsilon saved_eps_;
  Dbg saved_dbg_;
  fs::path old_, dir_;
};

bool same_numbers(const Tensor3<double>& a, const Tensor3<double>& b) {
  if (a.dim1() != b.dim1() || a.dim2() != b.dim2() || a.dim3() != b.dim3()) return false;
  for (std::size_t i = 0; i < a.dim1(); ++i)
    for (std::size_t j = 0; j < a.dim2(); ++j)
      for (std::size_t k = 0; k < a.dim3(); ++k)
        if (a(i, j, k) != b(i, j, k)) return false;
  return true;
}

double largest_difference(const Tensor3<double>& a, const Tensor3<double>& b) {
  double d = 0;
  for (std::size_t i = 0; i < a.dim1(); ++i)
    for (std::size_t j = 0; j < a.dim2(); ++j)
      for (std::size_t k = 0; k < a.dim3(); ++k) d = std::max(d, std::fabs(a(i, j, k) - b(i, j, k)));
  return d;
}

TEST_F(SimulateValues, TwoRunControlsSideBySideGiveWhatEachGivesAlone) {
  csd c;
  sd s;
  read_demo(c, s);
  RunControl a = program_run_control();
  a.epsilon.num_threads = 1;
  RunControl b = a;
  b.epsilon.num_threads = 2;
  b.epsilon.eigmat_func = 2;      // LAPACK zgeev
  b.epsilon.bc_invmat_func = 2;   // LAPACK zgesv
  b.epsilon.vg_select_flag = 0;   // the job's beams at every tilt
  b.epsilon.bc_accuracy = 0.999;  // weak Bloch waves dropped
  b.epsilon.intensity_scaling = 1.0;

  // The program's own records now hold values that no computation may read:
  // an invalid solver or thread count is fatal wherever it is read.
  epsilon.eigmat_func = 7;
  epsilon.bc_invmat_func = 9;
  epsilon.invmat_func = 3;
  epsilon.num_threads = -4;
  epsilon.intensity_scaling = -1.0;
  epsilon.vg_select_flag = 1;
  dbg.eigval_dump_flag = 1;

  const sim_result alone_a = simulate(c, s, a);
  const sim_result alone_b = simulate(c, s, b);
  EXPECT_EQ(alone_a.threads, 1);
  EXPECT_EQ(alone_b.threads, 2);
  ASSERT_EQ(alone_a.intensity.dim3(), 81u);
  // The two settings do compute different things: B's scaling is 1, not 10^4,
  // and its solvers and branch limit move the digits.
  EXPECT_GT(alone_a.intensity(0, 0, 40), 1000.0);
  EXPECT_LT(alone_b.intensity(0, 0, 40), 1.0 + 1e-9);
  EXPECT_FALSE(same_numbers(alone_a.intensity, alone_b.intensity));

  sim_result side_a, side_b;
  std::thread ta([&] { side_a = simulate(c, s, a); });
  std::thread tb([&] { side_b = simulate(c, s, b); });
  ta.join();
  tb.join();
  EXPECT_TRUE(same_numbers(side_a.intensity, alone_a.intensity));
  EXPECT_TRUE(same_numbers(side_b.intensity, alone_b.intensity));
  // The caller's crystal and condition are values: still what was read.
  EXPECT_TRUE(s.kp.empty());
}

TEST_F(SimulateValues, ResultCarriesTheBeamsTiltsAndReflectionsThatMadeIt) {
  csd c;
  sd s;
  read_demo(c, s);
  int calls = 0, last_done = -1, last_total = -1;
  const sim_result r = simulate(c, s, program_run_control(), [&](int done, int total) {
    ++calls;
    last_done = done;
    last_total = total;
  });
  ASSERT_EQ(static_cast<int>(r.reflections.size()), s.num_g);
  for (int g = 0; g < s.num_g; ++g) EXPECT_EQ(r.reflections[g], s.beams[s.cal_g[g]]);
  EXPECT_EQ(r.beams.size(), s.beams.size());
  EXPECT_EQ(r.thickness.size(), 3u);
  ASSERT_EQ(r.tilts.size(), 81u);
  // Corners of the 9 x 9 square lie outside the disk: flagged and zero.
  EXPECT_EQ(r.tilts[0].flag, 0);
  EXPECT_EQ(r.intensity(0, 0, 0), 0.0);
  EXPECT_EQ(r.tilts[40].flag, 1);
  EXPECT_DOUBLE_EQ(r.tilts[40].H, s.tiltH);
  // Progress reached the caller, ending at the number of computed tilts.
  int inside = 0;
  for (const k_point& q : r.tilts) inside += q.flag;
  EXPECT_GT(calls, 1);
  EXPECT_EQ(last_done, inside);
  EXPECT_EQ(last_total, inside);
}

TEST_F(SimulateValues, JobTiltLoopReturnsTheNumbersOfSimulate) {
  csd c;
  sd s;
  read_demo(c, s);
  const sim_result r = simulate(c, s, program_run_control());
  const lattice_metric lm = bravai(c.lp.data());
  const CMatrix vg = sd_potential_matrix(s, c, lm, nullptr);
  ASSERT_TRUE(calc_cbed_pattern(c, s, vg, "sv", nullptr));
  EXPECT_TRUE(same_numbers(s.intensity, r.intensity)) << largest_difference(s.intensity, r.intensity);
  EXPECT_TRUE(fs::exists("sv_rs0.txt"));
}

// The potential matrix as one pass through the structure-factor table
// builds it, every F_g computed where the pairs (i, j) first meet it.
CMatrix serial_potential(const sd& s, csd& c, const lattice_metric& lm, int* error_flag) {
  const int n = s.num_exact_beam + s.num_bethe_beam;
  CMatrix vg(n, n);
  *error_flag = 0;
  constraint_csd(c);
  fg_table t;
  stock_lofg_tbl(t, s.voltage, lm, c);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const Hkl h{s.beams[i].h - s.beams[j].h, s.beams[i].k - s.beams[j].k, s.beams[i].l - s.beams[j].l};
      int warn = 0;
      vg[i][j] = fg_to_vg(structure_factor_ext_tbl(h, s.voltage, lm, c, t, &warn), lm);
      *error_flag |= warn;
    }
  return vg;
}

// On every example, the potential matrix built on 1, 2 and 3 threads is
// that of the single pass, bit for bit, and leaves the crystal (the B_eq of
// anisotropic sites written into b_iso) as the single pass leaves it.
TEST_F(SimulateValues, PotentialMatrixIsTheSerialOneOnAnyThreadCount) {
  for (const char* name : {"si_110_200kv.dat", "si_111_200kv.dat", "si_110_200kv_forbidden.dat", "gaas_110_200kv.dat",
                           "al2o3_0001_200kv.dat", "cu_001_200kv.dat", "quartz_001_200kv.dat",
                           "srtio3_001_200kv.dat", "gan_11-20_200kv_forbidden.dat"}) {
    SCOPED_TRACE(name);
    csd read;
    sd s;
    read_example(name, read, s);
    if (HasFatalFailure()) return;
    const int n = s.num_exact_beam + s.num_bethe_beam;
    ASSERT_GT(n, 1);
    const lattice_metric lm = bravai(read.lp.data());
    csd ref_crystal = read;
    int ref_flag = -1;
    const CMatrix ref = serial_potential(s, ref_crystal, lm, &ref_flag);
    for (int threads : {1, 2, 3}) {
      csd c = read;
      int flag = -1;
      const CMatrix vg = condition_potential_matrix(s, c, lm, &flag, false, threads);
      EXPECT_EQ(flag, ref_flag) << threads << " threads";
      int differ = 0;
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
          if (std::memcmp(&vg[i][j], &ref[i][j], sizeof(complex)) != 0 && ++differ <= 3)
            ADD_FAILURE() << threads << " threads: V[" << i << "][" << j << "] differs";
      EXPECT_EQ(differ, 0) << threads << " threads, " << n << " beams";
      ASSERT_EQ(c.atoms.size(), ref_crystal.atoms.size());
      for (std::size_t a = 0; a < c.atoms.size(); ++a)
        EXPECT_EQ(std::memcmp(&c.atoms[a].b_iso, &ref_crystal.atoms[a].b_iso, sizeof(double)), 0)
            << threads << " threads, site " << a + 1;
    }
  }
}

}  // namespace
}  // namespace kv
