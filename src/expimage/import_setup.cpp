#include "expimage/import_setup.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

#include "beams/beam_select.hpp"
#include "expdata/dataset.hpp"
#include "input/fields.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

[[noreturn]] void setup_fault(const std::string& file, const std::string& what) {
  fatal_out("$$ Import setup %s: %s. Abort.\n", file.c_str(), what.c_str());
}

std::vector<std::string> tokens(const std::string& line) {
  std::vector<std::string> t;
  std::string cur;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
      if (!cur.empty()) t.push_back(cur), cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) t.push_back(cur);
  return t;
}

double number(const std::string& file, const std::string& key, const std::string& tok) {
  char* end = nullptr;
  const double v = std::strtod(tok.c_str(), &end);
  if (end == tok.c_str() || *end != '\0' || !std::isfinite(v))
    setup_fault(file, "IMPORT key " + key + ": '" + tok + "' is not a number");
  return v;
}

// A file named by the setup must stay in the working folder's tree: no
// absolute names, no "..".
std::string input_name(const std::string& file, const std::string& key, const std::string& name) {
  if (name.empty()) setup_fault(file, "IMPORT key " + key + " names no file");
  return name;
}

// The lines from `open` to `close` (both included) of a text, or empty.
std::string block_text(const std::string& text, const std::string& open, const std::string& close) {
  std::istringstream in(text);
  std::string line, out;
  bool inside = false;
  while (std::getline(in, line)) {
    const std::string first = tokens(line).empty() ? std::string() : tokens(line)[0];
    if (!inside && first == open) inside = true;
    if (inside) out += line + "\n";
    if (inside && first == close) return out;
  }
  return {};
}

// The next line's tokens (comments skipped); refused at the end of the file.
std::vector<std::string> next_tokens(const std::string& file, FILE* fp, const char* what) {
  const auto line = comment_skip_fgets(256, fp);
  if (!line) setup_fault(file, std::string("the file ends before ") + what);
  return tokens(*line);
}

void expect_marker(const std::string& file, FILE* fp, const char* marker) {
  const auto t = next_tokens(file, fp, marker);
  if (t.empty() || t[0] != marker) setup_fault(file, std::string(marker) + " expected, found " + (t.empty() ? "an empty line" : t[0]));
}

