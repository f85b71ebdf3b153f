#pragma once
// Entry points of the talvis script modes. Each is called with the script
// positioned after its mode line and reads its commands to the end of file.
#include <cstdio>
#include <optional>
#include <string>

namespace kv {

// Script reading shared by the modes: the next command word (blank lines
// passed over), and the word that must follow a command (fatal when missing).
std::optional<std::string> next_command(FILE* script);
std::string read_name(FILE* script, const std::string& command, const char* what);

// CBED pictures (vis/vis_jobs.cpp).
void job_sim_visual_mode(FILE* script);
void job_sim_visual_reflex_mode(FILE* script);
void job_sim_coherent_visual_mode(FILE* script);
void job_fit_visual_mode(FILE* script);
void job_fitexp_visual_mode(FILE* script);

// Plot jobs (vis/plots.cpp); the scans against measured data are in
// expdata/scans.hpp.
void job_dispsurf_visual_mode(FILE* script);
void job_bloch_visual_mode(FILE* script);
// Thickness-fringe page (vis/job_pages.cpp).
void job_tfringe_visual_mode(FILE* script);

}  // namespace kv
