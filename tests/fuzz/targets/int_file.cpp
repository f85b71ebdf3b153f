// The measured intensity file (FIT_EXPDATA_RAW / FIT_EXPDATA_BGS).
#include <string>

#include "expdata/dataset.hpp"
#include "fuzz_target.hpp"

KV_FUZZ_TARGET(int_file) {
  const std::string file = kvfuzz::write_input(data, size, "fz_int.txt");
  kvfuzz::run_reader([&] {
    kv::fei ei;
    kv::read_int_file(ei, file);
  });
  return 0;
}
