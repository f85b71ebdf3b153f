#include "results/fit_hdf5.hpp"

#include <hdf5.h>

#include <cmath>
#include <sstream>

#include "results/h5_file.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

using dims_t = std::vector<hsize_t>;

std::string join_lines(const std::vector<std::string>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "\n" : "") + v[i];
  return s;
}

std::vector<std::string> split_lines(const std::string& s, std::size_t n) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string line;
  while (out.size() < n && std::getline(in, line)) out.push_back(line);
  out.resize(n);
  return out;
}

void write_dataset_group(H5Out& h, const std::string& g, const fit_dataset_record& d) {
  const hsize_t R = d.reflections.size(), P = d.pix_x.size(), B = d.thickness_final.size();
  const hsize_t K = d.cal_x.size();
  auto name = [&](const char* leaf) { return g + "/" + leaf; };
  h.text_dataset(name("int_file").c_str(), d.int_file, "the measured-intensity file of the dataset");
  h.described(name("voltage").c_str(), {1}, &d.voltage, "kV", "accelerating voltage");
  const int uvw[3] = {d.incidence.h, d.incidence.k, d.incidence.l};
  h.described(name("incidence").c_str(), {3}, uvw, "1", "zone axis [u v w]");
  h.described(name("g1").c_str(), {3}, d.g1, "1", "first in-plane reciprocal vector (h k l)");
  h.described(name("tilt_centre").c_str(), {2}, d.tilt_centre, "g1/2", "tilt of the disk centre (H, G)");
  h.described(name("disksize").c_str(), {1}, &d.disksize, "g1/2", "radius of the calculated disk");
  std::vector<int> hkl;
  for (const Hkl& r : d.reflections) hkl.insert(hkl.end(), {r.h, r.k, r.l});
  h.described(name("hkl").c_str(), {R, 3}, hkl.data(), "1", "measured reflections, in the measured file's order");
  h.described(name("nx").c_str(), {1}, &d.nx, "1", "pixels of the measured grid along H");
  h.described(name("pixel_x").c_str(), {P}, d.pix_x.data(), "g1/2", "H of each measured pixel from the disk centre");
  h.described(name("pixel_y").c_str(), {P}, d.pix_y.data(), "g1/2", "G of each measured pixel from the disk centre");
  h.described(name("pixel_ix").c_str(), {P}, d.pix_ix.data(), "1", "column of each measured pixel");
  h.described(name("pixel_iy").c_str(), {P}, d.pix_iy.data(), "1", "row of each measured pixel");
  h.described(name("thickness_start").c_str(), {B}, d.thickness_start.data(), "angstrom",
              "thickness of each block at the start");
  h.described(name("thickness_final").c_str(), {B}, d.thickness_final.data(), "angstrom",
              "thickness of each block refined");
  h.described(name("scale_start").c_str(), {B}, d.scale_start.data(), "measured units per scaled intensity",
              "scale of each block at the start");
  h.described(name("scale_final").c_str(), {B}, d.scale_final.data(), "measured units per scaled intensity",
              "scale of each block refined");
  const double r[2] = {d.r_start, d.r_final};
  h.described(name("r_factor").c_str(), {2}, r, "1", "sum |obs - cal| / sum |obs| at the start and refined");
  const dims_t brp{B, R, P};
  h.described(name("obs").c_str(), brp, d.obs.data(), "measured units", "measured intensity [block][reflection][pixel]");
  h.described(name("sd").c_str(), brp, d.sd.data(), "measured units",
              "standard deviation of the measured intensity; negative: the point is ignored");
  h.described(name("mask").c_str(), brp, d.mask.data(), "1", "1 where the point takes part in chi-squared");
  h.described(name("sd_fit").c_str(), brp, d.sd_fit.data(), "measured units",
              "deviation the refinement weighted the point with at the end, 1/sqrt(weight) (-1 where mask is 0)");
  h.described(name("model_start").c_str(), brp, d.model_start.data(), "measured units",
              "calculated intensity at the measured point, scaled, at the start (0 where mask is 0)");
  h.described(name("model_final").c_str(), brp, d.model_final.data(), "measured units",
              "calculated intensity at the measured point, scaled, refined (0 where mask is 0)");
  std::vector<double> residual(d.obs.size(), 0.0);
  for (std::size_t i = 0; i < residual.size(); ++i)
    if (d.mask[i] && d.sd_fit[i] > 0) residual[i] = (d.obs[i] - d.model_final[i]) / d.sd_fit[i];
  h.described(name("residual").c_str(), brp, residual.data(), "1",
              "(obs - model_final) / sd_fit where mask is 1, else 0");
  h.described(name("cal_side").c_str(), {1}, &d.cal_side, "1", "points a side of the calculated grid");
  h.described(name("cal_x").c_str(), {K}, d.cal_x.data(), "g1/2", "H of each calculated point");
  h.described(name("cal_y").c_str(), {K}, d.cal_y.data(), "g1/2", "G of each calculated point");
  h.described(name("cal_flag").c_str(), {K}, d.cal_flag.data(), "1", "1 inside the calculated disk");
  h.described(name("cal_final").c_str(), dims_t{B, R, K}, d.cal_final.data(), "measured units",
              "refined model on the calculated grid, scaled [block][reflection][point], as in the FIT_RESULT files");
}

}  // namespace

