#pragma once
// Starting the external tools of talvis (the PNM-to-PNG converter, gnuplot
// and talvis itself) without a command interpreter: the program and its
// arguments go straight to posix_spawnp, so no file name can ever be taken
// for a command. A tool that cannot be found is reported once per run in one
// line and the caller goes on. A tool that runs is given a time limit (the
// CHILD_TIME_LIMIT script command, 300 s unless set): one that takes longer
// is stopped, with its process group, and reported; one that fails (status
// or signal) is reported in one line as well.
#include <optional>
#include <string>
#include <vector>

namespace kv {

struct SpawnResult {
  bool started = false;    // false: the program could not be started
  bool timed_out = false;  // stopped after the time limit
  int status = -1;         // exit status; 128 + signal number when killed
  bool ok() const { return started && !timed_out && status == 0; }
};

// How long a tool may run, in seconds.
inline constexpr double kDefaultChildTimeLimit = 300.0;
inline constexpr double kMaxChildTimeLimit = 86400.0;
void set_child_time_limit(double seconds);
double child_time_limit();

// Runs argv[0] (looked up on PATH unless it contains a '/') with the given
// arguments and waits for it, at most the time limit when `limited` (the
// tool then runs in a process group of its own, which is ended as a whole).
// When stdout_path is given, the program's standard output goes to that
// file (created or truncated). Standard output of this process is flushed
// first so that the console keeps its order.
SpawnResult run_tool(const std::vector<std::string>& argv,
                     const std::optional<std::string>& stdout_path = std::nullopt, bool limited = true);

// One line about a tool that did not end well ("$$ gnuplot failed on x.plt
// (exit status 1)."); nothing for a tool that succeeded or was not found.
void report_tool(const std::string& tool, const std::string& operand, const SpawnResult& r);
// The same text without "$$ " and the full stop.
std::string tool_trouble(const std::string& tool, const std::string& operand, const SpawnResult& r);

// The executable of the running program (for running talvis on a script it
// has just written).
std::string self_executable();

// Deletes a file; a missing file is not an error.
void delete_file(const std::string& path);

// Whether a PNG file holds a PNG signature and an IHDR chunk of the given
// size (width and height in pixels).
bool png_has_size(const std::string& png, long width, long height);

// Converts a PGM picture into a PNG picture with pnmtopng. The converter
// writes to a temporary file beside the PNG; only a PNG with the PGM's size
// takes the PNG name, and only then is the PGM deleted. When the converter is
// missing or fails, or its output is not that PNG, the PGM is kept, the bad
// output removed and the failure reported. Returns whether the PNG was made.
bool pgm_to_png(const std::string& pgm, const std::string& png);

// Runs gnuplot on a plot script; a failure is reported. Returns whether
// gnuplot ended with status 0.
bool exec_gnuplot(const std::string& plot_file);

// Runs gnuplot on a plot script that writes `png`: true when gnuplot
// succeeded and the picture is there.
bool plot_picture(const std::string& plot_file, const std::string& png);

}  // namespace kv
