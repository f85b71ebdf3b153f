#include "expdata/fed_constraints.hpp"

#include <cstdio>
#include <functional>

#include "input/constraints.hpp"
#include "sim/qzio.hpp"

namespace kv {

namespace {

// Visits every refinable parameter of the datasets in lookup order; the
// visitor returns true to stop.
template <class Fed, class Visit>
bool for_each_fed_par(int num_dataset, Fed& eds, Visit&& visit) {
  for (int i = 0; i < num_dataset; ++i) {
    auto& ed = eds[static_cast<std::size_t>(i)];
    if (visit(ed.tiltH_fp, ed.tiltH) || visit(ed.tiltG_fp, ed.tiltG) || visit(ed.voltage_fp, ed.voltage))
      return true;
    for (auto& b : ed.tb) {
      if (visit(b.scale_fp, b.scale) || visit(b.thickness_fp, b.thickness) ||
          visit(b.thickwidth_fp, b.thickwidth))
        return true;
      for (std::size_t r = 0; r < b.H_shift.size(); ++r)
        if (visit(b.H_shift_fp[r], b.H_shift[r]) || visit(b.G_shift_fp[r], b.G_shift[r])) return true;
    }
    // The point spread enters constraints through its variance.
    if (ed.det.present && (visit(ed.det.psf_fp, ed.det.psf_var) || visit(ed.det.background_fp, ed.det.background)))
      return true;
  }
  return false;
}

}  // namespace

double val_search_fed(const std::string& name, int num_dataset, const std::vector<fed>& eds) {
  double value = 0.0;
  const bool found = for_each_fed_par(num_dataset, eds, [&](const fitpar& p, const double& v) {
    if (p.name != name) return false;
    value = v;
    return true;
  });
  if (!found) qz_error_exit(stdout, "(val_search_fed) constraint %s not found", name.c_str());
  return value;
}

double val_trans_fed(const std::string& operand, int num_dataset, const std::vector<fed>& eds) {
  return val_trans(operand, [&](const std::string& name) { return val_search_fed(name, num_dataset, eds); });
}

double constraint_value_fed(const std::string& expr, int num_dataset, const std::vector<fed>& eds) {
  return constraint_value(expr,
                          [&](const std::string& name) { return val_search_fed(name, num_dataset, eds); });
}

void constraint_fed(int num_dataset, std::vector<fed>& eds) {
  for_each_fed_par(num_dataset, eds, [&](const fitpar& p, double& v) {
    if (p.flg == kFlgCst) v = constraint_value_fed(p.expr, num_dataset, eds);
    return false;
  });
}

}  // namespace kv
