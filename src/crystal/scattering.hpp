#pragma once
// Atomic scattering factors: the four-Gaussian X-ray parametrisation
// (korvexxdt.dat), the electron factor from it by the Mott formula, and the
// tabulated elastic and absorptive electron factors (korvexbk.dat) with
// their interpolation. s = sin(theta)/lambda = |g|/2 in inverse angstrom,
// factors in angstrom, B in angstrom^2, voltage in kV.
#include <cstdio>
#include <string>

#include "numeric/complex.hpp"

namespace kv {

// X-ray parametrisation: f_x = sum a_i exp(-b_i s^2) + c; z is the nuclear
// charge used by the Mott formula.
struct xdt {
  double a1 = 0, b1 = 0, a2 = 0, b2 = 0, a3 = 0, b3 = 0, a4 = 0, b4 = 0, c = 0, z = 0;
};

// Electron scattering-factor table of one element.
struct bk_table {
  double dt[27] = {};    // elastic factor (1/1000 angstrom) at the dts nodes
  double dts[27] = {};   // s nodes (inverse angstrom), ascending
  double f[60] = {};     // absorptive table, f[10 i + j]: gm node i, gms2 node j
  double gm[6] = {};     // B nodes (angstrom^2), ascending
  double gms2[10] = {};  // B s^2 nodes, ascending
  double mlt_fct = 0;    // scaling of f: V = (f 10 / mlt_fct - 1e-6 add_fct) exp(gms2)
  double add_fct = 0;
};

// Reads the X-ray parametrisation of `name` from korvexxdt.dat. The name is
// first cut in place to its first token. A missing element is fatal.
xdt read_xdt_table(std::string& name);
// Reads the electron table of `name` from korvexbk.dat; a missing element
// is fatal.
bk_table read_atom_dat_table(const std::string& name);

// X-ray factor at s^2.
double xray_asf(double s2, const xdt& x);
// Below this s^2 (1/angstrom^2) the Mott formula's difference Z - f_x
// cancels to rounding, and its s -> 0 limit is used instead. No reflection
// of a real cell comes near it (s^2 >= 1e-4 for d <= 50 A): only 000 takes
// the limit.
inline constexpr double kMottLimitS2 = 1e-10;
// Electron factor at s^2 by the Mott formula (angstrom); s^2 < 0 is fatal.
double atomsf_xdt(double s2, const xdt& x);
// Elastic (real part) and absorptive (imaginary part) electron factors at s
// for Debye-Waller B and voltage kv. Status 0 computed; 2 computed with a
// negative B taken as 0; 1 s beyond the table, 3 s < 0 or B not a number, 4
// voltage not in (0, 10000] kV (factors 0 for 1, 3 and 4). B above the
// table's last B node is integrated directly (bk_absorptive_integral); as
// inside the table, B s^2 beyond its last node gives no absorption.
int atom_bk(const bk_table& t, double s, double b, complex* out, double kv);
// beta f'_0(s, B) (angstrom) of the Einstein model of thermal diffuse
// scattering, (2h / (m0 c)) times the integral over the plane of
// f_e(|s'|) f_e(|s - s'|) [1 - exp(-2 B (s'^2 - s'.s))], with f_e the
// table's elastic factor (falling as 1/s^2 beyond its last node): the
// quadrature from which the table's absorptive nodes were made, for B
// beyond them.
double bk_absorptive_integral(const bk_table& t, double s, double b);
// Simple absorptive model f0 exp(-2 B s^2).
double atom_f_absorption(double s2, double f0, double b);

// Lagrange interpolation through 3 or 4 points (nodes x, values y) at x0.
double quad_int(const double x[3], double x0, const double y[3]);
double cub_int(const double x[4], double x0, const double y[4]);
// Cubic interpolation in a table of n >= 4 ascending nodes, the window of
// four nodes chosen around x (clamped to the ends of the table).
double cub_int_2(double x, int n, const double* nodes, const double* values);
// Scaled absorptive table value V(i, j) = (f[i][j] 10 / mlt_fct - 1e-6
// add_fct) exp(gms2[j]).
double bk_table_value(const bk_table& t, int i, int j);
// Biquadratic interpolation of V on gm nodes i-2..i, gms2 nodes j-2..j.
double fabs_bi_quad_int(double bt, double x, int i, int j, const bk_table& t);
// Bicubic interpolation of V with the windows chosen from bt and x.
double fabs_bi_cub_int(double bt, double x, const bk_table& t);

// An element or ion symbol spelt as the tables spell it: first letter of
// each run of letters upper case, the rest lower case ("SI" -> "Si",
// "TI4+" -> "Ti4+").
std::string table_case_symbol(const std::string& name);

// Tabulation of the interactive comparison tool for one element: prints
// "$$ status = %d" and writes the heading and n lines of s, Mott factor,
// simple absorptive factor, tabulated elastic and absorptive factors and
// X-ray factor to fp. n must be at least 2.
void asf_tabulate(FILE* fp, const std::string& element, double s_begin, double s_end, double kv,
                  double b, int n);
// The interactive comparison tool: prompts on standard output, answers from
// `in`, writes asf.out. Returns the exit status (0) with which the caller
// ends the program.
int asf_test(FILE* in = stdin);

}  // namespace kv
