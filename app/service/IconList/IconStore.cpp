#include "app/service/IconList/IconStore.h"

#include "app/service/Helpers.h"
#include "app/service/ServiceConfig.h"

#include "platform/foundation/DispatchQueue.h"

namespace Vexelworks {

IconStore::IconStore(std::shared_ptr<APIClient> api)
    : api_(std::move(api)), autocompleteQueue_("IconStore.autocomplete") {
  autocompleteQueue_.setMaxConcurrentOperationCount(1);
}

std::shared_ptr<IconStore> IconStore::make(std::shared_ptr<APIClient> api) {
  return std::shared_ptr<IconStore>(new IconStore(std::move(api)));
}

void IconStore::addHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

std::size_t IconStore::handlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

std::shared_ptr<APIClient> IconStore::api() const {
  std::lock_guard lock(mutex_);
  return api_;
}

void IconStore::setAPI(std::shared_ptr<APIClient> api) {
  std::lock_guard lock(mutex_);
  api_ = std::move(api);
}

void IconStore::handle(const Action& action) {
  if (const auto* change = std::get_if<Actions::ChangeAccessToken>(&action)) {
    auto client = APIClient::make(apiBaseURL(), change->token);
    if (vx::DispatchQueue::isMainThread()) {
      setAPI(std::move(client));
    } else {
      std::weak_ptr<IconStore> weak = weak_from_this();
      runOnMain([weak, client = std::move(client)]() mutable {
        if (auto self = weak.lock()) self->setAPI(std::move(client));
      });
    }
  } else if (const auto* completions = std::get_if<Actions::LoadCompletions>(&action)) {
    loadCompletions(completions->query);
  } else if (const auto* usage = std::get_if<Actions::RecordIconUsage>(&action)) {
    if (auto client = api(); client && usage->icon) {
      client->recordIconUsage(*usage->icon, usage->type, usage->color);
    }
  }
}

void IconStore::loadCompletions(std::string query) {
  autocompleteQueue_.cancelAllOperations();
  auto client = api();
  if (!client) {
    // No client, no request: the answer is still exactly one (empty) delivery.
    notify(IconStoreChanges::LoadedCompletions{{}, std::move(query)});
    return;
  }
  auto operation = std::make_shared<AutocompleteOperation>(std::move(client), std::move(query));
  std::weak_ptr<IconStore> weak = weak_from_this();
  // The block holds the operation until it has run (the operation lets go of the block when it
  // finishes), so its completions are still there to read.
  operation->setCompletionBlock([weak, operation] {
    if (auto self = weak.lock()) {
      self->notify(IconStoreChanges::LoadedCompletions{operation->completions(), operation->query()});
    }
  });
  autocompleteQueue_.addOperation(operation);
}

void IconStore::notify(const IconStoreChange& change) {
  std::vector<Handler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_;
  }
  for (auto& handler : handlers) {
    runOnMain([handler = std::move(handler), change] { handler(change); });
  }
}

}  // namespace Vexelworks
