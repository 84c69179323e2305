// The web site, as far as the application uses it:
//   GET  /for-mac/authorize/   the sign-in page: after "authorising" it links back into the
//                              application with <scheme>://login/<one-time token>
//                              (?user=N picks the catalogue user, ?scheme= the URL scheme,
//                              ?beta=true is accepted as the beta builds send it)
//   POST /for-mac/oauth/       form body token, client_id, build_number: the one-time token for
//                              {"access_token": {"token", "secret"}, "timestamp"}
//   GET  /for-mac/version/     {"minimum_build": N}
#include "tools/devservice/IconAPI.h"
#include "tools/devservice/WebSite.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/URL.h"
#include "platform/security/Crypto.h"

namespace vx::devservice {

namespace {

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

// One web site per service object, made when the service installs its routes.
std::map<const DevService*, std::shared_ptr<WebSite>>& registry() {
  static std::map<const DevService*, std::shared_ptr<WebSite>> sites;
  return sites;
}

std::string htmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool isScheme(const std::string& text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<WebSite> WebSite::of(const DevService& service) {
  std::lock_guard lock(registryMutex());
  auto& site = registry()[&service];
  if (!site) site = std::make_shared<WebSite>();
  return site;
}

std::string WebSite::issueSignInToken(std::size_t userIndex) {
  const std::string token = toHex(randomBytes(12).valueOr(Bytes(12, 5)));
  std::lock_guard lock(mutex_);
  signInTokens_[token] = userIndex;
  return token;
}

std::optional<std::size_t> WebSite::redeemSignInToken(const std::string& token) {
  std::lock_guard lock(mutex_);
  auto found = signInTokens_.find(token);
  if (found == signInTokens_.end()) return std::nullopt;
  const auto user = found->second;
  signInTokens_.erase(found);
  return user;
}

void WebSite::setClockLead(std::chrono::duration<double> lead) {
  std::lock_guard lock(mutex_);
  clockLead_ = lead;
}

std::chrono::duration<double> WebSite::clockLead() const {
  std::lock_guard lock(mutex_);
  return clockLead_;
}

void WebSite::setExchangeReplyOverride(std::optional<nlohmann::json> reply) {
  std::lock_guard lock(mutex_);
  exchangeReply_ = std::move(reply);
}

std::optional<nlohmann::json> WebSite::exchangeReplyOverride() const {
  std::lock_guard lock(mutex_);
  return exchangeReply_;
}

void WebSite::setVersionReply(nlohmann::json reply) {
  std::lock_guard lock(mutex_);
  versionReply_ = std::move(reply);
}

nlohmann::json WebSite::versionReply() const {
  std::lock_guard lock(mutex_);
  return versionReply_;
}

DEVSERVICE_ROUTE_SET(webSite) {
  // A service object made at an address a destroyed one had gets a fresh site.
  std::shared_ptr<WebSite> site = std::make_shared<WebSite>();
  {
    std::lock_guard lock(registryMutex());
    registry()[&service] = site;
  }

  service.addRoute("GET", "/for-mac/authorize/", [site](const Request& r, Response& out) {
    std::size_t user = 0;
    if (auto text = r.queryValue("user")) {
      try {
        user = static_cast<std::size_t>(std::stoul(*text));
      } catch (...) {
        out.status = 400;
        out.body = "user must be a number\n";
        return;
      }
    }
    const std::string scheme = r.queryValue("scheme").value_or(kSignInURLScheme);
    if (!isScheme(scheme)) {
      out.status = 400;
      out.body = "scheme is not a URL scheme\n";
      return;
    }
    const std::string link = scheme + "://login/" + site->issueSignInToken(user);
    const bool beta = r.queryValue("beta").value_or("") == "true";
    out.contentType = "text/html; charset=utf-8";
    out.body =
        "<!DOCTYPE html>\n<html><head><title>Connect Vexelworks</title></head><body>\n"
        "<h1>Connect Vexelworks" +
        std::string(beta ? " (beta)" : "") +
        "</h1>\n"
        "<p>You have authorised the application.</p>\n"
        "<p><a id=\"open-app\" href=\"" +
        htmlEscape(link) +
        "\">Open Vexelworks</a></p>\n"
        "</body></html>\n";
  });

  service.addRoute("POST", "/for-mac/oauth/", [site](const Request& r, Response& out) {
    auto items = URL::parseFormURLEncoded(r.body);
    if (!items) {
      out.setJSON(R"({"error":"malformed form body"})", 400);
      return;
    }
    std::map<std::string, std::vector<std::string>> fields;
    for (const auto& item : *items) fields[item.name].push_back(item.value.value_or(""));
    for (const char* name : {"token", "client_id", "build_number"}) {
      if (fields[name].size() != 1) {
        out.setJSON(nlohmann::json{{"error", std::string("expected one ") + name}}.dump(), 400);
        return;
      }
    }
    const auto user = site->redeemSignInToken(fields["token"][0]);
    if (auto reply = site->exchangeReplyOverride()) {
      out.setJSON(reply->dump());
      return;
    }
    if (!user) {
      out.setJSON(R"({"error":"unknown or used sign-in token"})", 401);
      return;
    }
    const auto pair = issueToken(*user);
    const double now =
        std::chrono::duration<double>(vx::wallNow().time_since_epoch()).count() + site->clockLead().count();
    out.setJSON(
        nlohmann::json{{"access_token", {{"token", pair.key}, {"secret", pair.secret}}}, {"timestamp", now}}.dump());
  });

  service.addRoute("GET", "/for-mac/version/",
                   [site](const Request&, Response& out) { out.setJSON(site->versionReply().dump()); });
}

}  // namespace vx::devservice
