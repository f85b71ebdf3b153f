#pragma once
// Grey-level pictures of intensity maps: binary PGM with gamma, integer
// magnification, contrast reversal and saturation, and a variant that draws
// the tilt grid (lines every 0.2 in H and G) over a magnified map.
//
// A map is indexed [x][y] (x along H, y along G); in the picture x grows to
// the right and y upward, so the first row written is the largest y.
#include <string>

#include "numeric/matrix.hpp"

namespace kv {

void output_pgm_image(int nx, int ny, const RMatrix& map, double max, double min, double gamma, int mag,
                      int cont_rev, const std::string& path);

// Pixel coordinate of a tilt value on a line of n pixels from begin to end.
double calc_pix_num(double value, double begin, double end, int n);

// mag >= 0: the plain picture. mag < 0: the map magnified |mag| times with
// the tilt-grid lines drawn at the value max, written unmagnified.
void output_pgm_image_grid(double Hbgn, double Hend, double Gbgn, double Gend, int nx, int ny,
                           const RMatrix& map, double max, double min, double gamma, int mag, int cont_rev,
                           const std::string& path);

}  // namespace kv
