#include "sim/linereader.hpp"

#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/error.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

struct ReadPlace {
  std::string name;                 // file name, empty for an unnamed stream
  int line = 0;                     // lines read so far
  bool at_line_start = true;        // the next piece read begins a line
  std::vector<std::string> blocks;  // open blocks, outermost first
};

// Input is read by one thread at a time, before any parallel work starts.
std::map<FILE*, ReadPlace>& places() {
  static std::map<FILE*, ReadPlace> table;
  return table;
}
FILE* last_stream = nullptr;

ReadPlace& place_of(FILE* fp) { return places()[fp]; }

// Opening and closing markers keep the list of open blocks.
void track_block(FILE* fp, std::string_view marker) {
  ReadPlace& p = place_of(fp);
  if (!marker.empty() && marker.back() == '{') {
    p.blocks.emplace_back(marker.substr(0, marker.size() - 1));
  } else if (!marker.empty() && marker.front() == '}') {
    // A closing marker also closes any block left open inside it.
    for (std::size_t i = p.blocks.size(); i-- > 0;)
      if (p.blocks[i] == marker.substr(1)) {
        p.blocks.resize(i);
        break;
      }
  }
}

// One raw line (or piece of an over-long line) with fgets semantics.
std::optional<std::string> raw_line(int n, FILE* fp) {
  std::string buf(static_cast<std::size_t>(n > 1 ? n : 2), '\0');
  if (!std::fgets(buf.data(), static_cast<int>(buf.size()), fp)) return std::nullopt;
  buf.resize(std::strlen(buf.c_str()));
  ReadPlace& p = place_of(fp);
  if (p.at_line_start) ++p.line;
  p.at_line_start = !buf.empty() && buf.back() == '\n';
  last_stream = fp;
  return buf;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

[[noreturn]] void unexpected_eof() {
  fatal_out("$$ Data format error: unexpected end of file.\n$$ Abort.\n");
}

}  // namespace

void start_reading(FILE* fp, const std::string& name) {
  ReadPlace& p = place_of(fp);
  p = ReadPlace{};
  p.name = name;
}

void stop_reading(FILE* fp) {
  places().erase(fp);
  if (last_stream == fp) last_stream = nullptr;
}

std::string reading_file(FILE* fp) {
  const auto it = places().find(fp);
  return it == places().end() ? std::string() : it->second.name;
}

void enter_block(FILE* fp, std::string_view marker) { track_block(fp, marker); }

std::string reading_place(FILE* fp) {
  const auto it = places().find(fp);
  if (it == places().end() || it->second.line == 0) return std::string();
  const ReadPlace& p = it->second;
  std::string out = "line " + std::to_string(p.line);
  if (!p.name.empty()) out += " of " + p.name;
  if (!p.blocks.empty()) {
    out += ", block ";
    for (std::size_t i = 0; i < p.blocks.size(); ++i) out += (i ? " > " : "") + p.blocks[i];
  }
  return out;
}

std::string last_reading_place() { return last_stream ? reading_place(last_stream) : std::string(); }

std::string place_note(FILE* fp) {
  const std::string where = reading_place(fp);
  return where.empty() ? std::string() : "$$ (" + where + ")\n";
}

std::string last_place_note() { return last_stream ? place_note(last_stream) : std::string(); }

bool is_number(std::string_view token) {
  if (token.empty()) return false;
  const std::string s(token);
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end != s.c_str() && *end == '\0';
}

double checked_double(std::string_view token, const char* field, FILE* fp) {
  const std::string s(token);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  // Without a field name (a line of plain numbers) the message names only the token.
  const std::string what = field ? std::string(field) + " must be a number" : "expected a number";
  const std::string of = field ? std::string(" for ") + field : std::string();
  if (end == s.c_str())
    fatal_out("$$ Data format error: %s, found \"%s\".\n%s$$ Abort.\n", what.c_str(), s.c_str(),
              place_note(fp).c_str());
  if (*end != '\0')
    fatal_out("$$ Data format error: the number \"%s\"%s has trailing characters \"%s\".\n%s$$ Abort.\n",
              s.c_str(), of.c_str(), end, place_note(fp).c_str());
  return v;
}

int checked_int(std::string_view token, const char* field, FILE* fp) {
  checked_double(token, field, fp);
  return to_int(token);
}

