#include "platform/net/ReachabilityLinux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

namespace vx {

namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.emplace_back(line.substr(start, i - start));
  }
  return fields;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    auto nl = text.find('\n');
    out.push_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return out;
}

std::optional<unsigned long> hexValue(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
  return value;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return std::string(text);
}

constexpr unsigned long kRouteUp = 0x0001;      // RTF_UP
constexpr unsigned long kRouteReject = 0x0200;  // RTF_REJECT

}  // namespace

InterfaceLinkState interfaceLinkState(std::string_view flagsText, std::string_view operstateText,
                                      std::string_view carrierText) {
  InterfaceLinkState link;
  const std::string flagsField = trimmed(flagsText);
  std::string_view hex = flagsField;
  if (hex.rfind("0x", 0) == 0) hex.remove_prefix(2);
  const auto flags = hexValue(std::string(hex));
  constexpr unsigned long kUp = 0x1, kLoopback = 0x8;  // IFF_UP, IFF_LOOPBACK
  if (!flags) return link;
  link.loopback = (*flags & kLoopback) != 0;
  if ((*flags & kUp) == 0) return link;  // administratively down
  // sysfs never shows IFF_RUNNING in "flags". The kernel sets it for an up interface whose
  // operational state is "up" or "unknown" (drivers without link detection: loopback, tunnels),
  // so the same rule is read here; a kernel without "operstate" leaves the carrier to decide.
  const std::string operstate = trimmed(operstateText);
  if (operstate.empty()) {
    link.up = trimmed(carrierText) == "1";
  } else {
    link.up = operstate == "up" || operstate == "unknown";
  }
  return link;
}

std::optional<std::string> ipv4DefaultRouteInterface(std::string_view text) {
  std::optional<std::string> best;
  unsigned long bestMetric = ~0ul;
  bool header = true;
  for (auto line : lines(text)) {
    if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
      header = false;
      continue;
    }
    auto f = split(line);
    if (f.size() < 8) continue;
    auto destination = hexValue(f[1]);
    auto flags = hexValue(f[3]);
    auto mask = hexValue(f[7]);
    char* end = nullptr;
    const unsigned long metric = std::strtoul(f[6].c_str(), &end, 10);
    if (!destination || !flags || !mask || *destination != 0 || *mask != 0) continue;
    if ((*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0) continue;
    if (!best || metric < bestMetric) {
      best = f[0];
      bestMetric = metric;
    }
  }
  return best;
}

std::optional<std::string> ipv6DefaultRouteInterface(std::string_view text) {
  for (auto line : lines(text)) {
    // dest destlen src srclen nexthop metric refcnt use flags iface
    auto f = split(line);
    if (f.size() < 10) continue;
    if (f[0] != std::string(32, '0') || f[1] != "00") continue;
    auto flags = hexValue(f[8]);
    if (!flags || (*flags & kRouteUp) == 0 || (*flags & kRouteReject) != 0) continue;
    if (f[9] == "lo") continue;
    return f[9];
  }
  return std::nullopt;
}

std::shared_ptr<Reachability> makeSystemReachability(Reachability::Options options) {
  return LinuxReachability::make(std::move(options));
}

std::shared_ptr<LinuxReachability> LinuxReachability::make(Options options, LinuxOptions linuxOptions) {
  return std::shared_ptr<LinuxReachability>(new LinuxReachability(std::move(options), std::move(linuxOptions)));
}

LinuxReachability::LinuxReachability(Options options, LinuxOptions linuxOptions)
    : Reachability(std::move(options)), linuxOptions_(std::move(linuxOptions)) {
  if (linuxOptions_.pollInterval <= Duration::zero()) linuxOptions_.pollInterval = std::chrono::seconds(5);
}

LinuxReachability::~LinuxReachability() { stopNotifier(); }

