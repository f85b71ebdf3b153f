#pragma once
// The names of the refinable parameters of one name space (the crystal
// block, or the datasets of a fit-mode file together). Constraints look a
// name up and take the first parameter of that name, and are evaluated in
// one pass in reading order, so a name that a constraint refers to and that
// two parameters carry, or constraints that refer to each other in a cycle,
// give values nobody wrote. Both are refused with the names.
#include <string>
#include <vector>

#include "input/crystal_data.hpp"

namespace kv {

struct named_parameter {
  const fitpar* p;
  std::string field;  // what it is, for messages ("x of site 2")
};

// "$$ The parameter name NAME is given twice (FIELD and FIELD) in BLOCK: ..."
// and "$$ The constraints of A, B refer to each other in a cycle ...".
void check_parameter_names(const std::vector<named_parameter>& ps, const char* block);

// Every parameter record of a crystal block that is in use.
std::vector<named_parameter> crystal_parameters(const csd& cs);

}  // namespace kv
