#include "platform/net/Reachability.h"
#include "support/FakeReachability.h"
#include "support/FakeNetworkFiles.h"
#include "platform/net/ReachabilityLinux.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace vx {
namespace {

using namespace std::chrono_literals;

TEST(NetworkStatusForFlags, FollowsTheFlagRule) {
  struct Case {
    ReachabilityFlags flags;
    NetworkStatus expected;
  };
  const Case cases[] = {
      {0, NetworkStatus::notReachable},
      {kReachabilityConnectionRequired, NetworkStatus::notReachable},
      {kReachabilityReachable, NetworkStatus::reachableViaWiFi},
      {kReachabilityReachable | kReachabilityIsDirect, NetworkStatus::reachableViaWiFi},
      {kReachabilityReachable | kReachabilityConnectionRequired, NetworkStatus::notReachable},
      {kReachabilityReachable | kReachabilityConnectionRequired | kReachabilityConnectionOnDemand,
       NetworkStatus::reachableViaWiFi},
      {kReachabilityReachable | kReachabilityConnectionRequired | kReachabilityConnectionOnTraffic,
       NetworkStatus::reachableViaWiFi},
      {kReachabilityReachable | kReachabilityConnectionRequired | kReachabilityConnectionOnTraffic |
           kReachabilityInterventionRequired,
       NetworkStatus::notReachable},
      {kReachabilityReachable | kReachabilityIsWWAN, NetworkStatus::reachableViaWWAN},
      {kReachabilityIsWWAN, NetworkStatus::notReachable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(networkStatusForFlags(c.flags), c.expected) << std::hex << c.flags;
  }
  // The raw bit values other code relies on.
  EXPECT_EQ(kReachabilityReachable, 2u);
  EXPECT_EQ(kReachabilityConnectionRequired, 4u);
  EXPECT_EQ(kReachabilityConnectionOnTraffic, 8u);
  EXPECT_EQ(kReachabilityInterventionRequired, 0x10u);
  EXPECT_EQ(kReachabilityConnectionOnDemand, 0x20u);
}

TEST(FlagsForRouteState, NeedsAnUpDefaultRoute) {
  EXPECT_EQ(flagsForRouteState({}), 0u);
  EXPECT_EQ(flagsForRouteState({true, false, false, false}), 0u);
  EXPECT_EQ(flagsForRouteState({true, true, false, true}), 0u) << "loopback only";
  EXPECT_EQ(networkStatusForFlags(flagsForRouteState({true, true, false, false})), NetworkStatus::reachableViaWiFi);
  EXPECT_EQ(networkStatusForFlags(flagsForRouteState({true, true, true, false})), NetworkStatus::reachableViaWWAN);
}

constexpr const char* kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(RouteTables, FindsTheDefaultRoute) {
  const std::string table = std::string(kRouteHeader) +
                            "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                            "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                            "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
  EXPECT_EQ(ipv4DefaultRouteInterface(table), "eth0") << "lowest metric wins";
  EXPECT_FALSE(ipv4DefaultRouteInterface(std::string(kRouteHeader) +
                                         "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"));
  EXPECT_FALSE(ipv4DefaultRouteInterface(""));
  EXPECT_FALSE(ipv4DefaultRouteInterface("garbage\nmore garbage 1 2\n"));
  // A route that is not up does not count.
  EXPECT_FALSE(ipv4DefaultRouteInterface(std::string(kRouteHeader) +
                                         "eth0\t00000000\t0100A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"));

  const std::string zeros(32, '0');
  const std::string v6 = zeros + " 00 " + zeros + " 00 " + zeros + " ffffffff 00000001 00000000 00200200       lo\n" +
                         zeros + " 00 " + zeros +
                         " 00 fe800000000000000000000000000001 00000400 00000001 00000000 00450003 wwan0\n";
  EXPECT_EQ(ipv6DefaultRouteInterface(v6), "wwan0");
  EXPECT_FALSE(ipv6DefaultRouteInterface(zeros + " 00 " + zeros + " 00 " + zeros +
                                         " ffffffff 00000001 00000000 00200200       lo\n"));
}

TEST(InterfaceLinkState, ReadsTheStateSysfsReports) {
  struct Case {
    const char* flags;
    const char* operstate;
    const char* carrier;
    bool up;
    bool loopback;
  };
  // Values as sysfs holds them ("carrier" cannot be read while the interface is down: empty).
  const Case cases[] = {
      {"0x1003\n", "up\n", "1\n", true, false},        // wired, link up
      {"0x1003\n", "down\n", "0\n", false, false},     // up, cable out
      {"0x1003\n", "dormant\n", "1\n", false, false},  // Wi-Fi not yet associated
      {"0x1003\n", "lowerlayerdown\n", "0\n", false, false},
      {"0x1002\n", "down\n", "", false, false},    // administratively down
      {"0x82\n", "down\n", "", false, false},      // ifb, never brought up
      {"0x9\n", "unknown\n", "1\n", true, true},   // loopback
      {"0x10d1\n", "unknown\n", "", true, false},  // tunnel without link detection
      {"0x1003\n", "", "1\n", true, false},        // no operstate: carrier decides
      {"0x1003\n", "", "0\n", false, false},
      {"", "up\n", "1\n", false, false},  // flags unreadable
      {"0xzz\n", "up\n", "1\n", false, false},
      {"0x1043\n", "down\n", "0\n", false, false},  // a RUNNING bit alone decides nothing
  };
  for (const auto& c : cases) {
    const auto link = interfaceLinkState(c.flags, c.operstate, c.carrier);
    EXPECT_EQ(link.up, c.up) << c.flags << " " << c.operstate << " " << c.carrier;
    EXPECT_EQ(link.loopback, c.loopback) << c.flags;
  }
}

// This machine's interfaces: the sysfs reading agrees with the flags the kernel reports through
// SIOCGIFFLAGS, where IFF_RUNNING does show.
TEST(InterfaceLinkState, AgreesWithTheKernelsFlagsOnThisMachine) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= IFNAMSIZ) continue;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) continue;
    const auto read = [&](const char* file) {
      std::ifstream in(entry.path() / file);
      std::string text;
      std::getline(in, text);
      return text;
    };
    const auto link = interfaceLinkState(read("flags"), read("operstate"), read("carrier"));
    const bool running = (request.ifr_flags & IFF_UP) != 0 && (request.ifr_flags & IFF_RUNNING) != 0;
    EXPECT_EQ(link.up, running) << name << " flags " << std::hex << request.ifr_flags;
    EXPECT_EQ(link.loopback, (request.ifr_flags & IFF_LOOPBACK) != 0) << name;
    ++checked;
  }
  ::close(fd);
  EXPECT_GT(checked, 0) << "no interface could be read";
}

