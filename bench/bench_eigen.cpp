// Timing of the complete eigen-decomposition (values and right vectors) by
// eigmat with each solver and by LAPACK zgeev, for random complex matrices
// and for Bloch-wave-like structure matrices, with a closing table of each
// solver's time as a ratio to zgeev.
#include <benchmark/benchmark.h>

#include <complex>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "numeric/eigen.hpp"
#include "sim/runctl.hpp"

#ifdef KV_HAVE_LAPACKE
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapacke.h>
#endif

namespace {

using kv::CMatrix;
using kv::complex;

enum Family { kRandom = 0, kBloch = 1 };
const char* const kFamilyName[] = {"random", "bloch"};

CMatrix make_matrix(int family, int n) {
  std::mt19937_64 gen(20240 + 7 * n + family);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  CMatrix a(n, n);
  if (family == kRandom) {
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const double re = u(gen);
        a[i][j] = complex{re, u(gen)};
      }
    return a;
  }
  // Structure matrix: excitation errors spread along the real diagonal,
  // Hermitian Fourier coefficients, a small absorptive part times i.
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j) {
      const complex v{0.05 * u(gen), 0.05 * u(gen)};
      const complex w{0.002 * u(gen), 0.002 * u(gen)};
      a[i][j] = complex{v.re - w.im, v.im + w.re};
      a[j][i] = complex{v.re + w.im, -v.im + w.re};
    }
  for (int i = 0; i < n; ++i) a[i][i] = complex{i == 0 ? 0.0 : 40.0 * u(gen), 0.002 * u(gen)};
  return a;
}

void run_eigmat(benchmark::State& state, int func) {
  const int family = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  const CMatrix a = make_matrix(family, n);
  std::vector<complex> val(n);
  CMatrix vec(n, n);
  const int saved = kv::epsilon.eigmat_func;
  kv::epsilon.eigmat_func = func;
  for (auto _ : state) {
    kv::eigmat(n, a, val.data(), vec);
    benchmark::DoNotOptimize(val.data());
    benchmark::ClobberMemory();
  }
  kv::epsilon.eigmat_func = saved;
  state.SetLabel(kFamilyName[family]);
}

void BM_eispack_cg(benchmark::State& state) { run_eigmat(state, 0); }
void BM_eigen_c_mat(benchmark::State& state) { run_eigmat(state, 1); }

#ifdef KV_HAVE_LAPACKE
void BM_zgeev(benchmark::State& state) {
  using zc = std::complex<double>;
  const int family = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  const CMatrix a = make_matrix(family, n);
  const std::size_t nn = static_cast<std::size_t>(n) * n;
  std::vector<zc> colmajor(nn), work(nn), w(n), vr(nn), vl(1);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) colmajor[static_cast<std::size_t>(j) * n + i] = zc(a[i][j].re, a[i][j].im);
  for (auto _ : state) {
    work = colmajor;  // zgeev destroys its input, as eigmat's copy does
    LAPACKE_zgeev(LAPACK_COL_MAJOR, 'N', 'V', n, work.data(), n, w.data(), vl.data(), 1, vr.data(), n);
    benchmark::DoNotOptimize(w.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(kFamilyName[family]);
}
#endif

void sizes(benchmark::internal::Benchmark* b) {
  for (int family : {kRandom, kBloch})
    for (int n : {50, 100, 200, 400}) b->Args({family, n});
  b->ArgNames({"family", "n"})->Unit(benchmark::kMillisecond)->MinTime(0.5);
}

BENCHMARK(BM_eispack_cg)->Apply(sizes);
BENCHMARK(BM_eigen_c_mat)->Apply(sizes);
#ifdef KV_HAVE_LAPACKE
BENCHMARK(BM_zgeev)->Apply(sizes);
#endif

// Console output as usual, and the mean CPU time per iteration of every run
// kept for the ratio table (CPU time, so that other load on a shared machine
// does not enter the single-threaded comparison).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions opts) : ConsoleReporter(opts) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      const std::string name = r.run_name.function_name;
      const std::string args = r.run_name.args;  // "family:F/n:N"
      int family = 0, n = 0;
      if (std::sscanf(args.c_str(), "family:%d/n:%d", &family, &n) != 2) continue;
      times_[{family, n}][name] = r.GetAdjustedCPUTime();
    }
  }
  void print_ratios() const {
    std::printf("\nCPU time relative to zgeev (eigenvalues and right eigenvectors, one core)\n");
    std::printf("%-8s %5s %12s %12s %12s %10s %10s\n", "matrix", "n", "zgeev[ms]", "eispack[ms]",
                "c_mat[ms]", "eispack/z", "c_mat/z");
    for (const auto& [key, t] : times_) {
      auto get = [&](const char* k) {
        const auto it = t.find(k);
        return it == t.end() ? -1.0 : it->second;
      };
      const double z = get("BM_zgeev"), e = get("BM_eispack_cg"), c = get("BM_eigen_c_mat");
      std::printf("%-8s %5d", kFamilyName[key.first], key.second);
      for (double v : {z, e, c}) {
        if (v >= 0.0)
          std::printf(" %12.3f", v);
        else
          std::printf(" %12s", "-");
      }
      for (double v : {e, c}) {
        if (z > 0.0 && v >= 0.0)
          std::printf(" %10.2f", v / z);
        else
          std::printf(" %10s", "-");
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::pair<int, int>, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Colours only on a terminal.
  RatioReporter reporter(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_Defaults
                                                : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
