// Scripts are data files that people exchange: the names a script gives to
// its outputs must stay in the working folder and may replace only this
// program's own earlier outputs, and every name that reaches a page must
// arrive there as text, never as markup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <set>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"
#include "vis/html_escape.hpp"

namespace {

namespace fs = std::filesystem;
using kvtest::SimReflex;

std::string small_sim_result() {
  return kvtest::sim_result_text("SIM_RESULT", 10.0, {SimReflex{0, 0, 0, 0, 0, {std::vector<double>{7}}}}, 2,
                                 kvtest::square_grid(2));
}

class ScriptConfinement : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;
  fs::path work = dir / "work";
  void SetUp() override {
    fs::create_directories(work);
    fs::create_directories(work / "sub");
    dir.write("victim.txt", "precious\n");
    kvtest::write_file(work / "r.txt", small_sim_result());
  }
  kvtest::RunResult script(const std::string& text, const std::string& input = "") {
    kvtest::write_file(work / "s.txt", text);
    return kvtest::run_program(TALVIS_EXE, {"s.txt"}, work, input);
  }
  std::set<std::string> work_files() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(work)) out.insert(e.path().filename().string());
    return out;
  }
};

TEST_F(ScriptConfinement, NamedOutputsOutsideTheWorkingFolderAreRefusedBeforeAnythingIsWritten) {
  const std::string victim = (dir / "victim.txt").string();
  const std::vector<std::string> names = {"../victim.txt", victim, "sub/p.html", "..", "./p.html"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    auto r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\n" + name + "\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n",
                    "1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("$$ERROR: the page name \"" + name + "\" must be a plain file name in the working folder"),
              std::string::npos)
        << r.out;
    r = script("TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nt.txt\n" + name + "\nTS_SCAN_CLOSE\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the scan plot script name"), std::string::npos) << r.out;
    r = script("TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\n" + name + "\nt.plt\nTS_SCAN_CLOSE\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the scan table name"), std::string::npos) << r.out;
    r = script("TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nt.txt\nt.plt\nTS_SCAN_SIM_FILE\nr.txt\n" + name + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the shift result name"), std::string::npos) << r.out;
  }
  EXPECT_EQ(dir.read("victim.txt"), "precious\n");
  EXPECT_TRUE(fs::is_empty(work / "sub"));
  EXPECT_EQ(work_files(), (std::set<std::string>{"r.txt", "s.txt", "sub"}));
}

TEST_F(ScriptConfinement, OnlyThisProgramsOwnOutputOfTheSameNameIsReplaced) {
  // A link in the working folder to a file elsewhere is not followed.
  ASSERT_EQ(symlink("../victim.txt", (work / "link.html").c_str()), 0);
  auto r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\nlink.html\nHTML_CLOSE\n", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: link.html exists and is not a page that talvis wrote under that name"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::is_symlink(work / "link.html"));
  EXPECT_EQ(dir.read("victim.txt"), "precious\n");

  // A page is replaced by the next run of its script, but a page that talvis
  // wrote under another name is not taken for it.
  const std::string page = "TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n";
  ASSERT_EQ(script(page, "1\n").status, 0);
  ASSERT_EQ(script(page, "1\n").status, 0);
  fs::copy_file(work / "p.html", work / "q.html");
  r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\nq.html\nHTML_CLOSE\n", "1\n");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(kvtest::read_file(work / "q.html"), kvtest::read_file(work / "p.html"));

  // The scan table and plot script: a rerun replaces them, anyone else's
  // file of that name stays.
  const std::string scan = "TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nt.txt\nt.plt\nTS_SCAN_CLOSE\n";
  r = script(scan);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(script(scan).status, 0);
  for (const char* name : {"t.txt", "t.plt"}) {
    SCOPED_TRACE(name);
    const std::string kept = kvtest::read_file(work / name);
    kvtest::write_file(work / name, "my notes\n");
    r = script(scan);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(std::string(name) + " exists and is not a scan"), std::string::npos) << r.out;
    EXPECT_EQ(kvtest::read_file(work / name), "my notes\n");
    kvtest::write_file(work / name, kept);
  }
  // A folder by the name of a page.
  r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\nsub\nHTML_CLOSE\n", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_directory(work / "sub"));
}

// The elements and attribute names of a page, as an HTML tokenizer sees them
// (tags, their attributes; comments and text skipped). Attribute values may
// be quoted with " or '.
struct Markup {
  std::multiset<std::string> tags, attributes;
};

