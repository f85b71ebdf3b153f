#pragma once
// "%s_fit.h5": the whole record of a refinement in one HDF5 file, every
// dataset with its unit and description (layout in the README).
#include <string>

#include "results/fit_record.hpp"

namespace kv {

void write_fit_hdf5(const std::string& path, const fit_record& rec);
// Reads a file written by write_fit_hdf5; one message naming the file and
// what is missing when it is not one.
fit_record read_fit_hdf5(const std::string& path);

}  // namespace kv
