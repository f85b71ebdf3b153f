#include "vis/script_inputs.hpp"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <map>
#include <string_view>
#include <vector>

#include "crystal/data_table.hpp"
#include "sim/qzio.hpp"
#include "sim/linereader.hpp"
#include "sim/script_folder.hpp"
#include "vis/script_outputs.hpp"

namespace kv {

namespace {

constexpr std::string_view kSeparators = " ,\t\r\n";

// The first token of a line (tokens end at a blank, comma or tab).
std::string first_token(const std::string& line) {
  const std::size_t b = line.find_first_not_of(kSeparators);
  if (b == std::string::npos) return std::string();
  const std::size_t e = line.find_first_of(kSeparators, b);
  return line.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

// The first tokens of the non-comment lines of a text file, in order: lines
// opening with '%' or '#' and COMMENT{ ... }COMMENT blocks are passed over,
// and blank lines give no token.
std::vector<std::string> line_tokens(const std::string& path) {
  std::vector<std::string> tokens;
  File fp(std::fopen(path.c_str(), "r"));
  if (!fp) return tokens;
  std::string line;
  bool in_comment_block = false;
  for (int c = 0; c != EOF;) {
    line.clear();
    while ((c = std::fgetc(fp.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (in_comment_block) {
      if (line.find("}COMMENT") != std::string::npos) in_comment_block = false;
      continue;
    }
    if (line.empty() || line[0] == '%' || line[0] == '#') continue;
    const std::string tok = first_token(line);
    if (tok.rfind("COMMENT{", 0) == 0) {
      in_comment_block = line.find("}COMMENT") == std::string::npos;
      continue;
    }
    if (!tok.empty()) tokens.push_back(tok);
  }
  return tokens;
}

bool is_regular_file(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(path), ec);
}

// Whether a file opens with the FIT_MODE word (a fit-mode parameter file,
// whose datasets name measured files of their own). Only the first line is
// read: result files can be large.
bool is_fit_mode_file(const std::string& path) {
  File fp(std::fopen(path.c_str(), "r"));
  char buf[256];
  while (fp && std::fgets(buf, sizeof buf, fp.get())) {
    const std::string line(buf);
    if (line[0] == '%' || line[0] == '#') continue;
    const std::string tok = first_token(line);
    if (!tok.empty()) return tok == "FIT_MODE";
  }
  return false;
}

// How many of the lines after a command name outputs, and after how many
// lines they begin.
struct OutputLines {
  int skip;
  std::vector<NamedOutput> kinds;
};

std::optional<OutputLines> output_lines_of(const std::string& command) {
  if (command == "HTML_OPEN") return OutputLines{0, {NamedOutput::page}};
  if (command == "TS_SCAN_OPEN") return OutputLines{0, {NamedOutput::scan_table, NamedOutput::scan_plot}};
  // the simulation file, then its shift result
  if (command == "TS_SCAN_SIM_FILE") return OutputLines{1, {NamedOutput::shift_result}};
  return std::nullopt;
}

}  // namespace

void register_data_tables() {
  for (const char* table : {"korvexspg.dat", "korvexxdt.dat", "korvexbk.dat"})
    if (const std::optional<std::string> path = locate_data_table(table)) mark_input_file(*path);
  mark_input_file("korvex.ini");
}

void register_script_inputs(const std::string& script_path) {
  register_data_tables();
  mark_input_file(script_path);
  File script(std::fopen(script_path.c_str(), "r"));
  if (!script) return;  // the run itself reports a script it cannot open
  const ScriptFolder folder(script.get(), script_path);
  const std::vector<std::string> tokens = line_tokens(script_path);

  std::vector<std::pair<std::string, NamedOutput>> outputs;
  std::map<std::size_t, NamedOutput> output_at;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (const std::optional<OutputLines> o = output_lines_of(tokens[i]))
      for (std::size_t k = 0; k < o->kinds.size(); ++k)
        output_at.emplace(i + 1 + static_cast<std::size_t>(o->skip) + k, o->kinds[k]);
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (const auto out = output_at.find(i); out != output_at.end()) {
      outputs.emplace_back(tokens[i], out->second);
      if (out->second == NamedOutput::shift_result)
        outputs.emplace_back(remove_extention(tokens[i]) + "_int.txt", NamedOutput::shift_points);
      continue;
    }
    const std::string input = script_input_file(script.get(), tokens[i]);
    if (!is_regular_file(input)) continue;
    mark_input_file(input);
    if (is_fit_mode_file(input))
      for (const std::string& name : line_tokens(input))
        if (is_regular_file(name)) mark_input_file(name);
  }
  // Every name is checked before anything is written: the first bad one ends
  // the run with nothing made.
  for (const auto& [out, kind] : outputs) {
    if (is_input_file(out))
      error_exit(stdout, "%s is an input file of this script and is not overwritten", out.c_str());
    check_named_output(out, kind);
  }
}

}  // namespace kv
