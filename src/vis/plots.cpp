// Gnuplot plot jobs: the DISPSURF_VISUAL_MODE and BLOCH_VISUAL_MODE script
// modes, their plot scripts and the lines they add to the HTML page.
#include "vis/plots.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "vis/html_escape.hpp"
#include "input/fields.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/linereader.hpp"
#include "sim/script_folder.hpp"
#include "sim/qzio.hpp"
#include "vis/html.hpp"
#include "vis/job_pages.hpp"
#include "vis/spawn.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

// Gnuplot writes the picture itself; it must not replace a file this run
// reads.
void refuse_input_picture(const std::string& png) {
  if (is_input_file(png)) error_exit(stdout, "%s is an input file of this run and is not overwritten", png.c_str());
}

// A data file named in a plot must be there: a missing one ends the run
// here, before any script or picture refers to it. Opening it also records
// it as an input, so no plot script is written over it.
void check_data_file(const std::string& path) { File fp = fopen_chk_rmode(path); }

// One whole line without its line end (column-label lines grow with the
// number of branches and can be longer than the script reader's lines);
// nothing at end of file.
std::optional<std::string> whole_line(FILE* fp, const std::string& path) {
  constexpr std::size_t kMaxLine = 1 << 20;
  std::string s;
  int c = 0;
  bool any = false;
  while ((c = std::fgetc(fp)) != EOF) {
    any = true;
    if (c == '\n') break;
    s.push_back(static_cast<char>(c));
    if (s.size() > kMaxLine) error_exit(stdout, "%s: a line longer than %zu characters", path.c_str(), kMaxLine);
  }
  if (!any) return std::nullopt;
  return rm_cr(s);
}

// The column-label line of a dispersion-surface file: the first line that
// is neither empty nor a comment.
std::string ds_label_line(const std::string& ds_file) {
  File fp = fopen_chk_rmode(ds_file);
  while (std::optional<std::string> line = whole_line(fp.get(), ds_file)) {
    if (line->empty() || (*line)[0] == '#' || (*line)[0] == '%') continue;
    if (line->rfind("kxy(H)", 0) != 0) break;
    return *line;
  }
  error_exit(stdout, "%s has no column labels (a line beginning kxy(H)): not a dispersion-surface file",
             ds_file.c_str());
}

struct DsPlot {
  const char* suffix;  // of the script and picture names
  const char* ylabel;
  const char* title;
  const char* page_line;  // with the picture's element
  int DispsurfColumns::*column;
  bool kinematical;  // Kz, the kinematical curve, closes the plot
};

const DsPlot kDsPlots[] = {
    {"_ds_re", "set ylabel \"Re{k_z}\"\n", "set title \"Dispersion surface\"\n",
     "<hr><p>%s</p>\n", &DispsurfColumns::re_kz, true},
    {"_ds_im", "set ylabel \"Im{k_z}\"\n", "set title \"Absorption (Dispersion surface)\"\n",
     "<p>%s</p>\n", &DispsurfColumns::im_kz, false},
    {"_ds_sqeps", "set ylabel \"eps^2\"\n", "set title \"Excitation amplitudes of branches (eps^2)\"\n",
     "<p>%s</p>\n", &DispsurfColumns::sq_eps, false},
};

// One curve of a dispersion-surface plot: the branch and its columns.
struct DsCurve {
  int branch;
  DispsurfColumns columns;
};

// The curves in plot order: branch_begin, the branches between, and
// branch_end (branch_begin twice when the two are equal).
std::vector<DsCurve> ds_curves(int b0, int b1, const std::string& label_line, const std::string& ds_file) {
  std::vector<DsCurve> curves;
  curves.push_back({b0, dispsurf_columns(label_line, b0, ds_file)});
  const DsCurve last{b1, dispsurf_columns(label_line, b1, ds_file)};
  for (long long b = static_cast<long long>(b0) + 1; b < b1; ++b)
    curves.push_back({static_cast<int>(b), dispsurf_columns(label_line, static_cast<int>(b), ds_file)});
  curves.push_back(last);
  return curves;
}

