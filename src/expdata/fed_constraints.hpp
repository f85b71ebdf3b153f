#pragma once
// Constraints between the refinable parameters of experimental datasets: a
// parameter flagged CST takes the value of its expression over numbers and
// the names of dataset parameters of any dataset (the crystal's parameters
// are a separate name space). Expressions follow the crystal constraints'
// rules.
#include <string>
#include <vector>

#include "expdata/dataset.hpp"

namespace kv {

// Current value of the dataset parameter with that name: datasets in order;
// within one, tiltH, tiltG, voltage, then per thickness block the scale,
// thickness and thickness width followed by every reflection's H_shift and
// G_shift. First match wins; no match ends the run.
double val_search_fed(const std::string& name, int num_dataset, const std::vector<fed>& eds);
double val_trans_fed(const std::string& operand, int num_dataset, const std::vector<fed>& eds);
double constraint_value_fed(const std::string& expr, int num_dataset, const std::vector<fed>& eds);

// Evaluates every CST parameter of the datasets in lookup order and stores
// each result at once: a constraint sees the evaluated value of an earlier
// constrained parameter and the value as read (0) of a later one.
void constraint_fed(int num_dataset, std::vector<fed>& eds);

}  // namespace kv
