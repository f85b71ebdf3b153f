#pragma once
// Constraints between refinable parameters. A constrained parameter (flag
// CST) carries a short expression instead of a number: a signed sum of
// products of numbers and parameter names, such as a, 1-occ1 or a-0.5*b.
// There is no division and no bracketing. Operands are the runs of
// characters between the operators "*", "+", "-" (blanks and "=" are
// ignored); an operand starting with a digit is a number, an empty one is 0,
// any other is the name of a parameter.
#include <functional>
#include <string>

#include "input/crystal_data.hpp"

namespace kv {

inline constexpr std::size_t kOperandMax = 255;  // characters of one operand

// Value of an expression; names are resolved by lookup. Failures (over-long
// operand, an operator directly after "*", exponent notation) end the run
// through qz_error_exit on standard output.
double constraint_value(const std::string& expr,
                        const std::function<double(const std::string&)>& lookup);
// Value of one operand: 0 if empty, the number if it starts with a digit,
// else lookup(operand).
double val_trans(const std::string& operand,
                 const std::function<double(const std::string&)>& lookup);

// Current value of the crystal parameter with that name: lattice parameters,
// then the sites in order (x, y, z, B or the six betas, occupancy), then the
// low-order entries. First match wins; no match ends the run.
double val_search_csd(const std::string& name, const csd& cs);
double val_trans_csd(const std::string& operand, const csd& cs);
double constraint_value_csd(const std::string& expr, const csd& cs);

// Evaluates every CST parameter of the record in lookup order and stores
// each result at once, so a constraint sees the evaluated value of an
// earlier constrained parameter and 0 for a later one.
void constraint_csd(csd& cs);
void constraint_csd_lp(csd& cs);
void constraint_csd_atm(csd& cs);
void constraint_csd_lofg(csd& cs);

}  // namespace kv
