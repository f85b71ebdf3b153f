#include "results/hdf5_export.hpp"

#include "crystal/formula.hpp"

#include "results/h5_file.hpp"

#include <cerrno>
#include <hdf5.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <numeric>

#include "crystal/lattice.hpp"
#include "model/condition.hpp"
#include "crystal/crystal.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/qzio.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Attributes every export carries.
void common_attributes(H5Out& h, const std::string& job, const sd& s, const csd& c) {
  h.attr("program", std::string("korvex"));
  h.attr("program_version", std::string(KV_VERSION));
  h.attr("job", job);
  h.attr("crystal", crystal_label(c));
  h.attr("space_group", c.sp_grp_no);
  h.attr_array("cell", c.lp.data(), 6);
  h.attr("voltage_kV", s.voltage);
  h.attr("wavelength_A", wavelength(s.voltage));
  const int inc[3] = {s.incidence.h, s.incidence.k, s.incidence.l};
  const int nor[3] = {s.normal.h, s.normal.k, s.normal.l};
  h.attr_array("incidence", inc, 3);
  h.attr_array("normal", nor, 3);
  h.attr_array("g1", s.zolzbase1.data(), 3);
  h.attr("num_exact_beam", s.num_exact_beam);
  h.attr("num_bethe_beam", s.num_bethe_beam);
  h.attr("intensity_scaling", epsilon.intensity_scaling);
}

std::vector<int> output_hkl(const sd& s) {
  std::vector<int> hkl;
  for (int i = 0; i < s.num_g; ++i) {
    const Hkl& g = s.beams[s.cal_g[i]];
    hkl.insert(hkl.end(), {g.h, g.k, g.l});
  }
  return hkl;
}

// Element symbol of a site name: the leading letters ("Ga", "O2-" -> "O").
std::string element_of(const std::string& name) {
  std::string e;
  for (char ch : name) {
    if (!std::isalpha(static_cast<unsigned char>(ch))) break;
    e += ch;
  }
  return e.empty() ? name : e;
}

}  // namespace

std::string crystal_label(const csd& c) {
  // A formula that came with the crystal (a CIF's) names it as written.
  if (!c.formula.empty()) return c.formula;
  // Positions per element: multiplicity x occupancy summed over the sites,
  // in formula units, electropositive element first.
  std::vector<std::pair<std::string, double>> count;
  for (const atom& a : c.atoms) {
    const std::string e = element_of(a.name);
    auto it = std::find_if(count.begin(), count.end(), [&](const auto& x) { return x.first == e; });
    if (it == count.end()) it = count.insert(count.end(), {e, 0.0});
    it->second += a.multiplicity * (a.occ > 0 ? a.occ : 1.0);
  }
  if (count.empty()) return "crystal";
  return formula_text(count, true);
}

std::string export_path_for_result(const std::string& result_file) {
  std::string b = remove_extention(result_file);
  // Strip one trailing "_rs<digits>" or "_<word>" suffix of the job's files.
  const std::size_t us = b.rfind('_');
  if (us != std::string::npos && us > 0) b = b.substr(0, us);
  return b + ".h5";
}

