#include "app/service/APIClient.h"

#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormat.h"

#include <chrono>
#include <cstdio>
#include <limits>

namespace Vexelworks {

std::shared_ptr<APIClient> APIClient::make(vx::URL url, AccessToken accessToken) {
  return std::shared_ptr<APIClient>(new APIClient(std::move(url), std::move(accessToken)));
}

std::shared_ptr<vx::URLSession> APIClient::session() {
  std::lock_guard lock(mutex_);
  if (!session_) {
    // Ephemeral: every page is loaded from the service, never from a local cache.
    session_ = vx::URLSession::make(vx::URLSessionConfiguration::ephemeralConfiguration());
  }
  return session_;
}

vx::URLRequest APIClient::signedRequest(std::string_view method, std::string_view path,
                                        const std::optional<TDOAuthParameters>& parameters) const {
  std::string host = url_.host().value_or("");
  if (url_.port()) host += ":" + std::to_string(*url_.port());
  auto request =
      TDOAuth::URLRequestForPath(path, parameters, host, kConsumerKey, kConsumerSecret, accessToken_.key,
                                 accessToken_.secret, url_.scheme().value_or("https"), method,
                                 TDOAuthContentTypeUrlEncodedForm, std::nullopt, TDOAuthSignatureMethodHmacSha1);
  // The base URL is checked when it is configured and the parameters are text and numbers
  // only, so the builder cannot refuse: a refusal is a programming fault.
  if (!request) vx::fatalError("Failed to build a signed request for " + std::string(path));
  return std::move(*request);
}

void APIClient::syncClock(const vx::HTTPURLResponse& response) {
  const auto header = response.headers.value("Date");
  if (!header) return;
  const auto serverTime = vx::DateFormat::parseHttpDate(*header);
  if (!serverTime) return;
  const auto difference = std::chrono::duration_cast<std::chrono::seconds>(*serverTime - vx::wallNow()).count();
  // An offset that does not fit 32 bits is ignored rather than wrapped into a wrong one.
  if (difference > std::numeric_limits<std::int32_t>::max() || difference < std::numeric_limits<std::int32_t>::min()) {
    return;
  }
  TDOAuth::setUtcTimeOffset(static_cast<std::int32_t>(difference));
}

std::shared_ptr<vx::URLSessionDataTask> APIClient::dataTask(vx::URLRequest request, Handler handler) {
  return session()->dataTask(
      std::move(request),
      [handler = std::move(handler)](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse> response,
                                     std::optional<vx::Error> error) {
        if (!response) {
          VX_LOG("WARN", "Session task failed " + (error ? error->toString() : std::string("(no error)")));
          return;
        }
        syncClock(*response);
        if (handler) handler(std::move(data), std::move(*response), std::move(error));
      });
}

void APIClient::loadUser(UserCompletion completion) {
  auto task = session()->dataTask(
      signedRequest("GET", "/user", std::nullopt),
      [completion = std::move(completion)](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse>,
                                           std::optional<vx::Error> error) {
        // The status is not looked at: a complete "user" object is the answer.
        if (!data.empty()) {
          if (auto json = decodeJSON(data); json && json->is_object()) {
            auto user = json->find("user");
            if (user != json->end() && user->is_object()) {
              if (auto record = VexelUser::make(*user)) {
                if (completion) completion(std::move(record), std::nullopt);
                return;
              }
            }
          }
        }
        if (completion) completion(std::nullopt, std::move(error));
      });
  task->resume();
}

void APIClient::recordIconUsage(const Icon& icon, PasteboardType type, const Color& color) {
  const std::string colorText = color.isOpaque() ? color.hexString() : color.hexStringWithAlpha();
  std::string typeText(rawValue(type));
  for (auto& c : typeText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  TDOAuthParameters parameters = {{"color", colorText}, {"type", typeText}};
  const std::string iconId = icon.id;
  auto task = dataTask(
      signedRequest("POST", "/icon/" + icon.id + "/download/mac", parameters),
      [iconId, typeText, colorText](std::vector<std::uint8_t>, vx::HTTPURLResponse response, std::optional<vx::Error>) {
        std::printf("[%d] Recorded usage for icon %s %s #%s\n", response.statusCode, iconId.c_str(), typeText.c_str(),
                    colorText.c_str());
        std::fflush(stdout);
      });
  task->resume();
}

// --- completions ---

void AutocompleteOperation::start() {
  if (isCancelled()) {
    finishCancelled();
    return;
  }
  setExecuting(true);
  auto self = std::static_pointer_cast<AutocompleteOperation>(shared_from_this());
  auto task = api_->session()->dataTask(
      api_->signedRequest("GET", "/search/autocomplete", TDOAuthParameters{{"query", query_}}),
      [self](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse>, std::optional<vx::Error>) {
        if (!self->isCancelled() && !data.empty()) {
          if (auto json = decodeJSON(data); json && json->is_object()) {
            auto suggestions = json->find("suggestions");
            if (suggestions != json->end() && suggestions->is_array()) {
              std::vector<std::string> list;
              bool allText = true;
              for (const auto& item : *suggestions) {
                if (!item.is_string()) {
                  allText = false;
                  break;
                }
                list.push_back(item.get<std::string>());
              }
              if (allText) {
                std::lock_guard lock(self->mutex_);
                self->completions_ = std::move(list);
              }
            }
          }
        }
        self->setExecuting(false);
        self->setFinished(true);
      });
  {
    std::lock_guard lock(mutex_);
    task_ = task;
  }
  task->resume();
  // A cancel that arrived while the task was being made still reaches it.
  if (isCancelled()) task->cancel();
}

void AutocompleteOperation::cancel() {
  AsyncOperation::cancel();
  std::shared_ptr<vx::URLSessionDataTask> task;
  {
    std::lock_guard lock(mutex_);
    task = task_;
  }
  if (task) task->cancel();
}

std::vector<std::string> AutocompleteOperation::completions() const {
  std::lock_guard lock(mutex_);
  return completions_;
}

}  // namespace Vexelworks
