#include "jobs/simulation.hpp"

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "beams/beam_select.hpp"
#include "beams/reflex_list.hpp"
#include "bloch/engine.hpp"
#include "bloch/potential.hpp"
#include "crystal/structure_factor.hpp"
#include "input/crystal_data.hpp"
#include "input/fields.hpp"
#include "results/hdf5_export.hpp"
#include "numeric/lapack.hpp"
#include "numeric/solver_control.hpp"
#include "jobs/jobs.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/parallel.hpp"
#include "sim/progress.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Points along one side of a tilt grid: 4096^2 tilts are days of computing,
// and a larger side would overflow the point count.
constexpr int kMaxPixSide = 4096;
// Tilts and disk sizes (in g1/2, or mrad) beyond this are far outside any
// diffraction pattern; thicknesses beyond 100 um far beyond any transmission.
constexpr double kMaxTilt = 1000.0;
constexpr double kMaxThickness = 1e6;

const double* lattice_parameters(const csd& c) { return c.lp.data(); }

}  // namespace

void dbg_dump_ini_sim() { std::printf("\n$$ vg_select_flag = %d\n", epsilon.vg_select_flag); }

void fget_cal_g(int num_g, int num_exact_beam, int /*num_bethe_beam*/, int* cal_g, const BeamList& beams,
                FILE* fp, csd* c, double kv) {
  for (int r = 0; r < num_g; ++r) {
    const Hkl g = c ? fget_counted_hkl_hex(fp, num_g, "OUTPUT_REFLEX reflection", c->lp.data())
                    : fget_counted_hkl(fp, num_g, "OUTPUT_REFLEX reflection");
    const int n = find_n_g(num_exact_beam, g, beams);
    if (n < 0 && c && epsilon.forbidden_beam_flag != 1 && vanishing_fg_reflection(g, kv, *c))
      fatal_out(
          "$$ cal_g: %d %d %d has a vanishing structure factor and is left out of the beam search;"
          " set forbidden_beam_flag 1 in EPS_CONTROL_PARAMETERS to keep it. Abort.\n",
          g.h, g.k, g.l);
    if (n < 0)
      fatal_out("$$ cal_g: %d %d %d is not found in the exact beams. Abort.\n", g.h, g.k, g.l);
    cal_g[r] = n;
  }
}

void fget_cal_thick(int num_thickness, double* thickness, FILE* fp) {
  for (int t = 0; t < num_thickness; ++t) {
    const std::string line = need_line(kLineCap, fp);
    refuse_block_marker(line, num_thickness, "OUTPUT_THICKNESS thickness", fp);
    double v[1];
    if (str_to_fs(1, line, v, fp) < 1)
      fatal_out("$$ Data format error: a thickness expected, blank line found.\n%s$$ Abort.\n",
                place_note(fp).c_str());
    require_nonnegative(v[0], "thickness", fp);
    require_between(v[0], 0.0, kMaxThickness, "thickness", fp);
    thickness[t] = v[0];
  }
}

void fget_sd_beams(sd& s, csd& c, FILE* fp) {
  s.bs.flag_bs = fget_i(fp);
  select_beams(s.bs, s.incidence, s.zolzbase1, s.tiltH, s.tiltG, s.voltage, c, fp, &s.num_exact_beam,
               &s.num_bethe_beam, &s.beams);
  s.beam_left_out = take_left_out_report();
}

