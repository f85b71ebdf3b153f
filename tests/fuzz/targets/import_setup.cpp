// The setup of a detector-image import: a SIM_MODE parameter file with an
// optional IMPORT block, refused with one message or read whole. An accepted
// setup's detector values are those a calibration can use.
#include <cmath>
#include <string>

#include "expimage/import_setup.hpp"
#include "fuzz_target.hpp"

KV_FUZZ_TARGET(import_setup) {
  const std::string file = kvfuzz::write_input(data, size, "fz_setup.dat");
  kv::ImportSetup setup;
  bool accepted = false;
  kvfuzz::run_reader([&] {
    kv::read_import_setup(file, setup);
    accepted = true;
  });
  if (!accepted) return 0;
  const kv::ImportKeys& k = setup.keys;
  if (!(std::isfinite(k.gain) && k.gain > 0) || !(std::isfinite(k.read_noise) && k.read_noise >= 0))
    kvfuzz::fault("an accepted setup's gain or read noise is not a usable number");
  if (k.saturation && !(std::isfinite(*k.saturation) && *k.saturation > 0))
    kvfuzz::fault("an accepted setup's saturation is not a positive number");
  for (const auto* p : {&k.centre_000_px, &k.g1_px})
    if (*p && !(std::isfinite((**p)[0]) && std::isfinite((**p)[1])))
      kvfuzz::fault("an accepted setup's pixel position is not finite");
  if (setup.cond.num_exact_beam < 1) kvfuzz::fault("an accepted setup selected no beam");
  return 0;
}
