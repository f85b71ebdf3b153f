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

#include "bloch/potential.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "model/condition.hpp"
#include "crystal/crystal.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/qzio.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// The crystal as the run used it (after its constraints): cell, space
// group and every site with its displacement and occupancy.
void crystal_group(H5Out& h, const csd& c) {
  h.described("crystal/cell_lengths", {3}, c.lp.data(), "angstrom", "a, b, c");
  h.described("crystal/cell_angles", {3}, c.lp.data() + 3, "degree", "alpha, beta, gamma");
  const int sg = c.sp_grp_no;
  h.described("crystal/space_group", {1}, &sg, "1", "space-group number of the International Tables");
  const hsize_t n = c.atoms.size();
  std::string names;
  std::vector<double> xyz, b, beta, occ, mult;
  std::vector<int> aniso;
  for (const atom& a : c.atoms) {
    names += a.name + "\n";
    xyz.insert(xyz.end(), {a.x, a.y, a.z});
    b.push_back(a.b_iso);
    beta.insert(beta.end(), {a.beta11, a.beta22, a.beta33, a.beta12, a.beta13, a.beta23});
    occ.push_back(a.occ);
    mult.push_back(a.multiplicity);
    aniso.push_back(a.bf);
  }
  h.text_dataset("crystal/sites/name", names, "element or ion of each site, one a line");
  h.object_text("crystal/sites/name", "unit", "text");
  h.described("crystal/sites/xyz", {n, 3}, xyz.data(), "fraction of the cell edges", "fractional coordinates x, y, z");
  h.described("crystal/sites/B", {n}, b.data(), "angstrom^2",
              "isotropic Debye-Waller factor B (B equivalent for an anisotropic site)");
  h.described("crystal/sites/beta", {n, 6}, beta.data(), "1",
              "anisotropic displacement beta11 beta22 beta33 beta12 beta13 beta23, in exp(-sum beta_ij h_i h_j); "
              "used where anisotropic is 1");
  h.described("crystal/sites/anisotropic", {n}, aniso.data(), "1", "1 when the site's displacement is anisotropic");
  h.described("crystal/sites/occupancy", {n}, occ.data(), "1", "site occupancy");
  h.described("crystal/sites/multiplicity", {n}, mult.data(), "1",
              "distinct positions of the site divided by the number of symmetry operations");
}

// The run-control values and the parameter file's text, so that the file
// says how it was made.
void run_record_group(H5Out& h) {
  std::string keys;
  std::vector<double> values;
  for (const auto& [k, v] : run_control_keys(epsilon)) {
    keys += k + "\n";
    values.push_back(v);
  }
  h.text_dataset("run_control/name", keys, "EPS_CONTROL_PARAMETERS keys, one a line");
  h.object_text("run_control/name", "unit", "text");
  h.described("run_control/value", {values.size()}, values.data(), "as the key",
              "the value the run used for each key (given or default)");
  h.text_dataset("input/parameter_file", dbg.parameter_text, "the parameter file's text as the run read it");
  h.object_text("input/parameter_file", "unit", "text");
}

// The beams of the structure matrix with the potential of each: F_g and V_g
// as complex numbers (real, imaginary), elastic and absorptive together.
void beams_group(H5Out& h, const sd& s, const csd& c) {
  const int n = s.num_exact_beam + s.num_bethe_beam;
  if (n < 1 || static_cast<std::size_t>(n) > s.beams.size()) return;
  const lattice_metric lm = bravai(c.lp.data());
  csd copy = c;
  const std::vector<complex> vg = beam_potentials(s.beams, n, copy, s.voltage, lm);
  const double per_fg = fg_to_vg(complex{1.0, 0.0}, lm).re;
  std::vector<int> hkl, exact;
  std::vector<double> v, f;
  for (int i = 0; i < n; ++i) {
    hkl.insert(hkl.end(), {s.beams[i].h, s.beams[i].k, s.beams[i].l});
    exact.push_back(i < s.num_exact_beam ? 1 : 0);
    v.insert(v.end(), {vg[i].re, vg[i].im});
    f.insert(f.end(), {vg[i].re / per_fg, vg[i].im / per_fg});
  }
  const hsize_t nb = static_cast<hsize_t>(n);
  h.described("beams/hkl", {nb, 3}, hkl.data(), "1", "Miller indices of every beam of the structure matrix");
  h.described("beams/exact", {nb}, exact.data(), "1", "1 for an exact beam, 0 for a Bethe (perturbation) beam");
  h.described("beams/Fg", {nb, 2}, f.data(), "angstrom",
              "electron structure factor F_g (real, imaginary: elastic and absorptive together) the run used");
  h.described("beams/Vg", {nb, 2}, v.data(), "volt", "Fourier coefficient V_g of the crystal potential (real, imaginary)");
}

