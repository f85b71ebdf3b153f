// Command loops of the picture-producing script modes.
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "input/fields.hpp"
#include "results/fit_hdf5.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/script_folder.hpp"
#include "vis/cbed_figure.hpp"
#include "vis/fit_page.hpp"
#include "vis/fitvis.hpp"
#include "vis/html.hpp"
#include "vis/plots.hpp"
#include "vis/simvis.hpp"
#include "vis/spawn.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

// CHILD_TIME_LIMIT: the seconds that gnuplot and the PNM converter may run
// for the commands after it.
void read_child_time_limit(FILE* script) {
  const std::string tok = read_name(script, "CHILD_TIME_LIMIT", "a time in seconds");
  char* end = nullptr;
  const double v = std::strtod(tok.c_str(), &end);
  if (end != tok.c_str() + tok.size() || !(v > 0.0) || !(v <= kMaxChildTimeLimit))
    error_exit(stdout, "CHILD_TIME_LIMIT: the time \"%s\" must be a number of seconds above 0 and at most %g",
               tok.c_str(), kMaxChildTimeLimit);
  set_child_time_limit(v);
  std::printf("$$ child_time_limit = %g s\n", v);
}

}  // namespace

// Next command token; blank lines between commands are passed over, and so
// is a CHILD_TIME_LIMIT setting, which any mode may hold.
std::optional<std::string> next_command(FILE* script) {
  for (;;) {
    std::optional<std::string> tok = fget_1s(script);
    if (tok && *tok == "CHILD_TIME_LIMIT") {
      read_child_time_limit(script);
      continue;
    }
    if (!tok || !tok->empty()) return tok;
  }
}

// The file name (or other word) that must follow a script command.
std::string read_name(FILE* script, const std::string& command, const char* what) {
  std::optional<std::string> name = fget_1s(script);
  if (!name || name->empty()) error_exit(stdout, "%s: %s expected in the script", command.c_str(), what);
  return *name;
}

namespace {

struct VisualizeLine {
  std::string file;
  double gamma = 0.0;
  int mag = 0;
  int cont_rev = 0;
  double preset_max = -1.0;
};

// The grey-level exponent is a positive power (a negative one is refused by
// each picture job with its own message). The preset maximum needs no range
// of its own: zero or a negative value means none, and every number read is
// already finite.
void check_gamma(double gamma, FILE* script) {
  if (gamma == 0.0) require_positive(gamma, "gamma", script);
}

// "file gamma mag cont_rev [preset_max]"; four fields mean no preset
// maximum, any count but four or five ends the run (the whole-pattern job
// words its message with a comma).
VisualizeLine read_visualize_line(FILE* script, bool comma, const std::string& command) {
  VisualizeLine v;
  const int n = fget_str_diid(&v.file, &v.gamma, &v.mag, &v.cont_rev, &v.preset_max, script);
  if (n == 4)
    v.preset_max = -1.0;
  else if (n != 5 && comma)
    error_exit(stdout, "fget_str_diid(), buf=%s", command.c_str());
  else if (n != 5)
    error_exit(stdout, "fget_str_diid() buf=%s", command.c_str());
  check_gamma(v.gamma, script);
  v.file = script_input_file(script, v.file);
  return v;
}

using SimBuilder = void (*)(const std::string&, double, int, int, double, FILE*);

// Every SIM page gets a labelled page beside it (FigurePage); the optional
// FIGURE_STYLE command sets the colour map and disk size of the labelled
// pictures that follow it.
void sim_page_loop(FILE* script, SimBuilder build, bool coherent, bool comma, FigureLayoutKind figure_kind) {
  HtmlPage page;
  FigurePage figures;
  FigureStyle style;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "HTML_OPEN") {
      page.open_from_script(script);
      figures.open(page.name(), figure_kind);
    } else if (*cmd == "HTML_CLOSE") {
      page.close();
      figures.close();
    } else if (*cmd == "FIGURE_STYLE") {
      style = read_figure_style(script);
    } else if (coherent ? *cmd == "SIM_COHERENT_VISUALIZE" : (*cmd == "SIM_VISUALIZE" || *cmd == "VISUALIZE")) {
      FILE* pg = page.require(*cmd);
      const VisualizeLine v = read_visualize_line(script, comma, *cmd);
      build(v.file, v.gamma, v.mag, v.cont_rev, v.preset_max, pg);
      figures.add(v.file, v.gamma, v.preset_max, coherent, style);
    } else {
      error_exit(stdout, "invalid command %s", cmd->c_str());
    }
  }
  page.finish();
  figures.finish();
}

