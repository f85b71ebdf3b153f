// The detector-image readers against files of known content written by
// tools/make_cbed_image.py (every format, pixel type, byte order and frame
// count), against the real DM3 files in data/dm3, and against damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "expimage/image.hpp"
#include "sim/error.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::run_program;
using kvtest::RunResult;
using kvtest::ScratchDir;

namespace kv {
namespace {

const std::string kTool = std::string(KV_EXAMPLES_DIR) + "/../tools/make_cbed_image.py";
const std::string kDataDir = std::string(KV_EXAMPLES_DIR) + "/../data";

// Writes the test pattern of the given size and type in every format, as
// d/<base>.<ext>.
void make_pattern(const ScratchDir& d, const std::string& base, const std::string& size, const std::string& dtype,
                  bool big_endian, const std::string& formats = "dm3,dm4,tif,mrc,emd,npy") {
  std::vector<std::string> args{kTool, "--test-pattern", size, "--dtype", dtype, "--out", base, "--formats", formats};
  if (big_endian) args.push_back("--big-endian");
  const RunResult r = run_program("/usr/bin/python3", args, d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// The value the tool writes at (x, y) summed over the frames.
double pattern_sum(int x, int y, int frames, bool is_unsigned) {
  double s = 0;
  for (int k = 0; k < frames; ++k) s += (x + 7 * y + 3 * k) % 97 - (is_unsigned ? 0 : 11);
  return s;
}

void expect_pattern(const DetectorImage& img, int w, int h, int frames, bool is_unsigned, const std::string& what) {
  ASSERT_EQ(img.width, w) << what;
  ASSERT_EQ(img.height, h) << what;
  ASSERT_EQ(img.frames, frames) << what;
  ASSERT_EQ(img.pixels.size(), static_cast<std::size_t>(w * h)) << what;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_EQ(img.at(x, y), pattern_sum(x, y, frames, is_unsigned)) << what << " at " << x << "," << y;
}

std::string bytes_of(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void put_bytes(const std::filesystem::path& p, const std::string& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << b;
}

TEST(ImageReaders, EveryFormatTypeByteOrderAndFrameCountReadsTheKnownPixels) {
  ScratchDir d;
  const struct {
    const char* dtype;
    const char* formats;
  } cases[] = {
      {"uint8", "dm3,dm4,tif,npy,emd"}, {"int8", "dm3,dm4,tif,mrc,npy,emd"},
      {"uint16", "dm3,dm4,tif,mrc,npy,emd"}, {"int16", "dm3,dm4,tif,mrc,npy,emd"},
      {"uint32", "dm3,dm4,tif,npy,emd"}, {"int32", "dm3,dm4,tif,npy,emd"},
      {"float32", "dm3,dm4,tif,mrc,npy,emd"}, {"float64", "dm3,dm4,tif,npy,emd"},
      {"float16", "mrc,npy"},
  };
  for (const auto& c : cases)
    for (bool big : {false, true})
      for (const char* size : {"13x6", "9x5x3"}) {
        const std::string base = std::string(c.dtype) + (big ? "_be_" : "_le_") + size;
        make_pattern(d, base, size, c.dtype, big, c.formats);
        const int frames = std::string(size) == "9x5x3" ? 3 : 1;
        const int w = frames == 3 ? 9 : 13, h = frames == 3 ? 5 : 6;
        std::string formats = c.formats;
        for (std::size_t p = 0; p < formats.size();) {
          const std::size_t q = std::min(formats.find(',', p), formats.size());
          const std::string ext = formats.substr(p, q - p);
          p = q + 1;
          const std::string file = (d / (base + "." + ext)).string();
          const std::string what = base + "." + ext;
          DetectorImage img;
          try {
            img = read_detector_image(file);
          } catch (const FatalError& e) {
            ADD_FAILURE() << what << ": " << e.text();
            continue;
          }
          expect_pattern(img, w, h, frames, c.dtype[0] == 'u', what);
          EXPECT_EQ(img.sample_type, ext == "emd" ? img.sample_type : std::string(c.dtype)) << what;
        }
      }
}

TEST(ImageReaders, DmFilesGiveCalibrationAndMicroscopeSettings) {
  ScratchDir d;
  make_pattern(d, "p", "16x8", "float32", false, "dm3,dm4,emd,mrc");
  for (const char* ext : {"dm3", "dm4"}) {
    const DetectorImage img = read_dm_image((d / (std::string("p.") + ext)).string());
    EXPECT_EQ(img.format, ext == std::string("dm3") ? "DM3" : "DM4");
    ASSERT_TRUE(img.calibration.present);
    EXPECT_FLOAT_EQ(img.calibration.scale_x, 0.0125);
    EXPECT_FLOAT_EQ(img.calibration.scale_y, 0.0125);
    EXPECT_DOUBLE_EQ(img.calibration.origin_x, 8.0);
    EXPECT_DOUBLE_EQ(img.calibration.origin_y, 4.0);
    EXPECT_EQ(img.calibration.unit_x, "1/nm");
    ASSERT_TRUE(img.meta.voltage_kv && img.meta.camera_length_mm && img.meta.exposure_s);
    EXPECT_DOUBLE_EQ(*img.meta.voltage_kv, 200.0);
    EXPECT_DOUBLE_EQ(*img.meta.camera_length_mm, 250.0);
    EXPECT_DOUBLE_EQ(*img.meta.exposure_s, 0.5);
  }
  const DetectorImage emd = read_emd_image((d / "p.emd").string());
  ASSERT_TRUE(emd.calibration.present);
  EXPECT_NEAR(emd.calibration.scale_x, 0.0125, 1e-7);
  EXPECT_NEAR(emd.calibration.origin_x, 8.0, 1e-6);
  EXPECT_EQ(emd.calibration.unit_y, "1/nm");
  const DetectorImage mrc = read_mrc_image((d / "p.mrc").string());
  ASSERT_TRUE(mrc.calibration.present);
  EXPECT_FLOAT_EQ(mrc.calibration.scale_x, 1.0);
}

// Measured LACBED disks of the public Felix-python repository (CC0).
TEST(ImageReaders, RealDm3FilesOpenWithTheirCalibration) {
  for (const char* name : {"felix_C_000.dm3", "felix_C_111.dm3"}) {
    const std::string file = kDataDir + "/dm3/" + name;
    const DetectorImage img = read_detector_image(file);
    EXPECT_EQ(img.format, "DM3") << name;
    EXPECT_EQ(img.width, 100) << name;
    EXPECT_EQ(img.height, 100) << name;
    EXPECT_EQ(img.frames, 1) << name;
    EXPECT_EQ(img.sample_type, "float32") << name;
    ASSERT_TRUE(img.calibration.present) << name;
    EXPECT_GT(img.calibration.scale_x, 0.0) << name;
    EXPECT_EQ(img.calibration.scale_x, img.calibration.scale_y) << name;
    double lo = img.pixels[0], hi = img.pixels[0];
    for (double v : img.pixels) lo = std::min(lo, v), hi = std::max(hi, v);
    EXPECT_LT(lo, hi) << name << ": a measured disk is not flat";
  }
}

// Every prefix of a small file of every format is refused with one message
// naming the file (never a crash or an image made of missing bytes).
TEST(ImageReaders, EveryTruncationIsRefusedWithTheFileNamed) {
  ScratchDir d;
  make_pattern(d, "t", "6x3x2", "int16", false, "dm3,dm4,tif,mrc,npy,emd");
  for (const char* ext : {"dm3", "dm4", "tif", "mrc", "npy", "emd"}) {
    const std::string whole = bytes_of(d / (std::string("t.") + ext));
    const std::filesystem::path cut = d / (std::string("cut.") + ext);
    // DM files end with 8 bytes of padding after the tag tree; libtiff takes
    // a missing last link word (4 bytes after the last page's entries) as
    // the end of the page chain, the pixels being complete.
    const std::string e = ext;
    const std::size_t keep = e.rfind("dm", 0) == 0 ? 8 : e == "tif" ? 4 : 0;
    // Every cut through the headers, then every 13th byte (the HDF5 file is
    // mostly a block of zeros reserved for growth).
    for (std::size_t n = 0; n + keep < whole.size(); n += n < 1200 ? 1 : 13) {
      put_bytes(cut, whole.substr(0, n));
      const std::string text = kvtest::fatal_text([&] { read_detector_image(cut.string()); });
      ASSERT_NE(text.find("$$ Image " + cut.string() + ": "), std::string::npos) << ext << " cut at " << n << ": " << text;
    }
  }
}

TEST(ImageReaders, InconsistentOrOversizedHeadersAreRefused) {
  ScratchDir d;
  make_pattern(d, "h", "6x4", "uint16", false, "mrc,npy,dm3");
  auto refused = [&](const std::string& name, const std::string& bytes, const std::string& fault) {
    put_bytes(d / name, bytes);
    const std::string path = (d / name).string();
    const bool dm = name.size() > 4 && name.substr(name.size() - 4) == ".dm3";
    const std::string text = kvtest::fatal_text([&] { dm ? read_dm_image(path) : read_detector_image(path); });
    EXPECT_NE(text.find(fault), std::string::npos) << name << ": " << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line: " << text;
  };
  const std::string mrc = bytes_of(d / "h.mrc");
  std::string m = mrc;
  m[12] = 4;  // mode 4: complex
  refused("mode.mrc", m, "MRC mode 4");
  m = mrc;
  m[0] = 7;  // 7 columns declared, 6 present
  refused("size.mrc", m, "need 1080 bytes, the file holds 1072");
  refused("extra.mrc", mrc + "xx", "the file holds 1074");
  m = mrc;
  m[1] = 0x7f;  // 32518 columns: more than the bytes, within the side limit
  refused("big.mrc", m, "need");
  m = mrc;
  m[3] = 0x7f;
  refused("huge.mrc", m, "more than this reader accepts");

  const std::string npy = bytes_of(d / "h.npy");
  std::string n = npy;
  n.replace(n.find("<u2"), 3, "<c8");
  refused("complex.npy", n, "'<c8' is not a real-valued pixel type");
  n = npy;
  n.replace(n.find("(4, 6)"), 6, "(4, 9)");
  refused("shape.npy", n, "needs 72 bytes of data, the file holds 48");
  refused("extra.npy", npy + "x", "the file holds 49");

  const std::string dm = bytes_of(d / "h.dm3");
  std::string b = dm;
  const std::size_t at = b.rfind("DataType");
  b[at + 8 + 4 + 4 + 4] = 3;  // DataType 3 (little-endian): complex
  refused("complex.dm3", b, "image data type 3");
  b = dm;
  b[3] = 9;
  refused("version.dm3", b, "DM version 9");
  b = dm;
  b[4] = 0x7f;  // root length beyond the file
  refused("length.dm3", b, "the header declares");
  b = dm;
  const std::size_t data = b.rfind("Data%%%%") == std::string::npos ? b.rfind("Data") : b.rfind("Data%%%%");
  ASSERT_NE(data, std::string::npos);
  b[data + 4 + 4 + 3 * 4 + 3] = 23;  // 23 pixels declared, 24 present: the array grows into the next tag
  refused("count.dm3", b, "tag");

  std::string junk = std::string("\0\0\0\3", 4) + std::string(8, '\xff');
  refused("junk.dm3", junk, "byte-order word");
  refused("unknown.img", "hello, world", "not a DM3, DM4, TIFF, MRC, EMD (HDF5) or .npy image");
  refused("absent.dm3", std::string(), "the file ends at byte 0");
}

TEST(ImageReaders, NonFiniteAndEmptyImagesAreRefused) {
  ScratchDir d;
  make_pattern(d, "f", "4x4", "float32", false, "npy,tif");
  std::string n = bytes_of(d / "f.npy");
  n.replace(n.size() - 4, 4, std::string("\x00\x00\xc0\x7f", 4));  // NaN at the last pixel
  put_bytes(d / "nan.npy", n);
  EXPECT_NE(kvtest::fatal_text([&] { read_npy_image((d / "nan.npy").string()); }).find("pixel (3, 3) is not a finite number"),
            std::string::npos);
  std::string z = bytes_of(d / "f.npy");
  z.replace(z.find("(4, 4)"), 6, "(0, 4)");
  put_bytes(d / "zero.npy", z);
  EXPECT_NE(kvtest::fatal_text([&] { read_npy_image((d / "zero.npy").string()); }).find("holds no pixel"),
            std::string::npos);
}

}  // namespace
}  // namespace kv
