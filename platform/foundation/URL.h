// URL: a parsed URI reference (RFC 3986) for service requests and links: components, relative
// resolution, path and query building, and percent-encoding per component.
//
// Components are kept as written (percent-encoded); the decoded forms are separate accessors.
// The scheme is lower-cased; nothing else is normalised, except that resolution removes dot
// segments as RFC 3986 section 5.2 says.
#pragma once

#include "platform/foundation/Error.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;  // std::nullopt for a bare "name" without '='
  bool operator==(const URLQueryItem&) const = default;
};

// Which characters percentEncode keeps as they are; every other byte becomes %XX (upper-case
// hex). "unreserved" is A-Z a-z 0-9 - . _ ~.
enum class PercentEncoding {
  PathSegment,  // unreserved + ! $ & ' ( ) * + , ; = : @        ('/' is encoded)
  Path,         // PathSegment + '/'
  Query,        // unreserved + ! $ & ' ( ) * + , ; = : @ / ?  (a whole query)
  QueryItem,    // unreserved + ! $ ' ( ) * , ; : @ / ?        ('&', '=', '+' are encoded)
  Form,         // application/x-www-form-urlencoded: unreserved + '*', space becomes '+'
  Fragment,     // same as Query
  UserInfo,     // unreserved + ! $ & ' ( ) * + , ; =          (':' and '@' are encoded)
  Host,         // unreserved + ! $ & ' ( ) * + , ; =
  Unreserved,   // unreserved only (e.g. OAuth signatures)
};

class URL {
 public:
  // Parses an absolute URL or a relative reference. std::nullopt for text with spaces, control
  // or non-ASCII characters, a bad percent escape, a bad scheme, a port that is not a number up
  // to 65535, or an unterminated IPv6 literal.
  static std::optional<URL> parse(std::string_view text);
  // Parses `text` as a reference relative to `base` and resolves it (RFC 3986 section 5.2).
  static std::optional<URL> parse(std::string_view text, const URL& base);

  // RFC 3986 section 5.2 resolution of `reference` against this URL as the base.
  URL resolve(const URL& reference) const;

  // The whole reference as text, recomposed from the components.
  const std::string& string() const { return text_; }

  bool isAbsolute() const { return scheme_.has_value(); }
  bool hasAuthority() const { return host_.has_value(); }
  // Raw (still encoded) components; std::nullopt where the component is absent.
  const std::optional<std::string>& scheme() const { return scheme_; }
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  const std::optional<std::string>& host() const { return host_; }  // IPv6 keeps its brackets
  std::optional<std::uint16_t> port() const { return port_; }
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // Decoded path ("%20" → " "). The raw path when it holds a bad escape (parse rejects those).
  std::string decodedPath() const;
  // The last non-empty path segment, decoded ("/a/b/" gives "b"); "" when there is none.
  std::string lastPathComponent() const;
  // The query split at '&' into items (empty pieces skipped), names and values percent-decoded
  // ('+' stays '+'); empty when there is no query.
  std::vector<URLQueryItem> queryItems() const;

  // A copy with the query replaced by the items, each name and value encoded with
  // PercentEncoding::QueryItem; an empty list removes the query.
  URL withQueryItems(const std::vector<URLQueryItem>& items) const;
  // A copy with the component added to the path after a '/' (none doubled). The component is
  // encoded with PercentEncoding::Path, so a '/' inside it adds several segments; runs of '/'
  // count as one. What the result parses back to has the same scheme and authority: a
  // component never becomes a host ("//evil") or, in a relative reference, a scheme (a ':' in
  // the first segment is written "%3A").
  URL appendingPathComponent(std::string_view component) const;

  // Percent-encodes bytes outside the set's kept characters (see PercentEncoding).
  static std::string percentEncode(std::string_view text, PercentEncoding set);
  // Decodes %XX escapes (either case); with plusAsSpace, '+' becomes ' ' (form data).
  // std::nullopt for a '%' not followed by two hex digits.
  static std::optional<std::string> percentDecode(std::string_view text, bool plusAsSpace = false);
  // "a=1&b=x+y" from items, encoded with PercentEncoding::Form.
  static std::string formURLEncode(const std::vector<URLQueryItem>& items);
  // The items of form data; std::nullopt on a bad escape.
  static std::optional<std::vector<URLQueryItem>> parseFormURLEncoded(std::string_view text);

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  URL() = default;
  void recompose();

  std::optional<std::string> scheme_;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::optional<std::string> host_;
  std::optional<std::uint16_t> port_;
  std::optional<std::string> portText_;  // as written, "" for "host:"
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  std::string text_;
};

}  // namespace vx
