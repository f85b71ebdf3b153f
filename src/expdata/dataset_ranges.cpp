#include "expdata/dataset_ranges.hpp"

#include <cfloat>
#include <cmath>
#include <string>

#include "crystal/lattice.hpp"
#include "input/parameter_names.hpp"
#include "sim/error.hpp"

namespace kv {

// The smallest positive values stand for "above 0" where a refinement
// needs a closed interval.
value_range voltage_range() { return {DBL_MIN, kMaxVoltageKv}; }
value_range scale_range() { return {DBL_MIN, HUGE_VAL}; }
value_range thickness_range() { return {0.0, HUGE_VAL}; }

namespace {

void check(double v, const fitpar& p, value_range r, const char* what, const char* range, const std::string& where) {
  if (std::isfinite(v) && v >= r.lower && v <= r.upper) return;
  const std::string from = p.flg == kFlgCst ? " from CST " + p.expr : std::string();
  fatal_out("$$ %s: %s %s (=%g%s) must be %s. Abort.\n", where.c_str(), what, p.name.c_str(), v, from.c_str(),
            range);
}

}  // namespace

void check_dataset_names(const std::vector<fed>& eds) {
  std::vector<named_parameter> ps;
  for (std::size_t i = 0; i < eds.size(); ++i) {
    const fed& ed = eds[i];
    const std::string ds = " of dataset " + std::to_string(i + 1);
    ps.push_back({&ed.tiltH_fp, "tiltH" + ds});
    ps.push_back({&ed.tiltG_fp, "tiltG" + ds});
    ps.push_back({&ed.voltage_fp, "voltage" + ds});
    for (std::size_t t = 0; t < ed.tb.size(); ++t) {
      const thickness_block& b = ed.tb[t];
      const std::string blk = " of thickness block " + std::to_string(t + 1) + ds;
      ps.push_back({&b.scale_fp, "scale" + blk});
      ps.push_back({&b.thickness_fp, "thickness" + blk});
      ps.push_back({&b.thickwidth_fp, "thickness width" + blk});
      for (std::size_t r = 0; r < b.H_shift_fp.size(); ++r) {
        ps.push_back({&b.H_shift_fp[r], "H_shift " + std::to_string(r + 1) + blk});
        ps.push_back({&b.G_shift_fp[r], "G_shift " + std::to_string(r + 1) + blk});
      }
    }
  }
  check_parameter_names(ps, "FIT_CALCULATION_CONDITION");
}

void check_dataset_ranges(const std::vector<fed>& eds) {
  for (std::size_t i = 0; i < eds.size(); ++i) {
    const fed& ed = eds[i];
    const std::string ds = strprintf("Dataset %zu", i + 1);
    check(ed.voltage, ed.voltage_fp, voltage_range(), "the voltage", "above 0 and at most 10000 kV", ds);
    for (std::size_t t = 0; t < ed.tb.size(); ++t) {
      const thickness_block& b = ed.tb[t];
      const std::string where = strprintf("%s, thickness block %zu", ds.c_str(), t + 1);
      check(b.scale, b.scale_fp, scale_range(), "the scale factor", "a finite number greater than 0", where);
      check(b.thickness, b.thickness_fp, thickness_range(), "the thickness", "a finite number not below 0", where);
      check(b.thickwidth, b.thickwidth_fp, thickness_range(), "the thickness width", "a finite number not below 0",
            where);
    }
  }
}

}  // namespace kv
