// SIM_RESULT and SIM_COHERENT_RESULT files, read whole as talvis reads them
// for a labelled picture: header, tilt grid and every reflection's values.
#include <string>

#include "fuzz_target.hpp"
#include "vis/cbed_figure.hpp"

namespace {

int read_result(const std::uint8_t* data, std::size_t size, bool coherent) {
  const std::string file = kvfuzz::write_input(data, size, "fz.txt");
  kvfuzz::run_reader([&] { (void)kv::read_cbed_figure_input(file, coherent, 0.5, 0.0); });
  return 0;
}

}  // namespace

#ifdef KV_FUZZ_COHERENT
KV_FUZZ_TARGET(sim_coherent_result) { return read_result(data, size, true); }
#elif defined(KV_FUZZ_REPLAY)
KV_FUZZ_TARGET(sim_result) { return read_result(data, size, false); }
KV_FUZZ_TARGET(sim_coherent_result) { return read_result(data, size, true); }
#else
KV_FUZZ_TARGET(sim_result) { return read_result(data, size, false); }
#endif
