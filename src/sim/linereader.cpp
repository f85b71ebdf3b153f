#include "sim/linereader.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include <sys/stat.h>

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

// One raw line, or the first n-1 characters of a longer one, read byte by
// byte so that a NUL byte inside the line is seen (fgets would hide it and
// everything after it). A NUL in a text file means a binary or damaged file.
std::optional<std::string> raw_line(int n, FILE* fp) {
  const std::size_t cap = static_cast<std::size_t>(n > 1 ? n - 1 : 1);
  std::string buf;
  int c = 0;
  bool nul = false;
  while (buf.size() < cap && (c = std::getc(fp)) != EOF) {
    if (c == '\0') nul = true;
    buf.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  if (buf.empty()) return std::nullopt;
  ReadPlace& p = place_of(fp);
  if (p.at_line_start) ++p.line;
  p.at_line_start = buf.back() == '\n';
  last_stream = fp;
  if (nul)
    fatal_out("$$ Data format error: line %d holds a NUL byte; this is not a text file.\n%s$$ Abort.\n", p.line,
              place_note(fp).c_str());
  return buf;
}

// Whether the line just read from fp is whole: it ends in a line end or at
// the end of the file. A line that fills the buffer exactly gets its line
// end appended.
bool line_complete(std::string& piece, FILE* fp) {
  if (!piece.empty() && piece.back() == '\n') return true;
  const int c = std::getc(fp);
  if (c == EOF) return true;
  if (c == '\n') {
    piece.push_back('\n');
    place_of(fp).at_line_start = true;
    return true;
  }
  std::ungetc(c, fp);
  return false;
}

// Reads and drops the rest of an over-long line whose first piece was read.
void skip_rest_of_line(FILE* fp) {
  int c = 0;
  while ((c = std::getc(fp)) != EOF && c != '\n') {
  }
  place_of(fp).at_line_start = true;
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

std::string printable(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (u >= 0x20 && u < 0x7f) {
      out.push_back(ch);
    } else if (ch == '\t') {
      out += "\\t";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    }
  }
  return out;
}

bool is_number(std::string_view token) {
  if (token.empty()) return false;
  const std::string s(token);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  return end != s.c_str() && *end == '\0' && std::isfinite(v);
}

namespace {

// The place note of fp, or of the stream read last when none is named.
std::string note_of(FILE* fp) { return fp ? place_note(fp) : last_place_note(); }

[[noreturn]] void refuse_number(std::string_view token, const char* field, const char* end, FILE* fp) {
  const std::string s = printable(token);
  const std::string of = field ? std::string(" for ") + field : std::string();
  if (end == nullptr) {
    // Without a field name (a line of plain numbers) the message names only the token.
    const std::string what = field ? std::string(field) + " must be a number" : "expected a number";
    fatal_out("$$ Data format error: %s, found \"%s\".\n%s$$ Abort.\n", what.c_str(), s.c_str(),
              note_of(fp).c_str());
  }
  if (*end != '\0')
    fatal_out("$$ Data format error: the number \"%s\"%s has trailing characters \"%s\".\n%s$$ Abort.\n",
              s.c_str(), of.c_str(), printable(end).c_str(), note_of(fp).c_str());
  fatal_out("$$ Data format error: \"%s\"%s is not a finite number.\n%s$$ Abort.\n", s.c_str(), of.c_str(),
            note_of(fp).c_str());
}

}  // namespace

// Runs for every number of every file read: the message is made only when
// the token is refused.
double checked_double(std::string_view token, const char* field, FILE* fp) {
  const std::string text(token);
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) refuse_number(token, field, nullptr, fp);
  if (*end != '\0') refuse_number(token, field, end, fp);
  // NaN, infinity and numbers beyond the double range turn every result
  // computed from them into NaN or infinity.
  if (!std::isfinite(v)) refuse_number(token, field, end, fp);
  return v;
}

int checked_int(std::string_view token, const char* field, FILE* fp) {
  const double v = checked_double(token, field, fp);
  return int_field(v, token, field, fp);
}

int int_field(double v, std::string_view token, const char* field, FILE* fp) {
  // Integers written as floating-point numbers are truncated toward zero;
  // outside the int range there is no such integer.
  if (!(v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0)) {
    const std::string s = token.empty() ? strprintf("%g", v) : printable(token);
    const std::string of = field ? std::string(" for ") + field : std::string();
    fatal_out("$$ Data format error: the integer \"%s\"%s is outside the range %d to %d.\n%s$$ Abort.\n",
              s.c_str(), of.c_str(), INT_MIN, INT_MAX, note_of(fp).c_str());
  }
  return static_cast<int>(std::trunc(v));
}

namespace {

[[noreturn]] void out_of_range(double v, const char* field, const char* rule, FILE* fp) {
  fatal_out("$$ Invalid %s (=%g): it must be %s.\n%s$$ Abort.\n", field, v, rule, note_of(fp).c_str());
}

}  // namespace

void require_positive(double v, const char* field, FILE* fp) {
  if (!(v > 0.0) || !std::isfinite(v)) out_of_range(v, field, "a finite number greater than 0", fp);
}

void require_nonnegative(double v, const char* field, FILE* fp) {
  if (!(v >= 0.0) || !std::isfinite(v)) out_of_range(v, field, "a finite number not below 0", fp);
}

void require_between(double v, double lo, double hi, const char* field, FILE* fp) {
  if (!(v >= lo && v <= hi)) out_of_range(v, field, strprintf("between %g and %g", lo, hi).c_str(), fp);
}