// The first DATA_SET of a FIT_MODE file as a simulation condition: its
// geometry and beam set, the reflections of its REFLEX_SHIFT_PAR block and
// the thickness of its first THICKNESS_BLOCK. Its intensity file is not read.
void read_fit_mode_dataset(const std::string& file, FILE* fp, ImportSetup& s) {
  chk_data("FIT_CALCULATION_CONDITION{", fp);
  int max_iter = 0, num_dataset = 0;
  read_ITEM_EXP_NUM(&max_iter, &num_dataset, fp);
  if (num_dataset < 1) setup_fault(file, "the fit-mode file holds no DATA_SET");
  chk_data("DATA_SET{", fp);
  fed ed;
  fei ei;
  read_INCIDENT_BEAM(ed, fp);
  read_CALC_KXY_RANGE(ed, ei, fp);
  read_BEAM_SEARCH(ed, fp);
  apply_dataset_units(ed, s.lm);
  sd& c = s.cond;
  c.incidence = ed.incidence;
  c.normal = ed.normal;
  c.zolzbase1 = ed.zolzbase1;
  c.tiltH = ed.tiltH, c.tiltG = ed.tiltG, c.voltage = ed.voltage;
  c.bs = ed.bs;
  c.calc_type = ed.calc_type;
  c.num_cal_pix_side = ed.num_cal_pix_side;
  c.disksize = ed.disksize;
  if (ed.bs.flag_bs % 10 == 0) {
    c.num_exact_beam = ed.num_exact_beam, c.num_bethe_beam = ed.num_bethe_beam, c.beams = ed.beams;
  } else {
    BeamList exact, bethe;
    int ne = 0, nb = 0;
    std::printf("Beam search... ");
    if (ed.bs.flag_bs % 10 == 1)
      simple_beam_search_wg(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG, ed.voltage, s.crystal);
    else if (ed.bs.flag_bs % 10 == 2)
      simple_beam_search_sg(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG, ed.voltage, s.crystal);
    else
      beam_search_sg_multi(&ne, &nb, &exact, &bethe, ed.bs, ed.incidence, ed.zolzbase1, ed.tiltH, ed.tiltG, ed.voltage, s.crystal);
    std::printf("Exact = %d, Bethe = %d\n", ne, nb);
    c.num_exact_beam = ne, c.num_bethe_beam = nb;
    c.beams = beam_merge(ne, nb, exact, bethe);
  }
  expect_marker(file, fp, "INTENSITY_DATA{");
  next_tokens(file, fp, "the intensity file name");
  next_tokens(file, fp, "the number of thickness blocks");
  const auto nr = next_tokens(file, fp, "the number of reflections");
  const int num_reflex = nr.empty() ? 0 : std::atoi(nr[0].c_str());
  if (num_reflex < 1 || num_reflex > 10000) setup_fault(file, "the DATA_SET names no reflections");
  expect_marker(file, fp, "}INTENSITY_DATA");
  expect_marker(file, fp, "THICKNESS_BLOCK{");
  expect_marker(file, fp, "STW_PAR{");
  next_tokens(file, fp, "the scale line");
  const auto th = next_tokens(file, fp, "the thickness line");
  c.thickness = {th.empty() ? 0.0 : std::atof(th[0].c_str())};
  c.num_thickness = 1;
  next_tokens(file, fp, "the thickness-width line");
  next_tokens(file, fp, "the averaging line");
  expect_marker(file, fp, "}STW_PAR");
  expect_marker(file, fp, "REFLEX_SHIFT_PAR{");
  for (int r = 0; r < num_reflex; ++r) {
    const auto g = next_tokens(file, fp, "a reflection line");
    if (g.size() < 3) setup_fault(file, "a REFLEX_SHIFT_PAR line without h k l");
    const Hkl hkl{std::atoi(g[0].c_str()), std::atoi(g[1].c_str()), std::atoi(g[2].c_str())};
    const int k = find_n_g(c.num_exact_beam, hkl, c.beams);
    if (k < 0) setup_fault(file, strprintf("reflection %d %d %d is not among the exact beams", hkl.h, hkl.k, hkl.l));
    c.cal_g.push_back(k);
    next_tokens(file, fp, "the H_shift line");
    next_tokens(file, fp, "the G_shift line");
  }
  c.num_g = static_cast<int>(c.cal_g.size());
}

}  // namespace