// g1 spans, with g2, the zero-order Laue zone: it must lie in the plane
// perpendicular to the incidence, h u + k v + l w = 0.
void check_g1_in_zolz(const Hkl& uvw, const Vec3& g1, FILE* fp) {
  const double dot = g1[0] * uvw.h + g1[1] * uvw.k + g1[2] * uvw.l;
  const double len = std::abs(g1[0]) + std::abs(g1[1]) + std::abs(g1[2]);
  if (len == 0.0)
    fatal_out("$$ g1 = (0 0 0): the first in-plane reciprocal vector g1 must not be zero.\n%s$$ Abort.\n",
              place_note(fp).c_str());
  if (std::abs(dot) > 1e-9 * len)
    fatal_out("$$ g1 = (%g %g %g) must be perpendicular to the incidence [%d %d %d]: "
              "h u + k v + l w = %g, it must be 0.\n"
              "$$ Choose g1 in the zero-order Laue zone of [%d %d %d] (the third line of INCIDENT_BEAM).\n"
              "%s$$ Abort.\n",
              g1[0], g1[1], g1[2], uvw.h, uvw.k, uvw.l, dot, uvw.h, uvw.k, uvw.l, place_note(fp).c_str());
}

// A crystal read from a CIF on rhombohedral axes is used on hexagonal ones,
// and every index of the parameter file is read on those. A g1 typed on
// the rhombohedral axes is, on the hexagonal ones, in general a reflection
// that the R centring forbids (-h + k + l not a multiple of 3): such a g1 is
// refused with the transformation spelled out, rather than run as another
// direction.
namespace {
void check_g1_on_crystal_axes(const Vec3& g1, const csd& c, FILE* fp) {
  if (c.axes_change.empty() || c.lattice_type != "R" || c.hex_flag != 1) return;
  const Hkl g{static_cast<int>(std::lround(g1[0])), static_cast<int>(std::lround(g1[1])),
              static_cast<int>(std::lround(g1[2]))};
  if (std::abs(g.h - g1[0]) + std::abs(g.k - g1[1]) + std::abs(g.l - g1[2]) > 1e-9) return;
  if (extinction_rule(g, c.lattice_type, c.hex_flag) == 0) return;
  fatal_out("$$ g1 = (%d %d %d) is a reflection that the R centring forbids on the hexagonal axes the crystal is "
            "used on (-h + k + l must be a multiple of 3). The CIF's axes are rhombohedral, and indices in the "
            "parameter file are read on the hexagonal axes: from the CIF's axes, %s.\n%s$$ Abort.\n",
            g.h, g.k, g.l, c.axes_change.c_str(), place_note(fp).c_str());
}
}  // namespace

void fget_sd_incident_beam(sd& s, const csd& c, FILE* fp) {
  chk_data("INCIDENT_BEAM{", fp);
  s.incidence = fget_uvw_hex(fp, c.lp.data(), "incidence");
  check_zone_axis(s.incidence, fp);
  s.normal = fget_uvw_hex(fp, c.lp.data(), "surface normal");
  s.zolzbase1 = fget_r_hkl_hex(fp, c.lp.data(), "g1");
  check_g1_on_crystal_axes(s.zolzbase1, c, fp);
  check_g1_in_zolz(s.incidence, s.zolzbase1, fp);
  s.tiltH = fget_d_unit(fp, "mrad", &s.tiltH_mrad);
  s.tiltG = fget_d_unit(fp, "mrad", &s.tiltG_mrad);
  s.voltage = fget_d(fp);
  check_voltage_kv(s.voltage, fp);  // before any mrad conversion uses it
  require_between(s.tiltH, -kMaxTilt, kMaxTilt, "tiltH", fp);
  require_between(s.tiltG, -kMaxTilt, kMaxTilt, "tiltG", fp);
  chk_data("}INCIDENT_BEAM", fp);
}

void apply_microscope_units(sd& s, const lattice_metric& lm) {
  const double g1 = std::sqrt(sq_abs(s.zolzbase1, lm));
  if (s.tiltH_mrad) s.tiltH = mrad_to_half_g1(s.tiltH, s.voltage, g1);
  if (s.tiltG_mrad) s.tiltG = mrad_to_half_g1(s.tiltG, s.voltage, g1);
  if (s.disk_mrad) {
    s.disksize = mrad_to_half_g1(s.disksize, s.voltage, g1);
    s.bs.disksize = s.disksize;
  }
  s.tiltH_mrad = s.tiltG_mrad = s.disk_mrad = false;
}

