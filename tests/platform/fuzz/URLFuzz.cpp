// URL parsing, resolution, path and query building, percent coding and form data from the
// input; what the builders make must parse again with the base's scheme and authority.
#include "platform/foundation/URL.h"
#include "tests/platform/fuzz/PlatformFuzz.h"

#include <cstdlib>
#include <string_view>

VX_FUZZ_TARGET(url) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The first line is a URL, the rest a reference or a path component.
  const auto newline = text.find('\n');
  const std::string_view first = text.substr(0, newline);
  const std::string_view rest = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
  const auto url = vx::URL::parse(first);
  if (url) {
    (void)url->decodedPath();
    (void)url->lastPathComponent();
    const auto items = url->queryItems();
    const auto rebuilt = url->withQueryItems(items);
    if (!vx::URL::parse(rebuilt.string())) std::abort();
    const auto joined = url->appendingPathComponent(rest);
    const auto again = vx::URL::parse(joined.string());
    if (!again || again->scheme() != url->scheme() || again->host() != url->host()) std::abort();
    if (const auto reference = vx::URL::parse(rest)) (void)url->resolve(*reference).string();
  }
  (void)vx::URL::percentDecode(text, true);
  for (auto set : {vx::PercentEncoding::Path, vx::PercentEncoding::QueryItem, vx::PercentEncoding::Form}) {
    const auto encoded = vx::URL::percentEncode(text, set);
    const auto decoded = vx::URL::percentDecode(encoded, set == vx::PercentEncoding::Form);
    if (!decoded || *decoded != text) std::abort();
  }
  (void)vx::URL::parseFormURLEncoded(text);
  return 0;
}
