#pragma once
// HTML tables of a fit result (observed, calculated and difference pictures
// per reflection and thickness) and of a measured intensity file (observed
// and standard-deviation pictures). Each builder writes its own page
// "<base>_.html" beside the file it reads.
#include <string>

namespace kv {

// preset_max <= 0: every picture is scaled to its own reflection's range;
// otherwise the scale is drawn towards the common maximum by gamma.
void qz_fit_result_visualize(const std::string& file, int mag, int cont_rev, double preset_max, double gamma);
void qz_fit_expdata_visualize(const std::string& file, int mag, int cont_rev, double preset_max, double gamma);

// Grey-level maximum of a table row: the row's own maximum, or with a preset
// common maximum P, P (top / P)^(1 - gamma).
double fit_picture_max(double top, double preset_max, double gamma);

}  // namespace kv