void report_job_conditions(FILE* log, const sd& s, const lattice_metric& lm) {
  const double g1 = std::sqrt(sq_abs(s.zolzbase1, lm));
  const double lambda = wavelength(s.voltage);
  qz_fprintf_stdo(log, "Conditions: voltage %g kV, wavelength %.6f A, |g1| %.6f 1/A\n", s.voltage, lambda, g1);
  qz_fprintf_stdo(log, "Disk size: %g (g1/2) = %.4g mrad = %.4g 1/A; centre tilt %g %g (g1/2) = %.4g %.4g mrad\n",
                  s.disksize, half_g1_to_mrad(s.disksize, s.voltage, g1), 0.5 * s.disksize * g1, s.tiltH,
                  s.tiltG, half_g1_to_mrad(s.tiltH, s.voltage, g1), half_g1_to_mrad(s.tiltG, s.voltage, g1));
  qz_fprintf_stdo(log, "Beams: %d exact, %d Bethe\n", s.num_exact_beam, s.num_bethe_beam);
  // Standard output had this report from the search itself.
  if (log) qz_fprintf(log, "%s", s.beam_left_out.c_str());
  std::string t;
  for (int i = 0; i < s.num_thickness; ++i) t += strprintf(" %g", s.thickness[i]);
  qz_fprintf_stdo(log, "Thicknesses (A):%s\n", t.empty() ? " none" : t.c_str());
  qz_fprintf_stdo(log, "Tilts: %d\n", s.num_k_points_effective);
}

void fget_sd_kxy_range(sd& s, FILE* fp, const char* hint, bool sim_message) {
  chk_data_info("CALC_KXY_RANGE{", hint, fp);
  s.calc_type = fget_i(fp);
  if (static_cast<unsigned>(s.calc_type) > 3u) {
    if (sim_message) fatal_out("$$ Invalid calc_type(=%d)x. Abort.\n", s.calc_type);
    fatal_out("$$ Invalid calc_type=%d. Abort.\n", s.calc_type);
  }
  s.num_cal_pix_side = fget_i(fp);
  if (s.calc_type != 0 && s.num_cal_pix_side < 2)
    fatal_out("$$ num_cal_pix_side=%d: a line, disk or square needs at least 2 points a side. Abort.\n",
              s.num_cal_pix_side);
  if (s.calc_type != 0 && s.num_cal_pix_side > kMaxPixSide)
    fatal_out("$$ num_cal_pix_side=%d: at most %d points a side. Abort.\n", s.num_cal_pix_side, kMaxPixSide);
  s.disksize = fget_d_unit(fp, "mrad", &s.disk_mrad);
  // A line, disk or square of tilts spans twice the disk size.
  if (s.calc_type != 0) require_positive(s.disksize, "disk size", fp);
  require_between(s.disksize, -kMaxTilt, kMaxTilt, "disk size", fp);
  s.bs.disksize = s.disksize;
  chk_data("}CALC_KXY_RANGE", fp);
}

void fget_sd_beam_block(sd& s, csd& c, FILE* fp, const lattice_metric& lm) {
  apply_microscope_units(s, lm);
  chk_data("BEAM_SEARCH{", fp);
  fget_sd_beams(s, c, fp);
  chk_data("}BEAM_SEARCH", fp);
}

void write_beam_listing(const sd& s, csd& c, const lattice_metric& lm) {
  reflex_dump_csd(0, s.num_exact_beam, s.num_bethe_beam, s.beams, c, s.bs, s.incidence, s.zolzbase1,
                  s.voltage, lm, s.beam_left_out);
}

