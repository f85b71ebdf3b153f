#pragma once
// Pages of the job kinds whose results are curves: the thickness fringes
// (TFRINGE_VISUAL_MODE). Plots are gnuplot scripts with plain-text labels
// (no enhanced-text markup), drawn with the cairo PNG terminal.
#include <cstdio>
#include <string>
#include <vector>

namespace kv {

// The reflection labels of a fringe file's first line
// ("#thickness\t0_0_0\t1_-1_1 ..."), as "0 0 0", "1 -1 1".
std::vector<std::string> tfringe_labels(const std::string& header_line);

// Writes and runs "<base>_tfr.plt" (one panel per reflection) and
// "<base>_tfr_all.plt" (all reflections on one plot) and adds both
// pictures to the page.
void pltout_tfringe(const std::string& base, const std::string& int_file, const std::string& amp_file, FILE* page);

void job_tfringe_visual_mode(FILE* script);

// The labelled dispersion-surface plots beside the DISPSURF page, on the
// page "<base>_plots.html": Re k_z, Im k_z and eps^2 of every branch in
// distinct colours with plain-text labels and the key outside the plot, the
// Bloch-wave amplitudes |eps C_g| of every output reflection (one panel per
// reflection, one curve per branch) and the intensities (one panel per
// thickness, one curve per reflection). Each picture is made by gnuplot
// from "<base>_fig_*.plt".
void pltout_dispsurf_figures(int branch_begin, int branch_end, int num_rf_amp, int num_thick,
                             const std::string& ds_file, const std::string& amp_file, const std::string& int_file,
                             const std::string& base);

// The kinematic spheres written beside a dispersion surface
// ("<base>_ds_kin.txt"): per exact beam its column and "h k l".
struct KinematicCurve {
  int column;
  std::string hkl;
};
std::vector<KinematicCurve> kinematic_curves(const std::string& kin_file);

// "# g 0: 0 0 0" and "# thickness 0: 500[A]" comment lines of the amplitude
// and intensity files, as "0 0 0" and "500 A".
std::vector<std::string> comment_labels(const std::string& file, const std::string& key);

}  // namespace kv
