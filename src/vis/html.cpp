#include "vis/html.hpp"

#include <filesystem>
#include <map>

#include "sim/linereader.hpp"
#include "vis/html_escape.hpp"
#include "vis/script_outputs.hpp"

namespace kv {

namespace {

// Where each open page lives, for the links that the picture writers put on it.
std::map<FILE*, std::string>& open_pages() {
  static std::map<FILE*, std::string> pages;
  return pages;
}

}  // namespace

std::string relative_link(const std::string& page_path, const std::string& file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path page_dir = fs::absolute(fs::path(page_path), ec).parent_path();
  if (ec) return file;
  const fs::path target = fs::absolute(fs::path(file), ec);
  if (ec) return file;
  const fs::path rel = target.lexically_normal().lexically_relative(page_dir.lexically_normal());
  return rel.empty() ? file : rel.generic_string();
}

std::string link_from_page(FILE* page, const std::string& file) {
  const auto it = open_pages().find(page);
  return it == open_pages().end() ? file : relative_link(it->second, file);
}

std::string picture_element(FILE* page, const std::string& picture, bool made, const std::string& attributes) {
  const std::string link = link_from_page(page, picture);
  if (made) return "<img src=\"" + html_url(link) + "\"" + attributes + ">";
  return "<span class=\"missing\">[missing: " + html_text(link) + " was not made]</span>";
}

void output_html_header(FILE* fp, const std::string& title) {
  qz_fprintf(fp, "<html>\n");
  qz_fprintf(fp, "<title>%s</title>\n", html_text(title).c_str());
  qz_fprintf(fp, "<body>\n");
}

void HtmlPage::open_from_script(FILE* script) {
  std::optional<std::string> name = fget_1s(script);
  if (!name || name->empty()) error_exit(stdout, "HTML_OPEN without a page name");
  check_named_output(*name, NamedOutput::page);
  forget();
  fp_ = qz_fopen_chk_wmode(*name);
  name_ = *name;
  open_pages()[fp_.get()] = name_;
  output_html_header(fp_.get(), name_);
}

void HtmlPage::close() {
  if (!fp_) error_exit(stdout, "HTML_CLOSE without an open page (no HTML_OPEN before it)");
  qz_fprintf(fp_.get(), "</body>\n</html>\n");
  forget();
  std::printf("\n==> SEE %s\n\n", name_.c_str());
}

void HtmlPage::forget() {
  if (!fp_) return;
  open_pages().erase(fp_.get());
  fp_.commit();
}

void HtmlPage::finish() { forget(); }

HtmlPage::~HtmlPage() {
  if (fp_) open_pages().erase(fp_.get());
}

FILE* HtmlPage::require(const std::string& command) const {
  if (!fp_) error_exit(stdout, "%s comes before HTML_OPEN: there is no page to write to", command.c_str());
  return fp_.get();
}

}  // namespace kv