// A wired and a cellular link that are up (IFF_RUNNING never shows in sysfs), no default route.
class FakeSystem : public vx::test::FakeNetworkFiles {
 public:
  FakeSystem() : FakeNetworkFiles("vx-reach") {
    addInterface("eth0", "0x1003", "up", "1");
    addInterface("wwan0", "0x1091", "unknown", "1", "DEVTYPE=wwan\nINTERFACE=wwan0\n");
  }
  void setDefaultRoute(std::optional<std::string> iface) {
    setRoutes(iface ? *iface + "\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" : "");
  }
};

// Collects posted notifications.
struct Observed {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> statuses;
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return statuses.size() >= count; });
  }
};

TEST(LinuxReachability, PollingNoticesRouteChanges) {
  FakeSystem system;
  NotificationCenter center;
  Observed observed;
  Reachability::Options options;
  options.center = &center;
  auto reachability = LinuxReachability::make(options, system.options(false));
  auto token =
      center.addObserver(kReachabilityChangedNotification, reachability.get(), nullptr, [&](const Notification& n) {
        std::lock_guard lock(observed.mutex);
        observed.statuses.push_back(n.userInfo["status"].get<int>());
        observed.changed.notify_all();
      });
  EXPECT_EQ(reachability->currentStatus(), NetworkStatus::notReachable);
  ASSERT_TRUE(reachability->startNotifier());
  EXPECT_FALSE(reachability->usesNetlink());
  ASSERT_TRUE(observed.waitFor(1));  // posted at once on start

  system.setDefaultRoute("eth0");
  ASSERT_TRUE(observed.waitFor(2));
  system.setDefaultRoute("wwan0");
  ASSERT_TRUE(observed.waitFor(3));
  system.write("sys/class/net/wwan0/operstate", "down\n");  // link lost
  system.write("sys/class/net/wwan0/carrier", "0\n");
  ASSERT_TRUE(observed.waitFor(4));
  reachability->stopNotifier();
  system.setDefaultRoute("eth0");
  std::this_thread::sleep_for(100ms);
  center.removeObserver(token);

  std::lock_guard lock(observed.mutex);
  EXPECT_EQ(observed.statuses, (std::vector<int>{0, 1, 2, 0})) << "nothing after stop";
}

