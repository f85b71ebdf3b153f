// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include "image_target.hpp"

KV_FUZZ_TARGET(image_npy) { return kvfuzz::check_image_reader(data, size, "fz.npy", kv::read_npy_image); }
