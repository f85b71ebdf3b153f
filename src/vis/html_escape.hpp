#pragma once
// Text that enters an HTML page. File names, titles and labels come from
// the user (parameter-file and script names, result paths), so every one of
// them is escaped before it is written: element text and attribute values by
// their character entities, addresses (src, href) percent-encoded first.
#include <string>
#include <string_view>

namespace kv {

// Element text or a quoted attribute value: & < > " ' become entities.
std::string html_text(std::string_view s);
// A relative address: every byte other than letters, digits, "-._~" and the
// folder separator "/" becomes %XX, so that the link names exactly that file
// and holds nothing an HTML parser or a browser could take as markup or as a
// scheme ("javascript:").
std::string url_encode(std::string_view s);
// An address ready to stand in a quoted src or href attribute.
inline std::string html_url(std::string_view s) { return html_text(url_encode(s)); }

}  // namespace kv
