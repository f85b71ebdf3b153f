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

// The file name up to its first '.' (leading dots skipped).
std::string remove_extention(const std::string& name);

// First token of the next non-comment line, line end removed; nothing at end
// of file.
std::optional<std::string> fget_1s(FILE* fp);

// The next line's first token must be exactly `marker`.
void chk_data(const char* marker, FILE* fp);
// The next line, line end removed, must be exactly `expected`.
void chk_data_info(const char* expected, const char* hint, FILE* fp);

// The leading-number conversions used by every reader: the numeric text at
// the start of a token, anything after it ignored, 0 without a number.
double to_double(std::string_view token);
int to_int(std::string_view token);

}  // namespace kv
