#pragma once
// The two text formats of a comparison between calculation and experiment.
// The fit-mode file is a complete parameter file for a refinement run (run
// control, crystal with refinement flags, every dataset with its geometry,
// beam set, thickness blocks and disk shifts) and reads back as input. The
// fit-result file holds, for one dataset, the observed, calculated and
// standard-deviation values at every calculated point of every disk and
// thickness, with the geometry that places the points.
#include <cstdio>
#include <string>
#include <vector>

#include "expdata/dataset.hpp"
#include "input/crystal_data.hpp"

namespace kv {

// One parameter line in the grammar of the crystal and dataset readers,
// labelled with a comment. A constrained parameter is written with its
// expression, so the constraint survives a write-read cycle.
void fprintf_cstr(const fitpar& p, double value, const char* label, FILE* fp);

void print_fit_mode_opening(FILE* fp, const std::string& file);
void print_EPS_CONTROL_PARAMETERS(FILE* fp);
void print_CRYSTAL_STRUCTURE_DATA(FILE* fp, const csd& cs);
void print_LOW_ORDER_FG(FILE* fp, const csd& cs);
void print_calcpar1(FILE* fp, const fed& ed);
void print_BEAM_SEARCH(FILE* fp, const fed& ed);
void print_THICKNESS_BLOCK(FILE* fp, int i, int t, const fed& ed, const fei& ei);
// The DETECTOR_PAR block of a dataset that had one.
void print_DETECTOR_PAR(FILE* fp, const detector_par& d);

void output_FIT_MODE_file(const std::string& file, const csd& cs, int max_iter, int num_dataset,
                          const std::vector<fed>& eds, const std::vector<fei>& eis);

// Reads a fit-mode file: run control (talvis's reader), crystal, and the
// datasets of FIT_CALCULATION_CONDITION with their intensity files; then
// evaluates the dataset constraints. The file's name serves as the crystal
// reader's base name.
void input_fit_mode_file(const std::string& file, csd& cs, int* max_iter, int* num_dataset,
                         std::vector<fed>& eds, std::vector<fei>& eis);

// One file "<prefix><i>.txt" per dataset i.
void fit_res_output(int num_dataset, const std::vector<fed>& eds, const std::vector<fei>& eis,
                    const double lp[6], const std::string& prefix);

// Writes the measured intensities and deviations of ei (reflections, grid
// and range) as a measured-intensity file (FIT_EXPDATA_RAW), the origin 0 0;
// `comment` becomes the second line.
void output_int_file(const std::string& file, const fei& ei, const std::string& comment);

}  // namespace kv
