// A detector image through its own reader: refused with one message, or
// read into a record whose pixel array matches its size and holds only
// finite numbers.
#include <cmath>
#include <string>

#include "expimage/image.hpp"
#include "fuzz_target.hpp"

KV_FUZZ_TARGET(image_dm) {
  const std::string file = kvfuzz::write_input(data, size, "fz.dm3");
  kv::DetectorImage img;
  bool accepted = false;
  kvfuzz::run_reader([&] {
    img = kv::read_dm_image(file);
    accepted = true;
  });
  if (!accepted) return 0;
  if (img.width <= 0 || img.height <= 0 || img.frames <= 0 ||
      img.pixels.size() != static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height))
    kvfuzz::fault("an accepted image's pixel array does not match its size");
  for (double v : img.pixels)
    if (!std::isfinite(v)) kvfuzz::fault("an accepted image holds a pixel that is not a finite number");
  return 0;
}
