#pragma once
// Gnuplot plots of the Bloch-wave analyses: the dispersion surface (Re k_z,
// Im k_z and the excitations eps^2 of each branch along the tilt line), the
// projected potential and the probability density of each Bloch state. Each
// plot is a gnuplot script beside its data file; gnuplot is run on it at
// once and the PNG picture it makes is linked from the open HTML page.
#include <cstdio>
#include <string>
#include <vector>

namespace kv {

// Columns (counted from 1) of one branch in a dispersion-surface file.
struct DispsurfColumns {
  int re_kz = 0;   // Re(kz<b>)
  int im_kz = 0;   // Im(kz<b>)
  int sq_eps = 0;  // Sq(eps<b>)
};

// The columns of `branch` found by their labels in the column-label line of
// a dispersion-surface file (the line that begins "kxy(H)"). The file holds
// only the branches its calculation was asked for, so the columns follow
// from the labels, not from the branch number alone. A branch that the line
// does not name ends the run.
DispsurfColumns dispsurf_columns(const std::string& label_line, int branch, const std::string& ds_file);

// Writes and runs "<base>_ds_re.plt", "<base>_ds_im.plt" and
// "<base>_ds_sqeps.plt" for branches branch_begin..branch_end of the
// dispersion-surface file, each with its picture on the page. The amplitude
// and intensity files and their counts are taken but not plotted.
void pltout_dispsurf(int branch_begin, int branch_end, int num_rf_amp, int num_thick, const std::string& ds_file,
                     const std::string& amp_file, const std::string& int_file, const std::string& base, FILE* page);

// Writes and runs "<base>_pp.plt", the surface plot of a projected-potential
// grid file, with its picture on the page.
void pltout_pp(const std::string& pp_file, const std::string& base, FILE* page);

// Writes and runs "<base>_b<branch>.plt", the surface plot of the
// probability density of one Bloch state, with its picture and excitation
// on the page.
void pltout_bloch(const std::string& branch_file, const std::string& base, int branch, double eps2, FILE* page);

// The rows of a refinement's chi-squared history ("<base>_chisq.txt":
// iteration, chi-squared, reduced chi-squared, lambda, seconds; '#' lines are
// comments). A row without a finite iteration and a non-negative finite
// chi-squared, or a file without rows, ends the run.
struct ChisqHistory {
  int rows = 0;
  double first = 0.0;  // chi-squared of the first row (the start)
  double last = 0.0;   // and of the last
  int last_iteration = 0;
};
ChisqHistory read_chisq_history(const std::string& data_file);

// Writes and runs "<base>.plt" (base: the history file's name without its
// extension), the plot of chi-squared against iteration, and writes the page
// "<base>_.html" with its picture, the start and final chi-squared and links
// to the given fit-result pages.
void pltout_chisq(const std::string& data_file, const std::vector<std::string>& result_pages);

}  // namespace kv
