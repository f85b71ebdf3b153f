#pragma once
// File names and texts inside the gnuplot scripts that both programs write.
// gnuplot substitutes commands (`...`) and macros (@name) and reads escapes in
// double-quoted strings, but takes a single-quoted string literally, with a
// doubled single quote standing for one. Every name goes into a script that
// way; a name holding a control character (a line end above all, which would
// end the command and start a new one) cannot be written safely and is
// refused.
#include <string>

namespace kv {

// `text` as a gnuplot single-quoted string, quotes included (titles, labels).
std::string gp_quote(const std::string& text);

// A file name for "plot", "splot" or "set output": quoted as above, and a
// name that begins with a character gnuplot gives a meaning of its own ('<'
// and '|' run a shell command, '-' is inline data, '+' a pseudo-file, '$' a
// data block, '~' the home folder) gets "./" in front so that it stays a
// plain file name.
std::string gp_file(const std::string& name);

// Whether `text` can be written into a gnuplot script by gp_quote.
bool gp_quotable(const std::string& text);

}  // namespace kv
