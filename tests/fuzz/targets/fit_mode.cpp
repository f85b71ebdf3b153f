// A fit-mode file: run control, crystal, datasets and their constraints. The
// fitting example's intensity file lies beside it, so that the datasets of
// the seed reach their measured data.
#include <string>
#include <vector>

#include "expdata/dataset.hpp"
#include "expdata/fit_files.hpp"
#include "fuzz_target.hpp"
#include "input/crystal_data.hpp"

KV_FUZZ_TARGET(fit_mode) {
  static const bool fixtures = [] {
    kvfuzz::copy_fixture("fit/si110_fit_int.txt", "si110_fit_int.txt");
    return true;
  }();
  (void)fixtures;
  const std::string file = kvfuzz::write_input(data, size, "fz_fit.dat");
  kvfuzz::run_reader([&] {
    kv::csd cs;
    int max_iter = 0, num_dataset = 0;
    std::vector<kv::fed> eds;
    std::vector<kv::fei> eis;
    kv::input_fit_mode_file(file, cs, &max_iter, &num_dataset, eds, eis);
  });
  return 0;
}
