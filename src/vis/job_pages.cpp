#include "vis/job_pages.hpp"

#include <cmath>
#include <optional>

#include "jobs/hdf5_export.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "vis/html.hpp"
#include "vis/spawn.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

// A name written into a gnuplot string: refused when gnuplot would read a
// quote, escape, backquote command or control character in it.
std::string plot_name(const std::string& name) {
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '`' || ch == '\\' || c < 0x20 || c == 0x7f)
      error_exit(stdout, "(talvis) the file name \"%s\" cannot be written into a gnuplot script", name.c_str());
  }
  return name;
}

std::string first_line(const std::string& path) {
  File fp = fopen_chk_rmode(path);
  char buf[65536];
  if (!std::fgets(buf, sizeof buf, fp.get())) error_exit(stdout, "%s is empty", path.c_str());
  std::string line(buf);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return rm_cr(line);
}

// Crystal, zone axis, voltage and tilt for a plot title, from the job's
// export when there is one.
std::string condition_title(const std::string& data_file) {
  const std::optional<ExportInfo> e = read_export_info(export_path_for_result(data_file));
  if (!e) return data_file;
  return strprintf("%s  [%d %d %d]  %g kV  tilt (H, G) = (%g, %g)", e->crystal.c_str(), e->incidence[0],
                   e->incidence[1], e->incidence[2], e->voltage_kv, e->tilt_centre[0], e->tilt_centre[1]);
}

// Distinct colours for curves (colour-blind safe set).
const char* const kCurveColours[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#000000",
                                     "#f0e442"};

std::optional<std::string> next_command(FILE* script) {
  for (;;) {
    std::optional<std::string> tok = fget_1s(script);
    if (!tok || !tok->empty()) return tok;
  }
}

std::string read_name(FILE* script, const std::string& command, const char* what) {
  std::optional<std::string> name = fget_1s(script);
  if (!name || name->empty()) error_exit(stdout, "%s without %s", command.c_str(), what);
  return *name;
}

}  // namespace

std::vector<std::string> tfringe_labels(const std::string& header_line) {
  std::vector<std::string> labels;
  const std::vector<std::string_view> tok = split_tokens(header_line);
  for (std::size_t i = 1; i < tok.size(); ++i) {
    std::string l(tok[i]);
    for (char& ch : l)
      if (ch == '_') ch = ' ';
    labels.push_back(l);
  }
  return labels;
}

void pltout_tfringe(const std::string& base, const std::string& int_file, const std::string& amp_file, FILE* page) {
  const std::vector<std::string> labels = tfringe_labels(first_line(int_file));
  if (labels.empty()) error_exit(stdout, "%s names no reflection", int_file.c_str());
  const std::string f = plot_name(int_file), n = plot_name(base), title = plot_name(condition_title(int_file));
  const int count = static_cast<int>(labels.size());
  const int cols = std::min(count, 3), rows = (count + cols - 1) / cols;

  const std::string plt = base + "_tfr.plt";
  {
    File fp = qz_fopen_chk_wmode(plt);
    qz_fprintf(fp.get(), "set term pngcairo noenhanced size %d,%d font \"DejaVu Sans,10\"\n", 360 * cols + 40,
               260 * rows + 50);
    qz_fprintf(fp.get(), "set output \"%s_tfr.png\"\n", n.c_str());
    qz_fprintf(fp.get(), "set multiplot layout %d,%d title \"Thickness fringes: %s\"\n", rows, cols, title.c_str());
    qz_fprintf(fp.get(), "set xlabel \"thickness [A]\"\nset ylabel \"intensity\"\nset grid\nset key off\n");
    for (int r = 0; r < count; ++r) {
      qz_fprintf(fp.get(), "set title \"%s\"\n", labels[r].c_str());
      qz_fprintf(fp.get(), "plot \"%s\" using 1:%d with lines lw 2 lc rgb \"%s\"\n", f.c_str(), r + 2,
                 kCurveColours[r % 8]);
    }
    qz_fprintf(fp.get(), "unset multiplot\n");
  }
  exec_gnuplot(plt);

  const std::string all = base + "_tfr_all.plt";
  {
    File fp = qz_fopen_chk_wmode(all);
    qz_fprintf(fp.get(), "set term pngcairo noenhanced size 900,560 font \"DejaVu Sans,11\"\n");
    qz_fprintf(fp.get(), "set output \"%s_tfr_all.png\"\n", n.c_str());
    qz_fprintf(fp.get(), "set title \"Thickness fringes: %s\"\n", title.c_str());
    qz_fprintf(fp.get(), "set xlabel \"thickness [A]\"\nset ylabel \"intensity\"\nset grid\n");
    qz_fprintf(fp.get(), "set key outside right top\nplot ");
    for (int r = 0; r < count; ++r)
      qz_fprintf(fp.get(), "%s\"%s\" using 1:%d with lines lw 2 lc rgb \"%s\" dt %d title \"%s\"", r ? ", \\\n  " : "",
                 f.c_str(), r + 2, kCurveColours[r % 8], 1 + r / 8, labels[r].c_str());
    qz_fprintf(fp.get(), "\n");
  }
  exec_gnuplot(all);

  qz_fprintf(page, "<hr><p>Thickness fringes: %s</p>\n", condition_title(int_file).c_str());
  qz_fprintf(page, "<p><img src=\"%s_tfr.png\"></p>\n<p><img src=\"%s_tfr_all.png\"></p>\n", base.c_str(),
             base.c_str());
  const std::string h5 = export_path_for_result(int_file);
  qz_fprintf(page, "<p>Data: <a href=\"%s\">%s</a>, <a href=\"%s\">%s</a>", int_file.c_str(), int_file.c_str(),
             amp_file.c_str(), amp_file.c_str());
  if (read_export_info(h5)) qz_fprintf(page, ", <a href=\"%s\">%s</a>", h5.c_str(), h5.c_str());
  qz_fprintf(page, "</p>\n");
}

void job_tfringe_visual_mode(FILE* script) {
  HtmlPage page;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "HTML_OPEN") {
      page.open_from_script(script);
    } else if (*cmd == "HTML_CLOSE") {
      page.close();
    } else if (*cmd == "TFRINGE_VISUAL") {
      FILE* pg = page.require(*cmd);
      const std::string base = read_name(script, *cmd, "the base name");
      const std::string in = read_name(script, *cmd, "the intensity file");
      const std::string amp = read_name(script, *cmd, "the amplitude file");
      pltout_tfringe(base, in, amp, pg);
    } else {
      error_exit(stdout, "invalid command: %s", cmd->c_str());
    }
  }
}

}  // namespace kv
