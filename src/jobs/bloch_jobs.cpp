// The jobs that study the Bloch-wave solution itself: the dispersion surface
// ("DISPSURF_MODE"), the Bloch states of one tilt ("BLOCH_MODE") and the
// thickness fringes of one tilt ("TFRINGE_MODE"). Each reads its own
// condition block into the simulation-condition record, prepares the
// potential matrix and the tilt grid as the CBED job does, and hands over to
// one analysis of the Bloch-wave engine.
#include "jobs/bloch_jobs.hpp"

#include <algorithm>
#include <cstdio>

#include "bloch/bloch_analysis.hpp"
#include "input/crystal_data.hpp"
#include "input/fields.hpp"
#include "jobs/cell_map_views.hpp"
#include "jobs/jobs.hpp"
#include "jobs/simulation.hpp"
#include "jobs/tfringe_page.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// OUTPUT_BRANCH{...}: branch_begin and branch_end, 1 <= begin <= end <= the
// number of exact beams.
void fget_sd_branch(sd& s, FILE* fp, bool abort_word) {
  chk_data("OUTPUT_BRANCH{", fp);
  fget_2i(&s.branch_begin, &s.branch_end, fp);
  if (s.branch_begin < 1 || s.branch_begin > s.branch_end || s.branch_end > s.num_exact_beam) {
    if (abort_word)
      fatal_out("$$ Invalid paramter: branch_begin = %d, branch_end = %d. Abort.\n", s.branch_begin, s.branch_end);
    fatal_out("$$ Invalid paramter: branch_begin = %d, branch_end = %d\n", s.branch_begin, s.branch_end);
  }
  chk_data("}OUTPUT_BRANCH", fp);
}

const double* lattice_parameters(const csd& c) { return c.lp.data(); }

// The least a written result line takes: a few numbers of about 14 characters.
constexpr double kTextLineBytes = 30.0;

// What the three jobs share before their analysis: the crystal and the job's
// condition block read from the input, the lattice metric and the potential
// matrix of the selected beams. The engine setup points at `vg`, so the record
// stays where the job made it.
struct bloch_job_input {
  csd crystal;
  sd cond;
  lattice_metric lm;
  CMatrix vg;
};

// Memory of the eigenproblems (as the CBED job) and output of every tilt's
// branch records, reflection amplitudes and intensities; the map points of
// a Bloch-state job on top.
JobSize bloch_job_size(const sd& s) {
  JobSize size = sim_job_size(s, false);
  const double n = s.num_cal_pix_side;
  const double points = s.calc_type == 0 ? 1.0 : s.calc_type == 1 ? n : n * n;
  const double branches = std::max(0, s.branch_end - s.branch_begin + 1);
  size.output_bytes += 14.0 * points * branches * (5.0 + 2.0 * s.num_g);
  size.output_bytes += 14.0 * static_cast<double>(s.nx) * s.ny * branches * 2.0;
  return size;
}

void read_bloch_job(bloch_job_input& in, void (*read_condition)(sd&, csd&, FILE*), const char* potential_note,
                    FILE* fp, FILE* log, const std::string& base_name) {
  input_csd_cstr(in.crystal, fp, base_name);
  read_condition(in.cond, in.crystal, fp);
  check_job_size(bloch_job_size(in.cond), "Bloch-wave job");
  in.lm = bravai(lattice_parameters(in.crystal));
  std::printf("%s", potential_note);
  in.vg = sd_potential_matrix(in.cond, in.crystal, in.lm, log);
}

}  // namespace

