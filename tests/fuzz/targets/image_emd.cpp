// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include "image_target.hpp"

// libFuzzer reads in this process, so that a fault of libhdf5 on a damaged
// file shows as a crash (a child process would leave it unseen, or write the
// fuzzer's artifacts from the child); the replay of the ordinary build reads
// through the child process as the programs do, which must refuse each of
// those files with a message.
#ifdef KV_FUZZ_REPLAY
KV_FUZZ_TARGET(image_emd) { return kvfuzz::check_image_reader(data, size, "fz.emd", kv::read_emd_image); }
#else
KV_FUZZ_TARGET(image_emd) {
  return kvfuzz::check_image_reader(data, size, "fz.emd", kv::read_emd_image_in_process);
}
#endif
