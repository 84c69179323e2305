#include "app/service/Auth/URLHandler.h"

#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/Bundle.h"

namespace Vexelworks {

std::shared_ptr<URLHandler> URLHandler::make(std::shared_ptr<URLHandlerDelegate> delegate) {
  std::shared_ptr<URLHandler> handler(new URLHandler(std::move(delegate)));
  std::weak_ptr<URLHandler> weak = handler;
  handler->registration_ = vx::GetURLEventManager::shared().setEventHandler([weak](const std::string& text) {
    if (auto strong = weak.lock()) strong->handleGetURLEvent(text);
  });
  return handler;
}

URLHandler::~URLHandler() {
  // Events that come later wait for the next handler instead of reaching a dead one.
  vx::GetURLEventManager::shared().removeEventHandler(registration_);
}

void URLHandler::handleGetURLEvent(const std::optional<std::string>& urlText) {
  if (!urlText || urlText->empty()) return;
  auto url = vx::URL::parse(*urlText);
  if (!url || !url->isAbsolute()) return;
  if (delegate_) delegate_->handleURL(*url);
}

vx::Result<vx::DesktopEntryInstallation> installURLSchemeHandler() {
  auto& bundle = vx::Bundle::main();
  vx::DesktopEntry entry;
  entry.fileId = bundle.bundleIdentifier();
  entry.name = bundle.displayName().empty() ? bundle.bundleIdentifier() : bundle.displayName();
  entry.comment = "Icons from the Vexelworks library";
  entry.executable = bundle.executablePath();
  entry.schemes = {kURLScheme};
  return vx::installDesktopEntry(entry);
}

vx::Result<vx::URLHandOff> handOffLaunchURLs(int argc, const char* const* argv) {
  vx::SingleInstance::Options options;
  options.name = vx::Bundle::main().bundleIdentifier();
  return vx::handOffURLsOrListen(options, vx::urlArguments(argc, argv, {kURLScheme}));
}

}  // namespace Vexelworks