void fget_sd_output_reflex(sd& s, FILE* fp, bool zero_means_all, csd* c) {
  chk_data("OUTPUT_REFLEX{", fp);
  s.num_g = fget_i(fp);
  if (s.num_g < 0)
    fatal_out("$$ Invalid num_g(=%d): the number of output reflections must not be negative. Abort.\n", s.num_g);
  check_count_fits(s.num_g, 2, "num_g", fp);
  if (s.num_g > 0 || !zero_means_all) {
    std::printf("num_g = %d\n", s.num_g);
    s.cal_g = alloc_vector<int>(static_cast<std::size_t>(s.num_g));
    fget_cal_g(s.num_g, s.num_exact_beam, s.num_bethe_beam, s.cal_g.data(), s.beams, fp, c, s.voltage);
  } else {
    s.num_g = s.num_exact_beam;
    std::printf("num_g = %d\n", s.num_g);
    s.cal_g = alloc_vector<int>(static_cast<std::size_t>(s.num_g));
    for (int i = 0; i < s.num_g; ++i) s.cal_g[i] = i;
  }
  chk_data("}OUTPUT_REFLEX", fp);
}

void fget_sd_output_thickness(sd& s, FILE* fp) {
  chk_data("OUTPUT_THICKNESS{", fp);
  s.num_thickness = fget_i(fp);
  if (s.num_thickness < 0)
    fatal_out("$$ Invalid num_thickness(=%d): the number of thicknesses must not be negative. Abort.\n",
              s.num_thickness);
  check_count_fits(s.num_thickness, 2, "num_thickness", fp);
  std::printf("num_thickness = %d\n", s.num_thickness);
  s.thickness = alloc_vector<double>(static_cast<std::size_t>(s.num_thickness));
  fget_cal_thick(s.num_thickness, s.thickness.data(), fp);
  chk_data("}OUTPUT_THICKNESS", fp);
}

