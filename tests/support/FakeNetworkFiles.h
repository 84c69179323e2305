// A /proc and /sys of the test's own, holding what the kernel shows for network links and the
// IPv4 route table, so the Linux reachability watcher can be driven through real files.
#pragma once

#include "platform/net/ReachabilityLinux.h"
#include "support/TemporaryFolder.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace vx::test {

class FakeNetworkFiles {
 public:
  static constexpr std::string_view kRouteHeader =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

  explicit FakeNetworkFiles(std::string_view prefix = "vx-net") : folder_(prefix) {
    std::filesystem::create_directories(folder_.path() / "proc/net");
    setRoutes("");
  }

  // A link as sysfs shows it: its flags ("0x1003" for an ethernet link that is up), operstate,
  // carrier and, when given, its uevent text (e.g. "DEVTYPE=wwan\n").
  void addInterface(const std::string& name, std::string_view flags, std::string_view operstate,
                    std::string_view carrier, std::string_view uevent = {}) {
    const std::string folder = "sys/class/net/" + name + "/";
    write(folder + "flags", std::string(flags) + "\n");
    write(folder + "operstate", std::string(operstate) + "\n");
    write(folder + "carrier", std::string(carrier) + "\n");
    if (!uevent.empty()) write(folder + "uevent", uevent);
  }
  // Replaces /proc/net/route in one step (the watcher never reads half a table) with the header
  // and `rows`.
  void setRoutes(std::string_view rows) {
    write("proc/net/route.tmp", std::string(kRouteHeader) + std::string(rows));
    std::filesystem::rename(folder_.file("proc/net/route.tmp"), folder_.file("proc/net/route"));
  }
  void write(const std::string& relative, std::string_view text) { folder_.write(relative, text); }

  // Options that read these files, polling every 20 ms, with or without the netlink socket.
  LinuxReachability::LinuxOptions options(bool netlink) const {
    LinuxReachability::LinuxOptions o;
    o.useNetlink = netlink;
    o.pollInterval = std::chrono::milliseconds(20);
    o.procRoot = folder_.file("proc");
    o.sysRoot = folder_.file("sys");
    return o;
  }

 private:
  TemporaryFolder folder_;
};

}  // namespace vx::test
