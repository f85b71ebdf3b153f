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
#include "model/condition.hpp"
#include "model/simulate.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct csd;

// Pieces of the condition blocks shared by every simulation job.
// INCIDENT_BEAM{...}: incidence, normal, g1, centre tilt, voltage.
// INCIDENT_BEAM: zone axis, surface normal and g1 may be written with four
// (Miller-Bravais) indices when the crystal c has hexagonal axes.
void fget_sd_incident_beam(sd& s, const csd& c, FILE* fp);
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
// The potential matrix of the record's beams, with the report of a
// structure-factor failure on standard output and the log; share_ranks
// shares the structure factors out over the MPI ranks (only for a job that
// every rank runs).
CMatrix sd_potential_matrix(const sd& s, csd& c, const lattice_metric& lm, FILE* log, bool share_ranks = false);
// The tilt loops of the two simulation jobs, spread over the MPI ranks when
// there are several. They write the result files and return true on the rank
// that gathered the whole pattern, and return false on the other ranks.
bool calc_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log);
void sim_output(const sd& s, const double lp[6], const std::string& base_name, FILE* log);
void dbg_dump_ini_sim();

void input_sim_coherent_data(sd& s, csd& c, FILE* fp);
bool calc_coherent_cbed_pattern(csd& c, sd& s, const CMatrix& vg, const std::string& base_name, FILE* log);
void sim_coherent_output(const sd& s, const double lp[6], const Tensor3<complex>& amplitude,
                         const std::string& base_name, FILE* log);

}  // namespace kv