Markup markup_of(const std::string& html) {
  Markup m;
  std::size_t i = 0;
  auto name_at = [&](std::size_t& k) {
    std::string n;
    while (k < html.size() && !std::isspace(static_cast<unsigned char>(html[k])) && html[k] != '>' &&
           html[k] != '/' && html[k] != '=')
      n += static_cast<char>(std::tolower(static_cast<unsigned char>(html[k++])));
    return n;
  };
  while ((i = html.find('<', i)) != std::string::npos) {
    ++i;
    if (i < html.size() && (html[i] == '/' || html[i] == '!')) {
      i = html.find('>', i);
      if (i == std::string::npos) break;
      continue;
    }
    if (i >= html.size() || !std::isalpha(static_cast<unsigned char>(html[i]))) continue;  // '<' as text
    m.tags.insert(name_at(i));
    while (i < html.size() && html[i] != '>') {
      if (std::isspace(static_cast<unsigned char>(html[i])) || html[i] == '/') {
        ++i;
        continue;
      }
      const std::string a = name_at(i);
      if (!a.empty()) m.attributes.insert(a);
      if (i < html.size() && html[i] == '=') {
        ++i;
        if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
          const char q = html[i];
          i = html.find(q, i + 1);
          if (i == std::string::npos) return m;
          ++i;
        } else {
          while (i < html.size() && !std::isspace(static_cast<unsigned char>(html[i])) && html[i] != '>') ++i;
        }
      } else if (a.empty()) {
        ++i;
      }
    }
  }
  return m;
}

TEST(PageEscaping, TextAttributesAndAddressesCarryNoMarkup) {
  EXPECT_EQ(kv::html_text("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
  EXPECT_EQ(kv::url_encode("d/a b<\"%.png"), "d/a%20b%3C%22%25.png");
  EXPECT_EQ(kv::url_encode("javascript:alert(1)"), "javascript%3Aalert%281%29");
  const Markup m = markup_of("<p class=\"" + kv::html_text("x\" onclick=\"y") + "\">" +
                             kv::html_text("<svg/onload=alert(1)>") + "<img src=\"" +
                             kv::html_url("a\"><script>.png") + "\"></p>");
  EXPECT_EQ(m.tags, (std::multiset<std::string>{"p", "img"}));
  EXPECT_EQ(m.attributes, (std::multiset<std::string>{"class", "src"}));
}

TEST_F(ScriptConfinement, HostileNamesReachEveryPageAsText) {
  // A result in a folder whose name is markup, a page name full of it.
  const fs::path hostile = work / "a<svg" / "onload=alert(1)>";
  fs::create_directories(hostile);
  kvtest::write_file(hostile / "r.txt", small_sim_result());
  const std::string page = "p\"<img_src=x_onerror=alert(1)>'&.html";
  for (const std::string answer : {"1\n", "2\n"}) {
    auto r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\n" + page +
                        "\nSIM_VISUALIZE\na<svg/onload=alert(1)>/r.txt 0.5 1 0\nHTML_CLOSE\n",
                    answer);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string html = kvtest::read_file(work / page);
    EXPECT_NE(html.find("<title>p&quot;&lt;img_src=x_onerror=alert(1)&gt;&#39;&amp;.html</title>"), std::string::npos)
        << html;
    const Markup m = markup_of(html);
    for (const std::string& t : m.tags)
      EXPECT_TRUE((std::set<std::string>{"html", "title", "body", "p", "img", "hr", "br", "span"}).count(t)) << t;
    for (const std::string& a : m.attributes)
      EXPECT_TRUE((std::set<std::string>{"src", "align", "class"}).count(a)) << a;
  }
  // The labelled page beside it names the result file in its captions.
  for (const auto& e : fs::directory_iterator(work)) {
    const std::string name = e.path().filename().string();
    if (name.size() < 5 || name.substr(name.size() - 5) != ".html") continue;
    SCOPED_TRACE(name);
    const Markup m = markup_of(kvtest::read_file(e.path()));
    EXPECT_EQ(m.tags.count("svg"), 0u);
    EXPECT_EQ(m.tags.count("script"), 0u);
    EXPECT_EQ(m.attributes.count("onload"), 0u);
    EXPECT_EQ(m.attributes.count("onerror"), 0u);
  }
}

}  // namespace
