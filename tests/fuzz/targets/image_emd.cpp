// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include "image_target.hpp"

KV_FUZZ_TARGET(image_emd) { return kvfuzz::check_image_reader(data, size, "fz.emd", kv::read_emd_image); }