std::optional<std::string> comment_skip_fgets(int n, FILE* fp) {
  for (;;) {
    std::optional<std::string> line = raw_line(n, fp);
    if (!line) return std::nullopt;
    if (line->empty()) continue;
    const char c = (*line)[0];
    if (c == '%' || c == '#') continue;
    if (starts_with(*line, "COMMENT{")) {
      for (;;) {
        std::optional<std::string> inner = raw_line(n, fp);
        if (!inner)
          fatal_out("$$ Data format error: COMMENT{ block without }COMMENT.\n$$ Abort.\n");
        if (starts_with(*inner, "}COMMENT")) break;
      }
      continue;
    }
    return line;
  }
}

std::string need_line(int n, FILE* fp) {
  std::optional<std::string> line = comment_skip_fgets(n, fp);
  if (!line) unexpected_eof();
  // A reader that takes one whole line must not take the first piece of an
  // over-long line and leave the rest to be read as the next record.
  if (line->empty() || (line->back() != '\n' && !std::feof(fp))) {
    const std::string shown = line->substr(0, 40);
    fatal_out("$$ Data format error: line longer than %d characters: %s...\n$$ Abort.\n", n - 1,
              shown.c_str());
  }
  return *line;
}

std::string& rm_cr(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string rm_cr_copy(std::string text) { return rm_cr(text); }

std::vector<std::string_view> split_tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  const auto is_sep = [](char c) { return c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r'; };
  while (i < line.size()) {
    while (i < line.size() && is_sep(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_sep(line[i])) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

double to_double(std::string_view token) {
  const std::string s(token);
  return std::strtod(s.c_str(), nullptr);
}

int to_int(std::string_view token) {
  const std::string s(token);
  return static_cast<int>(std::strtol(s.c_str(), nullptr, 10));
}

static std::string_view second_token(const std::string& line) {
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.size() < 2) {
    const std::string shown = rm_cr_copy(line);
    fatal_out("$$ Data format error: no value after \"%s\".\n$$ Abort.\n", shown.c_str());
  }
  return t[1];
}

int second_int(const std::string& line) { return to_int(second_token(line)); }

double second_double(const std::string& line) { return to_double(second_token(line)); }

int str_to_fs(int n, const std::string& line, double* out) {
  for (int i = 0; i < n; ++i) out[i] = 0.0;
  const std::vector<std::string_view> t = split_tokens(line);
  int k = 0;
  for (; k < n && k < static_cast<int>(t.size()); ++k) out[k] = to_double(t[k]);
  return k;
}

std::string remove_extention(const std::string& path) {
  // Only the file's own name counts: a folder part, and dots inside it, are
  // no part of the base name, so outputs land in the working folder.
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t start = 0;
  while (start < name.size() && name[start] == '.') ++start;
  const std::size_t dot = name.find('.', start);
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::optional<std::string> fget_1s(FILE* fp) {
  std::optional<std::string> line = comment_skip_fgets(kLineCap, fp);
  if (!line) return std::nullopt;
  const std::vector<std::string_view> t = split_tokens(*line);
  return t.empty() ? std::string() : std::string(t[0]);
}

void chk_data(const char* marker, FILE* fp) {
  std::optional<std::string> tok = fget_1s(fp);
  if (!tok)
    fatal_out("$$ Data format error has been found at %s.\n$$ Abort.\n$$ buf=(end of file)\n", marker);
  if (*tok != marker)
    fatal_out("$$ Data format error has been found at %s.\n$$ Abort.\n$$ buf=%s\n%s", marker, tok->c_str(),
              place_note(fp).c_str());
  track_block(fp, marker);
  if (dbg.chk_data_dump_flag == 1) std::printf("$$ chk_data: %s ok.\n", marker);
}

void chk_data_info(const char* expected, const char* hint, FILE* fp) {
  std::optional<std::string> line = comment_skip_fgets(kLineCap, fp);
  if (!line)
    fatal_out("$$ Data format error has been found at %s.\n$$ Abort.\n$$ buf=(end of file)\n$$%s\n",
              expected, hint);
  rm_cr(*line);
  if (*line != expected)
    fatal_out("$$ Data format error has been found at %s.\n$$ Abort.\n$$ buf=%s\n$$%s\n%s", expected,
              line->c_str(), hint, place_note(fp).c_str());
  track_block(fp, expected);
  if (dbg.chk_data_dump_flag == 1) std::printf("$$ chk_data: %s ok.\n", expected);
}

}  // namespace kv