void write_fit_hdf5(const std::string& path, const fit_record& rec) {
  H5Out h(path);
  h.attr("program", std::string("korvex"));
  h.attr("program_version", std::string(KV_VERSION));
  h.attr("job", std::string("FIT_MODE"));
  h.attr("base_name", rec.base_name);
  h.attr("stop_reason", rec.stop_reason);
  h.attr("num_datasets", static_cast<int>(rec.datasets.size()));

  const hsize_t P = rec.params.size();
  std::vector<std::string> names;
  std::vector<int> flags;
  std::vector<double> start, fin, su;
  for (const fit_param_record& p : rec.params) {
    names.push_back(p.name);
    flags.push_back(p.flag);
    start.push_back(p.start);
    fin.push_back(p.final_value);
    su.push_back(p.su);
  }
  h.text_dataset("parameters/name", join_lines(names), "names of the refined parameters, one a line");
  h.described("parameters/flag", {P}, flags.data(), "1", "2 ADJ (adjusted), 1 RST (restrained)");
  h.described("parameters/start", {P}, start.data(), "as the parameter", "value at the start");
  h.described("parameters/final", {P}, fin.data(), "as the parameter", "refined value");
  h.described("parameters/su", {P}, su.data(), "as the parameter",
              "standard uncertainty, scaled by the square root of the reduced chi-squared");
  h.described("parameters/covariance", {P, P}, rec.covariance.data(), "product of the parameters' units",
              "covariance of the refined parameters, scaled by the reduced chi-squared");
  h.described("parameters/correlation", {P, P}, rec.correlation.data(), "1", "correlation coefficients");
  const double fit[3] = {rec.chisq, rec.reduced, static_cast<double>(rec.dof)};
  h.described("fit/chisq", {3}, fit, "1", "chi-squared, reduced chi-squared, degrees of freedom at the end");
  h.described("fit/corr_threshold", {1}, &rec.corr_threshold, "1", "correlations above it are reported");
  h.described("crystal/cell", {6}, rec.cell, "angstrom, degrees", "refined cell: a, b, c, alpha, beta, gamma");

  const hsize_t I = rec.history.size();
  std::vector<int> it;
  std::vector<double> chisq, reduced, lambda;
  for (const fit_iteration_record& r : rec.history) {
    it.push_back(r.iteration);
    chisq.push_back(r.chisq);
    reduced.push_back(r.reduced);
    lambda.push_back(r.lambda);
  }
  h.described("history/iteration", {I}, it.data(), "1", "iteration number");
  h.described("history/chisq", {I}, chisq.data(), "1", "chi-squared after the iteration");
  h.described("history/reduced_chisq", {I}, reduced.data(), "1", "reduced chi-squared");
  h.described("history/lambda", {I}, lambda.data(), "1", "Marquardt's lambda");

  std::vector<std::string> keys;
  std::vector<double> values;
  for (const auto& [k, v] : rec.run_control) {
    keys.push_back(k);
    values.push_back(v);
  }
  h.text_dataset("run_control/name", join_lines(keys), "EPS_CONTROL_PARAMETERS keys, one a line");
  h.described("run_control/value", {keys.size()}, values.data(), "as the key", "the value used for each key");

  for (std::size_t i = 0; i < rec.inputs.size(); ++i) {
    const std::string g = "inputs/" + std::to_string(i);
    h.text_dataset((g + "/name").c_str(), rec.inputs[i].first, "name of the input file");
    h.text_dataset((g + "/text").c_str(), rec.inputs[i].second, "the input file's text as read");
  }
  for (std::size_t i = 0; i < rec.datasets.size(); ++i)
    write_dataset_group(h, "datasets/" + std::to_string(i), rec.datasets[i]);
  h.commit();
}

