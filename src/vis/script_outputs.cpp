#include "vis/script_outputs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "sim/gnuplot_quote.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "vis/html_escape.hpp"

namespace kv {

const char* named_output_what(NamedOutput kind) {
  switch (kind) {
    case NamedOutput::page: return "page";
    case NamedOutput::scan_table: return "scan table";
    case NamedOutput::scan_plot: return "scan plot script";
    case NamedOutput::shift_result: return "shift result";
    case NamedOutput::shift_points: return "shift-result points file";
  }
  return "output";
}

std::string named_output_signature(const std::string& name, NamedOutput kind) {
  switch (kind) {
    case NamedOutput::page: return "<html>\n<title>" + html_text(name) + "</title>\n";
    case NamedOutput::scan_table: return kScanTableHead;
    case NamedOutput::scan_plot:
      return "set xlabel " + gp_quote("thickness [A]") + "\nset ylabel " + gp_quote("GOF") + "\n";
    case NamedOutput::shift_result: return "# " + name + "\n# total_gof_shift = ";
    case NamedOutput::shift_points: return kShiftPointsHead;
  }
  return std::string();
}

namespace {

// Whether the regular file `path` begins with `head`.
bool begins_with(const std::string& path, const std::string& head) {
  File fp(std::fopen(path.c_str(), "rb"));
  if (!fp) return false;
  std::string got(head.size(), '\0');
  const std::size_t n = std::fread(got.data(), 1, got.size(), fp.get());
  return n == head.size() && got == head;
}

}  // namespace

void check_named_output(const std::string& name, NamedOutput kind) {
  const char* what = named_output_what(kind);
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    error_exit(stdout,
               "the %s name \"%s\" must be a plain file name in the working folder (no folder part, no \"..\", "
               "not absolute)",
               what, printable(name).c_str());
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0) return;  // a new file
  if (!S_ISREG(st.st_mode) || !begins_with(name, named_output_signature(name, kind)))
    error_exit(stdout, "%s exists and is not a %s that talvis wrote under that name: it is not overwritten",
               printable(name).c_str(), what);
}

}  // namespace kv
