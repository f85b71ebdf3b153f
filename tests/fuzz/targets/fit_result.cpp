// A FIT_RESULT file, read against the fitting example's intensity file as
// the shift scan reads it.
#include <string>
#include <vector>

#include "beams/beam_search.hpp"
#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "fuzz_target.hpp"

namespace {

const kv::fei& measured() {
  static const kv::fei ei = [] {
    kvfuzz::copy_fixture("fit/si110_fit_int.txt", "si110_fit_int.txt");
    kv::fei e;
    kv::read_int_file(e, "si110_fit_int.txt");
    return e;
  }();
  return ei;
}

}  // namespace

KV_FUZZ_TARGET(fit_result) {
  const kv::fei& base = measured();
  const std::string file = kvfuzz::write_input(data, size, "fz_res.txt");
  kvfuzz::run_reader([&] {
    kv::fei ei = base;
    kv::BeamList rg;
    std::vector<double> weight;
    kv::read_res_data(ei, &rg, &weight, file);
  });
  return 0;
}
