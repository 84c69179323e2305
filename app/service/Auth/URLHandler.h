// URLHandler: receives the URLs opened in the application (a sign-in link the browser follows,
// "vexelworks://login/<one-time token>") and hands each valid one to its delegate, the
// application delegate. URLs arrive as get-URL events (platform/desktop/GetURLEvents.h): from
// the program's own command line or handed over by a later launch (SingleInstance.h).
#pragma once

#include "platform/desktop/DesktopEntry.h"
#include "platform/desktop/SingleInstance.h"
#include "platform/foundation/URL.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Vexelworks {

// The application's URL scheme, declared by its desktop entry.
inline constexpr const char* kURLScheme = "vexelworks";

class URLHandlerDelegate {
 public:
  virtual ~URLHandlerDelegate() = default;
  // Called on the main thread with a parsed, absolute URL.
  virtual void handleURL(const vx::URL& url) = 0;
};

class URLHandler : public std::enable_shared_from_this<URLHandler> {
 public:
  // Keeps the delegate and registers as the process's get-URL event handler (replacing any
  // earlier one). The registration holds the handler weakly: it ends with the handler.
  static std::shared_ptr<URLHandler> make(std::shared_ptr<URLHandlerDelegate> delegate);
  ~URLHandler();
  URLHandler(const URLHandler&) = delete;
  URLHandler& operator=(const URLHandler&) = delete;

  const std::shared_ptr<URLHandlerDelegate>& delegate() const { return delegate_; }

  // One get-URL event: the delegate gets the URL when the text is present and parses as an
  // absolute URL; anything else is ignored. Runs on the main thread.
  void handleGetURLEvent(const std::optional<std::string>& urlText);

 private:
  explicit URLHandler(std::shared_ptr<URLHandlerDelegate> delegate) : delegate_(std::move(delegate)) {}
  std::shared_ptr<URLHandlerDelegate> delegate_;
  std::uint64_t registration_ = 0;
};

// The application's desktop entry: the main bundle's identifier as file id, its display name,
// the running executable, and kURLScheme; installed for the user and made the scheme's default
// handler (platform/desktop/DesktopEntry.h). Called once at start-up.
vx::Result<vx::DesktopEntryInstallation> installURLSchemeHandler();

// What main() calls first with its arguments: the kURLScheme URLs among them go to the running
// instance (the outcome is handedOff: exit), or this process becomes the running instance and
// they are posted as get-URL events for the URLHandler (platform/desktop/SingleInstance.h). The
// instance is named after the main bundle's identifier.
vx::Result<vx::URLHandOff> handOffLaunchURLs(int argc, const char* const* argv);

}  // namespace Vexelworks
