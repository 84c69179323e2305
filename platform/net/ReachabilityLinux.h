// The Linux reachability watcher: reads the default route from the kernel's route tables and its
// interface's state from sysfs (flags, operational state, carrier), and re-reads them whenever a netlink route, link or
// address event arrives (or, where no netlink socket can be had, every poll interval).
#pragma once

#include "platform/net/Reachability.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace vx {

// The interface of the best (lowest metric, up) IPv4 default route in /proc/net/route text.
std::optional<std::string> ipv4DefaultRouteInterface(std::string_view procNetRoute);
// The interface of an IPv6 default route in /proc/net/ipv6_route text (reject routes and the
// loopback interface do not count).
std::optional<std::string> ipv6DefaultRouteInterface(std::string_view procNetIPv6Route);

// Whether an interface carries traffic, from its sysfs files "flags", "operstate" and "carrier"
// (their text as read; empty when missing). Up as the kernel's IFF_RUNNING means it: IFF_UP and an
// operational state of "up" or "unknown"; without an "operstate" file, IFF_UP and carrier 1.
struct InterfaceLinkState {
  bool up = false;
  bool loopback = false;
};
InterfaceLinkState interfaceLinkState(std::string_view flags, std::string_view operstate, std::string_view carrier);

class LinuxReachability final : public Reachability {
 public:
  struct LinuxOptions {
    bool useNetlink = true;
    // How often the state is re-read without netlink; with netlink, a safety re-read.
    Duration pollInterval = std::chrono::seconds(5);
    std::filesystem::path procRoot = "/proc";  // tests point these at files of their own
    std::filesystem::path sysRoot = "/sys";
  };

  static std::shared_ptr<LinuxReachability> make(Options options, LinuxOptions linuxOptions);
  static std::shared_ptr<LinuxReachability> make(Options options) { return make(std::move(options), LinuxOptions()); }
  ~LinuxReachability() override;

  ReachabilityFlags currentFlags() const override;
  bool startNotifier() override;
  void stopNotifier() override;

  // The route facts as read now.
  RouteState readRouteState() const;
  // True while the watcher listens to netlink events (false when it fell back to polling).
  bool usesNetlink() const { return usesNetlink_.load(); }

  struct Watch;  // what the watcher thread shares with the object (ReachabilityLinux.cpp)

 private:
  LinuxReachability(Options options, LinuxOptions linuxOptions);
  static void runWatch(std::shared_ptr<Watch> watch, std::weak_ptr<LinuxReachability> owner);

  LinuxOptions linuxOptions_;
  std::recursive_mutex mutex_;  // start/stop; an observer may stop from the start notification
  std::thread thread_;
  std::shared_ptr<Watch> watch_;
  std::atomic<bool> usesNetlink_{false};
};

}  // namespace vx
