#pragma once
// Helpers shared by the binary image readers: the whole file in memory with
// bounds-checked reads in either byte order, the numeric sample types of
// detector images and their conversion to doubles, and the final checks of
// an image record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "expimage/image.hpp"

namespace kv {

// Largest file the in-memory readers load.
inline constexpr std::size_t kMaxImageFileBytes = std::size_t{1} << 31;

enum class SampleType { i8, u8, i16, u16, i32, u32, i64, u64, f16, f32, f64 };
std::size_t sample_bytes(SampleType t);
const char* sample_name(SampleType t);

// The bytes of a file, and a cursor over them. Every read past the end is
// refused with a message naming what was being read.
class ByteFile {
 public:
  explicit ByteFile(const std::string& path);
  const std::string& path() const { return path_; }
  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  // Refuses unless `n` bytes are present from `offset` on.
  void need(std::size_t offset, std::size_t n, const char* what) const;
  std::uint64_t uint(std::size_t offset, int width, bool little, const char* what) const;
  double real(std::size_t offset, int width, bool little, const char* what) const;

 private:
  std::string path_;
  std::vector<std::uint8_t> bytes_;
};

// Converts n samples stored from `src` (in the given byte order) and adds
// them to out[0..n) when `add`, or stores them otherwise.
void decode_samples(const std::uint8_t* src, std::size_t n, SampleType t, bool little, double* out, bool add);

// Refuses sizes outside the readers' limits; returns width * height.
std::size_t checked_frame_pixels(const std::string& path, std::uint64_t width, std::uint64_t height,
                                 std::uint64_t frames);
// Refuses an image with a pixel that is not a finite number.
void check_finite_pixels(const DetectorImage& img);

bool host_little_endian();

}  // namespace kv
