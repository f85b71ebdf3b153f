#pragma once
// Starting the external tools of talvis (the PNM-to-PNG converter, gnuplot
// and talvis itself) without a command interpreter: the program and its
// arguments go straight to posix_spawnp, so no file name can ever be taken
// for a command. A tool that cannot be found is reported once per run in one
// line and the caller goes on.
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct SpawnResult {
  bool started = false;  // false: the program could not be started
  int status = -1;       // exit status; 128 + signal number when killed
};

// Runs argv[0] (looked up on PATH unless it contains a '/') with the given
// arguments and waits for it. When stdout_path is given, the program's
// standard output goes to that file (created or truncated). Standard output
// of this process is flushed first so that the console keeps its order.
SpawnResult run_tool(const std::vector<std::string>& argv,
                     const std::optional<std::string>& stdout_path = std::nullopt);

// The executable of the running program (for running talvis on a script it
// has just written).
std::string self_executable();

// Deletes a file; a missing file is not an error.
void delete_file(const std::string& path);

// Converts a PGM picture into a PNG picture with pnmtopng and deletes the
// PGM. When the converter is missing or fails, the PGM is kept (and a failed
// PNG removed) so that the picture is not lost.
void pgm_to_png(const std::string& pgm, const std::string& png);

// Runs gnuplot on a plot script; its result is not checked.
void exec_gnuplot(const std::string& plot_file);

}  // namespace kv
