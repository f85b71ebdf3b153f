// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include "image_target.hpp"

KV_FUZZ_TARGET(image_mrc) { return kvfuzz::check_image_reader(data, size, "fz.mrc", kv::read_mrc_image); }
