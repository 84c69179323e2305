#include "platform/foundation/URL.h"

#include <array>
#include <cctype>

namespace vx {

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}
bool isPchar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Every character passes `allowed` or is a well-formed %XX escape.
template <class Allowed>
bool validComponent(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (!allowed(c)) return false;
  }
  return true;
}

bool keeps(PercentEncoding set, char c) {
  if (isUnreserved(c)) return true;
  switch (set) {
    case PercentEncoding::PathSegment:
      return isPchar(c);
    case PercentEncoding::Path:
      return isPchar(c) || c == '/';
    case PercentEncoding::Query:
    case PercentEncoding::Fragment:
      return isPchar(c) || c == '/' || c == '?';
    case PercentEncoding::QueryItem:
      return (isPchar(c) || c == '/' || c == '?') && c != '&' && c != '=' && c != '+';
    case PercentEncoding::Form:
      return c == '*';
    case PercentEncoding::UserInfo:
    case PercentEncoding::Host:
      return isSubDelim(c);
    case PercentEncoding::Unreserved:
      return false;
  }
  return false;
}

std::string removeDotSegments(std::string_view input) {
  std::string output;
  const std::string_view in = input;
  std::size_t pos = 0;
  auto startsAt = [&](std::string_view prefix) { return in.compare(pos, prefix.size(), prefix) == 0; };
  auto popLastSegment = [&] {
    const auto slash = output.rfind('/');
    output.erase(slash == std::string::npos ? 0 : slash);
  };
  while (pos < in.size()) {
    if (startsAt("../")) {
      pos += 3;
    } else if (startsAt("./")) {
      pos += 2;
    } else if (startsAt("/./")) {
      pos += 2;  // leaves "/"
    } else if (in.compare(pos, std::string::npos, "/.") == 0) {
      // The input becomes "/", which then moves to the output as it is.
      output += '/';
      pos = in.size();
    } else if (startsAt("/../")) {
      pos += 3;  // leaves "/"
      popLastSegment();
    } else if (in.compare(pos, std::string::npos, "/..") == 0) {
      popLastSegment();
      output += '/';
      pos = in.size();
    } else if (in.compare(pos, std::string::npos, ".") == 0 || in.compare(pos, std::string::npos, "..") == 0) {
      pos = in.size();
    } else {
      const auto next = in.find('/', pos + 1);
      const auto end = next == std::string::npos ? in.size() : next;
      output.append(in, pos, end - pos);
      pos = end;
    }
  }
  return output;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return std::nullopt;  // spaces, controls, non-ASCII
  }
  URL url;
  std::string_view rest = text;

  // Scheme: letters first, up to a ':' that comes before any '/', '?' or '#'.
  const auto colon = rest.find(':');
  const auto firstDelimiter = rest.find_first_of("/?#");
  if (colon != std::string_view::npos && (firstDelimiter == std::string_view::npos || colon < firstDelimiter)) {
    const auto scheme = rest.substr(0, colon);
    if (scheme.empty() || !isAlpha(scheme[0])) return std::nullopt;
    std::string lowered;
    for (const char c : scheme) {
      if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
      lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    url.scheme_ = lowered;
    rest.remove_prefix(colon + 1);
  }

  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    const auto fragment = rest.substr(hash + 1);
    if (!validComponent(fragment, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.fragment_ = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    const auto query = rest.substr(question + 1);
    if (!validComponent(query, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) return std::nullopt;
    url.query_ = std::string(query);
    rest = rest.substr(0, question);
  }

  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    auto authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
      const auto userInfo = authority.substr(0, at);
      if (!validComponent(userInfo, [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; })) {
        return std::nullopt;
      }
      const auto split = userInfo.find(':');
      url.user_ = std::string(userInfo.substr(0, split));
      if (split != std::string_view::npos) url.password_ = std::string(userInfo.substr(split + 1));
      authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::optional<std::string_view> portText;
    if (!authority.empty() && authority[0] == '[') {
      const auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(0, close + 1);
      const auto inside = authority.substr(1, close - 1);
      if (inside.empty() || !validComponent(inside, [](char c) {
            return isHex(c) || c == ':' || c == '.' || isUnreserved(c) || isSubDelim(c);
          })) {
        return std::nullopt;
      }
      const auto after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        portText = after.substr(1);
      }
    } else {
      const auto portColon = authority.rfind(':');
      if (portColon != std::string_view::npos) {
        host = authority.substr(0, portColon);
        portText = authority.substr(portColon + 1);
      }
      if (!validComponent(host, [](char c) { return isUnreserved(c) || isSubDelim(c); })) return std::nullopt;
    }
    if (portText) {
      if (portText->size() > 5) return std::nullopt;
      unsigned port = 0;
      for (const char c : *portText) {
        if (!isDigit(c)) return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
      }
      if (port > 65535) return std::nullopt;
      url.portText_ = std::string(*portText);
      if (!portText->empty()) url.port_ = static_cast<std::uint16_t>(port);
    }
    url.host_ = std::string(host);
  }

  if (!validComponent(rest, [](char c) { return isPchar(c) || c == '/'; })) return std::nullopt;
  // Without a scheme, a ':' in the first segment would read as one.
  if (!url.scheme_ && !url.host_) {
    const auto firstSegment = rest.substr(0, rest.find('/'));
    if (firstSegment.find(':') != std::string_view::npos) return std::nullopt;
  }
  url.path_ = std::string(rest);
  url.recompose();
  return url;
}

