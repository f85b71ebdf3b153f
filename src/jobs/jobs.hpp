#pragma once
// Entry points of the korvex jobs. Each is called with the parameter stream
// positioned after the EPS_CONTROL_PARAMETERS block, the log stream and the
// base name of the run.
#include <cstdio>
#include <string>

namespace kv {

void qz_simulation(FILE* fp, FILE* log, const std::string& base_name);
void qz_sim_coherent(FILE* fp, FILE* log, const std::string& base_name);
void qz_dispersion_surface(FILE* fp, FILE* log, const std::string& base_name);
void qz_bloch_state(FILE* fp, FILE* log, const std::string& base_name);
void qz_tfringe(FILE* fp, FILE* log, const std::string& base_name);
void qz_electron_density_proj(FILE* fp, FILE* log, const std::string& base_name);
void qz_potential_reim_proj(FILE* fp, FILE* log, const std::string& base_name);
void qz_electron_density_3d_unitcell(FILE* fp, FILE* log, const std::string& base_name);
void qz_potential_reim_3d_unitcell(FILE* fp, FILE* log, const std::string& base_name);

}  // namespace kv
