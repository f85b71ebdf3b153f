#pragma once
// The HTML page that the page-producing script modes keep open between
// HTML_OPEN and HTML_CLOSE.
#include <cstdio>
#include <string>

#include "sim/qzio.hpp"

namespace kv {

// "<html>", the title line and "<body>".
void output_html_header(FILE* fp, const std::string& title);

class HtmlPage {
 public:
  // HTML_OPEN: the next script line's first token names the page. A page
  // still open is replaced (its file is closed as it stands).
  void open_from_script(FILE* script);
  // HTML_CLOSE: closing tags, close, "==> SEE" line.
  void close();
  // The open page for a command that writes to it; a command before any
  // HTML_OPEN (or after HTML_CLOSE) has no page and ends the run.
  FILE* require(const std::string& command) const;
  bool is_open() const { return static_cast<bool>(fp_); }
  const std::string& name() const { return name_; }

 private:
  File fp_;
  std::string name_;
};

}  // namespace kv