TEST(LinuxReachability, ObserverMayReleaseTheWatcherFromANotification) {
  FakeSystem system;
  NotificationCenter center;
  Reachability::Options options;
  options.center = &center;
  std::shared_ptr<LinuxReachability> reachability = LinuxReachability::make(options, system.options(false));
  std::weak_ptr<LinuxReachability> weak = reachability;
  std::mutex mutex;
  std::shared_ptr<LinuxReachability> held = reachability;
  int notifications = 0;
  auto token = center.addObserver(kReachabilityChangedNotification, nullptr, nullptr, [&](const Notification&) {
    std::shared_ptr<LinuxReachability> dropped;
    {
      std::lock_guard lock(mutex);
      if (++notifications == 2) dropped = std::move(held);
    }
    dropped.reset();  // the last reference, on the watcher thread
  });
  ASSERT_TRUE(reachability->startNotifier());
  reachability.reset();
  system.setDefaultRoute("eth0");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!weak.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(weak.expired());
  std::this_thread::sleep_for(60ms);  // the watcher thread ends without touching the object
  center.removeObserver(token);
  std::lock_guard lock(mutex);
  EXPECT_EQ(notifications, 2);
}

TEST(LinuxReachability, ObserverMayStopFromTheFirstNotification) {
  FakeSystem system;
  NotificationCenter center;
  Reachability::Options options;
  options.center = &center;
  auto reachability = LinuxReachability::make(options, system.options(false));
  int notifications = 0;
  auto token = center.addObserver(kReachabilityChangedNotification, nullptr, nullptr, [&](const Notification&) {
    ++notifications;
    reachability->stopNotifier();
  });
  ASSERT_TRUE(reachability->startNotifier());
  system.setDefaultRoute("eth0");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(notifications, 1);
  center.removeObserver(token);
  // It can be started again.
  ASSERT_TRUE(reachability->startNotifier());
  reachability->stopNotifier();
}

TEST(LinuxReachability, SystemWatcherStartsAndStops) {
  NotificationCenter center;
  Observed observed;
  Reachability::Options options;
  options.center = &center;
  options.notificationName = "test.reachability";
  auto reachability = Reachability::forInternetConnection(options);
  auto token = center.addObserver("test.reachability", nullptr, nullptr, [&](const Notification& n) {
    std::lock_guard lock(observed.mutex);
    observed.statuses.push_back(n.userInfo["status"].get<int>());
    observed.changed.notify_all();
  });
  ASSERT_TRUE(reachability->startNotifier());
  ASSERT_TRUE(observed.waitFor(1));
  {
    std::lock_guard lock(observed.mutex);
    EXPECT_EQ(observed.statuses[0], static_cast<int>(reachability->currentStatus()));
  }
  auto* system = dynamic_cast<LinuxReachability*>(reachability.get());
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(reachability->currentFlags(), flagsForRouteState(system->readRouteState()));
  reachability->stopNotifier();
  reachability->stopNotifier();
  center.removeObserver(token);
}

TEST(FakeReachability, PostsChangesWhileNotifying) {
  NotificationCenter center;
  Reachability::Options options;
  options.center = &center;
  auto fake = FakeReachability::make(kReachabilityReachable, options);
  std::vector<int> statuses;
  center.addObserver(kReachabilityChangedNotification, fake.get(), nullptr,
                     [&](const Notification& n) { statuses.push_back(n.userInfo["status"].get<int>()); });
  fake->setStatus(NetworkStatus::notReachable);  // not notifying yet
  EXPECT_TRUE(statuses.empty());
  EXPECT_EQ(fake->currentStatus(), NetworkStatus::notReachable);
  fake->startNotifier();
  fake->setStatus(NetworkStatus::reachableViaWWAN);
  fake->setStatus(NetworkStatus::reachableViaWWAN);  // no change, no post
  fake->setFlags(kReachabilityReachable | kReachabilityConnectionRequired);
  fake->stopNotifier();
  fake->setStatus(NetworkStatus::reachableViaWiFi);
  EXPECT_EQ(statuses, (std::vector<int>{0, 2, 0}));
  EXPECT_TRUE(fake->connectionRequired() == false);
}

TEST(FakeReachability, FactoryHookReplacesTheSystemWatcher) {
  auto fake = FakeReachability::make(0);
  Reachability::setInternetConnectionFactoryForTesting(
      [fake](Reachability::Options) -> std::shared_ptr<Reachability> { return fake; });
  EXPECT_EQ(Reachability::forInternetConnection().get(), fake.get());
  Reachability::setInternetConnectionFactoryForTesting(nullptr);
  EXPECT_NE(Reachability::forInternetConnection().get(), fake.get());
}

}  // namespace
}  // namespace vx
