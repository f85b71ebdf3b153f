#include "jobs/density_maps.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "beams/beam_select.hpp"
#include "beams/reflex_list.hpp"
#include "bloch/bloch_analysis.hpp"
#include "bloch/potential.hpp"
#include "input/crystal_data.hpp"
#include "input/fields.hpp"
#include "jobs/cell_map_views.hpp"
#include "results/hdf5_export.hpp"
#include "jobs/jobs.hpp"
#include "numeric/fft.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/progress.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;
// Largest number of points along one axis of a map grid.
constexpr int kMaxMapSide = 1024;

// The listing of the selected beams and the disk size the search saw.
void list_beams(sd& s, csd& c, const lattice_metric& lm) {
  reflex_dump_csd(0, s.num_exact_beam, s.num_bethe_beam, s.beams, c, s.bs, s.incidence, s.zolzbase1,
                  s.voltage, lm, s.beam_left_out);
  std::printf("$$disksize = %f\n", s.bs.disksize);
}

// BEAM_SEARCH{...} of a projected map or BEAM_SEARCH_3D{...} of a 3D map. The
// map has no tilt disk; the searches see a disk of size 1. The beams are
// listed once the whole condition block has been read, so that a refused
// block leaves no listing behind.
void fget_map_beam_block(sd& s, csd& c, FILE* fp, bool three_d) {
  chk_data(three_d ? "BEAM_SEARCH_3D{" : "BEAM_SEARCH{", fp);
  s.bs.disksize = 1.0;
  if (three_d)
    fget_sd_beams_3d(s, c, fp);
  else
    fget_sd_beams(s, c, fp);
  chk_data(three_d ? "}BEAM_SEARCH_3D" : "}BEAM_SEARCH", fp);
}

void real_space_base(map_condition& m, const lattice_metric& lm) {
  zolz_ort_base_two_uvw(m.s.incidence, m.s.zolzbase1, lm, &m.x1, &m.x2);
  std::printf("real-space base-vector ( length = 1/|zolzbase1| )\n");
  std::printf("x1 = %g %g %g, x2 = %g %g %g\n", m.x1[0], m.x1[1], m.x1[2], m.x2[0], m.x2[1], m.x2[2]);
}

// After a map block the record holds beams only.
void no_tilt_output(sd& s) {
  s.num_g = 0;
  s.num_thickness = 0;
  s.calc_type = -1;
}



void write_plot(const std::string& name, const char* title, const std::string& png, const char* zrange,
                const std::string& data, int column) {
  OutputFile f = qz_fopen_chk_wmode(name);
  std::fprintf(f.get(), "%s\nset pm3d\nset nosurface\nset view 0,0\nset size square\nset term png crop\n", title);
  std::fprintf(f.get(), "set output %s\n%s\n", gp_quote(png).c_str(), zrange);
  std::fprintf(f.get(), "splot %s using 1:2:%d with lines\npause -1\n", gp_quote(data).c_str(), column);
  qz_fclose(f);
}

void proj_header(FILE* fp, const char* what, int n, const map_condition& m, const char* columns) {
  std::fprintf(fp, "# %s (formed by %d beams)\n# nx  ny\n# %d  %d\n%s", what, n, m.nx, m.ny, columns);
}

}  // namespace

