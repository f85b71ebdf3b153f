#pragma once
// What a refinement leaves for people and programs to read: per dataset the
// measured points with their standard deviations and the model at the start
// and at the end, the calculated grid, the refined parameters with their
// uncertainties, covariance and correlations, the chi-squared history, the
// run-control values and the text of the input files. The refinement fills
// it; the fit page draws it and "%s_fit.h5" keeps it.
#include <string>
#include <utility>
#include <vector>

#include "crystal/hkl.hpp"

namespace kv {

// Points of one dataset: arrays over [block][reflection][pixel], flattened
// with the pixel fastest.
struct fit_dataset_record {
  std::string int_file;       // the measured-intensity file
  double voltage = 0;         // kV
  Hkl incidence;              // zone axis [u v w]
  double g1[3] = {0, 0, 0};   // first in-plane reciprocal vector
  double tilt_centre[2] = {0, 0};  // (H, G), units of g1/2
  double disksize = 0;        // units of g1/2
  std::vector<Hkl> reflections;     // R measured reflections
  // The measured grid: nx pixels along H; pixel coordinates in g1/2 units.
  int nx = 0;
  std::vector<double> pix_x, pix_y;
  std::vector<int> pix_ix, pix_iy;
  // Per thickness block.
  std::vector<double> thickness_start, thickness_final, scale_start, scale_final;
  double r_start = 0, r_final = 0;  // R factors of the dataset
  std::vector<double> obs, sd;      // measured intensity and its standard deviation
  // The deviation the refinement weighted the point with at the end,
  // 1/sqrt(weight): sd itself, or from the model's expected counts.
  std::vector<double> sd_fit;
  std::vector<int> mask;            // 1: the point takes part in chi-squared
  std::vector<double> model_start, model_final;  // calculated at the measured point, scaled
  // The calculated grid (side m, points in g1/2 units; flag 1 inside the
  // disk), with the final model over [block][reflection][point].
  int cal_side = 0;
  std::vector<double> cal_x, cal_y;
  std::vector<int> cal_flag;
  std::vector<double> cal_final;

  int num_blocks() const { return static_cast<int>(thickness_final.size()); }
  int num_pixels() const { return static_cast<int>(pix_x.size()); }
  std::size_t at(int block, int reflection, int pixel) const {
    return (static_cast<std::size_t>(block) * reflections.size() + reflection) * pix_x.size() + pixel;
  }
};

struct fit_param_record {
  std::string name;
  int flag = 0;  // 2 ADJ, 1 RST
  double start = 0, final_value = 0, su = 0;
};

// One iteration of the history (the clock readings stay in the log and the
// chi-squared file, so that the record of a run is the same file on any
// thread count, rank count or machine).
struct fit_iteration_record {
  int iteration = 0;
  double chisq = 0, reduced = 0, lambda = 0;
};

struct fit_record {
  std::string base_name;
  double cell[6] = {0, 0, 0, 90, 90, 90};  // refined a, b, c (angstrom), alpha, beta, gamma (degrees)
  std::vector<fit_dataset_record> datasets;
  std::vector<fit_param_record> params;
  std::vector<double> covariance, correlation;  // P x P, row-major
  std::vector<fit_iteration_record> history;
  double chisq = 0, reduced = 0;
  int dof = 0;
  std::string stop_reason;
  double corr_threshold = 0.5;
  std::vector<std::pair<std::string, double>> run_control;
  std::vector<std::pair<std::string, std::string>> inputs;  // file name, text
};

}  // namespace kv