ImportKeys parse_import_keys(const std::string& file, const std::string& block) {
  ImportKeys k;
  std::istringstream in(block);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && (line[0] == '%' || line[0] == '#')) continue;
    const auto t = tokens(line);
    if (t.empty()) continue;
    const std::string& key = t[0];
    auto need = [&](std::size_t n) {
      if (t.size() < n + 1) setup_fault(file, strprintf("IMPORT key %s needs %zu value%s", key.c_str(), n, n > 1 ? "s" : ""));
      // Nothing may follow the values but a comment.
      if (t.size() > n + 1 && t[n + 1][0] != '%')
        setup_fault(file, strprintf("IMPORT key %s takes %zu value%s; '%s' after %s is not one of them", key.c_str(), n,
                                    n > 1 ? "s" : "", t[n + 1].c_str(), n > 1 ? "them" : "it"));
    };
    if (key == "gain") {
      need(1);
      k.gain = number(file, key, t[1]);
      if (!(k.gain > 0)) setup_fault(file, "IMPORT key gain must be positive (counts per electron)");
    } else if (key == "read_noise") {
      need(1);
      k.read_noise = number(file, key, t[1]);
      if (k.read_noise < 0) setup_fault(file, "IMPORT key read_noise must not be negative");
    } else if (key == "dark") {
      need(1);
      k.dark = input_name(file, key, t[1]);
    } else if (key == "gain_reference") {
      need(1);
      k.gain_reference = input_name(file, key, t[1]);
    } else if (key == "mask") {
      need(1);
      k.mask = input_name(file, key, t[1]);
    } else if (key == "saturation") {
      need(1);
      k.saturation = number(file, key, t[1]);
      if (!(*k.saturation > 0)) setup_fault(file, "IMPORT key saturation must be positive (counts per frame)");
    } else if (key == "centre_000_px") {
      need(2);
      k.centre_000_px = std::array<double, 2>{number(file, key, t[1]), number(file, key, t[2])};
    } else if (key == "g1_px") {
      need(2);
      k.g1_px = std::array<double, 2>{number(file, key, t[1]), number(file, key, t[2])};
      if ((*k.g1_px)[0] == 0 && (*k.g1_px)[1] == 0)
        setup_fault(file, "IMPORT key g1_px must not be the zero vector (the pixel offset of g1 from 000)");
    } else {
      setup_fault(file, "unknown IMPORT key " + key +
                            " (gain, read_noise, dark, gain_reference, saturation, mask, centre_000_px, g1_px)");
    }
  }
  if (k.g1_px && !k.centre_000_px) setup_fault(file, "IMPORT key g1_px needs centre_000_px as well");
  return k;
}

void read_import_setup(const std::string& path, ImportSetup& s) {
  s.file = path;
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) setup_fault(path, "cannot be opened for reading");
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  File fp = fopen_chk_rmode(path);
  const std::optional<std::string> mode = fget_1s(fp.get());
  if (!mode || (*mode != "SIM_MODE" && *mode != "FIT_MODE"))
    setup_fault(path, "the setup must be a SIM_MODE or FIT_MODE parameter file (found " +
                          (mode ? *mode : std::string("nothing")) + ")");
  read_eps_ctrl_params(fp.get());
  input_csd_cstr(s.crystal, fp.get(), remove_extention(path));
  s.lm = bravai(s.crystal.lp.data());
  if (*mode == "SIM_MODE") {
    input_sim_data(s.cond, s.crystal, fp.get());
    apply_microscope_units(s.cond, s.lm);
  } else {
    read_fit_mode_dataset(path, fp.get(), s);
  }
  if (s.cond.num_cal_pix_side < 3 || s.cond.num_cal_pix_side > 401)
    setup_fault(path, strprintf("%d points across a disk (3 to 401)", s.cond.num_cal_pix_side));
  if (!(s.cond.disksize > 0)) setup_fault(path, "the disk size must be positive");
  if (s.cond.num_thickness < 1) setup_fault(path, "OUTPUT_THICKNESS gives no starting thickness");
  // The IMPORT block may stand anywhere after the condition block.
  bool inside = false, seen = false;
  std::string block;
  while (const auto line = comment_skip_fgets(256, fp.get())) {
    const auto t = tokens(*line);
    if (t.empty()) continue;
    if (!inside && t[0] == "IMPORT{") {
      if (seen) setup_fault(path, "two IMPORT blocks");
      inside = seen = true;
    } else if (inside && t[0] == "}IMPORT") {
      inside = false;
    } else if (inside) {
      block += *line;
      if (block.back() != '\n') block += "\n";
    }
  }
  if (inside) setup_fault(path, "the IMPORT block is not closed by }IMPORT");
  s.keys = parse_import_keys(path, block);
  s.eps_block = block_text(text, "EPS_CONTROL_PARAMETERS{", "}EPS_CONTROL_PARAMETERS");
  s.crystal_block = block_text(text, "CRYSTAL_STRUCTURE_DATA{", "}CRYSTAL_STRUCTURE_DATA");
  s.beam_search_block = block_text(text, "BEAM_SEARCH{", "}BEAM_SEARCH");
}

}  // namespace kv