void input_density_proj_data(map_condition& m, csd& c, FILE* fp) {
  sd& s = m.s;
  const lattice_metric lm = bravai(c.lp);
  chk_data("E_DENSITY_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_map_beam_block(s, c, fp, false);
  chk_data("CALC_RXY_RANGE{", fp);
  real_space_base(m, lm);
  fget_2i(&m.nx, &m.ny, fp);
  fget_2d(&m.x_begin, &m.x_end, fp);
  fget_2d(&m.y_begin, &m.y_end, fp);
  chk_data("}CALC_RXY_RANGE", fp);
  if (m.nx < 1 || m.ny < 1 || m.nx > kMaxMapSide || m.ny > kMaxMapSide)
    fatal_out("$$ number of pixels should be from 1 to %d. Abort.\n$$ x,y = %d %d\n", kMaxMapSide, m.nx, m.ny);
  chk_data("AREA_PROJ_CELL{", fp);
  m.area_proj_cell = fget_d(fp);
  chk_data("}AREA_PROJ_CELL", fp);
  chk_data("}E_DENSITY_CALCULATION_CONDITION", fp);
  list_beams(s, c, lm);
  no_tilt_output(s);
}

void fget_sd_beams_3d(sd& s, csd& c, FILE* fp) {
  s.bs.flag_bs = fget_i(fp);
  select_beams_3d(s.bs, s.incidence, s.zolzbase1, s.tiltH, s.tiltG, s.voltage, c, fp, &s.num_exact_beam,
                  &s.num_bethe_beam, &s.beams);
  s.beam_left_out = take_left_out_report();
}

// "nx ny nz" (a grid without UNITCELL_XYZ): false when the line does not
// begin with three numbers; numbers outside the int range are refused.
bool grid_line(const std::string& line, int* nx, int* ny, int* nz, FILE* fp) {
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.size() < 3 || !is_number(t[0]) || !is_number(t[1]) || !is_number(t[2])) return false;
  *nx = checked_int(t[0], "nx", fp);
  *ny = checked_int(t[1], "ny", fp);
  *nz = checked_int(t[2], "nz", fp);
  return true;
}

void input_density_3d_data(map_condition& m, csd& c, FILE* fp) {
  sd& s = m.s;
  const lattice_metric lm = bravai(c.lp);
  chk_data("E_DENSITY_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_map_beam_block(s, c, fp, true);
  real_space_base(m, lm);
  chk_data("CALC_RXY_RANGE_3D{", fp);
  const std::string line = need_line(kLineCap, fp);
  if (line.rfind("UNITCELL_XYZ", 0) == 0) {
    m.unitcell_flag = 1;
    fget_3i(&m.nx, &m.ny, &m.nz, fp);
    m.x_begin = m.y_begin = m.z_begin = 0.0;
    m.x_end = m.y_end = m.z_end = 1.0;
  } else if (grid_line(line, &m.nx, &m.ny, &m.nz, fp)) {
    m.unitcell_flag = 0;
    fget_2d(&m.x_begin, &m.x_end, fp);
    fget_2d(&m.y_begin, &m.y_end, fp);
    fget_2d(&m.z_begin, &m.z_end, fp);
  } else {
    fatal_out("$$Data format error in CALC_RXY_RANGE_3D. Abort.\n$$buf=%s\n", printable(rm_cr_copy(line)).c_str());
  }
  chk_data("}CALC_RXY_RANGE_3D", fp);
  chk_data("}E_DENSITY_CALCULATION_CONDITION", fp);
  no_tilt_output(s);
}

BeamList fft_reflection_list(int nx, int ny, int nz) {
  BeamList list;
  list.reserve(static_cast<std::size_t>(std::max(nx - 1, 0)) * std::max(ny - 1, 0) * std::max(nz - 1, 0));
  for (int h = 1 - nx / 2; h <= nx / 2 - 1; ++h)
    for (int k = 1 - ny / 2; k <= ny / 2 - 1; ++k)
      for (int l = 1 - nz / 2; l <= nz / 2 - 1; ++l) list.push_back(Hkl{h, k, l});
  return list;
}

void transfer_coefficients(const BeamList& list, const complex* coef, int nx, int ny, int nz,
                           Tensor3<float>& re, Tensor3<float>& im) {
  auto wrap = [](int i, int n) { return i < 0 ? i + n : i; };
  for (std::size_t r = 0; r < list.size(); ++r) {
    const int i = wrap(list[r].h, nx), j = wrap(list[r].k, ny), k = wrap(list[r].l, nz);
    re(i, j, k) = static_cast<float>(coef[r].re);
    im(i, j, k) = static_cast<float>(coef[r].im);
  }
  // The highest frequencies have no partner of opposite sign on the grid.
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k)
        if (i == nx / 2 || j == ny / 2 || k == nz / 2) re(i, j, k) = im(i, j, k) = 0.0f;
}

