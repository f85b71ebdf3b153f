// Choosing the reader of a detector image by its first bytes.
#include <cstring>
#include <fstream>
#include <string>

#include "expimage/image.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

bool ends_with(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

}  // namespace

DetectorImage read_detector_image(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) image_fault(path, "cannot be opened for reading");
  unsigned char head[212] = {0};
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  in.close();
  auto starts = [&](const char* magic, std::size_t n) { return got >= n && std::memcmp(head, magic, n) == 0; };
  if (starts("\0\0\0\3", 4) || starts("\0\0\0\4", 4)) return read_dm_image(path);
  if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) return read_tiff_image(path);
  if (starts("\x93NUMPY", 6)) return read_npy_image(path);
  if (starts("\x89HDF\r\n\x1a\n", 8)) return read_emd_image(path);
  if ((got >= 212 && std::memcmp(head + 208, "MAP ", 4) == 0) || ends_with(path, ".mrc") || ends_with(path, ".mrcs"))
    return read_mrc_image(path);
  image_fault(path, "not a DM3, DM4, TIFF, MRC, EMD (HDF5) or .npy image");
}

}  // namespace kv