std::optional<URL> URL::parse(std::string_view text, const URL& base) {
  auto reference = parse(text);
  if (!reference) return std::nullopt;
  return base.resolve(*reference);
}

URL URL::resolve(const URL& r) const {
  URL t;
  auto copyAuthority = [&t](const URL& from) {
    t.user_ = from.user_;
    t.password_ = from.password_;
    t.host_ = from.host_;
    t.port_ = from.port_;
    t.portText_ = from.portText_;
  };
  if (r.scheme_) {
    t.scheme_ = r.scheme_;
    copyAuthority(r);
    t.path_ = removeDotSegments(r.path_);
    t.query_ = r.query_;
  } else {
    if (r.host_) {
      copyAuthority(r);
      t.path_ = removeDotSegments(r.path_);
      t.query_ = r.query_;
    } else {
      if (r.path_.empty()) {
        t.path_ = path_;
        t.query_ = r.query_ ? r.query_ : query_;
      } else {
        if (r.path_[0] == '/') {
          t.path_ = removeDotSegments(r.path_);
        } else {
          std::string merged;
          if (host_ && path_.empty()) {
            merged = '/';
            merged += r.path_;
          } else {
            const auto slash = path_.rfind('/');
            merged = (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + r.path_;
          }
          t.path_ = removeDotSegments(merged);
        }
        t.query_ = r.query_;
      }
      copyAuthority(*this);
    }
    t.scheme_ = scheme_;
  }
  t.fragment_ = r.fragment_;
  t.recompose();
  return t;
}

void URL::recompose() {
  std::string text;
  if (scheme_) text += *scheme_ + ":";
  if (host_) {
    text += "//";
    if (user_) {
      text += *user_;
      if (password_) text.append(1, ':').append(*password_);
      text += "@";
    }
    text += *host_;
    if (portText_) text.append(1, ':').append(*portText_);
  }
  text += path_;
  if (query_) text.append(1, '?').append(*query_);
  if (fragment_) text.append(1, '#').append(*fragment_);
  text_ = std::move(text);
}

std::string URL::decodedPath() const { return percentDecode(path_).value_or(path_); }

std::string URL::lastPathComponent() const {
  std::string_view path = path_;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  const auto last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return percentDecode(last).value_or(std::string(last));
}

std::vector<URLQueryItem> URL::queryItems() const {
  std::vector<URLQueryItem> items;
  if (!query_) return items;
  std::string_view rest = *query_;
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const auto piece = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (piece.empty()) continue;
    const auto equals = piece.find('=');
    URLQueryItem item;
    const auto name = piece.substr(0, equals);
    item.name = percentDecode(name).value_or(std::string(name));
    if (equals != std::string_view::npos) {
      const auto value = piece.substr(equals + 1);
      item.value = percentDecode(value).value_or(std::string(value));
    }
    items.push_back(std::move(item));
  }
  return items;
}

