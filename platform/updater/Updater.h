// The software-update checker's small surface. There is no update framework on Linux: the
// checker keeps its two settings in the standard user defaults and "checking" opens the download
// page, where the user gets the current build (the distribution's package manager or the
// project's download, whichever they installed from).
#pragma once

#include "platform/foundation/URL.h"

#include <functional>

namespace vx {

class SUUpdater {
 public:
  // Settings keys in the standard user defaults.
  static constexpr const char* kSendsSystemProfileKey = "SUSendsSystemProfile";
  static constexpr const char* kAutomaticallyChecksKey = "SUAutomaticallyChecksForUpdates";

  // `downloadPage` is what a check opens; `opener` opens it (the desktop's browser in the
  // application, a recorder in tests).
  using Opener = std::function<void(const URL&)>;
  SUUpdater(URL downloadPage, Opener opener);

  // Whether a check may send the anonymous system profile. Nothing is sent on Linux: the setting
  // is kept so the preferences and a later real updater read what the user chose.
  bool sendsSystemProfile() const;
  void setSendsSystemProfile(bool sends);

  // Whether the application checks at launch by itself (default true).
  bool automaticallyChecksForUpdates() const;
  void setAutomaticallyChecksForUpdates(bool checks);

  // A check started by the user: opens the download page. `sender` is ignored.
  void checkForUpdates(const void* sender = nullptr);

  // The number of checks run in this process.
  int checksRun() const { return checks_; }

 private:
  URL downloadPage_;
  Opener opener_;
  int checks_ = 0;
};

}  // namespace vx
