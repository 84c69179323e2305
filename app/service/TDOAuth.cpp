#include "app/service/TDOAuth.h"

#include "app/service/Logger.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
#include "platform/security/Crypto.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace Vexelworks {

namespace {

std::atomic<std::int32_t> gUtcTimeOffset{0};

struct NonceSource {
  std::mutex mutex;
  std::shared_ptr<const std::function<std::string()>> source;
};

NonceSource& nonceSource() {
  static NonceSource instance;
  return instance;
}

std::string makeNonce() {
  std::shared_ptr<const std::function<std::string()>> source;
  {
    std::lock_guard lock(nonceSource().mutex);
    source = nonceSource().source;
  }
  if (source) return (*source)();
  return vx::UUID::make().uuidString();
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

bool isPathCharacter(unsigned char c) {
  if (isUnreserved(c)) return true;
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
    case '/':
    case ':':
    case ';':
    case '=':
    case '?':
    case '@':
      return true;
    default:
      return false;
  }
}

template <class Keep>
std::string encodeBytes(std::string_view text, Keep keep) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
}

std::string lowerASCII(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A parameter value in its text form; std::nullopt for kinds a form cannot carry.
std::optional<std::string> parameterText(const nlohmann::ordered_json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer() || value.is_number_unsigned() || value.is_number_float()) {
    // dump() writes integers in decimal and doubles in their shortest exact form.
    return value.dump();
  }
  return std::nullopt;
}

bool isTokenCharacter(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool isSafeHeaderName(std::string_view name) {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return isTokenCharacter(static_cast<unsigned char>(c)); });
}

bool isSafeHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t') || c == 0x7F;
  });
}

// The base string's authority: lower case, without the scheme's default port (RFC 5849
// 3.4.1.2), which is also what the HTTP layer leaves out of the "Host" header it sends.
std::string baseStringHost(std::string_view host, std::string_view scheme) {
  std::string out = lowerASCII(host);
  const std::string lowerScheme = lowerASCII(scheme);
  const std::string_view defaultPort = lowerScheme == "http" ? ":80" : lowerScheme == "https" ? ":443" : "";
  if (!defaultPort.empty() && out.size() > defaultPort.size() &&
      std::string_view(out).substr(out.size() - defaultPort.size()) == defaultPort) {
    out.resize(out.size() - defaultPort.size());
  }
  return out;
}

}  // namespace

std::string TDOAuth::percentEncode(std::string_view text) { return encodeBytes(text, isUnreserved); }

std::string TDOAuth::escapePath(std::string_view path) { return encodeBytes(path, isPathCharacter); }

std::unique_ptr<TDOAuth> TDOAuth::make(std::string_view consumerKey, std::string_view consumerSecret,
                                       std::optional<std::string> accessToken, std::optional<std::string> tokenSecret,
                                       int signatureMethod) {
  const char* methodName = nullptr;
  switch (signatureMethod) {
    case TDOAuthSignatureMethodHmacSha1:
      methodName = "HMAC-SHA1";
      break;
    case TDOAuthSignatureMethodHmacSha256:
      methodName = "HMAC-SHA256";
      break;
    default:
      return nullptr;
  }
  std::unique_ptr<TDOAuth> oauth(new TDOAuth());
  oauth->signatureMethod_ = signatureMethod;

  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(vx::wallNow().time_since_epoch()).count();
  const std::int64_t timestamp = static_cast<std::int64_t>(seconds) + gUtcTimeOffset.load();

  oauth->oauthParams_ = {
      {"oauth_consumer_key", std::string(consumerKey)}, {"oauth_nonce", makeNonce()},
      {"oauth_timestamp", std::to_string(timestamp)},   {"oauth_version", "1.0"},
      {"oauth_signature_method", methodName},
  };
  if (accessToken) oauth->oauthParams_.emplace_back("oauth_token", *accessToken);

  oauth->signatureSecret_ = std::string(consumerSecret) + "&" + tokenSecret.value_or("");
  return oauth;
}

std::optional<std::string> TDOAuth::setParameters(const TDOAuthParameters& parameters) {
  if (!parameters.is_object()) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> encoded;
  std::string text;
  for (const auto& [key, value] : parameters.items()) {
    auto valueText = parameterText(value);
    if (!valueText) return std::nullopt;
    encoded.emplace_back(percentEncode(key), percentEncode(*valueText));
    text += encoded.back().first;
    text += '=';
    text += encoded.back().second;
    text += '&';
  }
  if (!text.empty()) text.pop_back();
  params_ = std::move(encoded);
  return text;
}