namespace {

// Reads what write_fit_hdf5 wrote; every missing or malformed item is one
// message naming the file and the item.
class FitReader {
 public:
  explicit FitReader(const std::string& path)
      : path_(path), file_((quiet_hdf5(), H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)), H5Fclose) {
    if (!file_.ok()) fatal_out("$$ Cannot read %s as an HDF5 file. Abort.\n", path.c_str());
  }

  template <class T>
  std::vector<T> numbers(const std::string& name, std::size_t expected = static_cast<std::size_t>(-1)) {
    H5Handle d(H5Dopen2(file_.get(), name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!d.ok()) missing(name);
    H5Handle space(H5Dget_space(d.get()), H5Sclose);
    const hssize_t n = H5Sget_simple_extent_npoints(space.get());
    if (n < 0 || (expected != static_cast<std::size_t>(-1) && static_cast<std::size_t>(n) != expected))
      fatal_out("$$ %s: %s holds %lld values, %zu expected. Abort.\n", path_.c_str(), name.c_str(),
                static_cast<long long>(n), expected);
    std::vector<T> v(static_cast<std::size_t>(n));
    const hid_t mem = std::is_same_v<T, int> ? H5T_NATIVE_INT : H5T_NATIVE_DOUBLE;
    if (n > 0 && H5Dread(d.get(), mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, v.data()) < 0) missing(name);
    return v;
  }

  std::string text(const std::string& name) {
    H5Handle d(H5Dopen2(file_.get(), name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!d.ok()) missing(name);
    H5Handle type(H5Dget_type(d.get()), H5Tclose);
    if (H5Tget_class(type.get()) != H5T_STRING) missing(name);
    const std::size_t n = H5Tget_size(type.get());
    std::string buf(n + 1, '\0');
    H5Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(mem.get(), n + 1);
    if (H5Dread(d.get(), mem.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()) < 0) missing(name);
    return buf.c_str();
  }

  std::string attr_text(const char* name) {
    H5Handle a(H5Aopen(file_.get(), name, H5P_DEFAULT), H5Aclose);
    if (!a.ok()) missing(name);
    H5Handle type(H5Aget_type(a.get()), H5Tclose);
    const std::size_t n = H5Tget_size(type.get());
    std::string buf(n + 1, '\0');
    H5Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(mem.get(), n + 1);
    if (H5Tget_class(type.get()) != H5T_STRING || H5Aread(a.get(), mem.get(), buf.data()) < 0) missing(name);
    return buf.c_str();
  }

  int attr_int(const char* name) {
    int v = 0;
    H5Handle a(H5Aopen(file_.get(), name, H5P_DEFAULT), H5Aclose);
    if (!a.ok() || H5Aread(a.get(), H5T_NATIVE_INT, &v) < 0) missing(name);
    return v;
  }

  bool exists(const std::string& name) { return H5Lexists(file_.get(), name.c_str(), H5P_DEFAULT) > 0; }

  [[noreturn]] void missing(const std::string& name) {
    fatal_out("$$ %s is not a fit record of korvex: %s is missing or unreadable. Abort.\n", path_.c_str(),
              name.c_str());
  }

 private:
  std::string path_;
  H5Handle file_;
};

fit_dataset_record read_dataset_group(FitReader& f, const std::string& g) {
  fit_dataset_record d;
  auto name = [&](const char* leaf) { return g + "/" + leaf; };
  d.int_file = f.text(name("int_file"));
  d.voltage = f.numbers<double>(name("voltage"), 1)[0];
  const std::vector<int> uvw = f.numbers<int>(name("incidence"), 3);
  d.incidence = Hkl{uvw[0], uvw[1], uvw[2]};
  const std::vector<double> g1 = f.numbers<double>(name("g1"), 3);
  std::copy(g1.begin(), g1.end(), d.g1);
  const std::vector<double> tc = f.numbers<double>(name("tilt_centre"), 2);
  d.tilt_centre[0] = tc[0];
  d.tilt_centre[1] = tc[1];
  d.disksize = f.numbers<double>(name("disksize"), 1)[0];
  const std::vector<int> hkl = f.numbers<int>(name("hkl"));
  for (std::size_t i = 0; i + 2 < hkl.size(); i += 3) d.reflections.push_back(Hkl{hkl[i], hkl[i + 1], hkl[i + 2]});
  d.nx = f.numbers<int>(name("nx"), 1)[0];
  d.pix_x = f.numbers<double>(name("pixel_x"));
  const std::size_t P = d.pix_x.size(), R = d.reflections.size();
  d.pix_y = f.numbers<double>(name("pixel_y"), P);
  d.pix_ix = f.numbers<int>(name("pixel_ix"), P);
  d.pix_iy = f.numbers<int>(name("pixel_iy"), P);
  d.thickness_start = f.numbers<double>(name("thickness_start"));
  const std::size_t B = d.thickness_start.size();
  d.thickness_final = f.numbers<double>(name("thickness_final"), B);
  d.scale_start = f.numbers<double>(name("scale_start"), B);
  d.scale_final = f.numbers<double>(name("scale_final"), B);
  const std::vector<double> r = f.numbers<double>(name("r_factor"), 2);
  d.r_start = r[0];
  d.r_final = r[1];
  const std::size_t n = B * R * P;
  d.obs = f.numbers<double>(name("obs"), n);
  d.sd = f.numbers<double>(name("sd"), n);
  d.mask = f.numbers<int>(name("mask"), n);
  d.sd_fit = f.numbers<double>(name("sd_fit"), n);
  d.model_start = f.numbers<double>(name("model_start"), n);
  d.model_final = f.numbers<double>(name("model_final"), n);
  d.cal_side = f.numbers<int>(name("cal_side"), 1)[0];
  d.cal_x = f.numbers<double>(name("cal_x"));
  const std::size_t K = d.cal_x.size();
  d.cal_y = f.numbers<double>(name("cal_y"), K);
  d.cal_flag = f.numbers<int>(name("cal_flag"), K);
  d.cal_final = f.numbers<double>(name("cal_final"), B * R * K);
  if (d.nx < 1 || P % static_cast<std::size_t>(d.nx) != 0)
    fatal_out("$$ %s: nx = %d does not divide the %zu pixels. Abort.\n", g.c_str(), d.nx, P);
  return d;
}

}  // namespace

fit_record read_fit_hdf5(const std::string& path) {
  FitReader f(path);
  fit_record rec;
  if (f.attr_text("job") != "FIT_MODE") f.missing("job FIT_MODE");
  rec.base_name = f.attr_text("base_name");
  rec.stop_reason = f.attr_text("stop_reason");
  const int D = f.attr_int("num_datasets");
  const std::vector<int> flags = f.numbers<int>("parameters/flag");
  const std::size_t P = flags.size();
  const std::vector<std::string> names = split_lines(f.text("parameters/name"), P);
  const std::vector<double> start = f.numbers<double>("parameters/start", P);
  const std::vector<double> fin = f.numbers<double>("parameters/final", P);
  const std::vector<double> su = f.numbers<double>("parameters/su", P);
  for (std::size_t j = 0; j < P; ++j) rec.params.push_back(fit_param_record{names[j], flags[j], start[j], fin[j], su[j]});
  rec.covariance = f.numbers<double>("parameters/covariance", P * P);
  rec.correlation = f.numbers<double>("parameters/correlation", P * P);
  const std::vector<double> fit = f.numbers<double>("fit/chisq", 3);
  rec.chisq = fit[0];
  rec.reduced = fit[1];
  rec.dof = static_cast<int>(fit[2]);
  rec.corr_threshold = f.numbers<double>("fit/corr_threshold", 1)[0];
  const std::vector<double> cell = f.numbers<double>("crystal/cell", 6);
  std::copy(cell.begin(), cell.end(), rec.cell);
  const std::vector<int> it = f.numbers<int>("history/iteration");
  const std::size_t I = it.size();
  const std::vector<double> chisq = f.numbers<double>("history/chisq", I);
  const std::vector<double> reduced = f.numbers<double>("history/reduced_chisq", I);
  const std::vector<double> lambda = f.numbers<double>("history/lambda", I);
  for (std::size_t i = 0; i < I; ++i) rec.history.push_back({it[i], chisq[i], reduced[i], lambda[i]});
  const std::vector<double> values = f.numbers<double>("run_control/value");
  const std::vector<std::string> keys = split_lines(f.text("run_control/name"), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) rec.run_control.emplace_back(keys[i], values[i]);
  for (int i = 0; f.exists("inputs/" + std::to_string(i)); ++i) {
    const std::string g = "inputs/" + std::to_string(i);
    rec.inputs.emplace_back(f.text(g + "/name"), f.text(g + "/text"));
  }
  for (int i = 0; i < D; ++i) rec.datasets.push_back(read_dataset_group(f, "datasets/" + std::to_string(i)));
  return rec;
}

}  // namespace kv
