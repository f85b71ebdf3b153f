#pragma once
// The HDF5 files the suite writes and reads: RAII handles, and a writer that
// creates the file under a temporary name, stamps no object times (two runs
// of the same job write the same bytes), makes the groups on the way to a
// dataset, and gives every dataset its unit and description.
#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "sim/atomic_file.hpp"
#include "sim/error.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/qzio.hpp"

namespace kv {

// One HDF5 handle, closed with the function that belongs to its kind.
class H5Handle {
 public:
  H5Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  H5Handle(const H5Handle&) = delete;
  H5Handle& operator=(const H5Handle&) = delete;
  ~H5Handle() {
    if (id_ >= 0) close_(id_);
  }
  // Closes now; the result of the library's close function.
  herr_t close() {
    const herr_t r = id_ >= 0 ? close_(id_) : -1;
    id_ = -1;
    return r;
  }
  hid_t get() const { return id_; }
  bool ok() const { return id_ >= 0; }

 private:
  hid_t id_;
  herr_t (*close_)(hid_t);
};

// libhdf5 closes whatever is still open when the process exits. After a
// failed write (a full disk, a file-size limit) the file's close has already
// failed once, and the library's second attempt from its exit handler crashes
// inside libhdf5 1.10. Every object here is closed by its owner, so the
// programs switch that handler off; this must come before any other HDF5 call.
inline void hdf5_no_exit_cleanup() { H5dont_atexit(); }

// Error printing of the library is switched off: a failure shows as a
// negative handle and is reported once by the caller.
inline void quiet_hdf5() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

// The file to write: created under a temporary name beside the final one and
// renamed by commit(), so that a failed export leaves no cut file. An MPI rank
// that does not write the run's files writes a temporary file that is never
// committed.
inline OutputFile h5_target(const std::string& path) {
  OutputFile out = qz_fopen_chk_wmode(path);
  if (out.temp_path().empty()) {
    out = OutputFile(path);
    if (!out) fatal_err("$$ Cannot open %s. Abort.\n", path.c_str());
  }
  out.close_stream();
  return out;
}

// A creation property list of the given class that records no object
// times: HDF5 otherwise stamps every object header with its creation and
// modification time, and two runs of the same job would write different
// bytes.
inline hid_t untimed_plist(hid_t plist_class) {
  const hid_t p = H5Pcreate(plist_class);
  if (p >= 0) H5Pset_obj_track_times(p, 0);
  return p;
}

class H5Out {
 public:
  explicit H5Out(const std::string& path)
      : path_(path),
        out_(h5_target(path)),
        fcpl_((quiet_hdf5(), untimed_plist(H5P_FILE_CREATE)), H5Pclose),
        gcpl_(untimed_plist(H5P_GROUP_CREATE), H5Pclose),
        dcpl_(untimed_plist(H5P_DATASET_CREATE), H5Pclose),
        file_(H5Fcreate(out_.temp_path().c_str(), H5F_ACC_TRUNC, fcpl_.get(), H5P_DEFAULT), H5Fclose) {
    errno = 0;
    if (!file_.ok() || !gcpl_.ok() || !dcpl_.ok()) fatal_err("$$ Cannot open %s. Abort.\n", path.c_str());
  }

  // Closes the file (checked) and gives it its name (on the writing rank).
  void commit() {
    check(file_.close() >= 0);
    if (rank_writes_files()) out_.commit();
  }