URL URL::withQueryItems(const std::vector<URLQueryItem>& items) const {
  URL copy = *this;
  if (items.empty()) {
    copy.query_.reset();
  } else {
    std::string query;
    for (const auto& item : items) {
      if (!query.empty()) query += '&';
      query += percentEncode(item.name, PercentEncoding::QueryItem);
      if (item.value) query.append(1, '=').append(percentEncode(*item.value, PercentEncoding::QueryItem));
    }
    copy.query_ = std::move(query);
  }
  copy.recompose();
  return copy;
}

URL URL::appendingPathComponent(std::string_view component) const {
  URL copy = *this;
  if (component.empty()) return copy;
  // Runs of '/' become one: the join never doubles a slash, and a path never starts with "//",
  // which would read back as an authority ("f:/" + "//evil/x" must not name the host "evil").
  std::string encoded;
  for (const char c : percentEncode(component, PercentEncoding::Path)) {
    if (c == '/' && !encoded.empty() && encoded.back() == '/') continue;
    encoded += c;
  }
  if (copy.path_.empty()) {
    if (copy.host_ && encoded[0] != '/') copy.path_.push_back('/');
  } else if (copy.path_.back() != '/') {
    copy.path_ += '/';
  }
  if (!copy.path_.empty() && copy.path_.back() == '/' && encoded[0] == '/') encoded.erase(0, 1);
  copy.path_ += encoded;
  // In a reference without scheme or authority, a ':' in the first segment would read back as
  // a scheme ("" + "javascript:x"); "%3A" is the same character without that meaning.
  if (!copy.scheme_ && !copy.host_) {
    const auto firstEnd = copy.path_.find('/');
    const std::size_t end = firstEnd == std::string::npos ? copy.path_.size() : firstEnd;
    std::string first;
    for (std::size_t i = 0; i < end; ++i) {
      if (copy.path_[i] == ':') {
        first += "%3A";
      } else {
        first += copy.path_[i];
      }
    }
    copy.path_.replace(0, end, first);
  }
  copy.recompose();
  return copy;
}

std::string URL::percentEncode(std::string_view text, PercentEncoding set) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (set == PercentEncoding::Form && c == ' ') {
      out += '+';
    } else if (keeps(set, c)) {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::optional<std::string> URL::percentDecode(std::string_view text, bool plusAsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high << 4 | low);
      i += 2;
    } else if (plusAsSpace && c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string URL::formURLEncode(const std::vector<URLQueryItem>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += '&';
    out += percentEncode(item.name, PercentEncoding::Form);
    if (item.value) out.append(1, '=').append(percentEncode(*item.value, PercentEncoding::Form));
  }
  return out;
}

std::optional<std::vector<URLQueryItem>> URL::parseFormURLEncoded(std::string_view text) {
  std::vector<URLQueryItem> items;
  while (!text.empty()) {
    const auto amp = text.find('&');
    const auto piece = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (piece.empty()) continue;
    const auto equals = piece.find('=');
    URLQueryItem item;
    auto name = percentDecode(piece.substr(0, equals), true);
    if (!name) return std::nullopt;
    item.name = std::move(*name);
    if (equals != std::string_view::npos) {
      auto value = percentDecode(piece.substr(equals + 1), true);
      if (!value) return std::nullopt;
      item.value = std::move(*value);
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace vx
