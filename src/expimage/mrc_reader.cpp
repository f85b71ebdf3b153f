// MRC / MRCS, the 2014 header: 1024 bytes of 4-byte words, an extended
// header of NSYMBT bytes, then NX x NY x NZ samples (sections of NY rows of
// NX columns). Modes: 0 signed 8-bit, 1 signed 16-bit, 2 float32,
// 6 unsigned 16-bit, 12 float16. The machine stamp at byte 212 gives the byte
// order (0x44 0x44: little-endian, 0x11 0x11: big-endian; files without the
// "MAP " word are taken as little-endian). The NZ sections of a stack are
// frames, summed. The pixel size is the cell length over the sampling
// (angstrom per pixel).
#include <cmath>
#include <string>

#include "expimage/image.hpp"
#include "expimage/image_io.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

constexpr std::size_t kMrcHeader = 1024;

SampleType mrc_sample_type(const std::string& path, std::int32_t mode) {
  switch (mode) {
    case 0: return SampleType::i8;
    case 1: return SampleType::i16;
    case 2: return SampleType::f32;
    case 6: return SampleType::u16;
    case 12: return SampleType::f16;
    default:
      image_fault(path, strprintf("MRC mode %d (0, 1, 2, 6 or 12 expected; complex modes are not images)", mode));
  }
}

}  // namespace

DetectorImage read_mrc_image(const std::string& path) {
  const ByteFile f(path);
  f.need(0, kMrcHeader, "the 1024-byte MRC header");
  const bool has_map = std::string(reinterpret_cast<const char*>(f.data() + 208), 4) == "MAP ";
  const bool little = !(has_map && f.data()[212] == 0x11);
  auto word = [&](std::size_t k) { return static_cast<std::int32_t>(f.uint(4 * k, 4, little, "the MRC header")); };
  const std::int32_t nx = word(0), ny = word(1), nz = word(2), mode = word(3);
  const std::int32_t mx = word(7), my = word(8);
  const std::int32_t nsymbt = word(23);
  if (nx <= 0 || ny <= 0 || nz <= 0)
    image_fault(path, strprintf("MRC sizes %d x %d x %d (all must be positive)", nx, ny, nz));
  if (nsymbt < 0) image_fault(path, strprintf("MRC extended header of %d bytes", nsymbt));
  const SampleType st = mrc_sample_type(path, mode);
  const std::size_t frame = checked_frame_pixels(path, nx, ny, nz);
  const std::size_t offset = kMrcHeader + static_cast<std::size_t>(nsymbt);
  const std::size_t bytes = frame * static_cast<std::size_t>(nz) * sample_bytes(st);
  if (offset > f.size() || f.size() - offset != bytes)
    image_fault(path, strprintf("%d x %d x %d %s samples after a %zu-byte header need %zu bytes, the file holds %zu", nx,
                                ny, nz, sample_name(st), offset, offset + bytes, f.size()));

  DetectorImage img;
  img.file = path;
  img.format = "MRC";
  img.sample_type = sample_name(st);
  img.width = nx;
  img.height = ny;
  img.frames = nz;
  img.pixels.assign(frame, 0.0);
  for (std::int32_t k = 0; k < nz; ++k)
    decode_samples(f.data() + offset + static_cast<std::size_t>(k) * frame * sample_bytes(st), frame, st, little,
                   img.pixels.data(), k > 0);
  const double cx = f.real(40, 4, little, "the MRC cell"), cy = f.real(44, 4, little, "the MRC cell");
  if (mx > 0 && my > 0 && cx > 0.0 && cy > 0.0 && std::isfinite(cx) && std::isfinite(cy)) {
    img.calibration.present = true;
    img.calibration.scale_x = cx / mx;
    img.calibration.scale_y = cy / my;
    img.calibration.unit_x = img.calibration.unit_y = "A";
  }
  check_finite_pixels(img);
  return img;
}

}  // namespace kv
