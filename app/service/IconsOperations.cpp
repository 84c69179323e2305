#include "app/service/IconsOperations.h"

#include "app/service/Helpers.h"
#include "app/service/Logger.h"

#include <cstdio>

namespace Vexelworks {

std::vector<IconPtr> parseIcons(const nlohmann::json& list) {
  std::vector<IconPtr> icons;
  for (const auto& element : list) {
    if (auto icon = Icon::make(element)) {
      icons.push_back(std::move(icon));
    } else {
      VX_LOG("DEBUG", "Failed to load icon " + element.dump());
    }
  }
  return icons;
}

vx::URLRequest BaseIconsOperation::makeRequest() const { vx::fatalError("Subsclasses must override makeRequest"); }

std::optional<std::vector<IconPtr>> BaseIconsOperation::iconsIn(const nlohmann::json& reply, const char* member) {
  auto it = reply.find(member);
  if (it == reply.end() || !it->is_array()) return std::nullopt;
  for (const auto& element : *it) {
    if (!element.is_object()) return std::nullopt;
  }
  return parseIcons(*it);
}

std::optional<std::vector<IconPtr>> BaseIconsOperation::parseResponse(const nlohmann::json& reply) {
  return iconsIn(reply, "icons");
}

void BaseIconsOperation::start() {
  if (isCancelled()) {
    finishCancelled();
    return;
  }
  setExecuting(true);
  auto self = std::static_pointer_cast<BaseIconsOperation>(shared_from_this());
  task_ = api_->session()->dataTask(makeRequest(),
                                    [self](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse> response,
                                           std::optional<vx::Error> error) {
                                      self->complete(std::move(data), std::move(response), std::move(error));
                                    });
  task_->resume();
}

void BaseIconsOperation::complete(std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse> response,
                                  std::optional<vx::Error> error) {
  std::optional<std::vector<IconPtr>> icons;
  std::int64_t total = 0;
  if (!error && response && response->statusCode == 200) {
    VX_LOG("DEBUG", "[" + std::to_string(response->statusCode) + "] " + response->url);
    APIClient::syncClock(*response);
    auto json = decodeJSON(data);
    if (!json || !json->is_object()) {
      VX_LOG("WARN", "Error parsing response");
    } else {
      icons = parseResponse(*json);
      if (auto it = json->find("total"); it != json->end() && it->is_number_integer()) {
        total = it->get<std::int64_t>();
      }
    }
  } else {
    std::string text = response ? "<HTTP " + std::to_string(response->statusCode) + " " + response->url + ">"
                                : std::string("(no response)");
    std::printf("Error loading icons %s\n", text.c_str());
    std::fflush(stdout);
  }
  if (queryCompletionBlock_) queryCompletionBlock_(std::move(icons), total, std::move(error));
  setExecuting(false);
  setFinished(true);
}

vx::URLRequest FreeIconsOperation::makeRequest() const {
  return api_->signedRequest("GET", "/macos/icons", TDOAuthParameters{{"page", page_}});
}

vx::URLRequest RecentIconsOperation::makeRequest() const {
  return api_->signedRequest("GET", "/icons/recent_uploads", TDOAuthParameters{{"page", page_}});
}

std::optional<std::vector<IconPtr>> RecentIconsOperation::parseResponse(const nlohmann::json& reply) {
  return iconsIn(reply, "recent_uploads");
}

vx::URLRequest SearchOperation::makeRequest() const {
  return api_->signedRequest("GET", "/macos/search/icons", TDOAuthParameters{{"page", page_}, {"query", query_}});
}

vx::URLRequest CollectionIconsOperation::makeRequest() const {
  return api_->signedRequest("GET", "/macos/collection/" + collectionID_ + "/icons",
                             TDOAuthParameters{{"page", page_}});
}

vx::URLRequest CreatorIconsOperation::makeRequest() const {
  return api_->signedRequest("GET", "/macos/creator/" + creatorID_ + "/icons", TDOAuthParameters{{"page", page_}});
}

vx::URLRequest RelatedIconsOperation::makeRequest() const {
  return api_->signedRequest("GET", "/icon/" + std::to_string(iconID_) + "/more-like-this",
                             TDOAuthParameters{{"limit", kLimit}});
}

std::optional<std::vector<IconPtr>> RelatedIconsOperation::parseResponse(const nlohmann::json& reply) {
  if (auto it = reply.find("collection"); it != reply.end() && it->is_object()) {
    std::lock_guard lock(mutex_);
    collection_ = Collection::make(*it);
  }
  return iconsIn(reply, "icons");
}

std::shared_ptr<const Collection> RelatedIconsOperation::collection() const {
  std::lock_guard lock(mutex_);
  return collection_;
}

}  // namespace Vexelworks
