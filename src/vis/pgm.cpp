#include "vis/pgm.hpp"

#include <cmath>
#include <cstdio>

#include "sim/qzio.hpp"

namespace kv {

namespace {

// Largest picture written: the byte buffer and the canvases stay well within
// memory, and no product of sizes overflows.
constexpr long long kMaxPixels = 1LL << 28;

void check_picture_size(long long w, long long h) {
  if (w < 1 || h < 1 || w > kMaxPixels || h > kMaxPixels || w * h > kMaxPixels)
    error_exit(stdout, "picture of %lld x %lld pixels is too large", w, h);
}

}  // namespace

void output_pgm_image(int nx, int ny, const RMatrix& map, double max, double min, double gamma, int mag,
                      int cont_rev, const std::string& path) {
  if (gamma > 1.0 || gamma <= 0.0) error_exit(stdout, "gamma_coef(=%g) should be within [0,1].", gamma);
  if (mag < 1) error_exit(stdout, "mag_coef(=%d) must be integer (>0)", mag);
  const double range = max - min;
  if (!(range > 0.0)) error_exit(stdout, "max - min (=%g) must be greater than 0.0", range);

  const long long w = static_cast<long long>(nx) * mag;
  const long long h = static_cast<long long>(ny) * mag;
  check_picture_size(w, h);

  std::string pixels;
  pixels.reserve(static_cast<std::size_t>(w * h));
  for (long long r = h - 1; r >= 0; --r) {
    for (long long c = 0; c < w; ++c) {
      const double v = std::fabs(map[static_cast<std::size_t>(c / mag)][static_cast<std::size_t>(r / mag)] - min);
      const double level = (gamma != 1.0) ? 255.0 * std::pow(v / range, gamma) : v * 255.0 / range;
      if (cont_rev == 0) {
        if (!(level >= 0.0))  // negative, or not a number
          pixels += static_cast<char>(0);
        else if (level > 255.0)
          pixels += static_cast<char>(255);
        else
          pixels += static_cast<char>(static_cast<unsigned char>(level));
      } else if (cont_rev == 1) {
        if (!(level >= 0.0))
          pixels += static_cast<char>(255);
        else if (level > 255.0)
          pixels += static_cast<char>(0);
        else
          pixels += static_cast<char>(static_cast<unsigned char>(255.0 - level));
      }
      // Any other flag writes nothing; the count check below reports it.
    }
  }
  if (static_cast<long long>(pixels.size()) != w * h)
    error_exit(stdout, "ct = %ld is not equal to %ld", static_cast<long>(pixels.size()), static_cast<long>(w * h));

  if (is_input_file(path)) error_exit(stdout, "%s is an input file of this run and is not overwritten", path.c_str());
  OutputFile fp(path);
  if (!fp) error_exit(stdout, "Cannot open %s", path.c_str());
  std::string out = strprintf("P5\n#%s\n%lld %lld\n255\n", path.c_str(), w, h);
  out += pixels;
  std::fwrite(out.data(), 1, out.size(), fp.get());
  fp.commit();
}

double calc_pix_num(double value, double begin, double end, int n) {
  if (!(end > begin)) error_exit(stdout, "calc_pix_num: Hbgn, Hend = %f %f", begin, end);
  return (n - 1) * (value - begin) / (end - begin);
}

void output_pgm_image_grid(double Hbgn, double Hend, double Gbgn, double Gend, int nx, int ny,
                           const RMatrix& map, double max, double min, double gamma, int mag, int cont_rev,
                           const std::string& path) {
  if (mag >= 0) {
    output_pgm_image(nx, ny, map, max, min, gamma, mag, cont_rev, path);
    return;
  }
  // Grid lines need increasing tilt ranges of sensible size.
  calc_pix_num(0.0, Hbgn, Hend, 2);
  calc_pix_num(0.0, Gbgn, Gend, 2);
  constexpr double kMaxTilt = 1e5;
  if (std::fabs(Hbgn) > kMaxTilt || std::fabs(Hend) > kMaxTilt || std::fabs(Gbgn) > kMaxTilt ||
      std::fabs(Gend) > kMaxTilt)
    error_exit(stdout, "tilt range %g %g %g %g is too large for grid lines", Hbgn, Hend, Gbgn, Gend);
  const long long m = -static_cast<long long>(mag);
  if (m == 1) std::printf("$$Warning: abs(mag_coef) should be greater than 2.\n");
  const long long wl = m * nx, hl = m * ny;
  check_picture_size(wl, hl);
  const int w = static_cast<int>(wl), h = static_cast<int>(hl);

  RMatrix big(static_cast<std::size_t>(w), static_cast<std::size_t>(h));
  for (int i = 0; i < w; ++i)
    for (int j = 0; j < h; ++j) big[i][j] = map[static_cast<std::size_t>(i / m)][static_cast<std::size_t>(j / m)];

  // Lines every 0.2 in tilt units; the line through 0 is dashed. A line
  // whose pixel falls outside the picture (a range not containing its
  // multiple of 0.2) is left out.
  constexpr double step = 0.2;
  for (int k = static_cast<int>(std::trunc(Hbgn / step)); k <= static_cast<int>(std::trunc(Hend / step)); ++k) {
    const double p_real = std::trunc(calc_pix_num(step * k, Hbgn, Hend, w));
    if (p_real < 0.0 || p_real >= w) continue;
    const int p = static_cast<int>(p_real);
    for (int y = 0; y < h; y += (k == 0 ? 2 : 1)) big[p][y] = max;
  }
  for (int k = static_cast<int>(std::trunc(Gbgn / step)); k <= static_cast<int>(std::trunc(Gend / step)); ++k) {
    const double q_real = std::trunc(calc_pix_num(step * k, Gbgn, Gend, h));
    if (q_real < 0.0 || q_real >= h) continue;
    const int q = static_cast<int>(q_real);
    for (int x = 0; x < w; x += (k == 0 ? 2 : 1)) big[x][q] = max;
  }
  output_pgm_image(w, h, big, max, min, gamma, 1, cont_rev, path);
}

}  // namespace kv