void write_ds_plot(const DsPlot& p, const std::vector<DsCurve>& curves, const std::string& ds_file,
                   const std::string& base, FILE* page) {
  const std::string f = gp_file(ds_file);
  const std::string png = base + p.suffix + ".png";
  refuse_input_picture(png);

  const std::string plt = base + p.suffix + ".plt";
  OutputFile fp = qz_fopen_chk_wmode(plt);
  FILE* o = fp.get();
  qz_fprintf(o, "#\n");
  qz_fprintf(o, "set xlabel \"k_xy(H)\"\n");
  qz_fprintf(o, "%s", p.ylabel);
  qz_fprintf(o, "%s", p.title);
  qz_fprintf(o, "#set xrange [0:2]\n#set yrange [0:1]\n#set xtics 1\n#set mxtics 5\n#set ytics 0.5\n#set mytics 5\n");
  qz_fprintf(o, "set term png\n");
  qz_fprintf(o, "set output %s\n", gp_file(png).c_str());
  qz_fprintf(o, "#set term postscript\n");
  qz_fprintf(o, "#set output %s\n", gp_file(base + p.suffix + ".ps").c_str());
  const std::size_t last = curves.size() - 1;
  for (std::size_t i = 0; i <= last; ++i) {
    const int b = curves[i].branch;
    const int column = curves[i].columns.*p.column;
    if (i == 0)
      qz_fprintf(o, "plot %s using 1:%d title \"branch %d\" with lines, \\\n", f.c_str(), column, b);
    else if (i < last || p.kinematical)
      qz_fprintf(o, "%s using 1:%d title \"%d\" with lines, \\\n", f.c_str(), column, b);
    else
      qz_fprintf(o, "%s using 1:%d title \"%d\" with lines\n", f.c_str(), column, b);
  }
  if (p.kinematical) qz_fprintf(o, "%s using 1:3 title \"Kinematical\" with dots\n", f.c_str());
  qz_fprintf(o, "#pause -1\n");
  qz_fclose(fp);
  const bool made = plot_picture(plt, png);
  qz_fprintf(page, p.page_line, picture_element(page, png, made).c_str());
}

// The surface-plot frame shared by the projected potential and the Bloch
// states, up to the picture name.
void write_surface_frame(FILE* o) {
  qz_fprintf(o, "set size square\n");
  qz_fprintf(o, "set view 5,5\n");
  qz_fprintf(o, "set nosurface\n");
  qz_fprintf(o, "set pm3d\n");
  qz_fprintf(o, "set term png crop\n");
}


}  // namespace

DispsurfColumns dispsurf_columns(const std::string& label_line, int branch, const std::string& ds_file) {
  const std::string b = std::to_string(branch);
  const std::string re = "Re(kz" + b + ")", im = "Im(kz" + b + ")", sq = "Sq(eps" + b + ")";
  DispsurfColumns c;
  const std::vector<std::string_view> labels = split_tokens(label_line);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const int column = static_cast<int>(i) + 1;
    if (labels[i] == re) c.re_kz = column;
    if (labels[i] == im) c.im_kz = column;
    if (labels[i] == sq) c.sq_eps = column;
  }
  if (c.re_kz == 0 || c.im_kz == 0 || c.sq_eps == 0)
    error_exit(stdout, "branch %d is not among the branches of %s", branch, ds_file.c_str());
  return c;
}

void pltout_dispsurf(int branch_begin, int branch_end, int num_rf_amp, int num_thick, const std::string& ds_file,
                     const std::string& amp_file, const std::string& int_file, const std::string& base, FILE* page) {
  const std::vector<DsCurve> curves = ds_curves(branch_begin, branch_end, ds_label_line(ds_file), ds_file);
  for (const DsPlot& p : kDsPlots) write_ds_plot(p, curves, ds_file, base, page);
}