void input_sim_data(sd& s, csd& c, FILE* fp) {
  const lattice_metric lm = bravai(lattice_parameters(c));
  chk_data("SIM_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_sd_kxy_range(s, fp, " Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$", true);
  fget_sd_beam_block(s, c, fp, lm);
  fget_sd_output_reflex(s, fp, true, &c);

  fget_sd_output_thickness(s, fp);
  chk_data("}SIM_CALCULATION_CONDITION", fp);
  write_beam_listing(s, c, lm);
}

namespace {

// The thread count of a loop over this rank's n tilts, reported on the
// console (with the number of MPI ranks when there are several).
int tilt_threads_for(int n, const RunControl& rc) {
  const int threads = simulation_threads(rc, n);
  std::printf("Tilt loop: %d thread%s\n", threads, threads == 1 ? "" : "s");
  if (rank_share().size > 1) std::printf("Tilt loop: %d MPI ranks, each with its share of the tilts\n", rank_share().size);
  return threads;
}

// The eigen and entrance-condition solvers of the tilt loop, into rc, named
// on the console and in the log: the parameter file's eigmat_func and
// bc_invmat_func, else the fastest accurate ones for the job's exact-beam
// count.
void choose_eigen_solver(FILE* log, const sd& s, RunControl& rc) {
  const bool given = rc.epsilon.eigmat_func_given;
  choose_job_solvers(rc.epsilon, s.num_exact_beam);
  if (given)
    qz_fprintf_stdo(log, "Eigen solver: %s (eigmat_func %d, as set)\n", eigmat_func_name(rc.epsilon.eigmat_func),
                    rc.epsilon.eigmat_func);
  else
    qz_fprintf_stdo(log, "Eigen solver: %s (eigmat_func %d, chosen for %d exact beams)\n",
                    eigmat_func_name(rc.epsilon.eigmat_func), rc.epsilon.eigmat_func, s.num_exact_beam);
  const char* bc = rc.epsilon.bc_invmat_func == 2 ? "LAPACK zgesv" : "elimination";
  const char* how = rc.epsilon.bc_invmat_func_given ? "as set" : "the default";
  if (rc.epsilon.eigmat_func == 3)
    qz_fprintf_stdo(log, "Entrance condition: from the split's factors (%s, bc_invmat_func %d %s, where the split "
                    "hands a matrix on)\n", bc, rc.epsilon.bc_invmat_func, how);
  else
    qz_fprintf_stdo(log, "Entrance condition: %s (bc_invmat_func %d, %s)\n", bc, rc.epsilon.bc_invmat_func, how);
}

// This rank's share of the tilts.
std::vector<int> rank_tilts(const std::vector<int>& todo, const RankShare& share) {
  std::vector<int> mine(static_cast<std::size_t>(share.count(static_cast<int>(todo.size()))));
  for (std::size_t j = 0; j < mine.size(); ++j) mine[j] = todo[share.item(static_cast<int>(j))];
  return mine;
}

}  // namespace

bool calc_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log) {
  RunControl rc = program_run_control();
  const lattice_metric lm = bravai(lattice_parameters(c));
  calc_kxy_tilt(s, lm, rc.epsilon);
  std::printf("$$ num_k_points = %d, num_k_points_effective = %d\n", s.num_k_points, s.num_k_points_effective);
  report_job_conditions(log, s, lm);
  choose_eigen_solver(log, s, rc);
  const engine_setup job = make_engine_setup(c, s, vg, lm, rc);

  s.intensity = Tensor3<double>(s.num_g, s.num_thickness, s.num_k_points);
  const std::vector<int> todo = computed_tilts(s);
  const RankShare share = rank_share();
  const int n = static_cast<int>(todo.size());
  const int slot = s.num_g * s.num_thickness;
  const std::vector<int> mine_tilts = rank_tilts(todo, share);
  const int threads = tilt_threads_for(static_cast<int>(mine_tilts.size()), rc);

  std::printf("Intensity calculation\n");
  // This rank's tilts, each in its own slot of reflection x thickness
  // intensities; rank 0 gathers every rank's slots.
  console_progress console;
  const std::vector<double> mine = simulate_tilts(job, s, mine_tilts, threads, console);
  std::vector<double> all;
  if (!gather_item_slots(n, slot, mine, all)) return false;
  // Points outside the disk keep the zeros of the fresh tensor.
  for (int i = 0; i < n; ++i)
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t)
        s.intensity(g, t, todo[i]) = all[static_cast<std::size_t>(i) * slot + g * s.num_thickness + t];
  std::printf("$$Intensity output\n");
  sim_output(s, lattice_parameters(c), base_name, log);
  return true;
}

