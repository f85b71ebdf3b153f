// The tilt loop's hot path: once a thread's work area exists, a tilt
// allocates nothing, whatever solver, Bethe form or branch limitation the
// run asks for, with or without the refinement's derivatives; and the U table built once per job gives the structure
// matrix, and so the intensities, bit for bit as the per-tilt conversion.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bloch/derivative.hpp"
#include "bloch/engine.hpp"
#include "numeric/eigen.hpp"
#include "sim/runctl.hpp"
#include "synthetic_crystal.hpp"

namespace {
std::atomic<long> g_allocations{0};
}

// Every allocation of this test program passes through here and is counted.
// All plain, array and nothrow forms are replaced, so that each block is
// freed by the allocator that made it (malloc/free on both sides; a
// sanitizer's own operator new would otherwise meet this free). GCC's pairing
// check does not see that a replaced operator new is the matching allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
void* counted_malloc(std::size_t n) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n ? n : 1);
}
}  // namespace
void* operator new(std::size_t n) {
  if (void* p = counted_malloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_malloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_malloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kvtest {
namespace {

using namespace kv;

struct Settings {
  int eigmat_func, bc_invmat_func;
  double bc_accuracy;
  int flag_bs;
};

// 000 and the (h k 0) within radius 4: 49 beams, the first 29 exact.
void make_case(Synthetic& s, int flag_bs) {
  make_synthetic(
      s, zolz_beams(4), [](const Hkl& h) { return hermitian_potential(h, 0.1); }, {0, 1, 2, 5},
      {200.0, 600.0, 1500.0}, Hkl{0, 0, 1}, 29, flag_bs);
}

Vec3 tilt(int i) { return Vec3{-0.9 + 0.05 * i, 0.02 * i - 0.1, 0.0}; }

class TiltAllocations : public ::testing::TestWithParam<Settings> {
 protected:
  void SetUp() override {
    saved_ = epsilon;
    epsilon.vg_select_flag = 0;
    epsilon.eigmat_func = GetParam().eigmat_func;
    epsilon.bc_invmat_func = GetParam().bc_invmat_func;
    epsilon.bc_accuracy = GetParam().bc_accuracy;
  }
  void TearDown() override { epsilon = saved_; }
  Epsilon saved_;
};

TEST_P(TiltAllocations, NoneAfterTheWorkAreaIsMade) {
  Synthetic s;
  make_case(s, GetParam().flag_bs);
  s.job.ug = make_ug_table(s.job.kv, s.vg);
  const int n = s.job.n_e0 + s.job.n_b0;
  work_cal_int w = alloc_work_cal_int(n, s.job.num_g, 0);
  RMatrix intensity(s.job.num_g, s.job.num_thickness);
  CMatrix amplitude(s.job.num_g, s.job.num_thickness);
  calc_intensity_with_perturb_ug(tilt(0), s.job, w, intensity);  // first use sizes the phase table
  calc_intensity_ug_coherent(tilt(0), complex{0.6, 0.8}, s.job, w, amplitude);

  const long before = g_allocations.load();
  for (int i = 1; i <= 6; ++i) {
    calc_intensity_with_perturb_ug(tilt(i), s.job, w, intensity);
    calc_intensity_ug_coherent(tilt(i), complex{0.6, 0.8}, s.job, w, amplitude);
  }
  EXPECT_EQ(g_allocations.load() - before, 0);
  // The count does see allocations: the solver without a kept scratch makes its own.
  const long counted = g_allocations.load();
  CMatrix copy = w.b;
  eispack_cg(w.n_e, epsilon.eigen_eps, copy, w.eigval.data(), w.c);
  EXPECT_GT(g_allocations.load() - counted, 1);
  // The tilts were solved: the incident beam carries intensity.
  EXPECT_GT(intensity[0][0], 0.0);
  EXPECT_LE(intensity[0][0], 1.0 + 1e-9);
}

// The refinement's tilt: intensities with their derivatives with respect
// to two potential parameters, in a work area made for them.
TEST_P(TiltAllocations, NoneInTheDerivativesEither) {
  Synthetic s;
  make_case(s, GetParam().flag_bs);
  s.job.ug = make_ug_table(s.job.kv, s.vg);
  const int n = s.job.n_e0 + s.job.n_b0;
  CMatrix dv1(n, n), dv2(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      dv1[i][j] = 0.01 * s.vg[i][j];
      dv2[i][j] = complex{i == j ? 0.0 : 0.02 / (1 + (i + j) % 5), 0.0};
    }
  const std::vector<const CMatrix*> dvg{&dv1, &dv2};
  work_cal_int w = alloc_work_cal_int(n, s.job.num_g, 1);
  intensity_jacobian out;
  calc_intensity_derivatives(tilt(0), s.job, dvg, w, out);

  const long before = g_allocations.load();
  for (int i = 1; i <= 4; ++i) calc_intensity_derivatives(tilt(i), s.job, dvg, w, out);
  EXPECT_EQ(g_allocations.load() - before, 0);
  double moved = 0;
  for (std::size_t r = 0; r < out.d_param[0].rows(); ++r) moved += std::fabs(out.d_param[0][r][0]);
  EXPECT_GT(moved, 0.0);
}

TEST_P(TiltAllocations, TheUTableGivesTheBitsOfThePerTiltConversion) {
  Synthetic s;
  make_case(s, GetParam().flag_bs);
  const int n = s.job.n_e0 + s.job.n_b0;
  engine_setup with_table = s.job;
  with_table.ug = make_ug_table(s.job.kv, s.vg);
  engine_setup stepped = with_table;  // a setup on another V matrix must not use the table
  CMatrix other = s.vg;
  other[1][2] = other[1][2] + complex{0.5, 0.0};
  stepped.vg = &other;
  engine_setup stepped_plain = s.job;
  stepped_plain.vg = &other;

  work_cal_int w = alloc_work_cal_int(n, s.job.num_g, 0);
  const std::size_t R = s.job.num_g, T = s.job.num_thickness;
  RMatrix a(R, T), b(R, T), c(R, T), d(R, T);
  for (int i = 0; i < 4; ++i) {
    calc_intensity_with_perturb_ug(tilt(i), s.job, w, a);
    calc_intensity_with_perturb_ug(tilt(i), with_table, w, b);
    calc_intensity_with_perturb_ug(tilt(i), stepped, w, c);
    calc_intensity_with_perturb_ug(tilt(i), stepped_plain, w, d);
    for (std::size_t r = 0; r < R; ++r) {
      EXPECT_EQ(std::memcmp(a[r], b[r], T * sizeof(double)), 0) << "tilt " << i << " reflection " << r;
      EXPECT_EQ(std::memcmp(c[r], d[r], T * sizeof(double)), 0) << "tilt " << i << " reflection " << r;
    }
    bool moved = false;
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t t = 0; t < T; ++t) moved = moved || a[r][t] != c[r][t];
    EXPECT_TRUE(moved) << "the changed potential must change the intensities";
  }
}

INSTANTIATE_TEST_SUITE_P(SolversAndBetheForms, TiltAllocations,
                         ::testing::Values(Settings{0, 0, 1.0, 0}, Settings{0, 0, 0.999, 0},
                                           Settings{1, 0, 0.999, 0}, Settings{2, 2, 1.0, 0},
                                           Settings{2, 0, 0.99, 12}, Settings{0, 0, 0.999, 12},
                                           Settings{3, 0, 1.0, 0}, Settings{3, 2, 0.999, 12}));

}  // namespace
}  // namespace kvtest
