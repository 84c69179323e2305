#include "platform/foundation/Bundle.h"

#include "platform/foundation/BundleConstants.h"

#include <gtest/gtest.h>

#include <thread>

namespace vx {
namespace {

TEST(BundleTest, FactsComeFromTheGeneratedConstants) {
  auto& bundle = Bundle::main();
  EXPECT_EQ(&bundle, &Bundle::main());
  EXPECT_EQ(bundle.bundleIdentifier(), VX_BUNDLE_IDENTIFIER);
  EXPECT_EQ(bundle.displayName(), VX_BUNDLE_NAME);
  EXPECT_EQ(bundle.shortVersion(), VX_BUNDLE_VERSION);
  EXPECT_EQ(bundle.buildNumber(), VX_BUNDLE_BUILD);
  EXPECT_FALSE(bundle.bundleIdentifier().empty());
  const auto info = bundle.infoDictionary();
  EXPECT_EQ(*info.find("CFBundleIdentifier"), Value(VX_BUNDLE_IDENTIFIER));
  EXPECT_EQ(*info.find("CFBundleVersion"), Value(VX_BUNDLE_BUILD));
  EXPECT_EQ(*info.find("CFBundleShortVersionString"), Value(VX_BUNDLE_VERSION));
  EXPECT_EQ(*info.find("CFBundleName"), Value(VX_BUNDLE_NAME));
  EXPECT_EQ(*info.find("CFBundleExecutable"), Value("foundation_BundleTest"));
  EXPECT_EQ(bundle.executablePath().filename(), "foundation_BundleTest");
  EXPECT_EQ(bundle.bundlePath(), bundle.executablePath().parent_path());
}

TEST(BundleTest, InfoValuesCanBeOverriddenAndReset) {
  auto& bundle = Bundle::main();
  EXPECT_FALSE(bundle.boolForInfoDictionaryKey("VXFeatureSwitch"));
  EXPECT_TRUE(bundle.objectForInfoDictionaryKey("VXFeatureSwitch").isNull());
  bundle.setInfoValue("VXFeatureSwitch", true);
  EXPECT_TRUE(bundle.boolForInfoDictionaryKey("VXFeatureSwitch"));
  bundle.setInfoValue("VXNotABool", 1);
  EXPECT_TRUE(bundle.boolForInfoDictionaryKey("VXNotABool", true));
  EXPECT_FALSE(bundle.boolForInfoDictionaryKey("VXNotABool", false));
  bundle.setInfoValue("CFBundleVersion", "4711");
  EXPECT_EQ(bundle.buildNumber(), "4711");
  bundle.setInfoValue("CFBundleDisplayName", Value());  // removed: the name stands in
  EXPECT_EQ(bundle.displayName(), VX_BUNDLE_NAME);
  bundle.setInfoValue("CFBundleName", 5);
  EXPECT_EQ(bundle.displayName(), "");
  bundle.resetInfoDictionary();
  EXPECT_EQ(bundle.buildNumber(), VX_BUNDLE_BUILD);
  EXPECT_EQ(bundle.displayName(), VX_BUNDLE_NAME);
  EXPECT_TRUE(bundle.objectForInfoDictionaryKey("VXFeatureSwitch").isNull());
}

TEST(BundleTest, OverridesAreSafeWhileOtherThreadsRead) {
  auto& bundle = Bundle::main();
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) bundle.setInfoValue("VXCounter", i);
  });
  for (int i = 0; i < 2000; ++i) {
    const auto value = bundle.objectForInfoDictionaryKey("VXCounter");
    EXPECT_TRUE(value.isNull() || value.isInteger());
    EXPECT_EQ(bundle.bundleIdentifier(), VX_BUNDLE_IDENTIFIER);
  }
  writer.join();
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("VXCounter"), Value(1999));
  bundle.resetInfoDictionary();
}

}  // namespace
}  // namespace vx
