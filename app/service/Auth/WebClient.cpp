#include "app/service/Auth/WebClient.h"

#include "app/service/Helpers.h"
#include "app/service/Settings.h"

#include "platform/foundation/DispatchQueue.h"

#include <cmath>
#include <limits>

namespace Vexelworks {

namespace {

// The path replaces the site URL's path; the site URL is an absolute base, so this resolves.
vx::URL resolved(const vx::URL& base, std::string_view path) {
  auto url = vx::URL::parse(path, base);
  return url ? *url : base;
}

bool usableTokenText(const nlohmann::json& value) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  return !text.empty() && text.find(':') == std::string::npos;
}

}  // namespace

WebClient::WebClient(vx::URL url) : url_(std::move(url)) {}

std::shared_ptr<vx::URLSession> WebClient::session() {
  std::lock_guard lock(mutex_);
  if (!session_) {
    // Ephemeral: this layer keeps no cache, and a sign-in leaves no cookies behind.
    session_ = vx::URLSession::make(vx::URLSessionConfiguration::ephemeralConfiguration());
  }
  return session_;
}

vx::URLRequest WebClient::exchangeRequest(std::string_view token) const {
  vx::URLRequest request(resolved(url_, kExchangePath), "POST");
  request.headers.set("Content-Type", "application/x-www-form-urlencoded");
  request.setBody(vx::URL::formURLEncode({
      {"token", std::string(token)},
      {"client_id", clientId()},
      {"build_number", std::to_string(buildNumber())},
  }));
  return request;
}

TokenExchangeResult WebClient::parseExchangeReply(const std::vector<std::uint8_t>& data, vx::WallTime now) {
  if (data.empty()) return {};
  auto json = decodeJSON(data);
  if (!json || !json->is_object()) return {};
  const auto accessToken = json->find("access_token");
  const auto timestamp = json->find("timestamp");
  if (accessToken == json->end() || !accessToken->is_object()) return {};
  if (timestamp == json->end() || !timestamp->is_number()) return {};
  const auto key = accessToken->find("token");
  const auto secret = accessToken->find("secret");
  if (key == accessToken->end() || !usableTokenText(*key)) return {};
  if (secret == accessToken->end() || !usableTokenText(*secret)) return {};

  const double nowSeconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  const double lead = std::round(timestamp->get<double>() - nowSeconds);
  if (!std::isfinite(lead) || lead < std::numeric_limits<std::int32_t>::min() ||
      lead > std::numeric_limits<std::int32_t>::max()) {
    return {};
  }
  TokenExchangeResult result;
  result.token = AccessToken{key->get<std::string>(), secret->get<std::string>()};
  result.offset = static_cast<std::int32_t>(lead);
  return result;
}

void WebClient::exchangeToken(std::string_view token, ExchangeCompletion completion) {
  auto task = session()->dataTask(
      exchangeRequest(token),
      [completion = std::move(completion)](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse>,
                                           std::optional<vx::Error> error) {
        auto result = parseExchangeReply(data, vx::wallNow());
        if (!completion) return;
        if (result.token && result.offset) {
          completion(std::move(result.token), result.offset, std::nullopt);
        } else {
          completion(std::nullopt, std::nullopt, std::move(error));
        }
      });
  task->resume();
}

void WebClient::fetchMinimumBuild(MinimumBuildCompletion completion) {
  vx::URLRequest request(resolved(url_, kVersionPath), "GET");
  request.timeoutInterval = std::chrono::seconds(60);
  auto task =
      session()->dataTask(std::move(request), [completion = std::move(completion)](std::vector<std::uint8_t> data,
                                                                                   std::optional<vx::HTTPURLResponse>,
                                                                                   std::optional<vx::Error> error) {
        if (data.empty() || !completion) return;
        auto json = decodeJSON(data);
        if (!json || !json->is_object()) return;
        const auto minimum = json->find("minimum_build");
        if (minimum == json->end() || !minimum->is_number_integer()) return;
        if (minimum->is_number_unsigned() &&
            minimum->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return;
        }
        const auto build = minimum->get<std::int64_t>();
        runOnMain([completion, build, error = std::move(error)] { completion(build, error); });
      });
  task->resume();
}

}  // namespace Vexelworks
