// EMD 1.0 (the Berkeley layout in HDF5): a group carrying the attribute
// emd_group_type = 1 holds the array "data" and one vector "dimN" per axis,
// N = 1 for the first (slowest) axis; each vector gives the axis's
// coordinates and carries "name" and "units" attributes (read when they are
// fixed-length strings). A 2-D array is one
// image (rows, columns); a 3-D array a stack of frames (frame, row, column),
// summed. The first data group found in name order is read; HDF5 converts
// every integer or float pixel type to double.
#include <hdf5.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>

#include <cmath>
#include <string>
#include <vector>

#include "expimage/image.hpp"
#include "expimage/image_io.hpp"
#include "results/h5_file.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {


// The integer value of an attribute, or none.
std::optional<long long> int_attribute(hid_t obj, const char* name) {
  if (H5Aexists(obj, name) <= 0) return std::nullopt;
  H5Handle a(H5Aopen(obj, name, H5P_DEFAULT), H5Aclose);
  if (!a.ok()) return std::nullopt;
  H5Handle space(H5Aget_space(a.get()), H5Sclose);
  if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != 1) return std::nullopt;
  H5Handle type(H5Aget_type(a.get()), H5Tclose);
  if (!type.ok() || H5Tget_class(type.get()) != H5T_INTEGER) return std::nullopt;
  long long v = 0;
  if (H5Aread(a.get(), H5T_NATIVE_LLONG, &v) < 0) return std::nullopt;
  return v;
}

// A fixed-length string attribute. Variable-length strings are not read:
// their text lives in the file's global heap, whose damaged records make
// libhdf5 1.10 loop for good instead of failing.
std::string string_attribute(hid_t obj, const char* name) {
  if (H5Aexists(obj, name) <= 0) return {};
  H5Handle a(H5Aopen(obj, name, H5P_DEFAULT), H5Aclose);
  if (!a.ok()) return {};
  H5Handle type(H5Aget_type(a.get()), H5Tclose);
  H5Handle space(H5Aget_space(a.get()), H5Sclose);
  if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_STRING || H5Tis_variable_str(type.get()) != 0 ||
      H5Sget_simple_extent_npoints(space.get()) != 1)
    return {};
  const std::size_t n = H5Tget_size(type.get());
  if (n == 0 || n > 4096) return {};
  std::vector<char> buf(n + 1, '\0');
  H5Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
  H5Tset_size(mem.get(), n + 1);
  H5Tset_cset(mem.get(), H5Tget_cset(type.get()));
  if (H5Aread(a.get(), mem.get(), buf.data()) < 0) return {};
  return buf.data();
}

struct FindGroup {
  std::string name;
};

herr_t look_for_data_group(hid_t loc, const char* name, const H5L_info_t* info, void* user) {
  if (info->type != H5L_TYPE_HARD) return 0;
  H5O_info_t oi;
  if (H5Oget_info_by_name(loc, name, &oi, H5P_DEFAULT) < 0 || oi.type != H5O_TYPE_GROUP) return 0;
  H5Handle g(H5Gopen2(loc, name, H5P_DEFAULT), H5Gclose);
  if (!g.ok()) return 0;
  const auto type = int_attribute(g.get(), "emd_group_type");
  if (type && *type == 1) {
    static_cast<FindGroup*>(user)->name = name;
    return 1;  // stop at the first
  }
  return 0;
}

// Scale and origin of one axis from its coordinate vector.
void axis_calibration(hid_t group, int axis, double* scale, double* origin, std::string* unit, bool* ok) {
  const std::string dn = "dim" + std::to_string(axis);
  if (H5Lexists(group, dn.c_str(), H5P_DEFAULT) <= 0) {
    *ok = false;
    return;
  }
  H5Handle d(H5Dopen2(group, dn.c_str(), H5P_DEFAULT), H5Dclose);
  if (!d.ok()) {
    *ok = false;
    return;
  }
  H5Handle space(H5Dget_space(d.get()), H5Sclose);
  const hssize_t n = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
  if (n < 2 || n > static_cast<hssize_t>(kMaxImageSide)) {
    *ok = false;
    return;
  }
  std::vector<double> v(static_cast<std::size_t>(n));
  if (H5Dread(d.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) < 0 || !std::isfinite(v[0]) ||
      !std::isfinite(v[1]) || v[1] == v[0]) {
    *ok = false;
    return;
  }
  *scale = v[1] - v[0];
  *origin = -v[0] / *scale;
  *unit = string_attribute(d.get(), "units");
}

