#pragma once
// The record of a refinement for its page and its HDF5 file: what the
// measured points, the model at them, the parameters and the history were
// at the start and at the end.
#include <string>
#include <utility>
#include <vector>

#include "fit/fit_job.hpp"
#include "fit/fit_model.hpp"
#include "results/fit_record.hpp"

namespace kv {

// What the record keeps of the start: per dataset and block the thickness
// and scale, and the model at the measured points.
struct fit_start_state {
  std::vector<std::vector<double>> thickness, scale;
  std::vector<double> model;
};
fit_start_state capture_fit_start(fit_problem& fp, const double* x0);

// The record at the end of a refinement (the calculated grids filled by
// fill_fit_results at the refined values). inputs: file names and texts.
fit_record make_fit_record(fit_problem& fp, const fit_outcome& o, const fit_start_state& start,
                           const std::vector<double>& r_start, const std::vector<double>& r_end,
                           const std::string& base_name, std::vector<std::pair<std::string, std::string>> inputs);

}  // namespace kv