void write_vend(const std::string& name, const char* comment, const double lp[6], const Tensor3<double>& map) {
  const int nx = static_cast<int>(map.dim1()), ny = static_cast<int>(map.dim2()), nz = static_cast<int>(map.dim3());
  OutputFile f = qz_fopen_chk_wmode(name);
  FILE* fp = f.get();
  std::fprintf(fp, "%s\n", comment);
  std::fprintf(fp, "%lg %lg %lg %lg %lg %lg\n", lp[0], lp[1], lp[2], lp[3], lp[4], lp[5]);
  std::fprintf(fp, "%d  %d  %d\n", nx + 1, ny + 1, nz + 1);
  for (int i = 0; i <= nx; ++i)
    for (int j = 0; j <= ny; ++j) {
      const double* v = map(i % nx, j % ny);
      for (int k = 0; k < nz; ++k) std::fprintf(fp, "%lg  ", v[k]);
      std::fprintf(fp, "%lg\n", v[0]);
    }
  qz_fclose(f);
}

namespace {

// ---- Projected maps ---------------------------------------------------------

struct ProjJob {
  csd crystal;
  map_condition m;
  lattice_metric lm;
  int n = 0;  // beams of the sums
};

void prepare_proj(ProjJob& j, FILE* fp, const std::string& base_name) {
  input_csd_cstr(j.crystal, fp, base_name);
  input_density_proj_data(j.m, j.crystal, fp);
  j.lm = bravai(j.crystal.lp);
  j.n = j.m.s.num_exact_beam + j.m.s.num_bethe_beam;
}

Vec3 map_point(const map_condition& m, double x, double y) {
  Vec3 r{};
  for (int a = 0; a < 3; ++a) r[a] = x * m.x1[a] + y * m.x2[a];
  return r;
}

// Walks the map grid row by row (x outer, y inner) under the progress
// indicator: point(x, y, r) for each point with r its real-space position,
// row_end() after each row.
template <class Point, class RowEnd>
void for_each_map_point(const map_condition& m, Point point, RowEnd row_end) {
  for (int i = 0; i < m.nx; ++i) {
    progress_indicator(i, m.nx);
    const double x = map_coord(m.x_begin, m.x_end, i, m.nx);
    for (int k = 0; k < m.ny; ++k) {
      const double y = map_coord(m.y_begin, m.y_end, k, m.ny);
      point(x, y, map_point(m, x, y));
    }
    row_end();
  }
  qz_fprintf(stdout, "100%%.\n");
}

// The values of a projected map, collected point by point for the HDF5
// export: x and y in base-vector units and one array per quantity.
struct ProjExport {
  std::vector<double> x, y;
  std::vector<std::vector<double>> v;
  void add(double px, double py, const std::vector<double>& values) {
    x.push_back(px);
    y.push_back(py);
    v.resize(values.size());
    for (std::size_t q = 0; q < values.size(); ++q) v[q].push_back(values[q]);
  }
  void write(const std::string& base, const char* job, const ProjJob& j,
             const std::vector<std::pair<std::string, std::string>>& names,
             const std::vector<std::string>& titles) const {
    std::vector<MapLayer> layers = {{"x", "x1 units", x}, {"y", "x2 units", y}};
    for (std::size_t q = 0; q < names.size() && q < v.size(); ++q)
      layers.push_back({names[q].first, names[q].second, v[q]});
    write_map_hdf5(base, job, j.m.s, j.crystal,
                   {static_cast<std::size_t>(j.m.nx), static_cast<std::size_t>(j.m.ny)}, layers, j.m.x1.data(),
                   j.m.x2.data());
    std::vector<ProjMap> pictures;
    for (std::size_t q = 0; q < names.size() && q < v.size(); ++q)
      pictures.push_back({names[q].first, titles[q], names[q].second, v[q]});
    const double xr[2] = {j.m.x_begin, j.m.x_end}, yr[2] = {j.m.y_begin, j.m.y_end};
    write_proj_map_page(base, j.crystal, j.m.nx, j.m.ny, xr, yr, j.m.x1.data(), j.m.x2.data(), pictures);
  }
};

}  // namespace

