#pragma once
// The talvis program: a script file, a bare result file, or "int" for the
// interactive menu.
#include <string>

namespace kv {

// The talvis program; returns the exit status (fatal errors are thrown).
int talvis_main(int argc, char** argv);

// Runs a script file, or writes and runs a script for a bare result file.
// Returns whether the run ends with the farewell line (a bare result file
// ends after the second talvis run without it).
bool talvis_jobs(const std::string& file);
// The interactive menu; returns whether the farewell line follows.
bool talvis_interactive();
void opening_title_tlv();

// Scripts for a bare result file: each writes "<base>_tlv.txt", runs talvis
// on it and returns when that run ends.
void simres_talvis_scr_output(const std::string& result_file);
void simchrres_talvis_scr_output(const std::string& result_file);
void fitres_talvis_scr_output(const std::string& result_file);
void fitexp_talvis_scr_output(const std::string& result_file);

}  // namespace kv
