#pragma once
// A measured CBED pattern as it comes off the microscope: the detector image
// of one exposure (or the sum of a stack of frames), its pixel calibration
// when the file carries one, and the acquisition settings the file records.
// Every reader returns this plain record; a file that is truncated, larger
// than it declares, inconsistent or of an unknown kind is refused with one
// message naming the file and the fault (status 1).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// Largest image a reader accepts: pixels of one frame, and of all frames.
inline constexpr std::size_t kMaxImageSide = 32768;
inline constexpr std::size_t kMaxImageFramePixels = std::size_t{1} << 26;
inline constexpr std::size_t kMaxImageFrames = 100000;
inline constexpr std::size_t kMaxImageTotalPixels = std::size_t{1} << 28;

// Size of a detector pixel in the file's own unit (1/nm, mrad, nm, ...).
struct ImageCalibration {
  bool present = false;
  double scale_x = 1.0, scale_y = 1.0;    // unit per pixel along x (columns) and y (rows)
  double origin_x = 0.0, origin_y = 0.0;  // pixel index of the unit's zero, as the file says
  std::string unit_x, unit_y;
};

struct ImageMetadata {
  std::optional<double> voltage_kv;        // accelerating voltage
  std::optional<double> camera_length_mm;  // nominal camera length
  std::optional<double> exposure_s;        // exposure of one frame
};

struct DetectorImage {
  std::string file;
  std::string format;  // "DM3", "DM4", "TIFF", "MRC", "EMD", "NPY"
  std::string sample_type;  // of the stored pixels: "uint16", "float32", ...
  int width = 0, height = 0;  // columns (x) and rows (y)
  int frames = 1;             // frames summed into `pixels`
  std::vector<double> pixels;  // row-major: pixel (x, y) at y * width + x
  ImageCalibration calibration;
  ImageMetadata meta;

  double at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Reads any of the formats below, chosen by the file's first bytes (MRC,
// which has no magic number at its start, by its "MAP " word or extension).
DetectorImage read_detector_image(const std::string& path);

DetectorImage read_dm_image(const std::string& path);    // Gatan DM3 / DM4
DetectorImage read_tiff_image(const std::string& path);  // TIFF, single or multi-page
DetectorImage read_mrc_image(const std::string& path);   // MRC / MRCS (2014 header)
DetectorImage read_emd_image(const std::string& path);   // EMD 1.0 (HDF5)
// The EMD reading without the child process that read_emd_image runs it in:
// for the fuzzer, which must meet libhdf5's own faults on damaged files
// (their inputs are then replayed through read_emd_image, which refuses them).
DetectorImage read_emd_image_in_process(const std::string& path);
DetectorImage read_npy_image(const std::string& path);   // NumPy .npy

// The refusal every reader ends with: "$$ Image FILE: WHAT. Abort.\n".
[[noreturn]] void image_fault(const std::string& path, const std::string& what);

}  // namespace kv
