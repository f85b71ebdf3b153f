// TIFF through libtiff: one grey channel of 8, 16 or 32-bit integers
// (signed or unsigned) or 32/64-bit floats, in strips or tiles, any
// compression libtiff decodes. A multi-page file is a stack of frames of one
// size, summed. libtiff's own messages are kept per file (no process-wide
// handler) and the first one becomes the refusal.
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "expimage/image.hpp"
#include "expimage/image_io.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

constexpr tmsize_t kMaxTiffAlloc = tmsize_t{1} << 28;

struct TiffMessages {
  std::string first;
};

int keep_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* m = static_cast<TiffMessages*>(user);
  if (m->first.empty()) m->first = vstrprintf(fmt, ap);
  return 1;
}
int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
struct OptionsFree {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

[[noreturn]] void tiff_fault(const std::string& path, const TiffMessages& m, const std::string& what) {
  image_fault(path, m.first.empty() ? what : what + " (" + m.first + ")");
}

SampleType tiff_sample_type(const std::string& path, const TiffMessages& m, int page, uint16_t bits, uint16_t format) {
  if (format == SAMPLEFORMAT_IEEEFP) {
    if (bits == 32) return SampleType::f32;
    if (bits == 64) return SampleType::f64;
  } else if (format == SAMPLEFORMAT_INT || format == SAMPLEFORMAT_UINT) {
    const bool s = format == SAMPLEFORMAT_INT;
    if (bits == 8) return s ? SampleType::i8 : SampleType::u8;
    if (bits == 16) return s ? SampleType::i16 : SampleType::u16;
    if (bits == 32) return s ? SampleType::i32 : SampleType::u32;
  }
  tiff_fault(path, m, strprintf("page %d holds %u-bit samples of format %u (8/16/32-bit integers or 32/64-bit floats expected)",
                                page, bits, format));
}

struct PageLayout {
  uint32_t width = 0, height = 0;
  SampleType type = SampleType::u8;
};

PageLayout page_layout(TIFF* t, const std::string& path, const TiffMessages& m, int page) {
  PageLayout p;
  uint16_t bits = 0, format = SAMPLEFORMAT_UINT, spp = 1;
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height))
    tiff_fault(path, m, strprintf("page %d has no image width or length", page));
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  if (spp != 1) tiff_fault(path, m, strprintf("page %d has %u samples per pixel (one grey channel expected)", page, spp));
  p.type = tiff_sample_type(path, m, page, bits, format);
  return p;
}

// Adds the decoded rows [row0, row0 + rows) x columns [col0, col0 + cols) of
// a strip or tile buffer (`stride` samples a row) into the frame.
void add_block(const std::vector<uint8_t>& buf, std::size_t stride, SampleType st, uint32_t row0, uint32_t rows,
               uint32_t col0, uint32_t cols, uint32_t width, std::vector<double>& row_tmp, double* frame) {
  const std::size_t sb = sample_bytes(st);
  row_tmp.resize(cols);
  for (uint32_t r = 0; r < rows; ++r) {
    decode_samples(buf.data() + r * stride * sb, cols, st, host_little_endian(), row_tmp.data(), false);
    double* out = frame + static_cast<std::size_t>(row0 + r) * width + col0;
    for (uint32_t c = 0; c < cols; ++c) out[c] += row_tmp[c];
  }
}