  void attr(const char* name, double v) { attr_array(name, &v, 1); }
  void attr(const char* name, int v) { attr_array(name, &v, 1); }
  void attr_array(const char* name, const double* v, hsize_t n) { write_attr(name, H5T_NATIVE_DOUBLE, v, n); }
  void attr_array(const char* name, const int* v, hsize_t n) { write_attr(name, H5T_NATIVE_INT, v, n); }
  void attr(const char* name, const std::string& text) {
    H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(type.get(), std::max<std::size_t>(text.size(), 1));
    H5Tset_strpad(type.get(), H5T_STR_NULLTERM);
    H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Handle a(H5Acreate2(file_.get(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    check(a.ok() && H5Awrite(a.get(), type.get(), text.c_str()) >= 0);
  }

  void dataset(const char* name, const std::vector<hsize_t>& dims, const double* v) {
    write_dataset(name, dims, H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE, v);
  }
  void dataset(const char* name, const std::vector<hsize_t>& dims, const int* v) {
    write_dataset(name, dims, H5T_NATIVE_INT, H5T_STD_I32LE, v);
  }
  // A string attribute on a dataset (its unit).
  void dataset_unit(const char* dset, const std::string& unit) { object_text(dset, "unit", unit); }
  // A string attribute `name` on the dataset or group at `object`.
  void object_text(const char* object, const char* name, const std::string& text) {
    H5Handle o(H5Oopen(file_.get(), object, H5P_DEFAULT), H5Oclose);
    H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(type.get(), std::max<std::size_t>(text.size(), 1));
    H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Handle a(H5Acreate2(o.get(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    check(o.ok() && a.ok() && H5Awrite(a.get(), type.get(), text.c_str()) >= 0);
  }
  // A dataset with its unit and description.
  template <class T>
  void described(const char* name, const std::vector<hsize_t>& dims, const T* v, const std::string& unit,
                 const std::string& description) {
    dataset(name, dims, v);
    object_text(name, "unit", unit);
    object_text(name, "description", description);
  }
  // A text (a file's contents, a name list joined by newlines) as a scalar
  // string dataset.
  void text_dataset(const char* name, const std::string& text, const std::string& description) {
    make_parent_groups(name);
    H5Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(type.get(), std::max<std::size_t>(text.size(), 1));
    H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Handle d(H5Dcreate2(file_.get(), name, type.get(), space.get(), H5P_DEFAULT, dcpl_.get(), H5P_DEFAULT),
               H5Dclose);
    check(d.ok() && H5Dwrite(d.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, text.c_str()) >= 0);
    d.close();
    object_text(name, "description", description);
  }

 private:
  // A failed write reads like any other output's (a full disk, a file-size
  // limit): the system's reason when the library's write left one in errno.
  void check(bool ok) {
    if (!ok) output_failed(path_, errno != 0 ? errno : EIO);
    errno = 0;  // so that the next failure does not show an old reason
  }
  void write_attr(const char* name, hid_t type, const void* v, hsize_t n) {
    H5Handle space(n == 1 ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr), H5Sclose);
    H5Handle a(H5Acreate2(file_.get(), name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    check(a.ok() && H5Awrite(a.get(), type, v) >= 0);
  }
  void write_dataset(const char* name, const std::vector<hsize_t>& dims, hid_t mem, hid_t file_type,
                     const void* v) {
    make_parent_groups(name);
    H5Handle space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr), H5Sclose);
    H5Handle d(H5Dcreate2(file_.get(), name, file_type, space.get(), H5P_DEFAULT, dcpl_.get(), H5P_DEFAULT),
               H5Dclose);
    const bool empty = std::any_of(dims.begin(), dims.end(), [](hsize_t n) { return n == 0; });
    check(d.ok() && (empty || H5Dwrite(d.get(), mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, v) >= 0));
  }

  // The groups on the way to a dataset ("tilt" of "tilt/H"), each made
  // once with the untimed group properties.
  void make_parent_groups(const std::string& name) {
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      const std::string group = name.substr(0, slash);
      if (group.empty() || H5Lexists(file_.get(), group.c_str(), H5P_DEFAULT) > 0) continue;
      H5Handle g(H5Gcreate2(file_.get(), group.c_str(), H5P_DEFAULT, gcpl_.get(), H5P_DEFAULT), H5Gclose);
      check(g.ok());
    }
  }

  std::string path_;
  OutputFile out_;
  H5Handle fcpl_, gcpl_, dcpl_;
  H5Handle file_;
};

}  // namespace kv
