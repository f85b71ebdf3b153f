#pragma once
// Analyses of the Bloch-wave solution itself: the dispersion surface along a
// list of tilts, the real-space Bloch states of one tilt together with the
// projected potential, and the thickness fringes of one tilt. Each writes
// text result files named from a base name s; the first two also write a
// talvis script.
#include <cstdio>
#include <string>

#include "bloch/engine.hpp"

namespace kv {

// The per-tilt solution shared by the analyses: geometry, beam selection,
// structure matrix, Bethe reduction, eigen solution, entrance-surface
// boundary condition and branch limitation. The output positions w.pos are
// those of job.cal_g. Returns K_n.
double solve_bloch_tilt(const Vec3& kt, const engine_setup& job, work_cal_int& w);

// sum_g V_g exp(2 pi i g.r) over the first n beams, V_g = vg[g][0]
// (volts); r in fractional coordinates.
complex calc_projpot(const Vec3& r, int n, const BeamList& beams, const CMatrix& vg);
// sum_g c_g exp(2 pi i g.r) over the first n beams.
complex calc_inv_fourier(const Vec3& r, int n, const BeamList& beams, const complex* c);
// Bloch wave j (0-based) at r:
// exp(2 pi i K_t.r) sum_{g<n} C[g][j] / sqrt(beta_g) exp(2 pi i g.r).
complex calc_bloch_state_func_ug(int j, const Vec3& r, int n, const BeamList& beams, const Vec3& kt,
                                 const double* beta_sel, const CMatrix& c);

// One tilt of the dispersion surface: its vector and its (H, G) coordinates.
struct ds_point {
  Vec3 kt{};
  double H = 0, G = 0;
};

// Dispersion surface over the points, branches branch_begin..branch_end
// (from 1); reflections and thicknesses are those of job (cal_g,
// thickness). Writes s_ds.txt, s_amp.txt, s_int.txt and s_tlv.txt.
// Per-tilt re-selection is switched off (the whole beam list is used).
void calc_disp_surf_ug(const std::vector<ds_point>& points, const engine_setup& job, int branch_begin,
                       int branch_end, const std::string& s);

// Real-space map of the Bloch states: nx x ny points, x from x_range[0] to
// x_range[1] along x1 and y likewise along x2 (fractional coordinates).
struct rxy_map {
  int nx = 1, ny = 1;
  double x_range[2] = {0, 0}, y_range[2] = {0, 0};
  Vec3 x1{}, x2{};
};
// Coordinate i of n equal steps from b to e (b alone when n = 1).
double map_coord(double b, double e, int i, int n);

// Bloch states of one tilt with the whole beam list: s_kn.txt, s_pp.txt,
// s_b<j>.txt for each branch and s_tlv.txt; report lines go to log.
void calc_bloch_state_ug(const Vec3& kt, const engine_setup& job, const rxy_map& map, int branch_begin,
                         int branch_end, const std::string& s, FILE* log);

// Thickness fringes of one tilt for job's reflections and thicknesses:
// s_int.txt, s_re_im.txt and the gnuplot script s.plt.
void calc_tfringe_ug(const Vec3& kt, const engine_setup& job, const std::string& s);

}  // namespace kv