RouteState LinuxReachability::readRouteState() const {
  RouteState state;
  auto iface = ipv4DefaultRouteInterface(readFile(linuxOptions_.procRoot / "net/route"));
  if (!iface) iface = ipv6DefaultRouteInterface(readFile(linuxOptions_.procRoot / "net/ipv6_route"));
  if (!iface || iface->empty() || iface->find('/') != std::string::npos || *iface == "." || *iface == "..") {
    return state;
  }
  state.hasDefaultRoute = true;
  const auto dir = linuxOptions_.sysRoot / "class/net" / *iface;
  const auto link = interfaceLinkState(readFile(dir / "flags"), readFile(dir / "operstate"), readFile(dir / "carrier"));
  state.interfaceUp = link.up;
  state.interfaceIsLoopback = link.loopback;
  const std::string uevent = readFile(dir / "uevent");
  state.interfaceIsWWAN =
      iface->rfind("wwan", 0) == 0 || iface->rfind("ww", 0) == 0 || uevent.find("DEVTYPE=wwan") != std::string::npos;
  return state;
}

ReachabilityFlags LinuxReachability::currentFlags() const { return flagsForRouteState(readRouteState()); }

// Owned jointly by the object and its watcher thread, so the thread never touches a destroyed
// object: an observer may release the last reference from inside a notification.
struct LinuxReachability::Watch {
  std::atomic<bool> running{true};
  int netlinkFd = -1;
  int wakeFd = -1;
  Duration pollInterval;
  ReachabilityFlags lastFlags = 0;
  ~Watch() {
    if (netlinkFd >= 0) close(netlinkFd);
    if (wakeFd >= 0) close(wakeFd);
  }
};

void LinuxReachability::runWatch(std::shared_ptr<Watch> watch, std::weak_ptr<LinuxReachability> owner) {
  const int timeoutMs =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(watch->pollInterval).count());
  std::vector<char> buffer(16384);
  while (watch->running.load()) {
    pollfd fds[2] = {{watch->wakeFd, POLLIN, 0}, {watch->netlinkFd, POLLIN, 0}};
    const int count = watch->netlinkFd >= 0 ? 2 : 1;
    const int ready = poll(fds, count, std::max(1, timeoutMs));
    if (ready < 0 && errno != EINTR) break;
    if (!watch->running.load() || (fds[0].revents & POLLIN) != 0) break;
    if (count == 2 && (fds[1].revents & POLLIN) != 0) {
      // Only the fact that something changed matters; drain the events and re-read.
      while (recv(watch->netlinkFd, buffer.data(), buffer.size(), 0) > 0) {
      }
    }
    auto self = owner.lock();
    if (!self) break;
    const ReachabilityFlags flags = self->currentFlags();
    if (flags != watch->lastFlags) {
      watch->lastFlags = flags;
      if (watch->running.load()) self->postChange(flags);
    }
  }
}

bool LinuxReachability::startNotifier() {
  // An observer may drop the last reference inside the first notification; it ends here.
  auto keepAlive = shared_from_this();
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) thread_.join();  // a watcher told to stop has ended or is ending
  if (watch_ && watch_->running.load()) return true;
  auto watch = std::make_shared<Watch>();
  watch->pollInterval = linuxOptions_.pollInterval;
  watch->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (watch->wakeFd < 0) return false;
  if (linuxOptions_.useNetlink) {
    watch->netlinkFd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (watch->netlinkFd >= 0) {
      sockaddr_nl address{};
      address.nl_family = AF_NETLINK;
      address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
      if (bind(watch->netlinkFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(watch->netlinkFd);
        watch->netlinkFd = -1;  // polling from here on
      }
    }
  }
  usesNetlink_ = watch->netlinkFd >= 0;
  watch->lastFlags = currentFlags();
  watch_ = watch;
  // The first notification goes out before the watcher runs, so no change can overtake it.
  postChange(watch->lastFlags);
  if (!watch->running.load()) return true;  // stopped from within that notification
  std::weak_ptr<LinuxReachability> owner = std::static_pointer_cast<LinuxReachability>(shared_from_this());
  thread_ = std::thread(runWatch, watch, std::move(owner));
  return true;
}

void LinuxReachability::stopNotifier() {
  std::lock_guard lock(mutex_);
  if (!watch_ || !watch_->running.exchange(false)) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = write(watch_->wakeFd, &one, sizeof one);
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // stopped from one of its own notifications: it ends after this post
    } else {
      thread_.join();
    }
  }
  watch_.reset();
}

}  // namespace vx
