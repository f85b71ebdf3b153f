// Links from a page to its pictures are relative to the page's own folder,
// so that the page shows its pictures wherever talvis was started.
#include <gtest/gtest.h>

#include "vis/html.hpp"

namespace kv {
namespace {

TEST(PageLinks, RelativeToThePagesFolder) {
  EXPECT_EQ(relative_link("page.html", "pic.png"), "pic.png");
  EXPECT_EQ(relative_link("out/page.html", "pic.png"), "../pic.png");
  EXPECT_EQ(relative_link("a/p.html", "a/b/x.png"), "b/x.png");
  EXPECT_EQ(relative_link("./a/../p.html", "q/x.png"), "q/x.png");
  EXPECT_EQ(relative_link("/abs/dir/p.html", "/abs/x.png"), "../x.png");
}

TEST(PageLinks, AStreamThatIsNoOpenPageLinksByThePathItself) {
  EXPECT_EQ(link_from_page(stdout, "sub/x.png"), "sub/x.png");
}

}  // namespace
}  // namespace kv
