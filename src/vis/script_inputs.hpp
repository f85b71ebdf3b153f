#pragma once
// Before a talvis script runs, the whole script is read once to learn every
// file it will read: the result, measured, simulation and fit-mode files its
// commands name (looked for as the commands look for them, beside the script
// first) and the files that a fit-mode file names in turn, and the data
// tables. All of them are recorded as inputs of the run, so that no output
// can be written over one of them. A name that the script gives to an output
// (a page, a scan table or plot script, a shift result) and that is one of
// those inputs is refused at once, before anything is written.
#include <string>

namespace kv {

void register_script_inputs(const std::string& script_path);

// Records the data tables that this run would read (wherever they are found)
// and korvex.ini as inputs.
void register_data_tables();

}  // namespace kv
