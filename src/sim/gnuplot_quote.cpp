#include "sim/gnuplot_quote.hpp"

#include <cctype>

#include "sim/error.hpp"
#include "sim/qzio.hpp"

namespace kv {

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

// The name as it can be shown in a message: control characters as \xNN.
std::string printable(const std::string& text) {
  std::string shown;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (is_control(c))
      shown += strprintf("\\x%02x", c);
    else
      shown += ch;
  }
  return shown;
}

}  // namespace

bool gp_quotable(const std::string& text) {
  for (const char ch : text)
    if (is_control(static_cast<unsigned char>(ch))) return false;
  return true;
}

std::string gp_quote(const std::string& text) {
  if (!gp_quotable(text))
    error_exit(stdout, "the name \"%s\" cannot be written into a gnuplot script (it holds a control character)",
               printable(text).c_str());
  std::string quoted = "'";
  for (const char ch : text) {
    quoted += ch;
    if (ch == '\'') quoted += '\'';
  }
  quoted += '\'';
  return quoted;
}

std::string gp_file(const std::string& name) {
  const unsigned char first = name.empty() ? 'a' : static_cast<unsigned char>(name[0]);
  const bool plain = std::isalnum(first) || first == '_' || first == '.' || first == '/';
  return gp_quote(plain ? name : "./" + name);
}

}  // namespace kv
