#pragma once
// The korvex program: greeting, korvex.ini, parameter file, log, job
// dispatch on the mode token and the closing block.
#include <cstdio>
#include <string>

namespace kv {

// The whole program; returns the exit status (fatal errors are thrown).
int korvex_main(int argc, char** argv);
// Opens the parameter file, reads the mode token and the run-control block
// and runs the job.
void qz_job(const std::string& parameter_file_name, const std::string& base_name, FILE* log);

}  // namespace kv
