#pragma once
// A CBED simulation as a function of values: the crystal, the simulation
// condition (geometry, beam set, output reflections and thicknesses, tilt
// grid) and the run-control values go in; intensities, or complex
// amplitudes for a coherent probe, come out. Nothing here reads or writes a
// file or a process-wide record, so that simulations with different values
// may run side by side in one process (threads, a Python session, a fit
// that compares beam sets). Progress goes to what the caller supplies.
//
// The korvex jobs, the refinement and the image import all run their tilts
// through these functions.
#include <functional>
#include <vector>

#include "bloch/engine.hpp"
#include "crystal/crystal.hpp"
#include "crystal/lattice.hpp"
#include "model/condition.hpp"
#include "numeric/matrix.hpp"
#include "sim/parallel.hpp"
#include "sim/runctl.hpp"

namespace kv {

// Lays the grid of incident-beam tilts of s: s.zolzbase2 from the incidence
// and g1, then s.kp and s.tilt (K_t = (H g1 + G g2) / 2 of every point), the
// point counts and the ranges. calc_type 0 is the one tilt (tiltH, tiltG),
// 1 a line along g1, 2 the disk (points farther than disksize +
// general_eps from the centre are flagged 0 and not computed), 3 the square.
void calc_kxy_tilt(sd& s, const lattice_metric& lm, const Epsilon& eps);
// The tilts inside the disk (flag 1), in grid order.
std::vector<int> computed_tilts(const sd& s);

// The potential matrix V(g_i - g_j) (volts) of the condition's beams;
// *error_flag is 1 when a structure factor could not be evaluated normally.
// show_progress writes the 5%10%... line of the rows on standard output.
// The structure factors are computed on `threads` threads; the matrix is
// the same, bit for bit, on any count; share_ranks shares them out over
// the MPI ranks too (every rank must then make the call).
CMatrix condition_potential_matrix(const sd& s, csd& c, const lattice_metric& lm, int* error_flag,
                                   bool show_progress, int threads = 1, bool share_ranks = false);

// The Bloch-wave engine's per-job constants for one condition and potential
// matrix; vg, s.beams, s.cal_g and s.thickness must outlive the setup.
engine_setup make_engine_setup(csd& c, const sd& s, const CMatrix& vg, const lattice_metric& lm,
                               const RunControl& rc);

// The initial phase of every tilt of a coherent probe (Cs, defocus and
// probe position of s) at wavelength lambda.
void calc_initial_phase(const sd& s, double lambda, complex* phase, const lattice_metric& lm);

// Threads of a loop over n tilts under rc: num_threads resolved against the
// cores, at most one per tilt, 1 while a per-tilt debug dump is on.
int simulation_threads(const RunControl& rc, int n);

// The tilts `tilts` (indices into s.kp) solved on `threads` threads: per
// tilt in the order given, num_g x num_thickness intensities (reflection
// outer), scaled by rc.epsilon.intensity_scaling.
std::vector<double> simulate_tilts(const engine_setup& job, const sd& s, const std::vector<int>& tilts,
                                   int threads, loop_progress& progress);
// The same for a coherent probe with the tilts' initial phases: per tilt
// num_g x num_thickness complex amplitudes as (re, im) pairs, unscaled.
std::vector<double> simulate_tilts_coherent(const engine_setup& job, const sd& s, const complex* phase,
                                            const std::vector<int>& tilts, int threads, loop_progress& progress);

// What a simulation returns, with the beams and tilts that produced it.
struct sim_result {
  int num_exact_beam = 0, num_bethe_beam = 0;
  BeamList beams;                  // exact beams first, 000 first of all
  std::vector<Hkl> reflections;    // the output reflections
  std::vector<double> thickness;   // angstrom
  std::vector<k_point> tilts;      // the grid in units of g1/2; flag 0: outside the disk, not computed
  std::vector<Vec3> tilt_vectors;  // K_t of every grid point
  // [reflection][thickness][tilt]: intensities scaled by intensity_scaling
  // (simulate), or amplitudes, unscaled (simulate_coherent). Points outside
  // the disk hold zeros.
  Tensor3<double> intensity;
  Tensor3<complex> amplitude;
  int threads = 1;                 // threads the tilt loop ran on
};

// Called with (tilts done, tilts in all) from the calling thread.
using progress_callback = std::function<void(int, int)>;

// The intensities of the condition's output reflections at its thicknesses
// over its tilt grid (laid here when s has none). The crystal is copied:
// the caller's record is not touched. The eigen and entrance-condition
// solvers are rc's where it set them, else those a job chooses for the
// exact-beam count.
sim_result simulate(const csd& crystal, const sd& s, const RunControl& rc, const progress_callback& progress = {});
// The complex amplitudes of a coherent probe (Cs, defocus, probe position).
sim_result simulate_coherent(const csd& crystal, const sd& s, const RunControl& rc,
                             const progress_callback& progress = {});

}  // namespace kv