namespace {

enum class ResultKind { intensity, coherent };

// Writes one SIM_RESULT (or SIM_COHERENT_RESULT) file for thickness index t.
void write_result_file(const std::string& name, const sd& s, const double lp[6], int t, ResultKind kind,
                       const Tensor3<complex>* amplitude) {
  const lattice_metric lm = bravai(lp);
  OutputFile out = qz_fopen_chk_wmode(name);
  FILE* fp = out.get();
  const int n = s.num_cal_pix_side;
  const double p = s.disksize != 0.0 ? n / s.disksize : 0.0;

  std::fprintf(fp, "%s\n", kind == ResultKind::intensity ? "SIM_RESULT" : "SIM_COHERENT_RESULT");
  std::fprintf(fp, "# %s\n#\nVISUAL{\n# default max and min [>0]\n", name.c_str());
  if (kind == ResultKind::intensity) {
    double hi = 0, lo = 0;
    if (s.num_g > 0 && s.num_k_points > 0) hi = lo = s.intensity(0, t, 0);
    for (int i = 0; i < s.num_g; ++i)
      for (int k = 0; k < s.num_k_points; ++k) {
        const double v = s.intensity(i, t, k);
        if (v > hi) hi = v;
        if (v < lo) lo = v;
      }
    std::fprintf(fp, "%g\t%g\n", hi, lo);
  } else {
    std::fprintf(fp, "%g\t%g\n", 10000.0, 0.0);
  }
  std::fprintf(fp,
               "# default gamma [>0]\n1.0\n# defalut magnification (integer only)\n1\n"
               "# default contrast-reverse-flag\n#  1:reverse, 0:not reverse\n0\n}VISUAL\n#\n");
  std::fprintf(fp, "CR_PARAMETERS{\n# lattice parameter\n# a,b,c,alpha,beta,gamma\n");
  std::fprintf(fp, "%g\t%g\t%g\t%g\t%g\t%g\n", lp[0], lp[1], lp[2], lp[3], lp[4], lp[5]);
  std::fprintf(fp, "# incident direction\n%d\t%d\t%d\n", s.incidence.h, s.incidence.k, s.incidence.l);
  std::fprintf(fp, "# zolzbase1\n%g\t%g\t%g\n", s.zolzbase1[0], s.zolzbase1[1], s.zolzbase1[2]);
  std::fprintf(fp, "# tilt HG\n%g\t%g\n", s.tiltH, s.tiltG);
  std::fprintf(fp, "# thickness [Angstrom]\n%g\n}CR_PARAMETERS\n#\n", s.thickness[t]);
  std::fprintf(fp, "RF_INDEX{\n# reflections\n# number of reflections\n%d\n# h k l, position (pixel coord)\n",
               s.num_g);
  for (int i = 0; i < s.num_g; ++i) {
    const Hkl& g = s.beams[s.cal_g[i]];
    double x = 0, y = 0;
    proj_to_zolz(g, s.incidence, s.zolzbase1, lm, &x, &y);
    std::fprintf(fp, "%d\t%d\t%d\t%g\t%g\n", g.h, g.k, g.l, x * p, y * p);
  }
  std::fprintf(fp, "}RF_INDEX\nCOORD{\n");
  std::fprintf(fp, "%d %d    #num_pix, num_pix_side\n", s.num_k_points, n);
  std::fprintf(fp, "%g %g %g %g    #Hbgn Hend Gbgn Gend\n", s.Hbgn, s.Hend, s.Gbgn, s.Gend);
  std::fprintf(fp, "# H, G, ih, ig, flag\n");
  for (int k = 0; k < s.num_k_points; ++k) {
    const k_point& q = s.kp[k];
    if (kind == ResultKind::intensity)
      std::fprintf(fp, "%g %g %d %d %d\n", q.H - s.tiltH, q.G - s.tiltG, q.ih, q.ig, q.flag);
    else
      std::fprintf(fp, "%g\t%g\t%d\t%d\t%d\n", q.H, q.G, q.ih, q.ig, q.flag);
  }
  std::fprintf(fp, "}COORD\n# intensities\n");
  const double amp_scale = std::sqrt(epsilon.intensity_scaling);
  for (int i = 0; i < s.num_g; ++i) {
    const Hkl& g = s.beams[s.cal_g[i]];
    std::fprintf(fp, "RF{\n# hkl\n%d\t%d\t%d\n", g.h, g.k, g.l);
    for (int k = 0; k < s.num_k_points; ++k) {
      if (kind == ResultKind::intensity) {
        std::fprintf(fp, "%g\n", s.intensity(i, t, k));
      } else {
        const complex a = (*amplitude)(i, t, k);
        std::fprintf(fp, "%g\t%g\n", a.re * amp_scale, a.im * amp_scale);
      }
    }
    std::fprintf(fp, "}RF\n");
  }
  qz_fclose(out);
}

void write_results_and_script(const sd& s, const double lp[6], const std::string& base_name, ResultKind kind,
                              const Tensor3<complex>* amplitude) {
  const std::string script = base_name + "_tlv.txt";
  OutputFile sc = qz_fopen_chk_wmode(script);
  const bool coherent = kind == ResultKind::coherent;
  std::fprintf(sc.get(),
               "TALVIS_SCRIPT\n# script for talvis.\n%s\n#\n# VISUAL\n"
               "# rs_file gamma_coef mag(int) cont_reverse_flag\n#\nHTML_OPEN\n%s_.html\n#\n",
               coherent ? "SIM_COHERENT_VISUAL_MODE" : "SIM_VISUAL_MODE", base_name.c_str());
  for (int t = 0; t < s.num_thickness; ++t) {
    const std::string name = base_name + "_rs" + std::to_string(t) + ".txt";
    write_result_file(name, s, lp, t, kind, amplitude);
    std::fprintf(sc.get(), "%s\n%s %g 1 %d\n", coherent ? "SIM_COHERENT_VISUALIZE" : "SIM_VISUALIZE",
                 name.c_str(), 0.5, coherent ? 0 : 1);
  }
  std::fprintf(sc.get(), "HTML_CLOSE\n");
  qz_fclose(sc);
  std::printf("\nThe script for visualization ==> %s\n", script.c_str());
  std::printf("Usage: talvis %s\n", script.c_str());
}

}  // namespace

