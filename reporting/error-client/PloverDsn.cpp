#include "reporting/error-client/PloverDsn.h"

#include "platform/security/Crypto.h"
#include "reporting/error-client/PloverError.h"

namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// Path components as the platform counts them: the root "/" first, then each non-empty segment.
std::size_t pathComponentCount(const std::string& path) {
  if (path.empty()) return 0;
  std::size_t count = path.front() == '/' ? 1 : 0;
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) ++count;
    start = end + 1;
  }
  return count;
}

}  // namespace

std::optional<vx::URL> PloverDsn::convertDsnString(const std::string& text, vx::Error* error) {
  const auto url = vx::URL::parse(trimmed(text));
  auto fail = [error](const char* message) -> std::optional<vx::URL> {
    fillError(error, kPloverErrorDomain, kPloverErrorInvalidDsnError, message);
    return std::nullopt;
  };
  if (!url || !url->scheme() || url->scheme()->empty()) return fail("URL scheme of DSN is missing");
  if (*url->scheme() != "http" && *url->scheme() != "https") {
    return fail("Unrecognized URL scheme in DSN");
  }
  if (!url->host() || url->host()->empty()) return fail("Host component of DSN is missing");
  if (!url->user()) return fail("User component of DSN is missing");
  if (pathComponentCount(url->path()) < 2) {
    return fail("Project ID path component of DSN is missing");
  }
  return url;
}

std::shared_ptr<PloverDsn> PloverDsn::make(const std::string& text, vx::Error* error) {
  auto url = convertDsnString(text, error);
  if (!url) return nullptr;
  return std::shared_ptr<PloverDsn>(new PloverDsn(std::move(*url)));
}

std::string PloverDsn::getHash() const {
  const auto& text = url_.string();
  return vx::sha1Hex(std::string_view(text));
}
