#pragma once
// Labelled CBED pictures drawn with cairo beside the grey-level pages: every
// disk resampled to a chosen size from the computed tilt grid, the hkl of
// every disk, a scale bar in mrad and 1/A, the g1 and g2 directions (g2 is
// up), a colour bar with the intensity scale, and the crystal, zone axis,
// voltage, thickness and convergence angle written on the picture. Bright
// on dark, in a perceptual colour map or grey.
#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "results/hdf5_export.hpp"
#include "sim/qzio.hpp"
#include "vis/colormap.hpp"
#include "vis/simvis.hpp"

namespace kv {

struct FigureStyle {
  Colormap cmap = Colormap::viridis;
  int disk_px = 128;  // diameter of one disk on the picture
  // Every disk on its own scale (0 to its own maximum), so that weak disks
  // show their contrast; each label then carries the disk's maximum.
  bool per_disk = false;
  // Radius (g1/2 units) of the zero-order-zone picture drawn beside the whole
  // pattern; 0: drawn only when the whole pattern had to shrink its disks,
  // with the largest radius that keeps them at full size.
  double zoom_radius = 0.0;
};

// One reflection of a result file: its values at every tilt point (the
// intensity in `a`, or the real and imaginary amplitude in `a` and `b`).
struct DiskValues {
  Hkl hkl;
  std::vector<double> a, b;
};

// Everything a labelled picture is drawn from.
struct CbedFigureInput {
  SimResultHeader h;
  std::vector<DiskValues> disks;
  bool coherent = false;
  double gamma = 1.0;
  double max = 0.0;                   // intensity shown at the top of the colour bar
  std::optional<ExportInfo> info;     // voltage and crystal, when the job's export is found
  std::string note;                   // a line under the title (what a partial picture shows)
};

// The disks of the zero-order Laue zone whose centres lie within `radius`
// (g1/2 units) of the pattern's centre.
CbedFigureInput zero_order_zone(const CbedFigureInput& in, double radius);
// The radius of the zero-order-zone picture for a style: the style's own, or
// when the whole pattern shrinks its disks, the largest radius whose disks
// fit the picture at full size; 0 when no such picture is wanted.
double zoom_radius_for(const CbedFigureInput& in, const FigureStyle& style);

enum class FigureLayoutKind { pattern, gallery };

// Reads a SIM_RESULT or SIM_COHERENT_RESULT file whole.
CbedFigureInput read_cbed_figure_input(const std::string& file, bool coherent, double gamma, double preset_max);

// Draws the picture into `png`. pattern: the disks at their places in the
// zone-axis pattern (overlapping disks add: intensities, or amplitudes for
// a coherent result); gallery: one cell per reflection. Returns false (with
// a message) when the result holds no 2-D tilt grid to draw.
bool draw_cbed_figure(const CbedFigureInput& in, const FigureStyle& style, FigureLayoutKind kind,
                      const std::string& png);

// The labelled page beside a SIM page: named from the SIM page with
// "_pattern.html" (whole patterns, coherent patterns) or "_reflex.html"
// (individual reflections) in place of "_.html", so that the two answers
// write different pages.
std::string figure_page_name(const std::string& sim_page, FigureLayoutKind kind);

class FigurePage {
 public:
  void open(const std::string& sim_page, FigureLayoutKind kind);
  void close();
  // End of the script: a page still open is kept as it stands.
  void finish();
  bool is_open() const { return static_cast<bool>(fp_); }
  // Draws the labelled picture of one result file and adds it to the page.
  void add(const std::string& file, double gamma, double preset_max, bool coherent, const FigureStyle& style);

 private:
  OutputFile fp_;
  std::string name_;
  FigureLayoutKind kind_ = FigureLayoutKind::pattern;
};

// FIGURE_STYLE line of a SIM script: colour map name and disk size in
// pixels ("viridis 128"); a bad line ends the run.
FigureStyle read_figure_style(FILE* script);

// The smallest integer triple parallel to v (same sense) with every index
// found at a common denominator up to max_index; nothing when v is zero or
// not a rational direction within that bound.
std::optional<std::array<int, 3>> direction_hkl(const double* v, int max_index);

// The label of the upward in-plane axis of a labelled picture: "g2 along
// h k l" (the shortest reflection along it) or how it is made.
// With four_index (hexagonal axes) the reflection is named (h k i l).
std::string g2_direction_text(const double* g2, bool four_index = false);

}  // namespace kv
