// The default telemetry ingestion with the machine's real reachability watcher (no fake): logs
// leave the machine when the network is up, and a sender that starts without a default route
// holds its calls and sends them once a route appears.
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"

#include "telemetry/ingestion/IngestionTestSupport.h"
#include "platform/foundation/UUID.h"
#include "platform/net/ReachabilityLinux.h"
#include "tools/devservice/DevService.h"
#include "support/FakeNetworkFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using vx::devservice::DevService;

namespace {

constexpr const char* kAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

TEST(MSIngestionWithSystemReachability, SendsThroughTheMachinesNetwork) {
  DevService service;
  ASSERT_TRUE(service.start().ok());
  const std::string installId = vx::UUID::make().uuidString();
  SendRecorder recorder;
  auto ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), installId);
  ingestion->setAppSecret(kAppSecret);
  ASSERT_NE(dynamic_cast<vx::LinuxReachability*>(ingestion->reachability().get()), nullptr)
      << "the system watcher, not a fake";
  // This machine has a default route on an interface that is up.
  EXPECT_NE(ingestion->reachability()->currentStatus(), vx::NetworkStatus::notReachable);
  EXPECT_FALSE(ingestion->isPaused());

  ingestion->sendAsync(makeContainer("real-network-batch"), std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(recorder.results().at(0).response), 200);
  const auto requests = service.requests("/logs");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Install-ID"), installId);
  EXPECT_EQ(nlohmann::json::parse(requests[0].body)["logs"][0]["type"], "testEvent");
}

// A /proc and /sys holding what the kernel shows for a wired link that is up, with the default
// route switched on and off by rewriting the route table.
class RouteFixture : public vx::test::FakeNetworkFiles {
 public:
  RouteFixture() : FakeNetworkFiles("vx-ingestion-route") {
    addInterface("eth0", "0x1003", "up", "1");
    write("proc/net/ipv6_route", "");
    setDefaultRoute(false);
  }
  void setDefaultRoute(bool present) {
    std::string rows = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    if (present) rows += "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    setRoutes(rows);
  }
  // The files change, not the kernel's tables.
  vx::LinuxReachability::LinuxOptions options() const { return FakeNetworkFiles::options(false); }
};

TEST(MSIngestionWithSystemReachability, WaitsForADefaultRouteThenSends) {
  DevService service;
  ASSERT_TRUE(service.start().ok());
  RouteFixture routes;
  vx::Reachability::Options reachabilityOptions;
  reachabilityOptions.notificationName = kMSReachabilityChangedNotification;
  auto reachability = vx::LinuxReachability::make(reachabilityOptions, routes.options());
  SendRecorder recorder;
  auto ingestion =
      MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), vx::UUID::make().uuidString(), reachability);
  ingestion->setAppSecret(kAppSecret);
  auto delegate = std::make_shared<RecordingIngestionDelegate>();
  ingestion->addDelegate(delegate);

  EXPECT_TRUE(ingestion->isPaused()) << "no default route at start";
  ingestion->sendAsync(makeContainer("held-batch"), std::nullopt, recorder.handler());
  ASSERT_EQ(ingestion->pendingCalls().size(), 1u);
  EXPECT_FALSE(ingestion->pendingCalls().begin()->second->submitted);
  EXPECT_EQ(recorder.count(), 0u);

  routes.setDefaultRoute(true);
  ASSERT_TRUE(recorder.waitFor(1)) << "resumed and sent once the route appeared";
  EXPECT_FALSE(ingestion->isPaused());
  EXPECT_GE(delegate->resumed.load(), 1);
  EXPECT_EQ(vx::statusCodeOf(recorder.results().at(0).response), 200);
  EXPECT_EQ(recorder.results().at(0).callId, "held-batch");
  EXPECT_EQ(service.requests("/logs").size(), 1u);

  // Losing the route again pauses it.
  routes.setDefaultRoute(false);
  ASSERT_TRUE(waitUntil([&] { return ingestion->isPaused(); }));
  EXPECT_GE(delegate->paused.load(), 1);
}

}  // namespace
