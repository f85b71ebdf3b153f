#pragma once
// The HTML page that the page-producing script modes keep open between
// HTML_OPEN and HTML_CLOSE.
#include <cstdio>
#include <string>

#include "sim/qzio.hpp"

namespace kv {

// The address by which a page refers to a file: the file's path relative to
// the folder the page is in, so that the page's links work wherever talvis
// was started. A stream that is no open page links files by their own path.
std::string link_from_page(FILE* page, const std::string& file);
// The same for a page at page_path.
std::string relative_link(const std::string& page_path, const std::string& file);

// The <img> element of a picture on a page, or, when the picture was not
// made (its tool failed), a visible note that it is missing in its place.
// `attributes` are added to the element (" align=\"middle\"").
std::string picture_element(FILE* page, const std::string& picture, bool made, const std::string& attributes = "");

// "<html>", the title line and "<body>".
void output_html_header(FILE* fp, const std::string& title);

class HtmlPage {
 public:
  // HTML_OPEN: the next script line's first token names the page. A page
  // still open is replaced (its file is closed as it stands).
  void open_from_script(FILE* script);
  // HTML_CLOSE: closing tags, close, "==> SEE" line.
  void close();
  // End of the script: a page still open is kept as it stands (without
  // closing tags). A page that is neither closed nor finished (the run
  // failed) is removed.
  void finish();
  // The open page for a command that writes to it; a command before any
  // HTML_OPEN (or after HTML_CLOSE) has no page and ends the run.
  FILE* require(const std::string& command) const;
  bool is_open() const { return static_cast<bool>(fp_); }
  const std::string& name() const { return name_; }

  HtmlPage() = default;
  HtmlPage(const HtmlPage&) = delete;
  HtmlPage& operator=(const HtmlPage&) = delete;
  ~HtmlPage();

 private:
  void forget();  // commits the page's file as it stands and drops its place
  OutputFile fp_;
  std::string name_;
};

}  // namespace kv
