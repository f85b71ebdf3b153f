#pragma once
// The comment-skipping line reader shared by every text input of both
// programs, with the block-marker checks and small string routines.
//
// Conventions: a line whose first character is '%' or '#' is a comment; a
// line beginning "COMMENT{" opens a comment block that the next line beginning
// "}COMMENT" closes. Tokens are separated by blanks, commas and tabs. A line
// longer than the buffer is delivered in pieces, each counting as a line.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

inline constexpr int kLineCap = 256;

// Where a reader is: every stream read through this reader counts its lines
// and the blocks that chk_data has opened and not yet closed, so that a
// message about bad input can say where the reader was.
// Names the stream (its file name) and starts its count at line 0.
void start_reading(FILE* fp, const std::string& name);
// The name given to start_reading for fp (empty when none).
std::string reading_file(FILE* fp);
// Records that a block marker read by other means than chk_data opened or
// closed a block.
void enter_block(FILE* fp, std::string_view marker);
// "line 12 of si.dat, block CRYSTAL_STRUCTURE_DATA > ATOM > SITE" for the
// last line read from fp ("line 12" alone for an unnamed stream outside any
// block); empty before the first line.
std::string reading_place(FILE* fp);
// The same for the stream read last by any reader.
std::string last_reading_place();
// "$$ (line 12 of si.dat, block ...)\n", or nothing when no place is known.
std::string place_note(FILE* fp);
std::string last_place_note();

// Next line that is not a comment (at most n-1 characters, line end kept),
// or nothing at end of file. A comment block left open at end of file is a
// format error.
std::optional<std::string> comment_skip_fgets(int n, FILE* fp);

// The same, but for readers that need one whole line: end of file, and a
// line longer than n-1 characters, are format errors.
std::string need_line(int n, FILE* fp);

// Removes the line end (and a carriage return before it) from the text.
std::string& rm_cr(std::string& text);
std::string rm_cr_copy(std::string text);

// Tokens of a line: separated by blanks, commas and tabs (the line end and a
// carriage return also end a token, so a last token never carries them).
std::vector<std::string_view> split_tokens(std::string_view line);

// Values of the second token of a line (the first is usually a key). A line
// without a second token is a format error.
int second_int(const std::string& line);
double second_double(const std::string& line);

// Zeroes out[0..n-1], converts the first up to n tokens and returns how many.
int str_to_fs(int n, const std::string& line, double* out);

// The file's own name (after its last '/') up to its first '.' (leading dots
// skipped): "sub.dir/run.dat" gives "run".
std::string remove_extention(const std::string& path);

// First token of the next non-comment line, line end removed; nothing at end
// of file.
std::optional<std::string> fget_1s(FILE* fp);

// The next line's first token must be exactly `marker`.
void chk_data(const char* marker, FILE* fp);
// The next line, line end removed, must be exactly `expected`.
void chk_data_info(const char* expected, const char* hint, FILE* fp);

// A number that must be the whole token: "5.43l" (trailing characters) and a
// decimal comma are refused with a message naming the field and the place.
double checked_double(std::string_view token, const char* field, FILE* fp);
int checked_int(std::string_view token, const char* field, FILE* fp);
// Whether the whole token is a number.
bool is_number(std::string_view token);

// The leading-number conversions used by every reader: the numeric text at
// the start of a token, anything after it ignored, 0 without a number.
double to_double(std::string_view token);
int to_int(std::string_view token);

}  // namespace kv
