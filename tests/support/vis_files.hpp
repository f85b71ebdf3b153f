#pragma once
// Small result files in the formats talvis reads, and reading pictures back.
#include <filesystem>
#include <string>
#include <vector>

namespace kvtest {

struct SimReflex {
  int h, k, l;
  double x, y;
  // One value per point (intensity), or two (real, imaginary amplitude).
  std::vector<std::vector<double>> values;
};

struct SimGridPoint {
  int ih, ig;
};

// A SIM_RESULT (or SIM_COHERENT_RESULT) file.
std::string sim_result_text(const std::string& keyword, double max, const std::vector<SimReflex>& reflexes,
                            int num_pix_side, const std::vector<SimGridPoint>& points);

// The points of a side x side grid: row (ig) outer, column (ih) inner,
// indices starting at `first`.
std::vector<SimGridPoint> square_grid(int side, int first = 0);

// A decoded grey-level picture; pixel(x, row) with row 0 at the top.
struct GreyPicture {
  int width = 0, height = 0;
  std::vector<unsigned char> bytes;
  int pixel(int x, int row) const { return bytes[static_cast<std::size_t>(row) * width + x]; }
};

// Parses binary PGM text (header comments allowed).
GreyPicture parse_pgm(const std::string& data);
// Decodes a PNG through netpbm's pngtopnm.
GreyPicture decode_png(const std::filesystem::path& png);

// The file names in every src="..." of an HTML page (addresses decoded).
std::vector<std::string> img_sources(const std::string& html);
// Whether pngcheck accepts the file.
bool png_is_valid(const std::filesystem::path& png);

}  // namespace kvtest