void read_page(TIFF* t, const std::string& path, const TiffMessages& m, int page, const PageLayout& p, double* frame) {
  std::vector<double> tmp;
  const std::size_t sb = sample_bytes(p.type);
  if (TIFFIsTiled(t)) {
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(t, TIFFTAG_TILELENGTH, &th) || tw == 0 || th == 0 ||
        tw > kMaxImageSide || th > kMaxImageSide)
      tiff_fault(path, m, strprintf("page %d has no usable tile size", page));
    const tmsize_t need = static_cast<tmsize_t>(tw) * th * static_cast<tmsize_t>(sb);
    const tmsize_t size = TIFFTileSize(t);
    if (size < need) tiff_fault(path, m, strprintf("page %d: tiles of %lld bytes, %u x %u samples need %lld", page,
                                                   (long long)size, tw, th, (long long)need));
    std::vector<uint8_t> buf(static_cast<std::size_t>(size));
    for (uint32_t y = 0; y < p.height; y += th)
      for (uint32_t x = 0; x < p.width; x += tw) {
        if (TIFFReadTile(t, buf.data(), x, y, 0, 0) < 0)
          tiff_fault(path, m, strprintf("page %d: the tile at (%u, %u) cannot be read", page, x, y));
        add_block(buf, tw, p.type, y, std::min(th, p.height - y), x, std::min(tw, p.width - x), p.width, tmp, frame);
      }
    return;
  }
  uint32_t rps = 0;
  TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
  if (rps == 0 || rps > p.height) rps = p.height;
  const tmsize_t strip = TIFFStripSize(t);
  if (strip <= 0) tiff_fault(path, m, strprintf("page %d has no usable strip size", page));
  std::vector<uint8_t> buf(static_cast<std::size_t>(strip));
  const uint32_t strips = TIFFNumberOfStrips(t);
  for (uint32_t s = 0, row = 0; row < p.height; ++s, row += rps) {
    const uint32_t rows = std::min(rps, p.height - row);
    const tmsize_t want = static_cast<tmsize_t>(rows) * p.width * static_cast<tmsize_t>(sb);
    if (s >= strips) tiff_fault(path, m, strprintf("page %d has %u strips, too few for %u rows", page, strips, p.height));
    const tmsize_t got = TIFFReadEncodedStrip(t, s, buf.data(), strip);
    if (got < want)
      tiff_fault(path, m, strprintf("page %d: strip %u holds %lld bytes of %lld", page, s, (long long)got, (long long)want));
    add_block(buf, p.width, p.type, row, rows, 0, p.width, p.width, tmp, frame);
  }
}

// libtiff takes a page directory whose closing link word is cut off as the
// last page; a file cut there is refused here: the directory (entry count,
// entries, link) must lie inside the file.
void check_directory_fits(TIFF* t, const std::string& path, int page) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::uint64_t size = static_cast<std::uint64_t>(in.tellg());
  const std::uint64_t off = TIFFCurrentDirOffset(t);
  const bool big = TIFFIsBigTIFF(t);
  const int count_bytes = big ? 8 : 2;
  unsigned char b[8] = {0};
  in.seekg(static_cast<std::streamoff>(off));
  if (off + count_bytes > size || !in.read(reinterpret_cast<char*>(b), count_bytes))
    image_fault(path, strprintf("page %d's directory at byte %llu lies past the end of the file", page,
                                (unsigned long long)off));
  std::uint64_t n = 0;
  for (int i = 0; i < count_bytes; ++i) {
    const int k = TIFFIsBigEndian(t) ? i : count_bytes - 1 - i;
    n = (n << 8) | b[k];
  }
  const std::uint64_t end = off + (big ? 8 + 20 * n + 8 : 2 + 12 * n + 4);
  if (n > size || end > size)
    image_fault(path, strprintf("page %d's directory of %llu entries ends at byte %llu, the file at byte %llu", page,
                                (unsigned long long)n, (unsigned long long)end, (unsigned long long)size));
}

}  // namespace

DetectorImage read_tiff_image(const std::string& path) {
  TiffMessages m;
  std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), kMaxTiffAlloc);
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), keep_error, &m);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), drop_warning, nullptr);
  std::unique_ptr<TIFF, TiffCloser> t(TIFFOpenExt(path.c_str(), "rm", opts.get()));
  if (!t) tiff_fault(path, m, "not a TIFF file libtiff can open");

  DetectorImage img;
  img.file = path;
  img.format = "TIFF";
  img.frames = 0;
  PageLayout first;
  do {
    check_directory_fits(t.get(), path, img.frames);
    const PageLayout p = page_layout(t.get(), path, m, img.frames);
    if (img.frames == 0) {
      checked_frame_pixels(path, p.width, p.height, 1);
      first = p;
      img.width = static_cast<int>(p.width);
      img.height = static_cast<int>(p.height);
      img.sample_type = sample_name(p.type);
      img.pixels.assign(static_cast<std::size_t>(p.width) * p.height, 0.0);
    } else if (p.width != first.width || p.height != first.height) {
      image_fault(path, strprintf("page %d is %u x %u pixels, page 0 is %u x %u", img.frames, p.width, p.height,
                                  first.width, first.height));
    }
    checked_frame_pixels(path, p.width, p.height, static_cast<std::uint64_t>(img.frames) + 1);
    read_page(t.get(), path, m, img.frames, p, img.pixels.data());
    ++img.frames;
  } while (TIFFReadDirectory(t.get()) == 1);
  if (!m.first.empty()) image_fault(path, "a page directory cannot be read (" + m.first + ")");
  check_finite_pixels(img);
  return img;
}

}  // namespace kv
