// Actions: the application-wide commands, and the one process-wide list of handlers that
// receive every dispatched action. Views and controllers express intent as an Action; the
// stores act on the cases they own and ignore the rest.
//
// Dispatch is synchronous on the sender's thread: every handler, in registration order, has
// returned before dispatch() does. The list may be appended to while another thread (or a
// handler itself) dispatches: a dispatch walks the handlers registered when it began, and calls
// them without holding any lock, so a handler may dispatch or register in turn. Nothing is
// ever removed; a handler keeps what it captures alive for the rest of the process.
#pragma once

#include "app/service/Color.h"
#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/VexelUser.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace Vexelworks {

namespace Actions {
// The sign-in store's new token pair after a token exchange (sent off the main thread).
struct ChangeAccessToken {
  AccessToken token;
};
// The one-time application token taken from the sign-in URL.
struct LogIn {
  std::string token;
};
// The text typed in the search field.
struct LoadCompletions {
  std::string query;
};
// An icon was exported or copied with this type and colour.
struct RecordIconUsage {
  std::shared_ptr<const Icon> icon;
  PasteboardType type;
  Color color;
};
struct LogOut {};
struct RefreshUser {};
}  // namespace Actions

using Action = std::variant<Actions::ChangeAccessToken, Actions::LogIn, Actions::LoadCompletions,
                            Actions::RecordIconUsage, Actions::LogOut, Actions::RefreshUser>;

using ActionHandler = std::function<void(const Action&)>;

class ActionHandlerList {
 public:
  ActionHandlerList();

  // Adds a handler at the end. Registering the same closure twice makes it run twice.
  void append(ActionHandler handler);
  // Calls every handler registered so far with the action, first to last, on this thread.
  void dispatch(const Action& action) const;
  std::size_t size() const;

 private:
  using Handlers = std::vector<std::shared_ptr<const ActionHandler>>;
  mutable std::mutex mutex_;
  // Copied on write, so a dispatch keeps walking the list it started with.
  std::shared_ptr<const Handlers> handlers_;
};

// The process-wide list.
ActionHandlerList& actionHandlers();

// Sends the action to the process-wide list.
inline void dispatch(const Action& action) { actionHandlers().dispatch(action); }

}  // namespace Vexelworks
