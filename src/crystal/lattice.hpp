#pragma once
#include <cstdio>
// Lattice geometry and electron optics: the metric of a cell, lengths and
// products of reciprocal (h k l) and direct [u v w] vectors, the orthogonal
// base of the zeroth-order Laue zone, the centring extinctions and the
// relativistic electron wavelength.
//
// Units: lengths in angstrom, angles in degrees on input, reciprocal vectors
// in inverse angstrom without a factor 2 pi (|g| = 1/d), voltage in kV.
#include <array>
#include <string>
#include <string_view>

#include "crystal/hkl.hpp"

namespace kv {

// A vector with real components: along a*, b*, c* for a reciprocal vector,
// along a, b, c for a direct one.
using Vec3 = std::array<double, 3>;

// Direct and reciprocal metric of a cell, filled by bravai. Fields 1-6 are
// V^2 times the reciprocal metric, 8-13 the reciprocal metric tensor G*,
// 14-19 the direct metric tensor G.
struct lattice_metric {
  double s11 = 0, s22 = 0, s33 = 0, s12 = 0, s13 = 0, s23 = 0;
  double vol = 0;
  double gs11 = 0, gs22 = 0, gs33 = 0, gs12 = 0, gs23 = 0, gs13 = 0;
  double g11 = 0, g22 = 0, g33 = 0, g12 = 0, g23 = 0, g13 = 0;
};

// Whether the cell has hexagonal axes (a = b, alpha = beta = 90, gamma =
// 120 degrees, to 1e-6), on which Miller-Bravais four-index notation
// applies: hexagonal crystals and trigonal ones on hexagonal axes.
bool hexagonal_axes(const double lp[6]);
// A direction [U V T W] (T = -(U + V)) as the three-index [u v w] =
// [2U + V, U + 2V, W] reduced to its smallest integers.
Hkl uvtw_to_uvw(int u, int v, int w);
// A direction [u v w] as its smallest four-index [U V T W]: U = (2u - v)/3,
// V = (2v - u)/3, T = -(u + v)/3, W = w, scaled to integers.
std::array<int, 4> uvw_to_uvtw(const Hkl& uvw);
// "[u v w]", or "[U V T W]" on hexagonal axes.
std::string direction_text(const Hkl& uvw, const double lp[6]);

// Metric of the cell a, b, c (angstrom), alpha, beta, gamma (degrees).
lattice_metric bravai(const double lp[6]);
inline lattice_metric bravai(const std::array<double, 6>& lp) { return bravai(lp.data()); }

// p . q = sum p_i q_j G*_ij for reciprocal vectors.
double inner_product(const Vec3& p, const Vec3& q, const lattice_metric& lm);
// |p|^2 of a reciprocal vector (inverse angstrom squared).
double sq_abs(const Vec3& p, const lattice_metric& lm);
Vec3 hkl2rhkl(const Hkl& hkl);
// u h + v k + w l (no metric).
double inner_product_uvw_hkl(const Hkl& uvw, const Vec3& hkl);
// sum u_i v_j G_ij for integer direct vectors (index products in int).
double inner_product_uvw(const Hkl& uvw1, const Hkl& uvw2, const lattice_metric& lm);
double abs_uvw(const Hkl& uvw, const lattice_metric& lm);
// sum x_i y_j G_ij for real direct vectors, and the length.
double inner_product_r_uvw(const Vec3& x, const Vec3& y, const lattice_metric& lm);
double abs_r_uvw(const Vec3& x, const lattice_metric& lm);

// Relativistic electron optics holds at any voltage, but no microscope
// reaches 10 MV; a larger number is a unit mistake (V for kV).
inline constexpr double kMaxVoltageKv = 10000.0;
// A voltage read from fp must be above 0 and at most kMaxVoltageKv.
void check_voltage_kv(double kv, FILE* fp);
// A zone axis read from fp must not be [0 0 0].
void check_zone_axis(const Hkl& uvw, FILE* fp);

// Second ZOLZ base vector g2 = B x g1 scaled to |g1| (B the incident
// direction [u v w]). Fatal, with a message saying which, when g1 is
// parallel to B or either is zero.
Vec3 zolz_ort_base(const Hkl& uvw, const Vec3& g1, const lattice_metric& lm);
// Direct vector along B x g of length 1/|g|. Fatal, as above, when it
// vanishes.
Vec3 zolz_ort_base_uvw(const Hkl& uvw, const Vec3& g, const lattice_metric& lm);
// Real-space base vectors e1, e2 of the ZOLZ plane (length 1/|g1|).
void zolz_ort_base_two_uvw(const Hkl& uvw, const Vec3& g1, const lattice_metric& lm, Vec3* e1,
                           Vec3* e2);
// In-plane part x g1 + y g2 of reflection hkl; x and y in units of |g1|.
Vec3 proj_to_zolz(const Hkl& hkl, const Hkl& uvw, const Vec3& g1, const lattice_metric& lm,
                  double* x, double* y);
// p rescaled to the length of q (zero vector for a zero p).
Vec3 normalize_vec(const Vec3& p, const Vec3& q, const lattice_metric& lm);

// 0 when the lattice centring (first character of lattice_type: P I F A B C
// R) allows the reflection, non-zero when it forbids it. hex_flag 1 marks an
// R lattice on hexagonal axes (obverse). Another type is fatal.
int extinction_rule(const Hkl& hkl, std::string_view lattice_type, int hex_flag);

// Relativistic electron wavelength (angstrom) at accelerating voltage kv (kV).
double wavelength(double kv);
// Relativistic mass ratio gamma = m / m0.
double relativ_corr(double kv);
// Relativistically corrected accelerating voltage (volts).
double evdash(double kv);
// Angle theta (mrad) from the zone axis as a tilt in units of g1/2, and back:
// theta = H |g1| lambda / 2.
double mrad_to_half_g1(double mrad, double voltage, double abs_g1);
double half_g1_to_mrad(double h, double voltage, double abs_g1);

}  // namespace kv
