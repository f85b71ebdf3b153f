#include "support/h5_contents.hpp"

#include <hdf5.h>

namespace kvtest {

namespace {

struct Walk {
  hid_t file;
  const std::vector<std::string>* skip;
  std::map<std::string, std::string>* out;
};

herr_t visit(hid_t, const char* name, const H5L_info_t* info, void* data) {
  Walk& w = *static_cast<Walk*>(data);
  if (info->type != H5L_TYPE_HARD) return 0;
  const std::string path(name);
  for (const std::string& s : *w.skip)
    if (path.rfind(s, 0) == 0) return 0;
  H5O_info_t oi;
  if (H5Oget_info_by_name(w.file, name, &oi, H5P_DEFAULT) < 0 || oi.type != H5O_TYPE_DATASET) return 0;
  const hid_t d = H5Dopen2(w.file, name, H5P_DEFAULT);
  const hid_t type = H5Dget_type(d);
  const hid_t space = H5Dget_space(d);
  const hssize_t n = H5Sget_simple_extent_npoints(space);
  std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0) * H5Tget_size(type), '\0');
  if (!bytes.empty() && H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()) < 0) bytes = "(unreadable)";
  (*w.out)[path] = bytes;
  H5Sclose(space);
  H5Tclose(type);
  H5Dclose(d);
  return 0;
}

}  // namespace

std::map<std::string, std::string> h5_datasets(const std::string& path, const std::vector<std::string>& skip) {
  std::map<std::string, std::string> out;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  const hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  if (f < 0) return out;
  Walk w{f, &skip, &out};
  H5Lvisit(f, H5_INDEX_NAME, H5_ITER_INC, visit, &w);
  H5Fclose(f);
  return out;
}

}  // namespace kvtest
