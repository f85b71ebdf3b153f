#pragma once
// "talvis import IMAGE SETUP_FILE": a measured CBED pattern made into a
// dataset. The image is read, dark-subtracted, gain-normalised and masked;
// its disks are found, indexed and the camera geometry fitted; g1 against
// -g1 and a mirrored detector are told apart by the disks' contents against
// a simulation of the setup; every reflection's disk is sampled on the
// dataset's grid. Written, named from the image's base name B (its file
// name up to the first dot, in the working folder):
//   B_int.txt     measured intensities and deviations (FIT_EXPDATA_RAW)
//   B_fit.dat     a FIT_MODE file with one DATA_SET for the image
//   B_import.txt  the calibration as key-value lines
//   B_import.html the image with the found disks, and the sampled disks
//                 beside the simulation at the starting values
#include <string>
#include <vector>

#include "expimage/calibration.hpp"
#include "expimage/image.hpp"
#include "expimage/import_setup.hpp"

namespace kv {

// Pixels left out of the measurement, by cause.
struct ExcludedPixels {
  long saturated = 0, dead = 0, masked = 0;
};

// The detector image in electrons with its usable pixels.
struct ProcessedImage {
  PatternImage img;           // electrons per pixel (frames summed)
  std::vector<double> var0;   // per pixel: variance besides the counts (read noise), electrons^2
  ExcludedPixels excluded;
  int frames = 1;
};

// Dark subtraction, gain normalisation (gain and gain reference),
// saturation and mask.
ProcessedImage process_image(const DetectorImage& raw, const ImportKeys& keys, const std::string& setup_file);

// One reflection's disk sampled on the dataset grid.
struct SampledDisk {
  Hkl hkl{};
  std::vector<double> value, sd;  // side x side, row (G) outer; sd < 0: point left out
};

struct Sampling {
  int side = 0;
  double half_width = 0;  // units of g1/2
  std::vector<SampledDisk> disks;
  long points_used = 0, points_excluded_pixels = 0, points_overlap = 0, points_edge = 0;
};

// Samples every reflection's disk at the grid points (H, G) of a square
// grid of `side` points over [-half_width, half_width], by bilinear
// interpolation, with the deviation from the counts and the read noise.
// Points whose pixels are excluded, that fall in another disk too, or lie
// within `edge_px` pixels of the disk's edge are left out (deviation -1).
Sampling sample_disks(const ProcessedImage& p, const CameraGeometry& g, const std::vector<ZoneReflection>& zone,
                      const BeamList& reflections, int side, double half_width, double edge_px);

// The whole import; the output files are written in the working folder.
void talvis_import(const std::string& image, const std::string& setup_file);

}  // namespace kv
