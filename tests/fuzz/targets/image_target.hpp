#pragma once
// The check shared by the detector-image targets: the input, written to a
// file of the reader's extension, is refused with one message, or read into
// a record whose pixel array matches its size and holds only finite numbers.
#include <cmath>
#include <string>

#include "expimage/image.hpp"
#include "fuzz_target.hpp"

namespace kvfuzz {

inline int check_image_reader(const std::uint8_t* data, std::size_t size, const char* file_name,
                              kv::DetectorImage (*reader)(const std::string&)) {
  const std::string file = write_input(data, size, file_name);
  kv::DetectorImage img;
  bool accepted = false;
  run_reader([&] {
    img = reader(file);
    accepted = true;
  });
  if (!accepted) return 0;
  if (img.width <= 0 || img.height <= 0 || img.frames <= 0 ||
      img.pixels.size() != static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height))
    fault("an accepted image's pixel array does not match its size");
  for (double v : img.pixels)
    if (!std::isfinite(v)) fault("an accepted image holds a pixel that is not a finite number");
  return 0;
}

}  // namespace kvfuzz
