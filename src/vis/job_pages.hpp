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

}  // namespace kv
