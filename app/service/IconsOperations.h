// The six paged icon requests of the service API (starter set, recent uploads, search,
// collection, creator, related icons). Each is an asynchronous operation: the subclass names
// the request and where the icons sit in the reply; the base sends it, accepts only status 200,
// turns the reply into Icon records and hands the page to its completion.
#pragma once

#include "app/service/APIClient.h"
#include "app/service/AsyncOperation.h"
#include "app/service/Icon.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Vexelworks {

using IconPtr = std::shared_ptr<const Icon>;

// The icons that could be built from the list, in reply order; the others are skipped with a
// DEBUG line. An empty list gives an empty (not absent) result.
std::vector<IconPtr> parseIcons(const nlohmann::json& list);

class BaseIconsOperation : public AsyncOperation {
 public:
  // (icons or none when the page failed, the total or 0, the session's error or none)
  using QueryCompletion = std::function<void(std::optional<std::vector<IconPtr>> icons, std::int64_t total,
                                             std::optional<vx::Error> error)>;

  BaseIconsOperation(std::shared_ptr<APIClient> api, std::int64_t page) : api_(std::move(api)), page_(page) {}

  // The signed request. Every subclass overrides it; the base stops the program.
  virtual vx::URLRequest makeRequest() const;
  // The icons of a decoded reply, or none when the member is missing or not a list of objects.
  virtual std::optional<std::vector<IconPtr>> parseResponse(const nlohmann::json& reply);

  void start() override;

  void setQueryCompletionBlock(QueryCompletion block) { queryCompletionBlock_ = std::move(block); }
  std::int64_t page() const { return page_; }
  const std::shared_ptr<APIClient>& api() const { return api_; }

 protected:
  // The icons in `member` of the reply, or none when it is not a list of objects.
  static std::optional<std::vector<IconPtr>> iconsIn(const nlohmann::json& reply, const char* member);
  std::shared_ptr<APIClient> api_;
  std::int64_t page_;

 private:
  void complete(std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse> response,
                std::optional<vx::Error> error);
  QueryCompletion queryCompletionBlock_;
  std::shared_ptr<vx::URLSessionDataTask> task_;
};

class FreeIconsOperation : public BaseIconsOperation {
 public:
  using BaseIconsOperation::BaseIconsOperation;
  vx::URLRequest makeRequest() const override;
};

class RecentIconsOperation : public BaseIconsOperation {
 public:
  using BaseIconsOperation::BaseIconsOperation;
  vx::URLRequest makeRequest() const override;
  std::optional<std::vector<IconPtr>> parseResponse(const nlohmann::json& reply) override;
};

class SearchOperation : public BaseIconsOperation {
 public:
  SearchOperation(std::shared_ptr<APIClient> api, std::int64_t page, std::string query)
      : BaseIconsOperation(std::move(api), page), query_(std::move(query)) {}
  vx::URLRequest makeRequest() const override;
  const std::string& query() const { return query_; }

 private:
  std::string query_;
};

class CollectionIconsOperation : public BaseIconsOperation {
 public:
  CollectionIconsOperation(std::shared_ptr<APIClient> api, std::int64_t page, std::string collectionID)
      : BaseIconsOperation(std::move(api), page), collectionID_(std::move(collectionID)) {}
  vx::URLRequest makeRequest() const override;

 private:
  std::string collectionID_;
};

class CreatorIconsOperation : public BaseIconsOperation {
 public:
  CreatorIconsOperation(std::shared_ptr<APIClient> api, std::int64_t page, std::string creatorID)
      : BaseIconsOperation(std::move(api), page), creatorID_(std::move(creatorID)) {}
  vx::URLRequest makeRequest() const override;

 private:
  std::string creatorID_;
};

class RelatedIconsOperation : public BaseIconsOperation {
 public:
  static constexpr std::int64_t kLimit = 7;
  RelatedIconsOperation(std::shared_ptr<APIClient> api, std::int64_t iconID)
      : BaseIconsOperation(std::move(api), 0), iconID_(iconID) {}
  vx::URLRequest makeRequest() const override;
  // Takes the reply's "collection" first, then the icons.
  std::optional<std::vector<IconPtr>> parseResponse(const nlohmann::json& reply) override;

  std::int64_t limit() const { return kLimit; }
  std::shared_ptr<const Collection> collection() const;

 private:
  std::int64_t iconID_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Collection> collection_;
};

}  // namespace Vexelworks