void sim_output(const sd& s, const double lp[6], const std::string& base_name, FILE* /*log*/) {
  write_results_and_script(s, lp, base_name, ResultKind::intensity, nullptr);
}

void sim_coherent_output(const sd& s, const double lp[6], const Tensor3<complex>& amplitude,
                         const std::string& base_name, FILE* /*log*/) {
  write_results_and_script(s, lp, base_name, ResultKind::coherent, &amplitude);
}

void input_sim_coherent_data(sd& s, csd& /*c*/, FILE* fp) {
  chk_data("COHERENT{", fp);
  s.cs = fget_d(fp);
  s.defocus = fget_d(fp);
  fget_3d(&s.probe[0], &s.probe[1], &s.probe[2], fp);
  chk_data("}COHERENT", fp);
}

bool calc_coherent_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log) {
  RunControl rc = program_run_control();
  const lattice_metric lm = bravai(lattice_parameters(c));
  calc_kxy_tilt(s, lm, rc.epsilon);
  std::printf("$$ num_k_points = %d, num_k_points_effective = %d\n", s.num_k_points, s.num_k_points_effective);
  report_job_conditions(log, s, lm);
  choose_eigen_solver(log, s, rc);
  const engine_setup job = make_engine_setup(c, s, vg, lm, rc);

  CVector phase = alloc_vector<complex>(static_cast<std::size_t>(s.num_k_points));
  calc_initial_phase(s, job.lambda, phase.data(), lm);
  s.intensity = Tensor3<double>(1, 1, 1);
  Tensor3<complex> amplitude(s.num_g, s.num_thickness, s.num_k_points);
  const std::vector<int> todo = computed_tilts(s);
  const RankShare share = rank_share();
  const int n = static_cast<int>(todo.size());
  const int slot = 2 * s.num_g * s.num_thickness;  // real and imaginary parts
  const std::vector<int> mine_tilts = rank_tilts(todo, share);
  const int threads = tilt_threads_for(static_cast<int>(mine_tilts.size()), rc);

  std::printf("Intensity calculation\n");
  console_progress console;
  const std::vector<double> mine = simulate_tilts_coherent(job, s, phase.data(), mine_tilts, threads, console);
  std::vector<double> all;
  if (!gather_item_slots(n, slot, mine, all)) return false;
  for (int i = 0; i < n; ++i)
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t) {
        const double* v = &all[static_cast<std::size_t>(i) * slot + 2 * (g * s.num_thickness + t)];
        amplitude(g, t, todo[i]) = complex{v[0], v[1]};
      }
  std::printf("$$Intensity output\n");
  sim_coherent_output(s, lattice_parameters(c), amplitude, base_name, log);
  write_cbed_hdf5(base_name, s, c, &amplitude);
  return true;
}

