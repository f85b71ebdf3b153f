#pragma once
// Files that a talvis script names for its outputs (the page of HTML_OPEN,
// the table and plot script of TS_SCAN_OPEN, the shift result of
// TS_SCAN_SIM_FILE and the points file named after it). A script is a data
// file that people exchange, so such a name must be a plain file name in the
// working folder, and an existing file of that name is replaced only when it
// is the same kind of output that this program wrote for that same name.
#include <string>

namespace kv {

enum class NamedOutput { page, scan_table, scan_plot, shift_result, shift_points };

// What the output is, for messages ("page", "scan table", ...).
const char* named_output_what(NamedOutput kind);
// The text an output of this kind and name begins with, as its writer makes
// it; an existing file that begins otherwise is someone else's.
std::string named_output_signature(const std::string& name, NamedOutput kind);
// Ends the run ("$$ERROR: ...", status 1) when `name` has a folder part, is
// absolute, is "." or "..", or names an existing file (or link, folder,
// device) that is not this program's own output of this kind and name.
void check_named_output(const std::string& name, NamedOutput kind);

// The first line of a thickness-scan table.
inline constexpr const char* kScanTableHead = "# thickness  GOF_fix  scale_fix  (GOF_shift scale_shift)\n";
// The first line of a shift-result points file.
inline constexpr const char* kShiftPointsHead = "FIT_RESULT\n#(TS_SCAN_RESULT)\n";

}  // namespace kv
