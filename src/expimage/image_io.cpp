#include "expimage/image_io.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>

#include "sim/error.hpp"

namespace kv {

void image_fault(const std::string& path, const std::string& what) {
  fatal_out("$$ Image %s: %s. Abort.\n", path.c_str(), what.c_str());
}

bool host_little_endian() { return std::endian::native == std::endian::little; }

std::size_t sample_bytes(SampleType t) {
  switch (t) {
    case SampleType::i8:
    case SampleType::u8: return 1;
    case SampleType::i16:
    case SampleType::u16:
    case SampleType::f16: return 2;
    case SampleType::i32:
    case SampleType::u32:
    case SampleType::f32: return 4;
    case SampleType::i64:
    case SampleType::u64:
    case SampleType::f64: return 8;
  }
  return 1;
}

const char* sample_name(SampleType t) {
  switch (t) {
    case SampleType::i8: return "int8";
    case SampleType::u8: return "uint8";
    case SampleType::i16: return "int16";
    case SampleType::u16: return "uint16";
    case SampleType::i32: return "int32";
    case SampleType::u32: return "uint32";
    case SampleType::i64: return "int64";
    case SampleType::u64: return "uint64";
    case SampleType::f16: return "float16";
    case SampleType::f32: return "float32";
    case SampleType::f64: return "float64";
  }
  return "?";
}

ByteFile::ByteFile(const std::string& path) : path_(path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) image_fault(path, "cannot be opened for reading");
  const std::streamoff end = in.tellg();
  if (end < 0) image_fault(path, "cannot be read");
  if (static_cast<std::uint64_t>(end) > kMaxImageFileBytes)
    image_fault(path, strprintf("%lld bytes, more than the %zu bytes an image file may have",
                                static_cast<long long>(end), kMaxImageFileBytes));
  bytes_.resize(static_cast<std::size_t>(end));
  in.seekg(0);
  if (!bytes_.empty() && !in.read(reinterpret_cast<char*>(bytes_.data()), end))
    image_fault(path, "cannot be read");
}

void ByteFile::need(std::size_t offset, std::size_t n, const char* what) const {
  if (offset > bytes_.size() || n > bytes_.size() - offset)
    image_fault(path_, strprintf("the file ends at byte %zu, inside %s (%zu bytes from byte %zu)", bytes_.size(),
                                 what, n, offset));
}

std::uint64_t ByteFile::uint(std::size_t offset, int width, bool little, const char* what) const {
  need(offset, static_cast<std::size_t>(width), what);
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) {
    const std::uint64_t b = bytes_[offset + static_cast<std::size_t>(little ? width - 1 - i : i)];
    v = (v << 8) | b;
  }
  return v;
}

double ByteFile::real(std::size_t offset, int width, bool little, const char* what) const {
  const std::uint64_t bits = uint(offset, width, little, what);
  if (width == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  return std::bit_cast<double>(bits);
}

namespace {

double half_to_double(std::uint16_t h) {
  const int sign = (h >> 15) & 1;
  const int exp = (h >> 10) & 0x1f;
  const int frac = h & 0x3ff;
  double v;
  if (exp == 0)
    v = std::ldexp(static_cast<double>(frac), -24);
  else if (exp == 31)
    v = frac ? std::nan("") : INFINITY;
  else
    v = std::ldexp(static_cast<double>(frac | 0x400), exp - 25);
  return sign ? -v : v;
}

template <typename U>
U load(const std::uint8_t* p, bool swap) {
  U v;
  if (!swap) {
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  v = 0;
  for (std::size_t i = 0; i < sizeof v; ++i) v = static_cast<U>((v << 8) | p[i]);
  // p holds the most significant byte first on a little-endian host, the
  // least significant first on a big-endian one.
  if (!host_little_endian()) {
    U w = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) w = static_cast<U>((w << 8) | p[sizeof v - 1 - i]);
    v = w;
  }
  return v;
}

template <typename U, typename F>
void convert(const std::uint8_t* src, std::size_t n, bool swap, double* out, bool add, F to_double) {
  for (std::size_t i = 0; i < n; ++i) {
    const double v = to_double(load<U>(src + i * sizeof(U), swap));
    out[i] = add ? out[i] + v : v;
  }
}

}  // namespace

void decode_samples(const std::uint8_t* src, std::size_t n, SampleType t, bool little, double* out, bool add) {
  const bool swap = little != host_little_endian();
  switch (t) {
    case SampleType::i8: convert<std::uint8_t>(src, n, false, out, add, [](std::uint8_t v) { return double(std::int8_t(v)); }); break;
    case SampleType::u8: convert<std::uint8_t>(src, n, false, out, add, [](std::uint8_t v) { return double(v); }); break;
    case SampleType::i16: convert<std::uint16_t>(src, n, swap, out, add, [](std::uint16_t v) { return double(std::int16_t(v)); }); break;
    case SampleType::u16: convert<std::uint16_t>(src, n, swap, out, add, [](std::uint16_t v) { return double(v); }); break;
    case SampleType::f16: convert<std::uint16_t>(src, n, swap, out, add, half_to_double); break;
    case SampleType::i32: convert<std::uint32_t>(src, n, swap, out, add, [](std::uint32_t v) { return double(std::int32_t(v)); }); break;
    case SampleType::u32: convert<std::uint32_t>(src, n, swap, out, add, [](std::uint32_t v) { return double(v); }); break;
    case SampleType::f32: convert<std::uint32_t>(src, n, swap, out, add, [](std::uint32_t v) { return double(std::bit_cast<float>(v)); }); break;
    case SampleType::i64: convert<std::uint64_t>(src, n, swap, out, add, [](std::uint64_t v) { return double(std::int64_t(v)); }); break;
    case SampleType::u64: convert<std::uint64_t>(src, n, swap, out, add, [](std::uint64_t v) { return double(v); }); break;
    case SampleType::f64: convert<std::uint64_t>(src, n, swap, out, add, [](std::uint64_t v) { return std::bit_cast<double>(v); }); break;
  }
}

std::size_t checked_frame_pixels(const std::string& path, std::uint64_t width, std::uint64_t height,
                                 std::uint64_t frames) {
  if (width == 0 || height == 0 || frames == 0)
    image_fault(path, strprintf("an image of %llu x %llu pixels and %llu frames holds no pixel",
                                (unsigned long long)width, (unsigned long long)height, (unsigned long long)frames));
  if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImageFramePixels)
    image_fault(path, strprintf("%llu x %llu pixels, more than this reader accepts (%zu on a side, %zu in all)",
                                (unsigned long long)width, (unsigned long long)height, kMaxImageSide,
                                kMaxImageFramePixels));
  if (frames > kMaxImageFrames || width * height * frames > kMaxImageTotalPixels)
    image_fault(path, strprintf("%llu frames of %llu x %llu pixels, more than this reader accepts",
                                (unsigned long long)frames, (unsigned long long)width, (unsigned long long)height));
  return static_cast<std::size_t>(width * height);
}

void check_finite_pixels(const DetectorImage& img) {
  for (std::size_t i = 0; i < img.pixels.size(); ++i)
    if (!std::isfinite(img.pixels[i]))
      image_fault(img.file, strprintf("pixel (%zu, %zu) is not a finite number", i % img.width, i / img.width));
}

}  // namespace kv
