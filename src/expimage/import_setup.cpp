#include "expimage/import_setup.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

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
    } else if (key == "centre_000_px") {
      need(2);
      k.centre_000_px = std::array<double, 2>{number(file, key, t[1]), number(file, key, t[2])};
    } else if (key == "g1_px") {
      need(2);
      k.g1_px = std::array<double, 2>{number(file, key, t[1]), number(file, key, t[2])};
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
  if (!mode || *mode != "SIM_MODE")
    setup_fault(path, "the setup must be a SIM_MODE parameter file (found " + (mode ? *mode : std::string("nothing")) + ")");
  read_eps_ctrl_params(fp.get());
  input_csd_cstr(s.crystal, fp.get(), remove_extention(path));
  input_sim_data(s.cond, s.crystal, fp.get());
  s.lm = bravai(s.crystal.lp.data());
  apply_microscope_units(s.cond, s.lm);
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
