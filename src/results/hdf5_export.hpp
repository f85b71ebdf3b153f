#pragma once
// Numeric export of job results to one HDF5 file per job ("%s.h5" from the
// base name): float64 datasets of the computed intensities or complex
// amplitudes with their tilt grid, reflections and thicknesses, and
// attributes naming the conditions (voltage, wavelength, incidence, normal,
// g1, crystal, beam counts, program version). talvis reads the attributes
// back to annotate its labelled pictures.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct sd;
struct csd;

// A short name of the crystal ("GaAs", "SrTiO3", "Al2O3"): the formula it
// came with (a CIF's _chemical_formula_sum), else the element symbols of its
// sites, electropositive first (formula_text), with the number of positions
// per formula unit.
std::string crystal_label(const csd& c);

// Writes "<base>.h5" for a SIM_MODE (amplitude null) or SIM_COHERENT_MODE
// run. Failure to create the file is fatal with the usual open message.
void write_cbed_hdf5(const std::string& base_name, const sd& s, const csd& c, const Tensor3<complex>* amplitude);

// Thickness-fringe export: per output reflection and thickness the
// intensity and the complex amplitude at the job's one tilt.
void write_tfringe_hdf5(const std::string& base_name, const sd& s, const csd& c, const Tensor3<complex>& amplitude,
                        const std::vector<std::vector<double>>& intensity, const double kt[3]);

// A projected map: nx x ny grid, x and y coordinates (base-vector units),
// the named real maps (each nx*ny values, x outer) with their units.
struct MapLayer {
  std::string name, unit;
  std::vector<double> values;
};
// x1 and x2 are the real-space base vectors of a projected map (null for a
// unit-cell map, whose axes are a, b, c).
void write_map_hdf5(const std::string& base_name, const std::string& job, const sd& s, const csd& c,
                    const std::vector<std::size_t>& dims, const std::vector<MapLayer>& layers,
                    const double* x1 = nullptr, const double* x2 = nullptr);

// What talvis needs from an export to annotate a picture.
struct ExportInfo {
  double voltage_kv = 0.0;
  double wavelength = 0.0;  // angstrom
  std::string crystal;
  int num_exact_beam = 0, num_bethe_beam = 0;
  int incidence[3] = {0, 0, 0};
  double tilt_centre[2] = {0, 0};  // (H, G)
  double intensity_scaling = 0.0;   // the incident beam's intensity in the results; 0 when not recorded
};
// Reads the attributes of an existing export; nothing when the file is
// absent or not one of ours.
std::optional<ExportInfo> read_export_info(const std::string& path);

// The export that belongs to a result file "N_rs3.txt" (or "N_int.txt",
// "N_pp.txt"): "N.h5".
std::string export_path_for_result(const std::string& result_file);

}  // namespace kv