void input_dispsurf_data(sd& s, csd& c, FILE* fp) {
  const lattice_metric lm = bravai(lattice_parameters(c));
  chk_data("DISPSURF_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_sd_kxy_range(s, fp, " Caution!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$", false);
  fget_sd_beam_block(s, c, fp, lm);
  fget_sd_branch(s, fp, true);
  fget_sd_output_reflex(s, fp, false, &c);
  fget_sd_output_thickness(s, fp);
  chk_data("}DISPSURF_CALCULATION_CONDITION", fp);
  write_beam_listing(s, c, lm);
}

void input_bloch_data(sd& s, csd& c, FILE* fp) {
  const lattice_metric lm = bravai(lattice_parameters(c));
  chk_data("BLOCH_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_sd_kxy_range(s, fp, "$$$ Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$$$$", false);
  std::printf("$$disksize = %f\n", s.disksize);
  fget_sd_beam_block(s, c, fp, lm);

  chk_data("CALC_RXY_RANGE{", fp);
  zolz_ort_base_two_uvw(s.incidence, s.zolzbase1, lm, &s.x1, &s.x2);
  std::printf("real-space base-vector ( length = 1/|zolzbase1| )\n");
  std::printf("x1 = %g %g %g, x2 = %g %g %g\n", s.x1[0], s.x1[1], s.x1[2], s.x2[0], s.x2[1], s.x2[2]);
  fget_2i(&s.nx, &s.ny, fp);
  if (s.nx < 1 || s.ny < 1)
    fatal_out("$$ Invalid map size: nx = %d, ny = %d (at least 1 point each). Abort.\n", s.nx, s.ny);
  // Each map point is held as a complex wave field and written as a text
  // line of a few numbers for every branch.
  const double points = static_cast<double>(s.nx) * s.ny;
  check_job_size(JobSize{16.0 * points, kTextLineBytes * points}, "Bloch-state map");
  fget_2d(&s.x_range[0], &s.x_range[1], fp);
  fget_2d(&s.y_range[0], &s.y_range[1], fp);
  chk_data("}CALC_RXY_RANGE", fp);

  fget_sd_branch(s, fp, false);
  chk_data("}BLOCH_CALCULATION_CONDITION", fp);
  s.num_thickness = 0;
  write_beam_listing(s, c, lm);
}

void input_tfringe_data(sd& s, csd& c, FILE* fp) {
  const lattice_metric lm = bravai(lattice_parameters(c));
  chk_data("TFRINGE_CALCULATION_CONDITION{", fp);
  fget_sd_incident_beam(s, c, fp);
  fget_sd_kxy_range(s, fp, " Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH!", false);
  fget_sd_beam_block(s, c, fp, lm);

  chk_data("CALC_T_RANGE{", fp);
  s.num_thickness = fget_i(fp);
  std::printf("  sd->num_thickness = %d\n", s.num_thickness);
  if (s.num_thickness < 1)
    fatal_out("$$ Invalid num_thickness(=%d): at least one thickness is needed. Abort.\n", s.num_thickness);
  // One line per thickness in the fringe file, and the thickness list itself.
  check_job_size(JobSize{8.0 * s.num_thickness, kTextLineBytes * s.num_thickness}, "thickness-fringe job");
  double t_begin = 0, t_end = 0;
  fget_2d(&t_begin, &t_end, fp);
  chk_data("}CALC_T_RANGE", fp);
  s.thickness = alloc_vector<double>(static_cast<std::size_t>(s.num_thickness));
  // A single thickness is t_begin (no step to divide by).
  for (int i = 0; i < s.num_thickness; ++i)
    s.thickness[i] =
        s.num_thickness > 1 ? (t_end - t_begin) * i / (s.num_thickness - 1) + t_begin : t_begin;

  fget_sd_output_reflex(s, fp, true, &c);
  chk_data("}TFRINGE_CALCULATION_CONDITION", fp);
  write_beam_listing(s, c, lm);
}

void qz_dispersion_surface(FILE* fp, FILE* log, const std::string& base_name) {
  bloch_job_input in;
  read_bloch_job(in, input_dispsurf_data, "Potential.\n", fp, log, base_name);
  sd& cond = in.cond;
  calc_kxy_tilt(cond, in.lm, epsilon);
  std::printf("$$ num_k_points = %d\n", cond.num_k_points);
  report_job_conditions(log, cond, in.lm);
  const engine_setup job = make_engine_setup(in.crystal, cond, in.vg, in.lm, program_run_control());
  cond.intensity = Tensor3<double>(1, 1, 1);

  std::vector<ds_point> points(static_cast<std::size_t>(cond.num_k_points));
  for (int k = 0; k < cond.num_k_points; ++k) points[k] = ds_point{cond.tilt[k], cond.kp[k].H, cond.kp[k].G};
  calc_disp_surf_ug(points, job, cond.branch_begin, cond.branch_end, base_name);
}

void qz_bloch_state(FILE* fp, FILE* log, const std::string& base_name) {
  bloch_job_input in;
  read_bloch_job(in, input_bloch_data, "Potential calc.\n", fp, log, base_name);
  sd& cond = in.cond;
  const engine_setup job = make_engine_setup(in.crystal, cond, in.vg, in.lm, program_run_control());
  calc_kxy_tilt(cond, in.lm, epsilon);
  report_job_conditions(log, cond, in.lm);
  cond.intensity = Tensor3<double>(1, 1, 1);

  rxy_map map;
  map.nx = cond.nx;
  map.ny = cond.ny;
  map.x_range[0] = cond.x_range[0];
  map.x_range[1] = cond.x_range[1];
  map.y_range[0] = cond.y_range[0];
  map.y_range[1] = cond.y_range[1];
  map.x1 = cond.x1;
  map.x2 = cond.x2;
  calc_bloch_state_ug(cond.tilt[0], job, map, cond.branch_begin, cond.branch_end, base_name, log);
  write_bloch_state_page(base_name, in.crystal, map.nx, map.ny, map.x_range, map.y_range, map.x1.data(),
                         map.x2.data(), cond.branch_begin, cond.branch_end);
}

void qz_tfringe(FILE* fp, FILE* log, const std::string& base_name) {
  bloch_job_input in;
  read_bloch_job(in, input_tfringe_data, "Potential.\n", fp, log, base_name);
  sd& cond = in.cond;
  const engine_setup job = make_engine_setup(in.crystal, cond, in.vg, in.lm, program_run_control());
  calc_kxy_tilt(cond, in.lm, epsilon);
  report_job_conditions(log, cond, in.lm);
  cond.intensity = Tensor3<double>(1, 1, 1);
  calc_tfringe_ug(cond.tilt[0], job, base_name);
  tfringe_export_and_script(cond.tilt[0], job, cond, in.crystal, base_name);
}

}  // namespace kv
