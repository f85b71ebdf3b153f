#pragma once
// The CBED pattern simulation job ("SIM_MODE") and the coherent-probe job
// ("SIM_COHERENT_MODE"): the simulation-condition record, its parameter-file
// block, the grid of incident-beam tilts over one disk, the tilt loop and the
// SIM_RESULT files with their talvis script.
#include "sim/runctl.hpp"
#include <cstdio>
#include <string>
#include <vector>

#include "beams/beam_search.hpp"
#include "bloch/engine.hpp"
#include "crystal/lattice.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct csd;

// One point of the tilt grid.
struct k_point {
  int ih = 0, ig = 0;
  int flag = 0;  // 1 inside the disk (computed), 0 outside
  double H = 0, G = 0;
};

// The simulation-condition record of the simulation jobs.
struct sd {
  Hkl incidence;  // [u v w], upward
  Hkl normal;     // surface normal [u v w], upward
  Vec3 zolzbase1{};
  Vec3 zolzbase2{};
  double tiltH = 0, tiltG = 0;
  double voltage = 0;  // kV
  // Tilts and disk size written in mrad, converted to units of g1/2 once the
  // wavelength and |g1| are known.
  bool tiltH_mrad = false, tiltG_mrad = false, disk_mrad = false;
  beam_search bs;
  int num_exact_beam = 0, num_bethe_beam = 0;
  BeamList beams;  // exact beams first, 000 first of all
  // What the automatic beam search left out, per limit (empty for a manual
  // list); shown on standard output by the search, kept for the log and the
  // reflection listing.
  std::string beam_left_out;
  int num_g = 0;
  std::vector<int> cal_g;  // output reflections, indices into beams
  int num_thickness = 0;
  std::vector<double> thickness;  // angstrom
  int calc_type = 0;  // 0 one tilt, 1 line, 2 disk, 3 square
  double disksize = 0;
  double Hbgn = 0, Hend = 0, Gbgn = 0, Gend = 0;
  int num_k_points = 0, num_k_points_effective = 0;
  int num_cal_pix_side = 0;
  std::vector<Vec3> tilt;  // K_t of each point
  std::vector<k_point> kp;
  Tensor3<double> intensity;  // num_g x num_thickness x num_k_points, scaled
  // Coherent probe (COHERENT block).
  double cs = 0, defocus = 0;
  Vec3 probe{};
  // Bloch-wave branches to output (from 1), and the real-space map of the
  // Bloch states: nx x ny points over x_range along x1 and y_range along x2.
  int branch_begin = 0, branch_end = 0;
  int nx = 0, ny = 0;
  double x_range[2] = {0, 0}, y_range[2] = {0, 0};
  Vec3 x1{}, x2{};
};

// Pieces of the condition blocks shared by every simulation job.
// INCIDENT_BEAM{...}: incidence, normal, g1, centre tilt, voltage.
void fget_sd_incident_beam(sd& s, FILE* fp);
// Converts the tilts and disk size written in mrad.
void apply_microscope_units(sd& s, const lattice_metric& lm);
// Voltage, wavelength, |g1|, disk size, beam counts, thicknesses and the
// number of tilts, on the log and standard output.
void report_job_conditions(FILE* log, const sd& s, const lattice_metric& lm);
// CALC_KXY_RANGE{...}: calc_type, points a side and disk size (also given to
// the beam search); `hint` goes with a missing keyword. A calc_type outside
// 0..3 is refused with the CBED job's message or, when sim_message is false,
// with that of the Bloch-wave analysis jobs.
void fget_sd_kxy_range(sd& s, FILE* fp, const char* hint, bool sim_message);
// BEAM_SEARCH{...}: the selected beams.
void fget_sd_beam_block(sd& s, csd& c, FILE* fp, const lattice_metric& lm);
// The listing of the selected beams ("%s_fg0.txt"), written once the whole
// calculation condition has been read, so that a refusal found by reading
// leaves no listing of a job that never ran.
void write_beam_listing(const sd& s, csd& c, const lattice_metric& lm);
// OUTPUT_REFLEX{...}: the output reflections. A count of 0 gives every exact
// beam when zero_means_all, else no reflection. With the crystal c, a
// reflection missing because its structure factor vanishes gets a message
// that names forbidden_beam_flag.
void fget_sd_output_reflex(sd& s, FILE* fp, bool zero_means_all, csd* c = nullptr);
// OUTPUT_THICKNESS{...}: the list of thicknesses.
void fget_sd_output_thickness(sd& s, FILE* fp);

void input_sim_data(sd& s, csd& c, FILE* fp);
void fget_sd_beams(sd& s, csd& c, FILE* fp);
void fget_cal_g(int num_g, int num_exact_beam, int num_bethe_beam, int* cal_g, const BeamList& beams,
                FILE* fp, csd* c = nullptr, double kv = 0.0);
void fget_cal_thick(int num_thickness, double* thickness, FILE* fp);
// Memory and output of a simulation job of condition s, estimated from its
// tilt, beam, reflection and thickness counts.
JobSize sim_job_size(const sd& s, bool coherent);
void calc_kxy_tilt(sd& s, const lattice_metric& lm);
// The Bloch-wave engine's per-job constants for one condition record.
engine_setup make_engine_setup(csd& c, const sd& s, const CMatrix& vg, const lattice_metric& lm);
// The potential matrix of the record's beams, with the report of a
// structure-factor failure on standard output and the log.
CMatrix sd_potential_matrix(const sd& s, csd& c, const lattice_metric& lm, FILE* log);
// The tilt loops of the two simulation jobs, spread over the MPI ranks when
// there are several. They write the result files and return true on the rank
// that gathered the whole pattern, and return false on the other ranks.
bool calc_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log);
void sim_output(const sd& s, const double lp[6], const std::string& base_name, FILE* log);
void dbg_dump_ini_sim();

void input_sim_coherent_data(sd& s, csd& c, FILE* fp);
void calc_initial_phase(const sd& s, double lambda, complex* phase, const lattice_metric& lm);
bool calc_coherent_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log);
void sim_coherent_output(const sd& s, const double lp[6], const Tensor3<complex>& amplitude,
                         const std::string& base_name, FILE* log);

}  // namespace kv