std::string TDOAuth::signatureBaseString(std::string_view method, std::string_view scheme, std::string_view hostAndPath,
                                         std::vector<std::pair<std::string, std::string>> pairs) {
  std::sort(pairs.begin(), pairs.end());
  std::string joined;
  for (const auto& [key, value] : pairs) {
    if (!joined.empty()) joined += '&';
    joined += key;
    joined += '=';
    joined += value;
  }
  std::string base(method);
  base += '&';
  base += lowerASCII(scheme);
  base += "%3A%2F%2F";
  base += percentEncode(hostAndPath);
  base += '&';
  base += percentEncode(joined);
  return base;
}

std::string TDOAuth::signatureBase() const {
  // Protocol parameters win over request parameters of the same (encoded) name. Protocol
  // values are encoded like every other value: for the service's keys, nonces and timestamps
  // this changes nothing, and a token with reserved characters is still signed correctly.
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& [key, value] : oauthParams_) pairs.emplace_back(key, percentEncode(value));
  for (const auto& param : params_) {
    const bool shadowed =
        std::any_of(oauthParams_.begin(), oauthParams_.end(), [&](const auto& p) { return p.first == param.first; });
    if (!shadowed) pairs.emplace_back(param.first, param.second);
  }
  return signatureBaseString(method_, scheme_, hostAndPathWithoutQuery_, std::move(pairs));
}

std::string TDOAuth::signature() const {
  const std::string base = signatureBase();
  const vx::Bytes digest = signatureMethod_ == TDOAuthSignatureMethodHmacSha256 ? vx::hmacSha256(signatureSecret_, base)
                                                                                : vx::hmacSha1(signatureSecret_, base);
  return vx::base64Encode(digest);
}

std::string TDOAuth::authorizationHeader() const {
  std::string header = "OAuth ";
  for (const auto& [key, value] : oauthParams_) {
    header += key;
    header += "=\"";
    // Encoded so that a quote or a line break in a token cannot break out of the header.
    header += percentEncode(value);
    header += "\", ";
  }
  header += "oauth_signature=\"";
  header += percentEncode(signature());
  header += '"';
  return header;
}

std::optional<vx::URLRequest> TDOAuth::requestWithHeaderValues(
    const std::optional<TDOAuthHeaderValues>& headerValues) const {
  vx::URLRequest request(url_);
  request.timeoutInterval = std::chrono::seconds(30);
  request.headers.set("User-Agent", OMGUserAgent());
  request.headers.set("Authorization", authorizationHeader());
  // The HTTP layer asks for gzip itself so that it can also decode the reply.
  request.acceptGzip = true;
  if (headerValues && headerValues->is_object()) {
    for (const auto& [name, value] : headerValues->items()) {
      if (!value.is_string()) continue;
      const auto text = value.get<std::string>();
      if (!isSafeHeaderName(name) || !isSafeHeaderValue(text)) return std::nullopt;
      request.headers.set(name, text);
    }
  }
  request.httpMethod = method_;
  return request;
}