CMatrix sd_potential_matrix(const sd& s, csd& c, const lattice_metric& lm, FILE* log, bool share_ranks) {
  const int n = s.num_exact_beam + s.num_bethe_beam;
  int error_flag = 0;
  CMatrix vg = condition_potential_matrix(s, c, lm, &error_flag, true, tilt_loop_threads(), share_ranks);
  if (error_flag) {
    // A structure factor computed from clamped or missing site factors
    // would silently falsify every intensity: name the first reflection
    // and site that failed, and end the run.
    std::string why;
    for (int i = 0; i < n && why.empty(); ++i)
      for (int j = 0; j < n && why.empty(); ++j) {
        const Hkl h{s.beams[i].h - s.beams[j].h, s.beams[i].k - s.beams[j].k, s.beams[i].l - s.beams[j].l};
        why = fg_failure_text(h, s.voltage, lm, c);
      }
    if (why.empty()) why = "a site's scattering factors could not be computed";
    const std::string msg = "$$ Error in Fg calc: " + why + ".\n$$ Abort.\n";
    if (log) qz_fprintf(log, "%s", msg.c_str());
    fatal_out("%s", msg.c_str());
  }
  debug_vg_dump(vg, n);
  return vg;
}

JobSize sim_job_size(const sd& s, bool coherent) {
  const double n = s.num_cal_pix_side;
  const double points = s.calc_type == 0 ? 1.0 : s.calc_type == 1 ? n : n * n;
  const double beams = static_cast<double>(s.num_exact_beam) + s.num_bethe_beam;
  const double values = points * s.num_g * s.num_thickness * (coherent ? 2.0 : 1.0);
  const double threads = std::max(1, tilt_loop_threads());
  JobSize size;
  // The potential matrix, each thread's eigenproblem (matrix, vectors, their
  // inverse and work copies: about eight complex N x N arrays), and the
  // result held twice while it is gathered.
  size.memory_bytes = 16.0 * beams * beams * (1.0 + 8.0 * threads) + 3.0 * 8.0 * values;
  // Every value is written as text (about 14 characters) and once more in
  // the HDF5 file.
  size.output_bytes = values * (14.0 + 8.0);
  return size;
}

namespace {

// Steps shared by both jobs before the tilt loop: crystal, condition block(s),
// metric and the potential matrix.
struct PreparedJob {
  csd crystal;
  sd cond;
  CMatrix vg;
};

void prepare_job(PreparedJob& j, FILE* fp, FILE* log, const std::string& base_name, bool coherent) {
  input_csd_cstr(j.crystal, fp, base_name);
  input_sim_data(j.cond, j.crystal, fp);
  if (coherent) input_sim_coherent_data(j.cond, j.crystal, fp);
  check_job_size(sim_job_size(j.cond, coherent), coherent ? "coherent CBED simulation" : "CBED simulation");
  const lattice_metric lm = bravai(lattice_parameters(j.crystal));
  std::printf("Potential:\n");
  std::fflush(stdout);
  // The simulation jobs run on every MPI rank: the structure factors are
  // shared out over the ranks.
  j.vg = sd_potential_matrix(j.cond, j.crystal, lm, log, true);
  dbg_dump_ini_sim();
}

}  // namespace

void qz_simulation(FILE* fp, FILE* log, const std::string& base_name) {
  PreparedJob j;
  prepare_job(j, fp, log, base_name, false);
  if (calc_cbed_pattern(j.crystal, j.cond, j.vg, base_name, log))
    write_cbed_hdf5(base_name, j.cond, j.crystal, nullptr);
}

void qz_sim_coherent(FILE* fp, FILE* log, const std::string& base_name) {
  PreparedJob j;
  prepare_job(j, fp, log, base_name, true);
  calc_coherent_cbed_pattern(j.crystal, j.cond, j.vg, base_name, log);
}

}  // namespace kv