std::optional<long long> bytes_left(FILE* fp) {
  const long pos = std::ftell(fp);
  if (pos < 0) return std::nullopt;
  struct stat st {};
  const int fd = fileno(fp);
  if (fd >= 0) {
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<long long>(st.st_size) - pos;
  }
  // A stream without a descriptor (a string read as a file) can seek.
  if (std::fseek(fp, 0, SEEK_END) != 0) return std::nullopt;
  const long end = std::ftell(fp);
  std::fseek(fp, pos, SEEK_SET);
  return end < 0 ? std::nullopt : std::optional<long long>(end - pos);
}

void check_count_fits(long long count, long long min_bytes, const char* what, FILE* fp) {
  const std::optional<long long> left = bytes_left(fp);
  if (!left || count <= 0 || min_bytes <= 0) return;
  if (count > *left / min_bytes)
    fatal_out("$$ Invalid %s (=%lld): the %lld bytes left in the file cannot hold so many entries "
              "(at least %lld bytes each).\n%s$$ Abort.\n",
              what, count, *left, min_bytes, note_of(fp).c_str());
}

void refuse_block_marker(const std::string& line, long long expected, const char* what, FILE* fp) {
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.empty()) return;
  const std::string_view first = t[0];
  const bool marker = (first.size() > 1 && first.back() == '{') || (first.size() > 1 && first.front() == '}');
  if (marker) {
    const std::string m = printable(first);
    fatal_out("$$ Data format error: expected %lld %s lines, found block marker %s.\n%s$$ Abort.\n", expected,
              what, m.c_str(), note_of(fp).c_str());
  }
}

std::optional<std::string> comment_skip_fgets(int n, FILE* fp) {
  for (;;) {
    std::optional<std::string> line = raw_line(n, fp);
    if (!line) return std::nullopt;
    const bool whole = line_complete(*line, fp);
    const char c = (*line)[0];
    // A comment stays a comment to its end however long it is: the tail of
    // a long comment must never be read as data.
    if (c == '%' || c == '#') {
      if (!whole) skip_rest_of_line(fp);
      continue;
    }
    if (starts_with(*line, "COMMENT{")) {
      if (!whole) skip_rest_of_line(fp);
      for (;;) {
        std::optional<std::string> inner = raw_line(n, fp);
        if (!inner)
          fatal_out("$$ Data format error: COMMENT{ block without }COMMENT.\n$$ Abort.\n");
        const bool inner_whole = line_complete(*inner, fp);
        if (!inner_whole) skip_rest_of_line(fp);
        if (starts_with(*inner, "}COMMENT")) break;
      }
      continue;
    }
    if (!whole) {
      const std::string shown = printable(std::string_view(*line).substr(0, 40));
      fatal_out("$$ Data format error: line %d is longer than %d characters: %s...\n%s$$ Abort.\n",
                place_of(fp).line, n - 1, shown.c_str(), place_note(fp).c_str());
    }
    return line;
  }
}

std::string need_line(int n, FILE* fp) {
  std::optional<std::string> line = comment_skip_fgets(n, fp);
  if (!line) unexpected_eof();
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

static std::string_view second_token(const std::string& line, std::string* key) {
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.size() < 2) {
    const std::string shown = printable(rm_cr_copy(line));
    fatal_out("$$ Data format error: no value after \"%s\".\n%s$$ Abort.\n", shown.c_str(),
              last_place_note().c_str());
  }
  *key = std::string(t[0]);
  return t[1];
}

int second_int(const std::string& line) {
  std::string key;
  const std::string_view v = second_token(line, &key);
  return checked_int(v, key.c_str(), nullptr);
}

double second_double(const std::string& line) {
  std::string key;
  const std::string_view v = second_token(line, &key);
  return checked_double(v, key.c_str(), nullptr);
}

int str_to_fs(int n, const std::string& line, double* out, FILE* fp) {
  for (int i = 0; i < n; ++i) out[i] = 0.0;
  const std::vector<std::string_view> t = split_tokens(line);
  int k = 0;
  for (; k < n && k < static_cast<int>(t.size()); ++k) {
    // A token beginning with '%' or '#' starts a comment at the end of the line.
    if (t[k][0] == '%' || t[k][0] == '#') break;
    out[k] = checked_double(t[k], nullptr, fp);
  }
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
    fatal_out("$$ Data format error has been found at %s.\n$$ Abort.\n$$ buf=%s\n%s", marker, printable(*tok).c_str(),
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
              printable(*line).c_str(), hint, place_note(fp).c_str());
  track_block(fp, expected);
  if (dbg.chk_data_dump_flag == 1) std::printf("$$ chk_data: %s ok.\n", expected);
}

}  // namespace kv

namespace kv {

void chk_row_end(FILE* fp, int points_per_row) {
  const std::optional<std::string> tok = fget_1s(fp);
  if (tok && tok->empty()) return;
  const std::string found = tok ? "\"" + printable(*tok) + "\"" : std::string("the end of the file");
  fatal_out("$$ Data format error: an empty line is expected after each row of %d points, found %s: the block "
            "holds another number of points per row than its header gives.\n%s$$ Abort.\n$$ buf=%s\n",
            points_per_row, found.c_str(), place_note(fp).c_str(), tok ? printable(*tok).c_str() : "(end of file)");
}

}  // namespace kv