// The computed pattern once more as an EMD 1.0 data group, so that readers
// of that convention (ncempy, py4DSTEM, Hyperspy's EMD reader) find it:
// /data/cbed holds `data` (a soft link to the dataset, stored once) and one
// dimension vector per axis with its name and units.
void emd_group(H5Out& h, const char* dataset, const sd& s, bool amplitude) {
  h.attr("version_major", 0);
  h.attr("version_minor", 2);
  h.group("data/cbed");
  h.object_int("data/cbed", "emd_group_type", 1);
  h.link(dataset, "data/cbed/data");
  std::vector<double> reflection(static_cast<std::size_t>(s.num_g)), tilt(static_cast<std::size_t>(s.num_k_points));
  std::iota(reflection.begin(), reflection.end(), 0.0);
  std::iota(tilt.begin(), tilt.end(), 0.0);
  struct Dim {
    const char* path;
    const std::vector<double>* v;
    const char* name;
    const char* units;
  };
  std::vector<Dim> dims = {{"data/cbed/dim1", &reflection, "reflection (row of hkl)", "[n_m]"},
                           {"data/cbed/dim2", &s.thickness, "thickness", "A"},
                           {"data/cbed/dim3", &tilt, "tilt (row of tilt/H, tilt/G)", "[n_m]"}};
  std::vector<double> part = {0.0, 1.0};
  if (amplitude) dims.push_back({"data/cbed/dim4", &part, "real, imaginary", "[n_m]"});
  for (const Dim& d : dims) {
    h.described(d.path, {d.v->size()}, d.v->data(), d.units, std::string("EMD dimension: ") + d.name);
    h.object_text(d.path, "name", d.name);
    h.object_text(d.path, "units", d.units);
  }
}

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
  crystal_group(h, c);
  run_record_group(h);
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
  h.described("hkl", {ng, 3}, output_hkl(s).data(), "1", "Miller indices of the output reflections");
  std::vector<double> pos;
  for (int i = 0; i < s.num_g; ++i) {
    double x = 0, y = 0;
    proj_to_zolz(s.beams[s.cal_g[i]], s.incidence, s.zolzbase1, lm, &x, &y);
    pos.insert(pos.end(), {2.0 * x, 2.0 * y});
  }
  h.described("position_HG", {ng, 2}, pos.data(), "g1/2", "centre of each reflection's disk in the pattern (H, G)");
  h.described("thickness", {nt}, s.thickness.data(), "angstrom", "specimen thicknesses");

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
  h.described("tilt/H", {nk}, H.data(), "g1/2", "tilt of the incident beam along g1");
  h.described("tilt/G", {nk}, G.data(), "g1/2", "tilt of the incident beam along g2");
  h.described("tilt/kx_mrad", {nk}, mx.data(), "mrad", "tilt along g1 as an angle from the zone axis");
  h.described("tilt/ky_mrad", {nk}, my.data(), "mrad", "tilt along g2 as an angle from the zone axis");
  h.described("tilt/ih", {nk}, ih.data(), "1", "column of the tilt on the calculation grid");
  h.described("tilt/ig", {nk}, ig.data(), "1", "row of the tilt on the calculation grid");
  h.described("tilt/inside", {nk}, inside.data(), "1", "1 for a tilt inside the disk (computed), 0 outside");

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
    h.described("amplitude", {ng, nt, nk, 2}, a.data(), "sqrt(intensity_scaling) x incident amplitude",
                "complex amplitude (real, imaginary) [reflection][thickness][tilt]");
  } else {
    std::vector<double> v(ng * nt * nk);
    for (hsize_t i = 0; i < ng; ++i)
      for (hsize_t t = 0; t < nt; ++t)
        for (hsize_t k = 0; k < nk; ++k) v[(i * nt + t) * nk + k] = s.intensity(i, t, k);
    h.described("intensity", {ng, nt, nk}, v.data(), "intensity_scaling x incident intensity",
                "intensity [reflection][thickness][tilt]; the incident beam carries intensity_scaling");
  }
  beams_group(h, s, c);
  emd_group(h, amplitude ? "amplitude" : "intensity", s, amplitude != nullptr);
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
  h.described("hkl", {ng, 3}, output_hkl(s).data(), "1", "Miller indices of the output reflections");
  h.described("thickness", {nt}, s.thickness.data(), "angstrom", "specimen thicknesses");
  std::vector<double> in(ng * nt), a(ng * nt * 2);
  for (hsize_t i = 0; i < ng; ++i)
    for (hsize_t t = 0; t < nt; ++t) {
      in[i * nt + t] = intensity[i][t];
      const complex v = amplitude(i, t, 0);
      a[(i * nt + t) * 2] = v.re;
      a[(i * nt + t) * 2 + 1] = v.im;
    }
  h.described("intensity", {ng, nt}, in.data(), "intensity_scaling x incident intensity",
              "intensity [reflection][thickness] at the job's tilt");
  h.described("amplitude", {ng, nt, 2}, a.data(), "sqrt(intensity_scaling) x incident amplitude",
              "complex amplitude (real, imaginary) [reflection][thickness] at the job's tilt");
  beams_group(h, s, c);
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
    h.described(l.name.c_str(), d, l.values.data(), l.unit, l.name + " on the map grid");
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
  if (!read_double("intensity_scaling", &e.intensity_scaling) || !std::isfinite(e.intensity_scaling) ||
      !(e.intensity_scaling > 0))
    e.intensity_scaling = 0.0;
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
