#pragma once
// The page of a refinement ("%s_fit_page.html" and its PNG pictures), drawn
// from the fit record: per dataset, block and reflection the observed disk,
// the model at the start and at the end on one colour scale with its bar,
// and the normalised difference (obs - cal) / s.d. on a diverging map;
// profiles along g1 and g2 through the disk centre with error bars; the
// table of refined parameters; the correlations as a heat map; chi-squared
// and lambda against iteration; and the observed and refined disks laid out
// as in the CBED pattern.
#include <string>

#include "results/fit_record.hpp"

namespace kv {

// Pixels along the side of one disk panel.
inline constexpr int kFitPanelPx = 176;

// Writes the page and its pictures in the working folder, named from
// rec.base_name; returns the page's name.
std::string write_fit_page(const fit_record& rec);

// The page's name for a base name.
std::string fit_page_name(const std::string& base_name);

}  // namespace kv