// The reading itself, in this process.
DetectorImage read_emd_here(const std::string& path) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  if (H5Fis_hdf5(path.c_str()) <= 0) image_fault(path, "not an HDF5 file");
  H5Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!file.ok()) image_fault(path, "the HDF5 file cannot be opened (truncated or damaged)");
  FindGroup found;
  if (H5Lvisit(file.get(), H5_INDEX_NAME, H5_ITER_INC, look_for_data_group, &found) < 0 && found.name.empty())
    image_fault(path, "the HDF5 file's groups cannot be read");
  if (found.name.empty()) image_fault(path, "no EMD data group (a group with emd_group_type = 1)");
  H5Handle group(H5Gopen2(file.get(), found.name.c_str(), H5P_DEFAULT), H5Gclose);
  if (!group.ok() || H5Lexists(group.get(), "data", H5P_DEFAULT) <= 0)
    image_fault(path, "EMD group " + found.name + " has no array \"data\"");
  H5Handle data(H5Dopen2(group.get(), "data", H5P_DEFAULT), H5Dclose);
  if (!data.ok()) image_fault(path, "EMD group " + found.name + ": \"data\" is not an array");
  H5Handle type(H5Dget_type(data.get()), H5Tclose);
  const H5T_class_t cls = type.ok() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
  if (cls != H5T_INTEGER && cls != H5T_FLOAT)
    image_fault(path, "EMD group " + found.name + ": \"data\" holds neither integers nor floats");
  H5Handle space(H5Dget_space(data.get()), H5Sclose);
  const int rank = space.ok() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  if (rank != 2 && rank != 3) image_fault(path, strprintf("EMD data of %d dimensions (2 or 3 expected)", rank));
  hsize_t dims[3] = {1, 1, 1};
  H5Sget_simple_extent_dims(space.get(), dims, nullptr);
  const std::uint64_t frames = rank == 3 ? dims[0] : 1;
  const std::uint64_t rows = dims[rank - 2], cols = dims[rank - 1];
  const std::size_t frame = checked_frame_pixels(path, cols, rows, frames);
  std::vector<double> all(frame * static_cast<std::size_t>(frames));
  if (H5Dread(data.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) < 0)
    image_fault(path, "EMD group " + found.name + ": \"data\" cannot be read (truncated or damaged)");

  DetectorImage img;
  img.file = path;
  img.format = "EMD";
  const std::size_t tsize = H5Tget_size(type.get());
  img.sample_type = strprintf("%s%zu", cls == H5T_FLOAT ? "float" : "int", tsize * 8);
  img.width = static_cast<int>(cols);
  img.height = static_cast<int>(rows);
  img.frames = static_cast<int>(frames);
  img.pixels.assign(frame, 0.0);
  for (std::uint64_t k = 0; k < frames; ++k)
    for (std::size_t i = 0; i < frame; ++i) img.pixels[i] += all[k * frame + i];
  bool ok = true;
  ImageCalibration& c = img.calibration;
  axis_calibration(group.get(), rank, &c.scale_x, &c.origin_x, &c.unit_x, &ok);
  axis_calibration(group.get(), rank - 1, &c.scale_y, &c.origin_y, &c.unit_y, &ok);
  c.present = ok;
  if (!ok) c = ImageCalibration{};
  check_finite_pixels(img);
  return img;
}

// ---- reading in a child process ------------------------------------------
// libhdf5 (1.10) trusts the structure of the file it parses: a damaged object
// header can make it read past its buffers or follow a null pointer, which
// would end the program by a signal. An EMD file comes from outside, so it
// is read in a child process that sends the image (or its refusal) back
// through a pipe; a child that dies is a refusal of the file.

// How long a reading child may neither send nor end: 120 s, or
// KV_EMD_STALL_SECONDS (1 to 3600; the replay of damaged files uses a short one).
int emd_stall_seconds() {
  const char* v = std::getenv("KV_EMD_STALL_SECONDS");
  const long n = v ? std::strtol(v, nullptr, 10) : 0;
  return n >= 1 && n <= 3600 ? static_cast<int>(n) : 120;
}

class Pack {
 public:
  void bytes(const void* p, std::size_t n) { buf_.append(static_cast<const char*>(p), n); }
  template <class T>
  void put(const T& v) { bytes(&v, sizeof v); }
  void text(const std::string& t) {
    put<std::uint64_t>(t.size());
    bytes(t.data(), t.size());
  }
  void maybe(const std::optional<double>& v) {
    put<char>(v ? 1 : 0);
    put<double>(v.value_or(0.0));
  }
  const std::string& data() const { return buf_; }

 private:
  std::string buf_;
};

class Unpack {
 public:
  explicit Unpack(const std::string& b) : b_(b) {}
  bool ok() const { return ok_; }
  void bytes(void* p, std::size_t n) {
    if (!ok_ || n > b_.size() - at_) {
      ok_ = false;
      return;
    }
    std::memcpy(p, b_.data() + at_, n);
    at_ += n;
  }
  template <class T>
  T get() {
    T v{};
    bytes(&v, sizeof v);
    return v;
  }
  std::string text() {
    const std::uint64_t n = get<std::uint64_t>();
    if (!ok_ || n > b_.size() - at_) {
      ok_ = false;
      return {};
    }
    std::string t(b_.data() + at_, n);
    at_ += n;
    return t;
  }
  std::optional<double> maybe() {
    const char has = get<char>();
    const double v = get<double>();
    return has ? std::optional<double>(v) : std::nullopt;
  }