void qz_electron_density_proj(FILE* fp, FILE* /*log*/, const std::string& base_name) {
  ProjJob j;
  prepare_proj(j, fp, base_name);
  const map_condition& m = j.m;
  if (!(m.area_proj_cell > 0.0))
    fatal_out("$$ The projected-cell area must be positive (AREA_PROJ_CELL = %g). Abort.\n", m.area_proj_cell);
  CVector vg = alloc_vector<complex>(static_cast<std::size_t>(j.n));
  CVector fxg = alloc_vector<complex>(static_cast<std::size_t>(j.n));
  std::printf("Fourier coef. calculation....\n");
  vgv_fxgv_csd(m.s.num_exact_beam, m.s.num_bethe_beam, m.s.beams, j.crystal, m.s.voltage, j.lm, vg.data(),
               fxg.data());

  const std::string pp = base_name + "_pp.txt", ed = base_name + "_ed.txt";
  OutputFile fpp = qz_fopen_chk_wmode(pp);
  std::printf("Projected potential        ==> %s\n", pp.c_str());
  OutputFile fed = qz_fopen_chk_wmode(ed);
  std::printf("Projected electron density ==> %s\n", ed.c_str());
  proj_header(fpp.get(), "Projected potential", j.n, m, "# x\ty\tpotential.re[V])\n");
  proj_header(fed.get(), "Projected electron density", j.n, m, "# x\ty\tpotential.re[V])\n");
  ProjExport ex;
  for_each_map_point(
      m,
      [&](double x, double y, const Vec3& r) {
        const complex v = calc_inv_fourier(r, j.n, m.s.beams, vg.data());
        const complex f = calc_inv_fourier(r, j.n, m.s.beams, fxg.data());
        std::fprintf(fpp.get(), "%g\t%g\t%g\n", x, y, v.re);
        std::fprintf(fed.get(), "%g\t%g\t%g\n", x, y, f.re / m.area_proj_cell);
        ex.add(x, y, {v.re, f.re / m.area_proj_cell});
      },
      [&] {
        std::fprintf(fpp.get(), "\n");
        std::fprintf(fed.get(), "\n");
      });
  qz_fclose(fpp);
  qz_fclose(fed);
  write_plot(base_name + "_ed.plt", "#", base_name + "_ed.png", "#set zrange [0:3]", ed, 3);
  write_plot(base_name + "_pp.plt", "#", base_name + "_pp.png", "#set zrange [0:20]", pp, 3);
  ex.write(base_name, "E_DENSITY_PROJ_MODE", j, {{"potential", "V"}, {"density", "e/A^2"}},
           {"Projected potential", "Projected electron density"});
}

void qz_potential_reim_proj(FILE* fp, FILE* /*log*/, const std::string& base_name) {
  ProjJob j;
  prepare_proj(j, fp, base_name);
  const map_condition& m = j.m;
  CVector vg = alloc_vector<complex>(static_cast<std::size_t>(j.n));
  std::printf("Fourier coef. calculation....\n");
  vgv_reim_csd(m.s.num_exact_beam, m.s.num_bethe_beam, m.s.beams, j.crystal, m.s.voltage, j.lm, vg.data());

  const std::string pp = base_name + "_pp.txt";
  OutputFile fpp = qz_fopen_chk_wmode(pp);
  std::printf("Projected potential        ==> %s\n", pp.c_str());
  proj_header(fpp.get(), "Projected potential", j.n, m, "# x\ty\tpot.re[V]\tpot.im[V])\n");
  ProjExport ex;
  for_each_map_point(
      m,
      [&](double x, double y, const Vec3& r) {
        const complex v = calc_inv_fourier(r, j.n, m.s.beams, vg.data());
        std::fprintf(fpp.get(), "%g\t%g\t%g\t%g\n", x, y, v.re, v.im);
        ex.add(x, y, {v.re, v.im});
      },
      [&] { std::fprintf(fpp.get(), "\n"); });
  qz_fclose(fpp);
  write_plot(base_name + "_re_pp.plt", "#Real (elastic) potential plot", base_name + "_re_pp.png",
             "#set zrange [0:20]", pp, 3);
  write_plot(base_name + "_im_pp.plt", "#Imaginary (inelastic) potential plot", base_name + "_im_pp.png",
             "#set zrange [-3:3]", pp, 4);
  ex.write(base_name, "POTENTIAL_REIM_PROJ_MODE", j, {{"potential_re", "V"}, {"potential_im", "V"}},
           {"Projected potential (elastic, real part)", "Projected potential (absorptive, imaginary part)"});
}

