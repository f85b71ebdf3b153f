#pragma once
// The physical ranges of the refinable dataset values: voltage above 0 and at
// most kMaxVoltageKv, scale factor above 0, thickness and thickness width not
// below 0. Values written as numbers are checked as they are read; these
// checks cover the values that constraints (CST) give, once the constraints
// are evaluated after reading and at every step of a refinement. (ADJ and RST values are held to the same ranges by the
// refinement's parameter bounds.)
#include <vector>

#include "expdata/dataset.hpp"

namespace kv {

// Ends the run with "$$ Dataset N, thickness block T: ..." naming the value,
// its constraint and its range, when one lies outside.
void check_dataset_ranges(const std::vector<fed>& eds);

// The parameter names of all datasets together: none given twice, no
// cycle of constraints (see check_parameter_names).
void check_dataset_names(const std::vector<fed>& eds);

// Range of a refinable dataset value: lower and upper bound.
struct value_range {
  double lower, upper;
};
value_range voltage_range();
value_range scale_range();
value_range thickness_range();  // thickness and thickness width

}  // namespace kv