void pltout_pp(const std::string& pp_file, const std::string& base, FILE* page) {
  check_data_file(pp_file);
  const std::string f = gp_file(pp_file);
  const std::string png = base + "_pp.png";
  refuse_input_picture(png);
  const std::string plt = base + "_pp.plt";
  OutputFile fp = qz_fopen_chk_wmode(plt);
  write_surface_frame(fp.get());
  qz_fprintf(fp.get(), "set output %s\n", gp_file(png).c_str());
  qz_fprintf(fp.get(), "splot %s using 1:2:3 with lines\n", f.c_str());
  qz_fprintf(fp.get(), "#pause -1\n");
  qz_fclose(fp);
  const bool made = plot_picture(plt, png);
  qz_fprintf(page, "<hr><p>Projected potential [V]</p>\n");
  qz_fprintf(page, "<p>%s</p>\n", picture_element(page, png, made).c_str());
}

void pltout_bloch(const std::string& branch_file, const std::string& base, int branch, double eps2, FILE* page) {
  check_data_file(branch_file);
  const std::string f = gp_file(branch_file);
  const std::string png = base + "_b" + std::to_string(branch) + ".png";
  refuse_input_picture(png);
  const std::string plt = base + "_b" + std::to_string(branch) + ".plt";
  OutputFile fp = qz_fopen_chk_wmode(plt);
  write_surface_frame(fp.get());
  qz_fprintf(fp.get(), "set output %s\n", gp_file(png).c_str());
  qz_fprintf(fp.get(), "splot %s using 1:2:3 with lines\n", f.c_str());
  qz_fprintf(fp.get(), "#splot %s using 1:2:6 with lines\n", f.c_str());
  qz_fprintf(fp.get(), "#pause -1\n");
  qz_fclose(fp);
  const bool made = plot_picture(plt, png);
  qz_fprintf(page, "<hr><p>Branch %d, excitation (eps^2) = %g</p>\n", branch, eps2);
  qz_fprintf(page, "<p>%s</p>\n", picture_element(page, png, made).c_str());
}

namespace {

// One finite number filling the whole token.
bool finite_number(std::string_view tok, double* out) {
  const std::string t(tok);
  char* end = nullptr;
  *out = std::strtod(t.c_str(), &end);
  return !t.empty() && end == t.c_str() + t.size() && std::isfinite(*out);
}

}  // namespace

ChisqHistory read_chisq_history(const std::string& data_file) {
  File fp = fopen_chk_rmode(data_file);
  ChisqHistory h;
  int line_no = 0;
  while (std::optional<std::string> line = whole_line(fp.get(), data_file)) {
    ++line_no;
    if (line->empty() || (*line)[0] == '#' || (*line)[0] == '%') continue;
    const std::vector<std::string_view> tok = split_tokens(*line);
    if (tok.empty()) continue;
    double it = 0.0, chisq = 0.0;
    if (tok.size() < 2 || !finite_number(tok[0], &it) || !finite_number(tok[1], &chisq) || chisq < 0.0)
      error_exit(stdout,
                 "%s, line %d: an iteration number and a non-negative chi-squared are expected (buf=%s)",
                 data_file.c_str(), line_no, printable(*line).c_str());
    if (h.rows == 0) h.first = chisq;
    h.last = chisq;
    h.last_iteration = static_cast<int>(it);
    ++h.rows;
  }
  if (h.rows == 0) error_exit(stdout, "%s holds no iterations: not a chi-squared history", data_file.c_str());
  return h;
}

