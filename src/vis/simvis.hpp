#pragma once
// CBED pictures from SIM_RESULT and SIM_COHERENT_RESULT files: the whole
// pattern (every reflection disk at its position on one canvas), the
// coherent pattern (overlapping disks interfere) and one picture per
// reflection, each converted to PNG and added to the open HTML page.
#include <cstdio>
#include <string>
#include <vector>

#include "input/fields.hpp"

namespace kv {

struct SimReflexPos {
  Hkl hkl;
  double x = 0.0, y = 0.0;  // position on the canvas, in pixels
};

struct SimPoint {
  double H = 0.0, G = 0.0;
  int ih = 0, ig = 0, flag = 0;
};

// Everything of a SIM_RESULT / SIM_COHERENT_RESULT file before the per
// reflection RF blocks.
struct SimResultHeader {
  double max = 0.0, min = 0.0;
  double cell[6] = {};
  Hkl incidence;
  double zolzbase1[3] = {};
  double tiltH = 0.0, tiltG = 0.0;
  double thickness = 0.0;
  std::vector<SimReflexPos> reflexes;
  int num_pix = 0, num_pix_side = 0;
  double Hbgn = 0.0, Hend = 0.0, Gbgn = 0.0, Gend = 0.0;
  std::vector<SimPoint> points;
};

// Reads the header; `keyword` is "SIM_RESULT" or "SIM_COHERENT_RESULT".
SimResultHeader read_sim_result_header(FILE* fp, const char* keyword);

// Checks the arguments and builds the page entries. preset_max <= 0 means
// that the file's own maximum is used.
void qz_sim_result_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                             FILE* page);
void qz_sim_result_reflex_visualize(const std::string& file, double gamma, int mag, int cont_rev,
                                    double preset_max, FILE* page);
void qz_sim_coherent_result_visualize(const std::string& file, double gamma, int mag, int cont_rev,
                                      double preset_max, FILE* page);

void sim_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max, FILE* page);
void sim_coherent_visualize(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                            FILE* page);
void sim_reflex_visual(const std::string& file, double gamma, int mag, int cont_rev, double preset_max,
                       FILE* page);

}  // namespace kv