namespace {

// ---- Unit-cell maps ---------------------------------------------------------

bool is_power_of_two(int n) { return n > 0 && (n & (n - 1)) == 0; }

struct CellJob {
  csd crystal;
  map_condition m;
  lattice_metric lm;
  BeamList list;
};

// Crystal, block, metric and the reflections of the FFT box (they replace
// the beams of the search).
void prepare_cell(CellJob& j, FILE* fp, const std::string& base_name) {
  input_csd_cstr(j.crystal, fp, base_name);
  input_density_3d_data(j.m, j.crystal, fp);
  j.lm = bravai(j.crystal.lp);
  const map_condition& m = j.m;
  if (m.nx < 1 || m.ny < 1 || m.nz < 1)
    fatal_out("$$ number of pixels should be greater than 0. Abort.\n$$ x,y,z = %d %d %d\n", m.nx, m.ny, m.nz);
  // The transform needs powers of two; a side of 1 would hold no reflection.
  for (int n : {m.nx, m.ny, m.nz})
    if (n < 2 || n > kMaxMapSide || !is_power_of_two(n))
      fatal_out("$$ number of pixels should be a power of two from 2 to %d. Abort.\n$$ x,y,z = %d %d %d\n",
                kMaxMapSide, m.nx, m.ny, m.nz);
  if (m.unitcell_flag != 1) fatal_out("$$error. Use UNITCELL_XYZ mode.\n");
  // Per grid cell: four single-precision coefficient grids, the reflection
  // list with its structure factors and potential coefficients, the complex
  // transforms and the real maps; each map is written as text.
  const double cells = static_cast<double>(m.nx) * m.ny * m.nz;
  check_job_size(JobSize{cells * 120.0, cells * 2.0 * 14.0}, "three-dimensional cell map");
  // The search's beams are listed only now that the grid is accepted; the
  // FFT box's reflections replace them for the map itself.
  list_beams(j.m.s, j.crystal, j.lm);
  j.list = fft_reflection_list(m.nx, m.ny, m.nz);
  std::printf("$$ number of reflections for FFT = %d\n", static_cast<int>(j.list.size()));
  j.m.s.beams = j.list;
  j.m.s.num_exact_beam = static_cast<int>(j.list.size());
  j.m.s.num_bethe_beam = 0;
}

// Real or imaginary part of a transformed grid, times scale, in double.
Tensor3<double> to_map(const Tensor3<float>& g, double scale) {
  Tensor3<double> out(g.dim1(), g.dim2(), g.dim3());
  for (std::size_t i = 0; i < g.dim1(); ++i)
    for (std::size_t j = 0; j < g.dim2(); ++j)
      for (std::size_t k = 0; k < g.dim3(); ++k) out(i, j, k) = static_cast<double>(g(i, j, k)) * scale;
  return out;
}

}  // namespace

