// A korvex parameter file read as a simulation job reads it, up to and
// including the beam search: job mode, run control, crystal structure and
// the simulation conditions (the coherent block too for a coherent job).
// Other job modes stop after the crystal block.
#include <string>

#include "fuzz_target.hpp"
#include "input/crystal_data.hpp"
#include "jobs/simulation.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

KV_FUZZ_TARGET(param_file) {
  const std::string file = kvfuzz::write_input(data, size, "fz.dat");
  kvfuzz::run_reader([&] {
    kv::File fp = kv::fopen_chk_rmode(file);
    const std::optional<std::string> mode = kv::fget_1s(fp.get());
    if (!mode) return;
    kv::read_eps_ctrl_params(fp.get());
    kv::csd crystal;
    kv::input_csd_cstr(crystal, fp.get(), "fz");
    const bool coherent = *mode == "SIM_COHERENT_MODE";
    if (*mode != "SIM_MODE" && !coherent) return;
    kv::sd cond;
    kv::input_sim_data(cond, crystal, fp.get());
    if (coherent) kv::input_sim_coherent_data(cond, crystal, fp.get());
  });
  return 0;
}
