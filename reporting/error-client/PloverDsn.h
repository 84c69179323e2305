// The DSN: the one URL that names the error-reporting endpoint, the project and the client's
// keys (public key as the user part, optional secret key as the password).
#pragma once

#include "platform/foundation/URL.h"

#include <memory>
#include <optional>
#include <string>

class PloverDsn {
 public:
  // nullptr, with error 100 and the failed check's message in the slot, when the text is no
  // valid DSN.
  static std::shared_ptr<PloverDsn> make(const std::string& text, vx::Error* error = nullptr);

  // The checks, in order: scheme present, scheme http/https, host present, user present, path
  // with the root and a project id. std::nullopt with error 100 on the first that fails.
  static std::optional<vx::URL> convertDsnString(const std::string& text, vx::Error* error);

  const vx::URL& url() const { return url_; }
  void setUrl(vx::URL url) { url_ = std::move(url); }

  // SHA-1 of the URL's text, 40 lower-case hex digits: names the client's store folder.
  std::string getHash() const;

 private:
  explicit PloverDsn(vx::URL url) : url_(std::move(url)) {}
  vx::URL url_;
};
