#pragma once
// Least-squares comparison of measured and calculated disks: the scale that
// brings a calculation onto the measurement, the goodness of fit, and the
// grid search for the disk shift of every reflection. Sums run over the
// calculated points that take part in comparisons (flag 1); a point weighs
// w / sigma^2 with sigma its extracted deviation (nothing when sigma <= 0).
#include <string>
#include <vector>

#include "expdata/dataset.hpp"

namespace kv {

// One disk (reflection r, thickness t), weight 1: the scale, 1.0 when the
// disk holds no information.
double scale_factor_disk(const fei& ei, int r, int t);
// Mean weighted squared difference over the points of positive weight; 0
// when there is none.
double eval_gof_disk(const fei& ei, int r, int t, double s);
// All reflections of thickness t with weights w[r]; a vanishing denominator
// is fatal.
double eval_scale_factor(const fei& ei, int num_reflex, int t, const double* w);
// Root of the mean weighted squared difference; 0 when no point has weight.
double eval_gof(const fei& ei, int num_reflex, int t, const double* w, double s);

// v[k] = min + k (max - min) / (n - 1), k = 0 .. n-1.
void set_shift_val(int n, double min, double max, double* v);
// (k, l) of the smallest Q[k][l]: k outer, l inner, the first of equal
// minima wins.
void find_gof_min_disk(int nH, int nG, const RMatrix& Q, int* k_min, int* l_min);

// Carries the measured values of thickness t to the calculated points of
// every reflection r with the shift (H[r], G[r]).
void set_extr_obs_int_ei_shift(fei& ei, int t, int num_reflex, const double* H, const double* G);

// Best shift of one disk (reflection r, thickness t) over the grid Hv x Gv:
// its values, the disk's scale and goodness of fit there; *outside tells
// whether the last compared point left the measured range for any shift.
void shift_scan_disk(fei& ei, int r, int t, const std::vector<double>& Hv, const std::vector<double>& Gv, double* H,
                     double* G, double* S, double* Q, bool* outside);

// Per reflection, the best shift on the nH x nG grid for thickness t, with
// the disk's scale and goodness of fit there.
struct shift_opt {
  std::vector<double> H, G, scale, gof;
};
void shift_scan_ei(fei& ei, int num_reflex, int t, int nH, double Hmin, double Hmax, int nG, double Gmin,
                   double Gmax, shift_opt* opt);

// Reads a FIT_RESULT file into the calculated-point table and calculated
// intensities of ei (which must already hold the matching intensity file),
// and returns its reflection list and weights (those of its last thickness).
void read_res_data(fei& ei, BeamList* rg, std::vector<double>* weight, const std::string& file);

}  // namespace kv
