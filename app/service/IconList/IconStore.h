// IconStore: the search window's entry in the action-handler list. It keeps its API client in
// step with the access token, fetches search-completion suggestions one request at a time (a
// new request cancels the older ones) and records icon usage; subscribers hear of loaded
// completions on the main queue.
#pragma once

#include "app/service/APIClient.h"
#include "app/service/Action.h"

#include "platform/foundation/Operation.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace Vexelworks {

namespace IconStoreChanges {
// The suggestions of one completion request, possibly empty (a cancelled or failed request),
// with the text they were asked for, so a receiver can drop replies to text typed earlier.
struct LoadedCompletions {
  std::vector<std::string> completions;
  std::string query;
};
}  // namespace IconStoreChanges

using IconStoreChange = std::variant<IconStoreChanges::LoadedCompletions>;

class IconStore : public std::enable_shared_from_this<IconStore> {
 public:
  using Handler = std::function<void(const IconStoreChange&)>;

  // `api` may be null (no token yet): completions then arrive empty until changeAccessToken.
  static std::shared_ptr<IconStore> make(std::shared_ptr<APIClient> api);

  // Subscribers, in the order added; they are never removed.
  void addHandler(Handler handler);
  std::size_t handlerCount() const;

  // The store's action handler:
  //   changeAccessToken  a new API client for the token (lists made earlier keep theirs); the
  //                      replacement happens on the main queue, so it never races a reader
  //   loadCompletions    loadCompletions(query)
  //   recordIconUsage    the usage request through the current client
  //   others             nothing
  void handle(const Action& action);

  // Cancels every completion request still queued or running, then queues one for the query.
  // Every request, cancelled ones too, ends in exactly one loadedCompletions: a cancelled or
  // failed one with no suggestions, so only the newest text's suggestions arrive.
  void loadCompletions(std::string query);

  // One block per subscriber on the main queue, in subscription order.
  void notify(const IconStoreChange& change);

  std::shared_ptr<APIClient> api() const;
  vx::OperationQueue& autocompleteQueue() { return autocompleteQueue_; }

 private:
  explicit IconStore(std::shared_ptr<APIClient> api);
  void setAPI(std::shared_ptr<APIClient> api);

  mutable std::mutex mutex_;
  std::vector<Handler> handlers_;
  std::shared_ptr<APIClient> api_;
  vx::OperationQueue autocompleteQueue_;
};

}  // namespace Vexelworks
