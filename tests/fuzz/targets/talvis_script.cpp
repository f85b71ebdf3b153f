// A talvis script run as talvis runs it, in a folder that also holds small
// simulation results (r.txt; r5.txt with the reflections of the fitting
// example), a coherent one (c.txt), a fit result (f.txt) and the fitting
// example (si110_fit.dat with its intensity file), so that commands naming
// those files reach their jobs. Only TALVIS_SCRIPT inputs are run: a bare
// result file would make talvis start a second talvis on the script it
// writes. The answer to the whole-pattern / reflection question comes from
// the input's length, so both jobs are reached.
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_target.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "driver/talvis_driver.hpp"

namespace {

const std::vector<std::string>& fixtures() {
  static const std::vector<std::string> names = [] {
    kvfuzz::copy_fixture("fuzz/seeds/sim_result/small.txt", "r.txt");
    kvfuzz::copy_fixture("fuzz/seeds/sim_result/si110_five.txt", "r5.txt");
    kvfuzz::copy_fixture("fuzz/seeds/sim_coherent_result/small.txt", "c.txt");
    kvfuzz::copy_fixture("fuzz/seeds/fit_result/si110_res.txt", "f.txt");
    kvfuzz::copy_fixture("fit/si110_fit.dat", "si110_fit.dat");
    kvfuzz::copy_fixture("fit/si110_fit_int.txt", "si110_fit_int.txt");
    return std::vector<std::string>{"r.txt", "r5.txt", "c.txt", "f.txt", "si110_fit.dat", "si110_fit_int.txt", "s.txt", "answer.txt"};
  }();
  return names;
}

bool is_script(const std::string& file) {
  kv::File fp(std::fopen(file.c_str(), "r"));
  if (!fp) return false;
  const std::optional<std::string> first = kv::fget_1s(fp.get());
  return first && *first == "TALVIS_SCRIPT";
}

}  // namespace

KV_FUZZ_TARGET(talvis_script) {
  const std::vector<std::string>& keep = fixtures();
  const std::string file = kvfuzz::write_input(data, size, "s.txt");
  const char* answer = size % 2 ? "2\n" : "1\n";
  kvfuzz::write_input(reinterpret_cast<const std::uint8_t*>(answer), 2, "answer.txt");
  if (!std::freopen("answer.txt", "r", stdin)) kvfuzz::fault("cannot read answer.txt");
  kvfuzz::run_reader([&] {
    if (is_script(file)) kv::talvis_jobs(file);
  });
  kvfuzz::clear_scratch_except(keep);
  return 0;
}
