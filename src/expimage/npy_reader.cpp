// NumPy .npy: the magic "\x93NUMPY", a version, a header length (16 bits in
// version 1, 32 bits in versions 2 and 3) and a Python dictionary literal
// with 'descr' (byte order, kind and width: '<f4', '>u2', '|u1', ...),
// 'fortran_order' and 'shape'; the array follows. A 2-D array is one image
// (rows, columns); a 3-D array a stack of frames (frame, row, column), summed.
#include <cctype>
#include <string>
#include <vector>

#include "expimage/image.hpp"
#include "expimage/image_io.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

struct NpyHeader {
  SampleType type = SampleType::u8;
  bool little = true;
  bool fortran = false;
  std::vector<std::uint64_t> shape;
};

// The text after "'key':" in the dictionary, blanks skipped.
std::size_t value_of(const std::string& path, const std::string& dict, const char* key) {
  const std::string k = std::string("'") + key + "'";
  std::size_t p = dict.find(k);
  if (p == std::string::npos) image_fault(path, strprintf("the .npy header has no %s", key));
  p = dict.find(':', p + k.size());
  if (p == std::string::npos) image_fault(path, strprintf("the .npy header's %s has no value", key));
  ++p;
  while (p < dict.size() && dict[p] == ' ') ++p;
  return p;
}

SampleType npy_type(const std::string& path, const std::string& d, bool* little) {
  if (d.size() < 3 || (d[0] != '<' && d[0] != '>' && d[0] != '|' && d[0] != '='))
    image_fault(path, "the .npy descr '" + d + "' is not a byte order, kind and width");
  *little = d[0] != '>';
  const std::string kw = d.substr(1);
  static const struct {
    const char* code;
    SampleType t;
  } kinds[] = {{"i1", SampleType::i8},  {"u1", SampleType::u8},  {"b1", SampleType::u8},  {"i2", SampleType::i16},
               {"u2", SampleType::u16}, {"i4", SampleType::i32}, {"u4", SampleType::u32}, {"i8", SampleType::i64},
               {"u8", SampleType::u64}, {"f2", SampleType::f16}, {"f4", SampleType::f32}, {"f8", SampleType::f64}};
  for (const auto& k : kinds)
    if (kw == k.code) return k.t;
  image_fault(path, "the .npy descr '" + d + "' is not a real-valued pixel type this reader takes");
}

NpyHeader parse_header(const std::string& path, const std::string& dict) {
  NpyHeader h;
  std::size_t p = value_of(path, dict, "descr");
  if (p >= dict.size() || dict[p] != '\'') image_fault(path, "the .npy descr is not a quoted string");
  const std::size_t q = dict.find('\'', p + 1);
  if (q == std::string::npos) image_fault(path, "the .npy descr is not closed");
  h.type = npy_type(path, dict.substr(p + 1, q - p - 1), &h.little);
  p = value_of(path, dict, "fortran_order");
  if (dict.compare(p, 4, "True") == 0)
    h.fortran = true;
  else if (dict.compare(p, 5, "False") != 0)
    image_fault(path, "the .npy fortran_order is neither True nor False");
  p = value_of(path, dict, "shape");
  if (p >= dict.size() || dict[p] != '(') image_fault(path, "the .npy shape is not a tuple");
  const std::size_t e = dict.find(')', p);
  if (e == std::string::npos) image_fault(path, "the .npy shape is not closed");
  std::string cur;
  for (std::size_t i = p + 1; i <= e; ++i) {
    const char c = dict[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      if (cur.size() > 12) image_fault(path, "a .npy shape entry is too large");
      cur.push_back(c);
    } else if (c == ',' || c == ')') {
      if (!cur.empty()) h.shape.push_back(std::stoull(cur));
      cur.clear();
    } else if (c != ' ' && c != 'L') {
      image_fault(path, "the .npy shape holds something other than sizes");
    }
  }
  return h;
}

}  // namespace

DetectorImage read_npy_image(const std::string& path) {
  const ByteFile f(path);
  f.need(0, 10, "the .npy preamble");
  if (std::string(reinterpret_cast<const char*>(f.data()), 6) != "\x93NUMPY") image_fault(path, "no .npy magic");
  const int major = f.data()[6];
  if (major < 1 || major > 3) image_fault(path, strprintf(".npy format version %d (1 to 3 expected)", major));
  const int lw = major == 1 ? 2 : 4;
  const std::size_t hlen = static_cast<std::size_t>(f.uint(8, lw, true, "the .npy header length"));
  const std::size_t hstart = 8 + static_cast<std::size_t>(lw);
  f.need(hstart, hlen, "the .npy header");
  const NpyHeader h = parse_header(path, std::string(reinterpret_cast<const char*>(f.data() + hstart), hlen));
  if (h.shape.size() != 2 && h.shape.size() != 3)
    image_fault(path, strprintf("a .npy array of %zu dimensions (2 or 3 expected)", h.shape.size()));
  const std::uint64_t frames = h.shape.size() == 3 ? h.shape[0] : 1;
  const std::uint64_t rows = h.shape[h.shape.size() - 2], cols = h.shape.back();
  const std::size_t frame = checked_frame_pixels(path, cols, rows, frames);
  const std::size_t sb = sample_bytes(h.type);
  const std::size_t data = hstart + hlen;
  const std::size_t bytes = frame * static_cast<std::size_t>(frames) * sb;
  if (f.size() - data != bytes)
    image_fault(path, strprintf("the .npy shape needs %zu bytes of data, the file holds %zu", bytes, f.size() - data));

  DetectorImage img;
  img.file = path;
  img.format = "NPY";
  img.sample_type = sample_name(h.type);
  img.width = static_cast<int>(cols);
  img.height = static_cast<int>(rows);
  img.frames = static_cast<int>(frames);
  std::vector<double> all(frame * static_cast<std::size_t>(frames));
  decode_samples(f.data() + data, all.size(), h.type, h.little, all.data(), false);
  img.pixels.assign(frame, 0.0);
  for (std::uint64_t k = 0; k < frames; ++k)
    for (std::uint64_t y = 0; y < rows; ++y)
      for (std::uint64_t x = 0; x < cols; ++x) {
        // C order: (k, y, x) at (k * rows + y) * cols + x; Fortran order: k + frames * (y + rows * x).
        const std::size_t src = h.fortran ? k + frames * (y + rows * x) : (k * rows + y) * cols + x;
        img.pixels[y * cols + x] += all[src];
      }
  check_finite_pixels(img);
  return img;
}

}  // namespace kv
