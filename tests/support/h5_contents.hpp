#pragma once
// What an HDF5 file holds, for comparing two files whose bytes may differ
// where the difference does not matter (the copy of the input they carry).
#include <map>
#include <string>
#include <vector>

namespace kvtest {

// Every dataset of the file by its path ("tilt/H"), as the raw bytes of its
// values in the file's type; datasets whose path begins with one of `skip`
// are left out, soft links are not followed. Empty for an unreadable file.
std::map<std::string, std::string> h5_datasets(const std::string& path, const std::vector<std::string>& skip = {});

}  // namespace kvtest
