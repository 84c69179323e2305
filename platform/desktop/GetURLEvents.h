// GetURLEventManager: the one place where "open this URL in the application" arrives, whatever
// brought it (the program's own command line, a second launch handing its URL over). The URL
// handler of the application registers here once at start-up.
//
// Events that arrive before a handler is registered are kept, in order, and delivered when one
// is; the desktop may start the program with a URL long before the application is ready for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vx {

class GetURLEventManager {
 public:
  // The handler receives the URL text as it arrived (not parsed or checked: that is its job).
  using Handler = std::function<void(const std::string& urlText)>;
  // Events kept while no handler is registered; beyond this the newest are dropped (with a line
  // on standard error), so a flood cannot grow memory without bound.
  static constexpr std::size_t kMaxPendingEvents = 256;

  static GetURLEventManager& shared();

  // Registers the handler, replacing any earlier one. Kept events go to it on the main queue.
  // Returns the registration's number, for removeEventHandler(number).
  std::uint64_t setEventHandler(Handler handler);
  void removeEventHandler();
  // Removes the handler only while it is the one registered under `registration`, so an owner
  // that goes away never removes its successor's handler.
  void removeEventHandler(std::uint64_t registration);
  bool hasEventHandler() const;

  // From any thread: the text reaches the handler on the main queue (vx::DispatchQueue::main()),
  // one event per turn, in the order posted; kept until a handler is registered.
  void postGetURLEvent(std::string urlText);

  // Events posted but not delivered yet.
  std::size_t pendingCount() const;
  // Forgets the kept events (tests).
  void discardPendingEvents();

 private:
  GetURLEventManager() = default;
  void deliverOne();

  mutable std::mutex mutex_;
  std::shared_ptr<Handler> handler_;
  std::uint64_t registration_ = 0;
  std::deque<std::string> pending_;
};

}  // namespace vx
