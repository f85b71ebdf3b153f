#pragma once
// The comment-skipping line reader shared by every text input of both
// programs, with the block-marker checks and small string routines.
//
// Conventions: a line whose first character is '%' or '#' is a comment (to
// its end, however long); a line beginning "COMMENT{" opens a comment block
// that the next line beginning "}COMMENT" closes. Tokens are separated by
// blanks, commas and tabs. A data line longer than the reader's buffer, and
// a line holding a NUL byte, are format errors naming the line.
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

// Values of the second token of a line (the first is usually a key, and
// names the field in a message). A line without a second token, and a value
// that is not a whole finite number, are format errors.
int second_int(const std::string& line);
double second_double(const std::string& line);

// Zeroes out[0..n-1], converts the first up to n tokens (each a whole finite
// number; a token beginning with '%' or '#' ends them) and returns how many.
// Messages name the place in fp, or in the stream read last when fp is null.
int str_to_fs(int n, const std::string& line, double* out, FILE* fp = nullptr);

// The file's own name (after its last '/') up to its first '.' (leading dots
// skipped): "sub.dir/run.dat" gives "run".
std::string remove_extention(const std::string& path);

// First token of the next non-comment line, line end removed; nothing at end
// of file.
std::optional<std::string> fget_1s(FILE* fp);

// Rows of a grid of points are ended by one empty line; anything else means
// that a block holds another number of points per row than its header says.
// The message names the row length, what was found and where.
void chk_row_end(FILE* fp, int points_per_row);

// The next line's first token must be exactly `marker`.
void chk_data(const char* marker, FILE* fp);
// The next line, line end removed, must be exactly `expected`.
void chk_data_info(const char* expected, const char* hint, FILE* fp);

// A number that must be the whole token: "5.43l" (trailing characters), a
// decimal comma, NaN, infinity and numbers beyond the double range are
// refused with a message naming the field and the place (fp null: the
// stream read last). An integer field also refuses numbers outside the int
// range; one written as a floating-point number is truncated toward zero.
double checked_double(std::string_view token, const char* field, FILE* fp);
int checked_int(std::string_view token, const char* field, FILE* fp);
// The integer field of a value already read as a double (token: its text
// for the message, may be empty).
int int_field(double v, std::string_view token, const char* field, FILE* fp);
// Whether the whole token is a finite number.
bool is_number(std::string_view token);

// Physical ranges of values already read; each refuses with the field's
// name, the value and the place.
void require_positive(double v, const char* field, FILE* fp);     // finite, > 0
void require_nonnegative(double v, const char* field, FILE* fp);  // finite, >= 0
void require_between(double v, double lo, double hi, const char* field, FILE* fp);

// Bytes between the read position and the end of a regular file or string
// stream; nothing for a pipe or terminal.
std::optional<long long> bytes_left(FILE* fp);
// A count read from fp of entries that need at least min_bytes each in the
// rest of the file: refused when the rest cannot hold them, before anything
// is allocated for them.
void check_count_fits(long long count, long long min_bytes, const char* what, FILE* fp);
// A block marker ("X{" or "}X") where one of `expected` counted lines of
// `what` stands means that the count exceeds the lines written.
void refuse_block_marker(const std::string& line, long long expected, const char* what, FILE* fp);

// The text with every byte that is not printable ASCII written as \xNN (a
// tab as \t), for messages that quote input.
std::string printable(std::string_view text);

// Leading-number conversions for text this program wrote itself (never for
// user data): the numeric text at the start of a token, 0 without a number.
double to_double(std::string_view token);
int to_int(std::string_view token);

}  // namespace kv