void qz_electron_density_3d_unitcell(FILE* fp, FILE* /*log*/, const std::string& base_name) {
  CellJob j;
  prepare_cell(j, fp, base_name);
  const map_condition& m = j.m;
  const int n = j.m.s.num_exact_beam;
  CVector vg = alloc_vector<complex>(static_cast<std::size_t>(n));
  CVector fxg = alloc_vector<complex>(static_cast<std::size_t>(n));
  std::printf("Potential.\n");
  vgv_fxgv_csd(n, 0, j.list, j.crystal, m.s.voltage, j.lm, vg.data(), fxg.data());

  const double gmax = epsilon.e_density_gmax_val;
  std::printf("$$ Threshold gmax = %lf.\n", gmax);
  bool cut = false;
  for (int r = 0; r < n; ++r) {
    if (std::sqrt(sq_abs(hkl2rhkl(j.list[r]), j.lm)) > gmax) {
      vg[r] = complex{0.0, 0.0};
      fxg[r] = complex{0.0, 0.0};
      cut = true;
    }
  }
  std::printf(cut ? "$$ gmax filtered.\n" : "$$ All reflections are within gmax\n");
  std::printf("$$ Fourier coef. transfering...\n");
  Tensor3<float> ed_re(m.nx, m.ny, m.nz), ed_im(m.nx, m.ny, m.nz);
  Tensor3<float> pt_re(m.nx, m.ny, m.nz), pt_im(m.nx, m.ny, m.nz);
  transfer_coefficients(j.list, fxg.data(), m.nx, m.ny, m.nz, ed_re, ed_im);
  transfer_coefficients(j.list, vg.data(), m.nx, m.ny, m.nz, pt_re, pt_im);

  std::printf("Electron density...\n");
  fft3d_nxnynz(1, m.nx, m.ny, m.nz, ed_re, ed_im);
  std::printf("Electrostatic potential...\n");
  fft3d_nxnynz(1, m.nx, m.ny, m.nz, pt_re, pt_im);

  const std::string ed = base_name + "_ed.3ed", pt = base_name + "_pt.3ed";
  std::printf("Electron density (VEND-format): ==> %s\n", ed.c_str());
  const Tensor3<double> ed_map = to_map(ed_re, 1.0 / j.lm.vol), pt_map = to_map(pt_re, 1.0);
  write_vend(ed, "#Electron density [e/A^3]", j.crystal.lp.data(), ed_map);
  std::printf("Potential.re (VEND-format):        ==> %s\n", pt.c_str());
  write_vend(pt, "#Electrostatic potential [V]", j.crystal.lp.data(), pt_map);
  write_cell_map_views(base_name, "E_DENSITY_3D_UNITCELL_MODE", m.s, j.crystal,
                       {{"ed", "Electron density", "e/A^3", &ed_map}, {"pt", "Electrostatic potential", "V", &pt_map}});
}

void qz_potential_reim_3d_unitcell(FILE* fp, FILE* /*log*/, const std::string& base_name) {
  CellJob j;
  prepare_cell(j, fp, base_name);
  const map_condition& m = j.m;
  const int n = j.m.s.num_exact_beam;
  CVector vg = alloc_vector<complex>(static_cast<std::size_t>(n));
  std::printf("Potential.\n");
  vgv_reim_csd(n, 0, j.list, j.crystal, m.s.voltage, j.lm, vg.data());
  std::printf("$$ Fourier coef. transfering...\n");
  Tensor3<float> re(m.nx, m.ny, m.nz), im(m.nx, m.ny, m.nz);
  transfer_coefficients(j.list, vg.data(), m.nx, m.ny, m.nz, re, im);

  std::printf("Electrostatic potential...\n");
  fft3d_nxnynz(1, m.nx, m.ny, m.nz, re, im);

  const std::string pt = base_name + "_pt.3ed", ptim = base_name + "_ptim.3ed";
  std::printf("Potential.re (VEND-format):        ==> %s\n", pt.c_str());
  const Tensor3<double> re_map = to_map(re, 1.0), im_map = to_map(im, 1.0);
  write_vend(pt, "#Electrostatic potential [V]", j.crystal.lp.data(), re_map);
  std::printf("Potential.im (VEND-format):        ==> %s\n", ptim.c_str());
  write_vend(ptim, "#Imaginary potential [V]", j.crystal.lp.data(), im_map);
  write_cell_map_views(base_name, "POTENTIAL_REIM_3D_UNITCELL_MODE", m.s, j.crystal,
                       {{"pt", "Electrostatic potential", "V", &re_map}, {"ptim", "Imaginary potential", "V", &im_map}});
}

}  // namespace kv
