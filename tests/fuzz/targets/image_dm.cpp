// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include "image_target.hpp"

KV_FUZZ_TARGET(image_dm) { return kvfuzz::check_image_reader(data, size, "fz.dm3", kv::read_dm_image); }