void write_cbed_hdf5(const std::string& base_name, const sd& s, const csd& c, const Tensor3<complex>* amplitude) {
  const std::string path = base_name + ".h5";
  H5Out h(path);
  common_attributes(h, amplitude ? "SIM_COHERENT_MODE" : "SIM_MODE", s, c);
  const lattice_metric lm = bravai(c.lp.data());
  const double lambda = wavelength(s.voltage);
  // One tilt unit (H = 1) is half of g1; in angle, lambda |g1| / 2.
  const double g1_len = std::sqrt(sq_abs(s.zolzbase1, lm));
  const double mrad_per_unit = 0.5 * g1_len * lambda * 1000.0;
  h.attr_array("g2", s.zolzbase2.data(), 3);
  const double tilt0[2] = {s.tiltH, s.tiltG};
  h.attr_array("tilt_centre_HG", tilt0, 2);
  h.attr("calc_type", s.calc_type);
  h.attr("num_cal_pix_side", s.num_cal_pix_side);
  h.attr("disk_radius_HG", s.disksize);
  h.attr("convergence_semiangle_mrad", s.disksize * mrad_per_unit);
  h.attr("mrad_per_HG_unit", mrad_per_unit);
  h.attr("inverse_angstrom_per_HG_unit", 0.5 * g1_len);
  if (amplitude) {
    h.attr("cs_A", s.cs);
    h.attr("defocus_A", s.defocus);
    h.attr_array("probe_position", s.probe.data(), 3);
  }

  const hsize_t ng = static_cast<hsize_t>(s.num_g), nt = static_cast<hsize_t>(s.num_thickness),
                nk = static_cast<hsize_t>(s.num_k_points);
  h.dataset("hkl", {ng, 3}, output_hkl(s).data());
  std::vector<double> pos;
  for (int i = 0; i < s.num_g; ++i) {
    double x = 0, y = 0;
    proj_to_zolz(s.beams[s.cal_g[i]], s.incidence, s.zolzbase1, lm, &x, &y);
    pos.insert(pos.end(), {2.0 * x, 2.0 * y});
  }
  h.dataset("position_HG", {ng, 2}, pos.data());
  h.dataset("thickness", {nt}, s.thickness.data());
  h.dataset_unit("thickness", "angstrom");

  std::vector<double> H(nk), G(nk), mx(nk), my(nk);
  std::vector<int> ih(nk), ig(nk), inside(nk);
  for (hsize_t k = 0; k < nk; ++k) {
    const k_point& q = s.kp[k];
    H[k] = q.H;
    G[k] = q.G;
    mx[k] = q.H * mrad_per_unit;
    my[k] = q.G * mrad_per_unit;
    ih[k] = q.ih;
    ig[k] = q.ig;
    inside[k] = q.flag;
  }
  h.dataset("tilt/H", {nk}, H.data());
  h.dataset("tilt/G", {nk}, G.data());
  h.dataset("tilt/kx_mrad", {nk}, mx.data());
  h.dataset("tilt/ky_mrad", {nk}, my.data());
  h.dataset("tilt/ih", {nk}, ih.data());
  h.dataset("tilt/ig", {nk}, ig.data());
  h.dataset("tilt/inside", {nk}, inside.data());

  if (amplitude) {
    const double scale = std::sqrt(epsilon.intensity_scaling);
    std::vector<double> a(ng * nt * nk * 2);
    for (hsize_t i = 0; i < ng; ++i)
      for (hsize_t t = 0; t < nt; ++t)
        for (hsize_t k = 0; k < nk; ++k) {
          const complex v = (*amplitude)(i, t, k);
          const hsize_t at = ((i * nt + t) * nk + k) * 2;
          a[at] = v.re * scale;
          a[at + 1] = v.im * scale;
        }
    h.dataset("amplitude", {ng, nt, nk, 2}, a.data());
  } else {
    std::vector<double> v(ng * nt * nk);
    for (hsize_t i = 0; i < ng; ++i)
      for (hsize_t t = 0; t < nt; ++t)
        for (hsize_t k = 0; k < nk; ++k) v[(i * nt + t) * nk + k] = s.intensity(i, t, k);
    h.dataset("intensity", {ng, nt, nk}, v.data());
  }
  h.commit();
  std::printf("Numeric export (HDF5) ==> %s\n", path.c_str());
}

