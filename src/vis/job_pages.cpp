#include "vis/html_escape.hpp"
#include "vis/job_pages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "results/hdf5_export.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/script_folder.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "vis/html.hpp"
#include "vis/spawn.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

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
  const std::string f = gp_file(int_file), title = condition_title(int_file);
  const int count = static_cast<int>(labels.size());
  const int cols = std::min(count, 3), rows = (count + cols - 1) / cols;

  const std::string plt = base + "_tfr.plt", png = base + "_tfr.png";
  {
    OutputFile fp = qz_fopen_chk_wmode(plt);
    qz_fprintf(fp.get(), "set term pngcairo noenhanced size %d,%d font \"DejaVu Sans,10\"\n", 360 * cols + 40,
               260 * rows + 50);
    qz_fprintf(fp.get(), "set output %s\n", gp_file(png).c_str());
    qz_fprintf(fp.get(), "set multiplot layout %d,%d title %s\n", rows, cols,
               gp_quote("Thickness fringes: " + title).c_str());
    qz_fprintf(fp.get(), "set xlabel \"thickness [A]\"\nset ylabel \"intensity\"\nset grid\nset key off\n");
    for (int r = 0; r < count; ++r) {
      qz_fprintf(fp.get(), "set title %s\n", gp_quote(labels[r]).c_str());
      qz_fprintf(fp.get(), "plot %s using 1:%d with lines lw 2 lc rgb \"%s\"\n", f.c_str(), r + 2,
                 kCurveColours[r % 8]);
    }
    qz_fprintf(fp.get(), "unset multiplot\n");
    qz_fclose(fp);
  }
  const bool made = plot_picture(plt, png);

  const std::string all = base + "_tfr_all.plt", all_png = base + "_tfr_all.png";
  {
    OutputFile fp = qz_fopen_chk_wmode(all);
    qz_fprintf(fp.get(), "set term pngcairo noenhanced size 900,560 font \"DejaVu Sans,11\"\n");
    qz_fprintf(fp.get(), "set output %s\n", gp_file(all_png).c_str());
    qz_fprintf(fp.get(), "set title %s\n", gp_quote("Thickness fringes: " + title).c_str());
    qz_fprintf(fp.get(), "set xlabel \"thickness [A]\"\nset ylabel \"intensity\"\nset grid\n");
    qz_fprintf(fp.get(), "set key outside right top\nplot ");
    for (int r = 0; r < count; ++r)
      qz_fprintf(fp.get(), "%s%s using 1:%d with lines lw 2 lc rgb \"%s\" dt %d title %s", r ? ", \\\n  " : "",
                 f.c_str(), r + 2, kCurveColours[r % 8], 1 + r / 8, gp_quote(labels[r]).c_str());
    qz_fprintf(fp.get(), "\n");
    qz_fclose(fp);
  }
  const bool all_made = plot_picture(all, all_png);

  qz_fprintf(page, "<hr><p>Thickness fringes: %s</p>\n", html_text(title).c_str());
  qz_fprintf(page, "<p>%s</p>\n<p>%s</p>\n", picture_element(page, png, made).c_str(),
             picture_element(page, all_png, all_made).c_str());
  const std::string h5 = export_path_for_result(int_file);
  qz_fprintf(page, "<p>Data: <a href=\"%s\">%s</a>, <a href=\"%s\">%s</a>", html_url(int_file).c_str(),
             html_text(int_file).c_str(), html_url(amp_file).c_str(), html_text(amp_file).c_str());
  if (read_export_info(h5))
    qz_fprintf(page, ", <a href=\"%s\">%s</a>", html_url(h5).c_str(), html_text(h5).c_str());
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
      const std::string in = script_input_file(script, read_name(script, *cmd, "the intensity file"));
      const std::string amp = script_input_file(script, read_name(script, *cmd, "the amplitude file"));
      pltout_tfringe(base, in, amp, pg);
    } else {
      error_exit(stdout, "invalid command: %s", cmd->c_str());
    }
  }
  page.finish();
}

std::vector<std::string> comment_labels(const std::string& file, const std::string& key) {
  File fp = fopen_chk_rmode(file);
  std::vector<std::string> labels;
  char buf[4096];
  const std::string head = "# " + key + " ";
  while (std::fgets(buf, sizeof buf, fp.get())) {
    std::string line(buf);
    if (line.rfind("#", 0) != 0) break;
    if (line.rfind(head, 0) != 0) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string v = line.substr(colon + 1);
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.pop_back();
    while (!v.empty() && v.front() == ' ') v.erase(v.begin());
    const std::size_t unit = v.find("[A]");
    if (unit != std::string::npos) v.replace(unit, 3, " A");
    labels.push_back(v);
  }
  return labels;
}

