#pragma once
// Potential coefficients of a job: the table V(g_i - g_j) for every pair of
// beams, built once per job, the mean wave number in the crystal, and the
// per-beam coefficient lists of the density and potential maps.
#include <vector>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct csd;

// V[i][j] = V_{g_i - g_j} in volts; *error_flag 1 when any structure factor
// could not be evaluated normally.
// show_progress writes the 5%10%... line of the rows; the refinement, which
// builds the matrix at every evaluation, turns it off. The structure factors
// are computed on `threads` threads; the matrix is the same on any count.
// With share_ranks the structure factors are shared out over the MPI ranks
// as well (a collective call: every rank must make it, with the same
// arguments); without it each rank computes them all.
void potential_matrix_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv,
                          const lattice_metric& lm, CMatrix& vg, int* error_flag, bool show_progress = true,
                          int threads = 1, bool share_ranks = false);
// V_g of each beam of the list.
void vgv_reim_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv, const lattice_metric& lm,
                  complex* vg);
// V_g and the X-ray structure factor (Mott-Bethe) of each beam of the list.
void vgv_fxgv_csd(int n_e0, int n_b0, const BeamList& beams, csd& c, double kv, const lattice_metric& lm,
                  complex* vg, complex* fxg);
// V_g (volts) of the first n beams of the list, as the potential matrix
// takes them (the user's low-order values where given), without progress.
std::vector<complex> beam_potentials(const BeamList& beams, int n, csd& c, double kv, const lattice_metric& lm);

}  // namespace kv
