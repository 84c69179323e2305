#include "reporting/error-client/PloverEvent.h"

#include "platform/foundation/HostInfo.h"
#include "reporting/crash-recorder/PloverCrash.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

nlohmann::json toJson(const vx::ValueMap& map) { return vx::Value(map).toJson(); }

TEST(PloverEventTest, SerializesTheBasics) {
  PloverEvent event(1);
  event.message = "it broke";
  const auto json = toJson(event.serialize());
  EXPECT_EQ(json["level"], "error");
  EXPECT_EQ(json["platform"], "cocoa");
  EXPECT_EQ(json["message"], "it broke");
  EXPECT_TRUE(std::regex_match(json["event_id"].get<std::string>(), std::regex("[0-9a-f]{32}")));
  EXPECT_TRUE(
      std::regex_match(json["timestamp"].get<std::string>(), std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
  EXPECT_EQ(json["sdk"], (nlohmann::json{{"name", "plover-cocoa"}, {"version", "4.3.4"}}));
  EXPECT_FALSE(json.contains("threads"));
  EXPECT_FALSE(json.contains("exception"));
  EXPECT_FALSE(json.contains("debug_meta"));
  EXPECT_FALSE(json.contains("release"));
  // The running system, not a fixed platform name.
  EXPECT_EQ(json["contexts"]["os"]["name"], vx::HostInfo::osName());
  EXPECT_TRUE(json["contexts"].contains("app"));
  EXPECT_TRUE(json["contexts"].contains("device"));
  // Two events never share an id.
  EXPECT_NE(PloverEvent(1).eventId, PloverEvent(1).eventId);
}

TEST(PloverEventTest, ReleaseAndDistComeFromTheInfoDictionaryOnlyWhenBothAreUnset) {
  const vx::ValueMap info{
      {"CFBundleIdentifier", "com.example.app"}, {"CFBundleShortVersionString", "2.1"}, {"CFBundleVersion", "314"}};
  PloverEvent both(PloverSeverity::info);
  both.infoDict = info;
  auto json = toJson(both.serialize());
  EXPECT_EQ(json["release"], "com.example.app-2.1");
  EXPECT_EQ(json["dist"], "314");

  PloverEvent onlyDist(PloverSeverity::info);
  onlyDist.infoDict = info;
  onlyDist.dist = "9";
  json = toJson(onlyDist.serialize());
  EXPECT_FALSE(json.contains("release"));
  EXPECT_EQ(json["dist"], "9");
}

TEST(PloverEventTest, ExtraIsSanitisedAndCarriesTheTransaction) {
  PloverEvent event(PloverSeverity::warning);
  const auto date = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  event.extra = vx::ValueMap{
      {"__plover_transaction", "t"}, {"k", date}, {"nested", vx::ValueMap{{"__plover_x", 1}, {"when", date}}}};
  const auto json = toJson(event.serialize());
  EXPECT_EQ(json["transaction"], "t");
  EXPECT_EQ(json["extra"],
            (nlohmann::json{{"k", "2023-11-14T22:13:20Z"}, {"nested", {{"when", "2023-11-14T22:13:20Z"}}}}));
}

TEST(PloverEventTest, RecordsWriteTheirKeys) {
  PloverThread noId(std::nullopt);
  EXPECT_EQ(toJson(noId.serialize())["id"], 99);

  PloverStacktrace empty({}, {});
  EXPECT_EQ(toJson(empty.serialize()), (nlohmann::json{{"frames", nlohmann::json::array()}}));

  PloverUser user("u1");
  user.email = "a@b.example";
  EXPECT_EQ(toJson(user.serialize()), (nlohmann::json{{"id", "u1"}, {"email", "a@b.example"}}));

  PloverFrame frame;
  EXPECT_EQ(toJson(frame.serialize()), (nlohmann::json{{"function", "<redacted>"}}));

  PloverBreadcrumb crumb(PloverSeverity::info, "info");
  crumb.message = "signed in";
  const auto crumbJson = toJson(crumb.serialize());
  EXPECT_EQ(crumbJson["level"], "info");
  EXPECT_EQ(crumbJson["category"], "info");
  EXPECT_EQ(crumbJson["message"], "signed in");

  auto thread = std::make_shared<PloverThread>(7);
  thread->stacktrace =
      std::make_shared<PloverStacktrace>(std::vector<PloverFrame>{frame}, std::map<std::string, std::string>{});
  PloverException exception("bad", "Error");
  exception.thread = thread;
  exception.mechanism = std::make_shared<PloverMechanism>("signal");
  exception.userReported = true;
  const auto exceptionJson = toJson(exception.serialize());
  EXPECT_EQ(exceptionJson["thread_id"], 7);
  EXPECT_EQ(exceptionJson["mechanism"]["type"], "signal");
  EXPECT_FALSE(exceptionJson.contains("userReported"));
}

TEST(PloverEventTest, DuplicateFrameThroughTheLinkRegisterIsRemoved) {
  PloverFrame a, b, c;
  a.symbolAddress = "0x1";
  b.symbolAddress = "0x2";
  b.instructionAddress = "0x20";
  c.symbolAddress = "0x2";
  PloverStacktrace trace({a, b, c}, {{"lr", "0x20"}});
  trace.fixDuplicateFrames();
  ASSERT_EQ(trace.frames.size(), 2u);
  EXPECT_EQ(trace.frames[0].symbolAddress, "0x1");

  PloverStacktrace other({a, b, c}, {{"lr", "0x99"}});
  other.fixDuplicateFrames();
  EXPECT_EQ(other.frames.size(), 3u);
}

TEST(PloverEventTest, DeviceAndOsCarryTheRunningMachinesFacts) {
  PloverEvent event(1);
  const auto contexts = toJson(event.serialize())["contexts"];
  const auto& device = contexts["device"];
  EXPECT_EQ(device["memory_size"], vx::HostInfo::physicalMemory());
  EXPECT_GT(device["memory_size"].get<std::uint64_t>(), 0u);
  EXPECT_GT(device["free_memory"].get<std::uint64_t>(), 0u);
  EXPECT_GT(device["usable_memory"].get<std::uint64_t>(), 0u);
  EXPECT_LE(device["free_memory"].get<std::uint64_t>(), device["memory_size"].get<std::uint64_t>());
  ASSERT_TRUE(vx::HostInfo::storageSize().has_value());
  EXPECT_EQ(device["storage_size"], *vx::HostInfo::storageSize());
  EXPECT_EQ(device["arch"], vx::HostInfo::machine());
  // The model comes from DMI; a machine without it (many virtual machines) has no model key.
  if (const auto model = vx::HostInfo::model()) {
    EXPECT_EQ(device["model"], *model);
  } else {
    EXPECT_FALSE(device.contains("model"));
  }
  EXPECT_FALSE(device.contains("model_id"));
  ASSERT_TRUE(device.contains("boot_time"));
  EXPECT_TRUE(plover_fromIso8601String(device["boot_time"].get<std::string>()).has_value());
  const auto kernel = contexts["os"]["kernel_version"].get<std::string>();
  EXPECT_NE(kernel.find(vx::HostInfo::kernelRelease()), std::string::npos) << kernel;
}

TEST(PloverCrashTest, SystemInfoBeforeInstallHoldsOnlyZeroNumbers) {
  const auto first = PloverCrash::sharedInstance().systemInfo();
  const auto second = PloverCrash::sharedInstance().systemInfo();
  EXPECT_EQ(first, second);
  const std::vector<std::string> expected = {"isJailbroken",     "cpuType",    "cpuSubType",      "binaryCPUType",
                                             "binaryCPUSubType", "processID",  "parentProcessID", "storageSize",
                                             "memorySize",       "freeMemory", "usableMemory"};
  EXPECT_EQ(first.keys(), expected);
  for (const auto& [key, value] : first) {
    if (value.isBool()) {
      EXPECT_EQ(value.boolValue(), false) << key;
    } else {
      EXPECT_EQ(value.integerValue(), 0) << key;
    }
  }
}

}  // namespace