void write_tfringe_hdf5(const std::string& base_name, const sd& s, const csd& c, const Tensor3<complex>& amplitude,
                        const std::vector<std::vector<double>>& intensity, const double kt[3]) {
  const std::string path = base_name + ".h5";
  H5Out h(path);
  common_attributes(h, "TFRINGE_MODE", s, c);
  h.attr_array("tilt_vector", kt, 3);
  const double tilt0[2] = {s.tiltH, s.tiltG};
  h.attr_array("tilt_centre_HG", tilt0, 2);
  const hsize_t ng = static_cast<hsize_t>(s.num_g), nt = static_cast<hsize_t>(s.num_thickness);
  h.dataset("hkl", {ng, 3}, output_hkl(s).data());
  h.dataset("thickness", {nt}, s.thickness.data());
  h.dataset_unit("thickness", "angstrom");
  std::vector<double> in(ng * nt), a(ng * nt * 2);
  for (hsize_t i = 0; i < ng; ++i)
    for (hsize_t t = 0; t < nt; ++t) {
      in[i * nt + t] = intensity[i][t];
      const complex v = amplitude(i, t, 0);
      a[(i * nt + t) * 2] = v.re;
      a[(i * nt + t) * 2 + 1] = v.im;
    }
  h.dataset("intensity", {ng, nt}, in.data());
  h.dataset("amplitude", {ng, nt, 2}, a.data());
  h.commit();
  std::printf("Numeric export (HDF5) ==> %s\n", path.c_str());
}

void write_map_hdf5(const std::string& base_name, const std::string& job, const sd& s, const csd& c,
                    const std::vector<std::size_t>& dims, const std::vector<MapLayer>& layers, const double* x1,
                    const double* x2) {
  const std::string path = base_name + ".h5";
  H5Out h(path);
  common_attributes(h, job, s, c);
  if (x1 && x2) {
    h.attr_array("x1", x1, 3);
    h.attr_array("x2", x2, 3);
  }
  const std::vector<hsize_t> d(dims.begin(), dims.end());
  for (const MapLayer& l : layers) {
    h.dataset(l.name.c_str(), d, l.values.data());
    h.dataset_unit(l.name.c_str(), l.unit);
  }
  h.commit();
  std::printf("Numeric export (HDF5) ==> %s\n", path.c_str());
}

std::optional<ExportInfo> read_export_info(const std::string& path) {
  quiet_hdf5();
  FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) return std::nullopt;
  std::fclose(probe);
  H5Handle f(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  if (!f.ok()) return std::nullopt;
  auto read_double = [&](const char* name, double* v) {
    H5Handle a(H5Aopen(f.get(), name, H5P_DEFAULT), H5Aclose);
    return a.ok() && H5Aread(a.get(), H5T_NATIVE_DOUBLE, v) >= 0;
  };
  auto read_int = [&](const char* name, int* v) {
    H5Handle a(H5Aopen(f.get(), name, H5P_DEFAULT), H5Aclose);
    return a.ok() && H5Aread(a.get(), H5T_NATIVE_INT, v) >= 0;
  };
  ExportInfo e;
  if (!read_double("voltage_kV", &e.voltage_kv) || !(e.voltage_kv > 0)) return std::nullopt;
  read_double("wavelength_A", &e.wavelength);
  read_int("num_exact_beam", &e.num_exact_beam);
  read_int("num_bethe_beam", &e.num_bethe_beam);
  read_int("incidence", e.incidence);
  read_double("tilt_centre_HG", e.tilt_centre);
  H5Handle a(H5Aopen(f.get(), "crystal", H5P_DEFAULT), H5Aclose);
  if (a.ok()) {
    H5Handle type(H5Aget_type(a.get()), H5Tclose);
    const std::size_t n = H5Tget_size(type.get());
    if (H5Tget_class(type.get()) == H5T_STRING && n > 0 && n < 256) {
      std::string buf(n + 1, '\0');
      H5Handle mem(H5Tcopy(H5T_C_S1), H5Tclose);
      H5Tset_size(mem.get(), n + 1);
      if (H5Aread(a.get(), mem.get(), buf.data()) >= 0) e.crystal = buf.c_str();
    }
  }
  return e;
}

}  // namespace kv
