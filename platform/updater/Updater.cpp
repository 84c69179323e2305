#include "platform/updater/Updater.h"

#include "platform/foundation/UserDefaults.h"

namespace vx {

SUUpdater::SUUpdater(URL downloadPage, Opener opener)
    : downloadPage_(std::move(downloadPage)), opener_(std::move(opener)) {}

bool SUUpdater::sendsSystemProfile() const {
  return UserDefaults::standard().boolForKey(kSendsSystemProfileKey, false);
}

void SUUpdater::setSendsSystemProfile(bool sends) { UserDefaults::standard().setBool(sends, kSendsSystemProfileKey); }

bool SUUpdater::automaticallyChecksForUpdates() const {
  return UserDefaults::standard().boolForKey(kAutomaticallyChecksKey, true);
}

void SUUpdater::setAutomaticallyChecksForUpdates(bool checks) {
  UserDefaults::standard().setBool(checks, kAutomaticallyChecksKey);
}

void SUUpdater::checkForUpdates(const void* /*sender*/) {
  ++checks_;
  if (opener_) opener_(downloadPage_);
}

}  // namespace vx