struct VisParams {
  bool given = false;
  double gamma = 0.0;
  int mag = 0;
  int cont_rev = 0;
  double preset_max = -1.0;
};

VisParams read_vis_params(FILE* script) {
  double v[4];
  const int n = str_to_fs(4, need_line(kLineCap, script), v);
  VisParams p;
  if (n == 3)
    p.preset_max = -1.0;
  else if (n == 4)
    p.preset_max = v[3];
  else
    error_exit(stdout, "VIS_PARAMS: invalid parameter");
  p.given = true;
  p.gamma = v[0];
  require_positive(p.gamma, "gamma", script);
  p.mag = int_field(v[1], std::string_view(), "magnification", script);
  p.cont_rev = int_field(v[2], std::string_view(), "contrast-reverse flag", script);
  std::printf("$$mag_coef, cont_rev_flag = %d %d\n", p.mag, p.cont_rev);
  std::printf("$$preset_max_val, gamma_max = %g %g\n", p.preset_max, p.gamma);
  return p;
}

std::string read_file_name(FILE* script, const std::string& command) {
  std::optional<std::string> name = fget_1s(script);
  if (!name || name->empty()) error_exit(stdout, "%s without a file name", command.c_str());
  return script_input_file(script, *name);
}

}  // namespace

void job_sim_visual_mode(FILE* script) {
  sim_page_loop(script, qz_sim_result_visualize, false, true, FigureLayoutKind::pattern);
}

void job_sim_visual_reflex_mode(FILE* script) {
  sim_page_loop(script, qz_sim_result_reflex_visualize, false, false, FigureLayoutKind::gallery);
}

void job_sim_coherent_visual_mode(FILE* script) {
  sim_page_loop(script, qz_sim_coherent_result_visualize, true, false, FigureLayoutKind::pattern);
}

// CHISQ_PLOT plots a refinement's chi-squared history on a page of its own,
// which links the result pages made so far in this mode (a refinement's
// script names its start and final results first).
void job_fit_visual_mode(FILE* script) {
  VisParams p;
  std::vector<std::string> result_pages;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "VIS_PARAMS") {
      p = read_vis_params(script);
    } else if (*cmd == "FIT_VISUALIZE") {
      const std::string file = read_file_name(script, *cmd);
      std::printf("$$resfile= %s\n", file.c_str());
      if (!p.given) fatal_out("no VIS_PARAMS. Abort.\n");
      qz_fit_result_visualize(file, p.mag, p.cont_rev, p.preset_max, p.gamma);
      result_pages.push_back(remove_extention(file) + "_.html");
    } else if (*cmd == "CHISQ_PLOT") {
      const std::string file = read_file_name(script, *cmd);
      std::printf("$$chisq file= %s\n", file.c_str());
      pltout_chisq(file, result_pages);
    } else if (*cmd == "FIT_PAGE") {
      const std::string file = read_file_name(script, *cmd);
      fit_record rec = read_fit_hdf5(file);
      // The page is named from the record's base name: a plain name in the
      // working folder, whatever the file says.
      if (rec.base_name.empty() || rec.base_name.find('/') != std::string::npos ||
          rec.base_name.find("..") != std::string::npos)
        fatal_out("$$ %s names the base name \"%s\", which is no plain file name. Abort.\n", file.c_str(),
                  rec.base_name.c_str());
      std::printf("\n==> SEE %s\n\n", write_fit_page(rec).c_str());
    } else {
      error_exit(stdout, "invalid command %s", cmd->c_str());
    }
  }
}

void job_fitexp_visual_mode(FILE* script) {
  VisParams p;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "VIS_PARAMS") {
      p = read_vis_params(script);
    } else if (*cmd == "FITEXP_VISUALIZE") {
      const std::string file = read_file_name(script, *cmd);
      std::printf("$$resfile= %s\n", file.c_str());
      if (!p.given) error_exit(stdout, "no VIS_PARAMS");
      qz_fit_expdata_visualize(file, p.mag, p.cont_rev, p.preset_max, p.gamma);
    } else {
      error_exit(stdout, "invalid command %s", cmd->c_str());
    }
  }
}

}  // namespace kv