namespace {

struct PanelCurve {
  int column;
  std::string title;
  std::string file = {};   // empty: the panel's data file
  std::string style = {};  // empty: a solid line in the next colour
};

// One gnuplot script: panels side by side (or a single plot), each a list
// of curves from one data file, plain-text labels, key outside. Returns
// whether the picture was made.
bool write_panels(const std::string& plt, const std::string& png, const std::string& data, const std::string& title,
                  const std::string& xlabel, const std::string& ylabel,
                  const std::vector<std::pair<std::string, std::vector<PanelCurve>>>& panels,
                  const std::string& extra = {}) {
  const int count = static_cast<int>(panels.size());
  const int cols = std::min(count, 2), rows = (count + cols - 1) / cols;
  OutputFile fp = qz_fopen_chk_wmode(plt);
  FILE* o = fp.get();
  qz_fprintf(o, "set term pngcairo noenhanced size %d,%d font \"DejaVu Sans,10\"\n", count == 1 ? 900 : 560 * cols + 60, 380 * rows + 50);
  qz_fprintf(o, "set output %s\n", gp_file(png).c_str());
  qz_fprintf(o, "set multiplot layout %d,%d title %s\n", rows, cols, gp_quote(title).c_str());
  qz_fprintf(o, "set xlabel %s\nset ylabel %s\nset grid\nset key outside right top\n", gp_quote(xlabel).c_str(),
             gp_quote(ylabel).c_str());
  qz_fprintf(o, "%s", extra.c_str());
  for (const auto& [panel_title, curves] : panels) {
    qz_fprintf(o, "set title %s\nplot ", gp_quote(panel_title).c_str());
    for (std::size_t c = 0; c < curves.size(); ++c) {
      const std::string style =
          curves[c].style.empty()
              ? strprintf("lw 2 lc rgb \"%s\" dt %d", kCurveColours[c % 8], 1 + static_cast<int>(c / 8))
              : curves[c].style;
      qz_fprintf(o, "%s%s using 1:%d with lines %s title %s", c ? ", \\\n  " : "",
                 gp_file(curves[c].file.empty() ? data : curves[c].file).c_str(), curves[c].column, style.c_str(),
                 gp_quote(curves[c].title).c_str());
    }
    qz_fprintf(o, "\n");
  }
  qz_fprintf(o, "unset multiplot\n");
  qz_fclose(fp);
  return plot_picture(plt, png);
}

// The smallest and largest value of the given columns (1-based) over the
// numeric lines of a table; nothing when no value was read.
std::optional<std::pair<double, double>> column_span(const std::string& file, const std::vector<int>& columns) {
  File fp = fopen_chk_rmode(file);
  char buf[65536];
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  while (std::fgets(buf, sizeof buf, fp.get())) {
    const std::vector<std::string_view> tok = split_tokens(buf);
    if (tok.empty() || tok[0].front() == '#') continue;
    for (int c : columns) {
      if (c < 1 || c > static_cast<int>(tok.size())) continue;
      const std::string t(tok[c - 1]);
      char* end = nullptr;
      const double v = std::strtod(t.c_str(), &end);
      if (end == t.c_str() || *end != '\0' || !std::isfinite(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  if (!(hi >= lo)) return std::nullopt;
  return std::make_pair(lo, hi);
}

}  // namespace

std::vector<KinematicCurve> kinematic_curves(const std::string& kin_file) {
  std::vector<KinematicCurve> curves;
  const std::vector<std::string> g = comment_labels(kin_file, "g");
  for (std::size_t i = 0; i < g.size(); ++i) curves.push_back({static_cast<int>(i) + 3, g[i]});
  return curves;
}

void pltout_dispsurf_figures(int branch_begin, int branch_end, int num_rf_amp, int num_thick,
                             const std::string& ds_file, const std::string& amp_file, const std::string& int_file,
                             const std::string& base) {
  OutputFile page = qz_fopen_chk_wmode(base + "_plots.html");
  FILE* pg = page.get();
  const std::string cond = condition_title(ds_file);
  qz_fprintf(pg, "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s_plots.html</title>\n</head>\n"
             "<body>\n<h1>Dispersion surface: %s</h1>\n", html_text(base).c_str(), html_text(cond).c_str());
  const int nb = branch_end - branch_begin + 1;
  if (nb < 1 || nb > 4096) error_exit(stdout, "branch range %d..%d cannot be plotted", branch_begin, branch_end);

  // Columns of a dispersion-surface file: 5 per branch after H, G and Kz.
  struct Part {
    const char* suffix;
    const char* ylabel;
    int offset;  // within a branch's five columns
    bool kinematical;
  };
  const Part parts[] = {{"ds_re", "Re k_z [1/A]", 0, true}, {"ds_im", "Im k_z [1/A]", 1, false},
                        {"ds_sqeps", "excitation eps^2", 4, false}};
  for (const Part& p : parts) {
    std::vector<PanelCurve> curves;
    for (int j = 0; j < nb; ++j)
      curves.push_back({4 + 5 * j + p.offset, "branch " + std::to_string(branch_begin + j)});
    std::string extra;
    if (p.kinematical) {
      // The free-electron sphere of every exact beam, when the job wrote
      // them; the plot keeps the range of the branches so that spheres far
      // from them do not squeeze the branches flat.
      const std::string kin = base + "_ds_kin.txt";
      const std::vector<KinematicCurve> spheres = std::filesystem::is_regular_file(kin) ? kinematic_curves(kin) : std::vector<KinematicCurve>{};
      if (spheres.empty()) {
        curves.push_back({3, "kinematical K_z (000)"});
      } else {
        std::vector<int> cols;
        for (const PanelCurve& c : curves) cols.push_back(c.column);
        double lo = -HUGE_VAL, hi = HUGE_VAL;
        if (const auto span = column_span(ds_file, cols)) {
          const double pad = std::max(0.1 * (span->second - span->first), 1e-6 * std::fabs(span->second) + 1e-9);
          lo = span->first - pad;
          hi = span->second + pad;
          extra = strprintf("set yrange [%.12g:%.12g]\n", lo, hi);
        }
        // Only the spheres that pass through the plotted range are drawn.
        for (const KinematicCurve& k : spheres) {
          const auto s = column_span(kin, {k.column});
          if (s && s->second >= lo && s->first <= hi)
            curves.push_back({k.column, "sphere " + k.hkl, kin, "lw 1 lc rgb \"#808080\" dt 2"});
        }
      }
    }
    const std::string png = base + "_fig_" + p.suffix + ".png";
    const bool made = write_panels(base + "_fig_" + p.suffix + ".plt", png, ds_file, cond, "tilt H along g1 (g1/2 units)", p.ylabel,
                 {{std::string(p.ylabel) + " of branches " + std::to_string(branch_begin) + " to " +
                       std::to_string(branch_end),
                   curves}},
                 extra);
    qz_fprintf(pg, "<p>%s</p>\n", picture_element(pg, png, made).c_str());
  }

  // Amplitude file: per reflection and branch two columns (|eps C|, phase).
  const std::vector<std::string> g = comment_labels(amp_file, "g");
  if (num_rf_amp > 0 && static_cast<int>(g.size()) == num_rf_amp) {
    std::vector<std::pair<std::string, std::vector<PanelCurve>>> panels;
    for (int i = 0; i < num_rf_amp; ++i) {
      std::vector<PanelCurve> curves;
      for (int j = 0; j < nb; ++j) curves.push_back({3 + 2 * (i * nb + j), "branch " + std::to_string(branch_begin + j)});
      panels.push_back({"reflection " + g[i], curves});
    }
    const std::string png = base + "_fig_amp.png";
    const bool made = write_panels(base + "_fig_amp.plt", png, amp_file, "Bloch-wave amplitudes |eps C_g|: " + cond,
                 "tilt H along g1 (g1/2 units)", "|eps C_g|", panels);
    qz_fprintf(pg, "<p>%s</p>\n", picture_element(pg, png, made).c_str());
  }
  // Intensity file: per reflection and thickness one column.
  const std::vector<std::string> gi = comment_labels(int_file, "g");
  const std::vector<std::string> th = comment_labels(int_file, "thickness");
  if (num_rf_amp > 0 && num_thick > 0 && static_cast<int>(gi.size()) == num_rf_amp &&
      static_cast<int>(th.size()) == num_thick) {
    std::vector<std::pair<std::string, std::vector<PanelCurve>>> panels;
    for (int t = 0; t < num_thick; ++t) {
      std::vector<PanelCurve> curves;
      for (int i = 0; i < num_rf_amp; ++i) curves.push_back({3 + i * num_thick + t, gi[i]});
      panels.push_back({"thickness " + th[t], curves});
    }
    const std::string png = base + "_fig_int.png";
    const bool made = write_panels(base + "_fig_int.plt", png, int_file, "Intensities: " + cond, "tilt H along g1 (g1/2 units)",
                 "intensity", panels);
    qz_fprintf(pg, "<p>%s</p>\n", picture_element(pg, png, made).c_str());
  }
  qz_fprintf(pg, "</body>\n</html>\n");
  qz_fclose(page);
  std::printf("\n==> SEE %s_plots.html\n\n", base.c_str());
}

}  // namespace kv
