// TDOAuth: an OAuth 1.0 request signer (HMAC-SHA1 or HMAC-SHA256, protocol parameters in an
// "Authorization" header). It turns a path, parameters, a host, the consumer key pair and the
// access token pair into a ready request. It knows nothing of the icon service.
//
// One instance signs one request: its nonce (a fresh upper-case UUID text) and timestamp (the
// wall clock of vx::Scheduler in whole seconds plus the class-wide utcTimeOffset) are fixed when
// it is made. The class-wide offset follows the server's clock; it may be set from any thread.
//
// Percent-encoding (keys, values, base-string parts, the signature) keeps only A-Z a-z 0-9
// "-" "." "_" "~"; every other byte of the UTF-8 text, control characters included, becomes
// "%XX" with upper-case hex digits, so a CR or LF in a parameter never reaches the wire raw.
#pragma once

#include "platform/net/URLSession.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Vexelworks {

// Request parameters: an object of text and number values, in the caller's order.
using TDOAuthParameters = nlohmann::ordered_json;
// Extra header values: an object; only text values become headers.
using TDOAuthHeaderValues = nlohmann::ordered_json;

enum TDOAuthSignatureMethod : int {
  TDOAuthSignatureMethodHmacSha1 = 0,
  TDOAuthSignatureMethodHmacSha256 = 1,
};
enum TDOAuthContentType : int {
  TDOAuthContentTypeUrlEncodedForm = 0,
  TDOAuthContentTypeJsonObject = 1,
};

class TDOAuth {
 public:
  // nullptr for a signature method other than 0 or 1. Without an access token the
  // "oauth_token" parameter is left out; without a token secret the key ends in "&".
  static std::unique_ptr<TDOAuth> make(std::string_view consumerKey, std::string_view consumerSecret,
                                       std::optional<std::string> accessToken, std::optional<std::string> tokenSecret,
                                       int signatureMethod);

  // Stores the parameters, key and value each percent-encoded, and returns them as
  // "key=value" pairs joined by "&" in the parameters' own order ("" for none). Numbers are
  // written in decimal. std::nullopt, storing nothing, when `parameters` is not an object or a
  // value is neither text nor a number.
  std::optional<std::string> setParameters(const TDOAuthParameters& parameters);

  // The signature base string: method, "&", lower-case scheme, "%3A%2F%2F", the encoded host
  // (without a default port: ":80" for http, ":443" for https) and path, "&", and the encoded
  // parameter text (stored parameters merged with the protocol
  // parameters, which win on a clash, sorted by key).
  std::string signatureBase() const;
  // Base64 of the HMAC of the base string keyed with "consumer secret&token secret".
  std::string signature() const;
  // "OAuth " then key="value", for each protocol parameter in order, and oauth_signature last.
  std::string authorizationHeader() const;

  // The finished request for url(): 30-second timeout, "User-Agent" OMGUserAgent(), the
  // "Authorization" header computed now (so the parameters must be stored first), a gzip reply
  // asked for, then each extra header whose value is text. std::nullopt when an extra header's
  // name is not a token or its value holds a control character (header injection).
  std::optional<vx::URLRequest> requestWithHeaderValues(const std::optional<TDOAuthHeaderValues>& headerValues) const;

  // The general builder. Parameters may be absent (std::nullopt) or an empty object; they differ
  // for query methods: an empty object leaves a bare "?" on the URL. `host` may carry ":port".
  // GET, DELETE and HEAD put the parameters into the query; other methods send them as an
  // "application/x-www-form-urlencoded" body (data encoding 0, signed) or as a JSON body (data
  // encoding 1, not signed). std::nullopt for an empty path, host, scheme or method, a bad
  // signature method, unsupported parameter values, a parameter set that cannot be written as
  // JSON (logged), an unknown data encoding with parameters, or a URL that does not parse.
  static std::optional<vx::URLRequest> URLRequestForPath(
      std::string_view path, const std::optional<TDOAuthParameters>& parameters, std::string_view host,
      std::string_view consumerKey, std::string_view consumerSecret, std::optional<std::string> accessToken,
      std::optional<std::string> tokenSecret, std::string_view scheme, std::string_view requestMethod, int dataEncoding,
      const std::optional<TDOAuthHeaderValues>& headerValues, int signatureMethod);

  // GET over "http", form encoding, no extra headers, HMAC-SHA1.
  static std::optional<vx::URLRequest> URLRequestForPathGET(std::string_view path,
                                                            const std::optional<TDOAuthParameters>& parameters,
                                                            std::string_view host, std::string_view consumerKey,
                                                            std::string_view consumerSecret,
                                                            std::optional<std::string> accessToken,
                                                            std::optional<std::string> tokenSecret);
  // GET over the given scheme.
  static std::optional<vx::URLRequest> URLRequestForPathGET(
      std::string_view path, const std::optional<TDOAuthParameters>& parameters, std::string_view scheme,
      std::string_view host, std::string_view consumerKey, std::string_view consumerSecret,
      std::optional<std::string> accessToken, std::optional<std::string> tokenSecret);
  // POST over "https" with a form body.
  static std::optional<vx::URLRequest> URLRequestForPathPOST(std::string_view path,
                                                             const std::optional<TDOAuthParameters>& parameters,
                                                             std::string_view host, std::string_view consumerKey,
                                                             std::string_view consumerSecret,
                                                             std::optional<std::string> accessToken,
                                                             std::optional<std::string> tokenSecret);

  // The class-wide clock correction in seconds, added to every later timestamp.
  static std::int32_t utcTimeOffset();
  static void setUtcTimeOffset(std::int32_t offset);

  // --- building blocks, shared with tests and anything that checks signatures ---
  // The encoding described at the top of this file.
  static std::string percentEncode(std::string_view text);
  // The path escaping for the URL: letters, digits and ! $ & ' ( ) * + , - . / : ; = ? @ _ ~
  // stay; every other byte becomes "%XX".
  static std::string escapePath(std::string_view path);
  // The base string from already-encoded pairs, sorted by key then value (RFC 5849 3.4.1).
  static std::string signatureBaseString(std::string_view method, std::string_view scheme, std::string_view hostAndPath,
                                         std::vector<std::pair<std::string, std::string>> pairs);

  // Test hook: where nonces come from (nullptr restores fresh UUIDs).
  static void setNonceSourceForTesting(std::function<std::string()> source);

  // The instance's state, in the order it is built.
  const std::string& url() const { return url_; }
  const std::string& signatureSecret() const { return signatureSecret_; }
  int signatureMethod() const { return signatureMethod_; }
  // Protocol parameters in their own order.
  const std::vector<std::pair<std::string, std::string>>& oauthParams() const { return oauthParams_; }
  // Stored (encoded) request parameters in their own order.
  const std::vector<std::pair<std::string, std::string>>& params() const { return params_; }
  const std::string& method() const { return method_; }
  const std::string& hostAndPathWithoutQuery() const { return hostAndPathWithoutQuery_; }

 private:
  TDOAuth() = default;

  std::string url_;
  std::string scheme_;
  std::string signatureSecret_;
  int signatureMethod_ = TDOAuthSignatureMethodHmacSha1;
  std::vector<std::pair<std::string, std::string>> oauthParams_;
  std::vector<std::pair<std::string, std::string>> params_;
  std::string method_;
  std::string hostAndPathWithoutQuery_;
};

// The process's user agent: the bundle's display name (its identifier when it has none), "/",
// and its build number ("CFBundleVersion"). Built once, on first use.
std::string OMGUserAgent();

}  // namespace Vexelworks