 private:
  const std::string& b_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void pack_image(Pack& p, const DetectorImage& img) {
  p.text(img.file);
  p.text(img.format);
  p.text(img.sample_type);
  p.put<int>(img.width);
  p.put<int>(img.height);
  p.put<int>(img.frames);
  p.put<std::uint64_t>(img.pixels.size());
  p.bytes(img.pixels.data(), img.pixels.size() * sizeof(double));
  const ImageCalibration& c = img.calibration;
  p.put<char>(c.present ? 1 : 0);
  for (double v : {c.scale_x, c.scale_y, c.origin_x, c.origin_y}) p.put<double>(v);
  p.text(c.unit_x);
  p.text(c.unit_y);
  p.maybe(img.meta.voltage_kv);
  p.maybe(img.meta.camera_length_mm);
  p.maybe(img.meta.exposure_s);
}

bool unpack_image(Unpack& u, DetectorImage& img) {
  img.file = u.text();
  img.format = u.text();
  img.sample_type = u.text();
  img.width = u.get<int>();
  img.height = u.get<int>();
  img.frames = u.get<int>();
  const std::uint64_t n = u.get<std::uint64_t>();
  if (!u.ok() || n > kMaxImageTotalPixels) return false;
  img.pixels.resize(static_cast<std::size_t>(n));
  u.bytes(img.pixels.data(), img.pixels.size() * sizeof(double));
  ImageCalibration& c = img.calibration;
  c.present = u.get<char>() != 0;
  c.scale_x = u.get<double>();
  c.scale_y = u.get<double>();
  c.origin_x = u.get<double>();
  c.origin_y = u.get<double>();
  c.unit_x = u.text();
  c.unit_y = u.text();
  img.meta.voltage_kv = u.maybe();
  img.meta.camera_length_mm = u.maybe();
  img.meta.exposure_s = u.maybe();
  return u.ok();
}

// What the child sends: 'I' and the image, or 'F' and a refusal.
void child_read(const std::string& path, int fd) {
  Pack p;
  try {
    const DetectorImage img = read_emd_here(path);
    p.put<char>('I');
    pack_image(p, img);
  } catch (const FatalError& e) {
    p = Pack();
    p.put<char>('F');
    p.text(e.text());
    p.put<int>(e.channel() == Channel::err ? 1 : 0);
    p.put<int>(e.status());
  } catch (const std::exception& e) {
    p = Pack();
    p.put<char>('F');
    p.text(strprintf("$$ Image %s: %s. Abort.\n", path.c_str(), e.what()));
    p.put<int>(0);
    p.put<int>(1);
  }
  const std::string& d = p.data();
  for (std::size_t at = 0; at < d.size();) {
    const ssize_t w = write(fd, d.data() + at, d.size() - at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) _exit(3);
    at += static_cast<std::size_t>(w);
  }
  _exit(0);
}

}  // namespace

DetectorImage read_emd_image_in_process(const std::string& path) { return read_emd_here(path); }

DetectorImage read_emd_image(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) image_fault(path, std::string("no pipe for the reading process (") + std::strerror(errno) + ")");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    image_fault(path, std::string("no process for the reading (") + std::strerror(errno) + ")");
  }
  if (pid == 0) {
    close(fds[0]);
    child_read(path, fds[1]);
  }
  close(fds[1]);
  std::string got;
  char buf[1 << 16];
  bool stalled = false;
  const int stall_seconds = emd_stall_seconds();
  for (;;) {
    // A damaged file can also make libhdf5 loop for ever: a child that
    // neither sends nor ends for the stall limit is stopped.
    pollfd pf{fds[0], POLLIN, 0};
    const int ready = poll(&pf, 1, stall_seconds * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      stalled = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t r = read(fds[0], buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got.append(buf, static_cast<std::size_t>(r));
  }
  close(fds[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  const bool clean = WIFEXITED(st) && WEXITSTATUS(st) == 0;
  Unpack u(got);
  const char kind = clean ? u.get<char>() : 0;
  if (kind == 'F') {
    std::string text = u.text();
    const int err = u.get<int>(), status = u.get<int>();
    if (u.ok()) throw FatalError(std::move(text), err ? Channel::err : Channel::out, status);
  } else if (kind == 'I') {
    DetectorImage img;
    if (unpack_image(u, img)) return img;
  }
  if (stalled)
    image_fault(path, strprintf("the HDF5 library did not finish reading the file (%d s without progress)",
                                stall_seconds));
  if (WIFSIGNALED(st))
    image_fault(path, strprintf("the HDF5 library failed on the file's damaged structure (signal %d)", WTERMSIG(st)));
  image_fault(path, "the HDF5 library failed on the file's damaged structure");
}

}  // namespace kv