void pltout_chisq(const std::string& data_file, const std::vector<std::string>& result_pages) {
  const ChisqHistory h = read_chisq_history(data_file);
  const std::string base = remove_extention(data_file);
  const std::string f = gp_file(data_file);
  const std::string png = base + ".png";
  refuse_input_picture(png);
  const std::string plt = base + ".plt";
  {
    OutputFile fp = qz_fopen_chk_wmode(plt);
    FILE* o = fp.get();
    qz_fprintf(o, "set term png\n");
    qz_fprintf(o, "set output %s\n", gp_file(png).c_str());
    qz_fprintf(o, "set xlabel \"iteration\"\n");
    qz_fprintf(o, "set ylabel \"chi-squared\"\n");
    qz_fprintf(o, "set title \"Chi-squared against iteration\"\n");
    // A refinement that reaches an exact fit has chi-squared 0, which a
    // logarithmic axis cannot show: the axis stays linear then.
    qz_fprintf(o, "%sset logscale y\n", h.last > 0.0 ? "" : "#");
    qz_fprintf(o, "set mxtics 1\n");
    qz_fprintf(o, "plot %s using 1:2 title \"chi-squared\" with linespoints\n", f.c_str());
    qz_fprintf(o, "#pause -1\n");
    qz_fclose(fp);
  }
  const bool made = plot_picture(plt, png);

  const std::string page_name = base + "_.html";
  OutputFile page = qz_fopen_chk_wmode(page_name);
  FILE* pg = page.get();
  output_html_header(pg, base);
  qz_fprintf(pg, "<p>Chi-squared history: %s<br>\n", html_text(data_file).c_str());
  qz_fprintf(pg, "%d iterations, chi-squared %.8g at the start, %.8g at iteration %d</p>\n", h.rows - 1, h.first,
             h.last, h.last_iteration);
  qz_fprintf(pg, "<p>%s</p>\n", picture_element(pg, png, made).c_str());
  if (!result_pages.empty()) {
    qz_fprintf(pg, "<HR>\n<p>Fit results:</p>\n<ul>\n");
    for (const std::string& r : result_pages)
      qz_fprintf(pg, "<li><a href=\"%s\">%s</a></li>\n", html_url(link_from_page(pg, r)).c_str(),
                 html_text(r).c_str());
    qz_fprintf(pg, "</ul>\n");
  }
  qz_fprintf(pg, "</body>\n</html>\n");
  qz_fclose(page);
  std::printf("\nResult: \"%s\"\n\n", page_name.c_str());
}

void job_dispsurf_visual_mode(FILE* script) {
  HtmlPage page;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "HTML_OPEN") {
      page.open_from_script(script);
    } else if (*cmd == "HTML_CLOSE") {
      page.close();
    } else if (*cmd == "DISPSURF_VISUAL") {
      FILE* pg = page.require(*cmd);
      const int branch_begin = fget_i(script);
      const int branch_end = fget_i(script);
      const int num_rf_amp = fget_i(script);
      const int num_thick = fget_i(script);
      const std::string base = read_name(script, *cmd, "the base name");
      const std::string ds = script_input_file(script, read_name(script, *cmd, "the dispersion-surface file"));
      const std::string amp = script_input_file(script, read_name(script, *cmd, "the amplitude file"));
      const std::string in = script_input_file(script, read_name(script, *cmd, "the intensity file"));
      pltout_dispsurf(branch_begin, branch_end, num_rf_amp, num_thick, ds, amp, in, base, pg);
      pltout_dispsurf_figures(branch_begin, branch_end, num_rf_amp, num_thick, ds, amp, in, base);
    } else {
      error_exit(stdout, "invalid command: %s", cmd->c_str());
    }
  }
  page.finish();
}

void job_bloch_visual_mode(FILE* script) {
  HtmlPage page;
  while (std::optional<std::string> cmd = next_command(script)) {
    if (*cmd == "HTML_OPEN") {
      page.open_from_script(script);
      qz_fprintf(page.require(*cmd), "<p>Probability density distribution of Bloch waves</p>\n");
    } else if (*cmd == "HTML_CLOSE") {
      page.close();
    } else if (*cmd == "BLOCH_VISUAL") {
      FILE* pg = page.require(*cmd);
      const std::string base = read_name(script, *cmd, "the base name");
      const std::string pp = script_input_file(script, read_name(script, *cmd, "the projected-potential file"));
      pltout_pp(pp, base, pg);
      const int branch_begin = fget_i(script);
      const int branch_end = fget_i(script);
      // Counted in a wider type so that a range up to the largest int ends.
      for (long long b = branch_begin; b <= branch_end; ++b) {
        const std::string file = script_input_file(script, read_name(script, *cmd, "a Bloch-state file"));
        const int branch = fget_i(script);
        const double eps2 = fget_d(script);
        pltout_bloch(file, base, branch, eps2, pg);
      }
    } else {
      error_exit(stdout, "invalid command: %s", cmd->c_str());
    }
  }
  page.finish();
}

}  // namespace kv
