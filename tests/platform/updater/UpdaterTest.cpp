// The update checker keeps its settings across instances (the same user defaults file) and a
// check opens the download page it was given.
#include "platform/updater/Updater.h"

#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

URL downloadPage() { return *URL::parse("http://127.0.0.1:9/for-mac/download/"); }

TEST(UpdaterTest, SettingsHaveDefaultsAndPersist) {
  UserDefaults::standard().removeObject(SUUpdater::kSendsSystemProfileKey);
  UserDefaults::standard().removeObject(SUUpdater::kAutomaticallyChecksKey);
  {
    SUUpdater updater(downloadPage(), {});
    EXPECT_FALSE(updater.sendsSystemProfile());
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());
    updater.setSendsSystemProfile(true);
    updater.setAutomaticallyChecksForUpdates(false);
  }
  SUUpdater again(downloadPage(), {});
  EXPECT_TRUE(again.sendsSystemProfile());
  EXPECT_FALSE(again.automaticallyChecksForUpdates());
  // Written to the suite's file, not only kept in memory.
  auto reread = UserDefaults::make(UserDefaults::standard().suiteName());
  ASSERT_NE(reread, nullptr);
  EXPECT_TRUE(reread->boolForKey(SUUpdater::kSendsSystemProfileKey, false));
}

TEST(UpdaterTest, CheckOpensTheDownloadPage) {
  std::vector<std::string> opened;
  SUUpdater updater(downloadPage(), [&](const URL& url) { opened.push_back(url.string()); });
  updater.checkForUpdates();
  updater.checkForUpdates(&updater);
  EXPECT_EQ(updater.checksRun(), 2);
  EXPECT_EQ(opened,
            (std::vector<std::string>{"http://127.0.0.1:9/for-mac/download/", "http://127.0.0.1:9/for-mac/download/"}));
}

}  // namespace
}  // namespace vx
