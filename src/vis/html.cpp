#include "vis/html.hpp"

#include "sim/linereader.hpp"

namespace kv {

void output_html_header(FILE* fp, const std::string& title) {
  qz_fprintf(fp, "<html>\n");
  qz_fprintf(fp, "<title>%s</title>\n", title.c_str());
  qz_fprintf(fp, "<body>\n");
}

void HtmlPage::open_from_script(FILE* script) {
  std::optional<std::string> name = fget_1s(script);
  if (!name || name->empty()) error_exit(stdout, "HTML_OPEN without a page name");
  fp_.reset();
  fp_ = qz_fopen_chk_wmode(*name);
  name_ = *name;
  output_html_header(fp_.get(), name_);
}

void HtmlPage::close() {
  if (!fp_) error_exit(stdout, "HTML_CLOSE without an open page (no HTML_OPEN before it)");
  qz_fprintf(fp_.get(), "</body>\n</html>\n");
  fp_.reset();
  std::printf("\n==> SEE %s\n\n", name_.c_str());
}

FILE* HtmlPage::require(const std::string& command) const {
  if (!fp_) error_exit(stdout, "%s comes before HTML_OPEN: there is no page to write to", command.c_str());
  return fp_.get();
}

}  // namespace kv