std::optional<vx::URLRequest> TDOAuth::URLRequestForPath(
    std::string_view path, const std::optional<TDOAuthParameters>& parameters, std::string_view host,
    std::string_view consumerKey, std::string_view consumerSecret, std::optional<std::string> accessToken,
    std::optional<std::string> tokenSecret, std::string_view scheme, std::string_view requestMethod, int dataEncoding,
    const std::optional<TDOAuthHeaderValues>& headerValues, int signatureMethod) {
  if (path.empty() || host.empty() || scheme.empty() || requestMethod.empty()) return std::nullopt;
  if (parameters && !parameters->is_object()) return std::nullopt;

  auto oauth = make(consumerKey, consumerSecret, std::move(accessToken), std::move(tokenSecret), signatureMethod);
  if (!oauth) return std::nullopt;

  const std::string escapedPath = escapePath(path);
  oauth->method_ = std::string(requestMethod);
  oauth->scheme_ = std::string(scheme);
  oauth->hostAndPathWithoutQuery_ = baseStringHost(host, scheme) + escapedPath;
  const std::string base = std::string(scheme) + "://" + std::string(host);

  std::optional<vx::URLRequest> request;
  if (requestMethod == "GET" || requestMethod == "DELETE" || requestMethod == "HEAD") {
    auto query = oauth->setParameters(parameters.value_or(TDOAuthParameters::object()));
    if (!query) return std::nullopt;
    oauth->url_ = parameters ? base + escapedPath + "?" + *query : base + escapedPath;
    if (!vx::URL::parse(oauth->url_)) return std::nullopt;
    return oauth->requestWithHeaderValues(headerValues);
  }

  oauth->url_ = base + escapedPath;
  if (!vx::URL::parse(oauth->url_)) return std::nullopt;

  if (!parameters || dataEncoding == TDOAuthContentTypeUrlEncodedForm) {
    auto form = oauth->setParameters(parameters.value_or(TDOAuthParameters::object()));
    if (!form) return std::nullopt;
    request = oauth->requestWithHeaderValues(headerValues);
    if (request && !form->empty()) {
      request->setBody(*form);
      request->headers.set("Content-Type", "application/x-www-form-urlencoded");
      request->headers.set("Content-Length", std::to_string(request->body.size()));
    }
    return request;
  }

  if (dataEncoding == TDOAuthContentTypeJsonObject) {
    std::string json;
    try {
      json = parameters->dump();
    } catch (const nlohmann::json::exception& error) {
      VX_LOG("ERROR", std::string("Got an error encoding JSON: ") + error.what());
      return std::nullopt;
    }
    // The JSON body is not signed: only the protocol parameters enter the base string.
    (void)oauth->setParameters(TDOAuthParameters::object());
    request = oauth->requestWithHeaderValues(headerValues);
    if (request && !json.empty()) {
      request->setBody(json);
      request->headers.set("Content-Type", "application/json");
      request->headers.set("Content-Length", std::to_string(request->body.size()));
    }
    return request;
  }
  return std::nullopt;
}

std::optional<vx::URLRequest> TDOAuth::URLRequestForPathGET(std::string_view path,
                                                            const std::optional<TDOAuthParameters>& parameters,
                                                            std::string_view host, std::string_view consumerKey,
                                                            std::string_view consumerSecret,
                                                            std::optional<std::string> accessToken,
                                                            std::optional<std::string> tokenSecret) {
  return URLRequestForPath(path, parameters, host, consumerKey, consumerSecret, std::move(accessToken),
                           std::move(tokenSecret), "http", "GET", TDOAuthContentTypeUrlEncodedForm, std::nullopt,
                           TDOAuthSignatureMethodHmacSha1);
}

std::optional<vx::URLRequest> TDOAuth::URLRequestForPathGET(
    std::string_view path, const std::optional<TDOAuthParameters>& parameters, std::string_view scheme,
    std::string_view host, std::string_view consumerKey, std::string_view consumerSecret,
    std::optional<std::string> accessToken, std::optional<std::string> tokenSecret) {
  return URLRequestForPath(path, parameters, host, consumerKey, consumerSecret, std::move(accessToken),
                           std::move(tokenSecret), scheme, "GET", TDOAuthContentTypeUrlEncodedForm, std::nullopt,
                           TDOAuthSignatureMethodHmacSha1);
}

std::optional<vx::URLRequest> TDOAuth::URLRequestForPathPOST(std::string_view path,
                                                             const std::optional<TDOAuthParameters>& parameters,
                                                             std::string_view host, std::string_view consumerKey,
                                                             std::string_view consumerSecret,
                                                             std::optional<std::string> accessToken,
                                                             std::optional<std::string> tokenSecret) {
  return URLRequestForPath(path, parameters, host, consumerKey, consumerSecret, std::move(accessToken),
                           std::move(tokenSecret), "https", "POST", TDOAuthContentTypeUrlEncodedForm, std::nullopt,
                           TDOAuthSignatureMethodHmacSha1);
}

std::int32_t TDOAuth::utcTimeOffset() { return gUtcTimeOffset.load(); }

void TDOAuth::setUtcTimeOffset(std::int32_t offset) { gUtcTimeOffset.store(offset); }

void TDOAuth::setNonceSourceForTesting(std::function<std::string()> source) {
  auto next = source ? std::make_shared<const std::function<std::string()>>(std::move(source)) : nullptr;
  std::lock_guard lock(nonceSource().mutex);
  nonceSource().source = std::move(next);
}

std::string OMGUserAgent() {
  static const std::string agent = [] {
    auto& bundle = vx::Bundle::main();
    std::string name = bundle.displayName();
    if (name.empty()) name = bundle.bundleIdentifier();
    return name + "/" + bundle.buildNumber();
  }();
  return agent;
}

}  // namespace Vexelworks
