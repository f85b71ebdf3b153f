// The Python module over the library that korvex and talvis link: jobs run
// as the program runs them, simulations from a parameter file returned as
// numpy arrays, and the record of a refinement read back. Nothing here is a
// second implementation: every number comes from the library's own
// functions. The library's error becomes korvex.Error with the program's
// message; nothing is printed unless the caller asks for it.
#include <fcntl.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <stdexcept>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "driver/korvex_driver.hpp"
#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "expdata/fit_files.hpp"
#include "jobs/fit_skeleton.hpp"
#include "input/crystal_data.hpp"
#include "jobs/simulation.hpp"
#include "model/simulate.hpp"
#include "results/fit_hdf5.hpp"
#include "results/h5_file.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"
#include "vis/cbed_figure.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

using namespace kv;

// The programs' records (epsilon, dbg, the input registry, the working
// folder) are the process's: one job or one reading of a parameter file at a
// time. The simulations themselves run outside it.
std::mutex& program_mutex() {
  static std::mutex m;
  return m;
}

// The working folder for the length of a call.
class InFolder {
 public:
  explicit InFolder(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~InFolder() {
    std::error_code ec;
    fs::current_path(old_, ec);
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path old_;
};

// Standard output (file descriptor 1) into a temporary file for the length
// of a call; text() gives what was written.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = ::dup(1);
    if (file_ && saved_ >= 0) ::dup2(::fileno(file_), 1);
  }
  ~CapturedStdout() {
    restore();
    if (file_) std::fclose(file_);
  }
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;
  std::string text() {
    restore();
    std::string out;
    if (!file_) return out;
    std::rewind(file_);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

std::map<std::string, fs::file_time_type> folder_files(const fs::path& dir) {
  std::map<std::string, fs::file_time_type> m;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) m[e.path().filename().string()] = e.last_write_time();
  return m;
}

std::string file_text(const fs::path& p) {
  std::FILE* f = std::fopen(p.c_str(), "rb");
  std::string out;
  if (!f) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

// korvex PARAMETER_FILE in workdir, exactly as the program runs it.
py::dict run_job(const std::string& parameter_file, std::optional<std::string> workdir) {
  const fs::path dir = fs::absolute(workdir ? fs::path(*workdir) : fs::current_path());
  py::dict result;
  std::string output, message;
  int status = 0;
  std::map<std::string, fs::file_time_type> before, after;
  {
    py::gil_scoped_release free_python;
    std::lock_guard<std::mutex> lock(program_mutex());
    InFolder in(dir);
    before = folder_files(dir);
    forget_input_files();
    CapturedStdout console;
    std::string name = parameter_file;
    std::vector<char*> argv{const_cast<char*>("korvex"), name.data(), nullptr};
    try {
      status = korvex_main(2, argv.data());
    } catch (const FatalError& e) {
      status = e.status();
      message = e.text();
    }
    output = console.text();
    after = folder_files(dir);
  }
  py::list written;
  for (const auto& [name, time] : after)
    if (!before.count(name) || before.at(name) != time) written.append((dir / name).string());
  const std::string base = remove_extention(parameter_file);
  result["status"] = status;
  result["paths"] = written;
  result["output"] = output;
  result["log"] = file_text(dir / (base + "_log.txt"));
  if (status != 0) {
    // The program's own message, as the program prints it.
    PyErr_SetString(py::module_::import("korvex._korvex").attr("Error").ptr(),
                    (message.empty() ? output : message).c_str());
    throw py::error_already_set();
  }
  return result;
}

template <class T>
py::array_t<T> array(const std::vector<T>& v, std::vector<py::ssize_t> shape) {
  py::array_t<T> a(shape);
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

// A simulation of the SIM_MODE (or SIM_COHERENT_MODE) file as numpy arrays.
py::dict simulate_file(const std::string& parameter_file, std::optional<std::vector<double>> thickness,
                       std::optional<int> num_threads, std::optional<std::function<void(int, int)>> progress) {
  const fs::path file = fs::absolute(parameter_file);
  csd crystal;
  sd cond;
  RunControl rc;
  bool coherent = false;
  {
    py::gil_scoped_release free_python;
    std::lock_guard<std::mutex> lock(program_mutex());
    // The readers write the beam listing of the search: in a folder of
    // their own, removed afterwards.
    const fs::path scratch = fs::temp_directory_path() / ("korvex_py_" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    struct Cleanup {
      fs::path p;
      ~Cleanup() {
        std::error_code ec;
        fs::remove_all(p, ec);
      }
    } cleanup{scratch};
    InFolder in(scratch);
    CapturedStdout quiet;
    forget_input_files();
    File fp = fopen_chk_rmode(file.string());
    const std::optional<std::string> mode = fget_1s(fp.get());
    if (!mode || (*mode != "SIM_MODE" && *mode != "SIM_COHERENT_MODE"))
      fatal_out("$$ %s is no SIM_MODE or SIM_COHERENT_MODE parameter file. Abort.\n", file.c_str());
    coherent = *mode == "SIM_COHERENT_MODE";
    read_ini_file();
    dbg.base_name = "py";
    read_eps_ctrl_params(fp.get());
    input_csd_cstr(crystal, fp.get(), "py");
    input_sim_data(cond, crystal, fp.get());
    if (coherent) input_sim_coherent_data(cond, crystal, fp.get());
    rc = program_run_control();
  }
  if (thickness) {
    cond.thickness = *thickness;
    cond.num_thickness = static_cast<int>(thickness->size());
  }
  if (num_threads) rc.epsilon.num_threads = *num_threads;
  progress_callback report;
  if (progress && *progress) {
    const std::function<void(int, int)> fn = *progress;
    report = [fn](int done, int total) {
      py::gil_scoped_acquire hold;
      fn(done, total);
    };
  }
  sim_result r;
  {
    py::gil_scoped_release free_python;
    r = coherent ? simulate_coherent(crystal, cond, rc, report) : simulate(crystal, cond, rc, report);
  }
  const py::ssize_t G = static_cast<py::ssize_t>(r.reflections.size()), T = static_cast<py::ssize_t>(r.thickness.size()),
                    K = static_cast<py::ssize_t>(r.tilts.size());
  py::dict d;
  // [thickness, reflection, tilt]
  if (coherent) {
    py::array_t<std::complex<double>> a({T, G, K});
    auto m = a.mutable_unchecked<3>();
    for (py::ssize_t g = 0; g < G; ++g)
      for (py::ssize_t t = 0; t < T; ++t)
        for (py::ssize_t k = 0; k < K; ++k) {
          const complex z = r.amplitude(g, t, k);
          m(t, g, k) = std::complex<double>(z.re, z.im);
        }
    d["amplitude"] = a;
  } else {
    py::array_t<double> a({T, G, K});
    auto m = a.mutable_unchecked<3>();
    for (py::ssize_t g = 0; g < G; ++g)
      for (py::ssize_t t = 0; t < T; ++t)
        for (py::ssize_t k = 0; k < K; ++k) m(t, g, k) = r.intensity(g, t, k);
    d["intensity"] = a;
  }
  const lattice_metric lm = bravai(crystal.lp.data());
  const double g1 = std::sqrt(sq_abs(cond.zolzbase1, lm));
  std::vector<double> H, G_, Hm, Gm;
  std::vector<int> inside;
  for (const k_point& q : r.tilts) {
    H.push_back(q.H);
    G_.push_back(q.G);
    Hm.push_back(half_g1_to_mrad(q.H, cond.voltage, g1));
    Gm.push_back(half_g1_to_mrad(q.G, cond.voltage, g1));
    inside.push_back(q.flag);
  }
  d["H"] = array(H, {K});
  d["G"] = array(G_, {K});
  d["H_mrad"] = array(Hm, {K});
  d["G_mrad"] = array(Gm, {K});
  d["inside"] = array(inside, {K});
  d["side"] = cond.num_cal_pix_side;
  std::vector<int> hkl, beams;
  for (const Hkl& g : r.reflections) hkl.insert(hkl.end(), {g.h, g.k, g.l});
  for (const Hkl& g : r.beams) beams.insert(beams.end(), {g.h, g.k, g.l});
  d["hkl"] = array(hkl, {G, 3});
  d["beams"] = array(beams, {static_cast<py::ssize_t>(r.beams.size()), 3});
  d["num_exact_beam"] = r.num_exact_beam;
  d["num_bethe_beam"] = r.num_bethe_beam;
  d["thickness"] = array(r.thickness, {T});
  d["voltage"] = cond.voltage;
  d["threads"] = r.threads;
  // V_g of every beam (volts), the potential the simulation used.
  {
    csd c = crystal;
    int error_flag = 0;
    sd s = cond;
    s.beams = r.beams;
    const CMatrix vg = condition_potential_matrix(s, c, lm, &error_flag, false);
    py::array_t<std::complex<double>> v({static_cast<py::ssize_t>(r.beams.size())});
    py::array_t<std::complex<double>> f({static_cast<py::ssize_t>(r.beams.size())});
    // F_g (angstrom) from V_g: the same linear factor the potential used.
    const double per_fg = fg_to_vg(complex{1.0, 0.0}, lm).re;
    for (std::size_t i = 0; i < r.beams.size(); ++i) {
      v.mutable_data()[i] = {vg[i][0].re, vg[i][0].im};
      f.mutable_data()[i] = {vg[i][0].re / per_fg, vg[i][0].im / per_fg};
    }
    d["vg"] = v;
    d["fg"] = f;
  }
  return d;
}

// The record of a refinement (NAME_fit.h5) as numpy arrays.
py::dict read_fit(const std::string& path) {
  fit_record rec;
  {
    std::lock_guard<std::mutex> lock(program_mutex());
    rec = read_fit_hdf5(path);
  }
  const py::ssize_t P = static_cast<py::ssize_t>(rec.params.size());
  py::dict d;
  py::list names;
  std::vector<double> start, fin, su;
  std::vector<int> flags;
  for (const fit_param_record& p : rec.params) {
    names.append(p.name);
    start.push_back(p.start);
    fin.push_back(p.final_value);
    su.push_back(p.su);
    flags.push_back(p.flag);
  }
  d["names"] = names;
  d["start"] = array(start, {P});
  d["final"] = array(fin, {P});
  d["su"] = array(su, {P});
  d["flag"] = array(flags, {P});
  d["covariance"] = array(rec.covariance, {P, P});
  d["correlation"] = array(rec.correlation, {P, P});
  d["chisq"] = rec.chisq;
  d["reduced_chisq"] = rec.reduced;
  d["dof"] = rec.dof;
  d["stop_reason"] = rec.stop_reason;
  py::list datasets;
  for (const fit_dataset_record& ds : rec.datasets) {
    const py::ssize_t B = ds.num_blocks(), R = static_cast<py::ssize_t>(ds.reflections.size()),
                      N = ds.num_pixels();
    py::dict e;
    std::vector<int> hkl;
    for (const Hkl& g : ds.reflections) hkl.insert(hkl.end(), {g.h, g.k, g.l});
    e["hkl"] = array(hkl, {R, 3});
    e["pixel_x"] = array(ds.pix_x, {N});
    e["pixel_y"] = array(ds.pix_y, {N});
    e["obs"] = array(ds.obs, {B, R, N});
    e["sd"] = array(ds.sd, {B, R, N});
    e["sd_fit"] = array(ds.sd_fit, {B, R, N});
    e["mask"] = array(ds.mask, {B, R, N});
    e["model_start"] = array(ds.model_start, {B, R, N});
    e["model_final"] = array(ds.model_final, {B, R, N});
    const py::ssize_t K = static_cast<py::ssize_t>(ds.cal_x.size());
    e["cal_x"] = array(ds.cal_x, {K});
    e["cal_y"] = array(ds.cal_y, {K});
    e["cal_final"] = array(ds.cal_final, {B, R, K});
    e["thickness"] = array(ds.thickness_final, {B});
    e["scale"] = array(ds.scale_final, {B});
    e["int_file"] = ds.int_file;
    datasets.append(e);
  }
  d["datasets"] = datasets;
  return d;
}

// A SIM_RESULT or SIM_COHERENT_RESULT file, through the reader talvis uses.
py::dict read_result(const std::string& path) {
  CbedFigureInput in;
  bool coherent = false;
  {
    std::lock_guard<std::mutex> lock(program_mutex());
    File fp = fopen_chk_rmode(path);
    const std::optional<std::string> kind = fget_1s(fp.get());
    coherent = kind && *kind == "SIM_COHERENT_RESULT";
    fp.reset();
    in = read_cbed_figure_input(path, coherent, 1.0, 0.0);
  }
  const SimResultHeader& h = in.h;
  const py::ssize_t R = static_cast<py::ssize_t>(in.disks.size()), K = static_cast<py::ssize_t>(h.points.size());
  py::dict d;
  std::vector<int> hkl;
  for (const DiskValues& v : in.disks) hkl.insert(hkl.end(), {v.hkl.h, v.hkl.k, v.hkl.l});
  d["hkl"] = array(hkl, {R, 3});
  std::vector<double> H, G;
  std::vector<int> flag;
  for (const SimPoint& q : h.points) {
    H.push_back(q.H);
    G.push_back(q.G);
    flag.push_back(q.flag);
  }
  d["H"] = array(H, {K});
  d["G"] = array(G, {K});
  d["inside"] = array(flag, {K});
  d["side"] = h.num_pix_side;
  d["thickness"] = h.thickness;
  d["cell"] = array(std::vector<double>(h.cell, h.cell + 6), {6});
  d["incidence"] = array(std::vector<int>{h.incidence.h, h.incidence.k, h.incidence.l}, {3});
  d["g1"] = array(std::vector<double>(h.zolzbase1, h.zolzbase1 + 3), {3});
  d["tilt_centre"] = array(std::vector<double>{h.tiltH, h.tiltG}, {2});
  if (coherent) {
    py::array_t<std::complex<double>> a({R, K});
    for (py::ssize_t r = 0; r < R; ++r)
      for (py::ssize_t k = 0; k < K; ++k) a.mutable_at(r, k) = {in.disks[r].a[k], in.disks[r].b[k]};
    d["amplitude"] = a;
  } else {
    py::array_t<double> a({R, K});
    for (py::ssize_t r = 0; r < R; ++r)
      for (py::ssize_t k = 0; k < K; ++k) a.mutable_at(r, k) = in.disks[r].a[k];
    d["intensity"] = a;
  }
  return d;
}

// A measured-intensity file (FIT_EXPDATA_RAW / _BGS), through the reader
// the refinement uses.
py::dict read_measured(const std::string& path) {
  fei ei;
  {
    std::lock_guard<std::mutex> lock(program_mutex());
    read_int_file(ei, path);
  }
  const py::ssize_t T = ei.num_thickness, R = ei.num_rg, P = ei.npix;
  py::array_t<double> obs({T, R, P}), sd({T, R, P});
  for (py::ssize_t t = 0; t < T; ++t)
    for (py::ssize_t r = 0; r < R; ++r)
      for (py::ssize_t p = 0; p < P; ++p) {
        obs.mutable_at(t, r, p) = ei.obs_int(r, t, p);
        sd.mutable_at(t, r, p) = ei.obs_sig(r, t, p);
      }
  std::vector<int> hkl;
  for (int r = 0; r < ei.num_rg; ++r) hkl.insert(hkl.end(), {ei.rg[r].h, ei.rg[r].k, ei.rg[r].l});
  std::vector<double> x, y;
  for (const pix_point& q : ei.pix) {
    x.push_back(q.x);
    y.push_back(q.y);
  }
  py::dict d;
  d["intensity"] = obs;
  d["sd"] = sd;
  d["hkl"] = array(hkl, {R, 3});
  d["H"] = array(x, {static_cast<py::ssize_t>(x.size())});
  d["G"] = array(y, {static_cast<py::ssize_t>(y.size())});
  d["nx"] = ei.nx;
  return d;
}

// A measured-intensity file from arrays [thickness, reflection, point] on
// an nx x nx grid spanning [xmin, xmax] x [ymin, ymax] (units of g1/2).
void write_measured(const std::string& path, py::array_t<double, py::array::c_style | py::array::forcecast> intensity,
                    py::array_t<double, py::array::c_style | py::array::forcecast> sd,
                    const std::vector<std::array<int, 3>>& hkl, int nx, std::array<double, 4> range) {
  if (intensity.ndim() != 3 || sd.ndim() != 3)
    throw std::invalid_argument("intensity and sd must be arrays [thickness, reflection, point]");
  for (int k = 0; k < 3; ++k)
    if (intensity.shape(k) != sd.shape(k)) throw std::invalid_argument("intensity and sd differ in shape");
  fei ei;
  ei.num_thickness = static_cast<int>(intensity.shape(0));
  ei.num_rg = static_cast<int>(intensity.shape(1));
  ei.npix = static_cast<int>(intensity.shape(2));
  ei.nx = nx;
  if (static_cast<int>(hkl.size()) != ei.num_rg) throw std::invalid_argument("one hkl is needed per reflection");
  if (nx < 2 || ei.npix != nx * nx) throw std::invalid_argument("the points must form an nx x nx grid");
  ei.xmin = range[0];
  ei.xmax = range[1];
  ei.ymin = range[2];
  ei.ymax = range[3];
  for (const auto& g : hkl) ei.rg.push_back(Hkl{g[0], g[1], g[2]});
  ei.obs_int = Tensor3<double>(ei.num_rg, ei.num_thickness, ei.npix);
  ei.obs_sig = Tensor3<double>(ei.num_rg, ei.num_thickness, ei.npix);
  auto I = intensity.unchecked<3>();
  auto S = sd.unchecked<3>();
  for (int t = 0; t < ei.num_thickness; ++t)
    for (int r = 0; r < ei.num_rg; ++r)
      for (int p = 0; p < ei.npix; ++p) {
        if (!std::isfinite(I(t, r, p)) || !std::isfinite(S(t, r, p)))
          throw std::invalid_argument("intensity and sd must be finite numbers");
        ei.obs_int(r, t, p) = I(t, r, p);
        ei.obs_sig(r, t, p) = S(t, r, p);
      }
  std::lock_guard<std::mutex> lock(program_mutex());
  forget_input_files();
  output_int_file(path, ei, "written by the korvex Python module");
}

// talvis fitfile: the fit-mode file of a SIM_MODE file and a measured file,
// every parameter FIX, in the measured file's folder.
std::string fit_file(const std::string& sim_parameter_file, const std::string& measured_file) {
  const fs::path sim = fs::absolute(sim_parameter_file), measured = fs::absolute(measured_file);
  std::lock_guard<std::mutex> lock(program_mutex());
  InFolder in(measured.parent_path());
  CapturedStdout quiet;
  forget_input_files();
  read_ini_file();
  const std::string name = write_fit_skeleton(sim.string(), measured.filename().string());
  return (measured.parent_path() / fs::path(name).filename()).string();
}

// A FIT_RESULT file (the calculated disks of a refinement's start or end),
// read with its measured-intensity file as the scans read it.
py::dict read_fit_result(const std::string& path, const std::string& measured_file) {
  fei ei;
  BeamList rg;
  std::vector<double> weight;
  {
    std::lock_guard<std::mutex> lock(program_mutex());
    read_int_file(ei, measured_file);
    read_res_data(ei, &rg, &weight, path);
  }
  const py::ssize_t T = ei.num_thickness, R = ei.num_rg, K = ei.num_cal_pix;
  py::array_t<double> cal({T, R, K});
  for (py::ssize_t t = 0; t < T; ++t)
    for (py::ssize_t r = 0; r < R; ++r)
      for (py::ssize_t k = 0; k < K; ++k) cal.mutable_at(t, r, k) = ei.cal_int(r, t, k);
  std::vector<int> hkl, flag;
  std::vector<double> H, G;
  for (const Hkl& g : rg) hkl.insert(hkl.end(), {g.h, g.k, g.l});
  for (const pix_point& q : ei.cal_pix) {
    H.push_back(q.x);
    G.push_back(q.y);
    flag.push_back(q.flag);
  }
  py::dict d;
  d["calculated"] = cal;
  d["hkl"] = array(hkl, {R, 3});
  d["weight"] = array(weight, {R});
  d["H"] = array(H, {K});
  d["G"] = array(G, {K});
  d["inside"] = array(flag, {K});
  d["side"] = ei.num_cal_pix_side;
  return d;
}

}  // namespace

PYBIND11_MODULE(_korvex, m) {
  kv::hdf5_no_exit_cleanup();
  m.doc() = "korvex: many-beam Bloch-wave CBED simulation and refinement";
  py::register_exception<kv::FatalError>(m, "Error");
  m.def("run", &run_job, py::arg("parameter_file"), py::arg("workdir") = py::none(),
        "Runs any korvex job as the program runs it, in workdir (default: the working folder). Returns "
        "{'status', 'paths', 'output', 'log'}; a refusal raises korvex.Error with the program's message.");
  m.def("simulate", &simulate_file, py::arg("parameter_file"), py::arg("thickness") = py::none(),
        py::arg("num_threads") = py::none(), py::arg("progress") = py::none(),
        "Simulates the crystal and condition of a SIM_MODE or SIM_COHERENT_MODE file and returns numpy "
        "arrays: 'intensity' (or 'amplitude') [thickness, reflection, tilt], 'H', 'G' (units of g1/2), "
        "'H_mrad', 'G_mrad', 'inside', 'hkl', 'beams', 'vg', 'thickness'. Writes no file.");
  m.def("read_result", &read_result, py::arg("path"),
        "Reads a SIM_RESULT (or SIM_COHERENT_RESULT) file: 'intensity' (or complex 'amplitude') [reflection, "
        "tilt], 'hkl', 'H', 'G', 'inside', 'side', 'thickness', 'cell', 'incidence', 'g1', 'tilt_centre'.");
  m.def("read_measured", &read_measured, py::arg("path"),
        "Reads a measured-intensity file: 'intensity' and 'sd' [thickness, reflection, point], 'hkl', 'H', "
        "'G' (units of g1/2), 'nx'.");
  m.def("write_measured", &write_measured, py::arg("path"), py::arg("intensity"), py::arg("sd"), py::arg("hkl"),
        py::arg("nx"), py::arg("range"),
        "Writes a measured-intensity file from arrays [thickness, reflection, point] on an nx x nx grid; range: "
        "(xmin, xmax, ymin, ymax) in units of g1/2 from the tilt centre; a negative sd leaves a point out.");
  m.def("fit_file", &fit_file, py::arg("sim_parameter_file"), py::arg("measured_file"),
        "As talvis fitfile: writes the fit-mode file of a SIM_MODE file and a measured file beside the measured "
        "file, every parameter FIX; returns its path.");
  m.def("read_fit_result", &read_fit_result, py::arg("path"), py::arg("measured_file"),
        "Reads a FIT_RESULT file with its measured-intensity file: 'calculated' [thickness, reflection, point] "
        "(0 where the point takes no part), 'hkl', 'weight', 'H', 'G', 'inside', 'side'.");
  m.def("read_fit", &read_fit, py::arg("path"),
        "Reads the record of a refinement (NAME_fit.h5): parameters, uncertainties, covariance and, per "
        "dataset, the measured points with the model at the start and at the end.");
}
