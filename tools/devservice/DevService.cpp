#include "tools/devservice/DevService.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/UTF8.h"
#include "platform/security/Gzip.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#ifndef VX_DEVSERVICE_DATA_DIR
#define VX_DEVSERVICE_DATA_DIR "tools/devservice/data"
#endif

namespace vx::devservice {

// ---------------------------------------------------------------------------------------------
// Small helpers

namespace {

bool namesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> items;
  while (!query.empty()) {
    const auto amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.emplace_back(percentDecode(item), "");
    } else {
      items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
    }
  }
  return items;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", independent of the locale.
std::string httpDate(std::chrono::system_clock::time_point when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

bool acceptsGzip(const Request& request) {
  const auto value = request.header("Accept-Encoding");
  return value && value->find("gzip") != std::string::npos;
}

std::uint16_t portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

std::string addressOf(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
  }
  return text;
}

// An accepted connection of the server, found among the process's descriptors.
struct OpenSocket {
  int fd = -1;
  ino_t inode = 0;  // tells a connection apart from a later one on a reused descriptor
  std::string peerAddress;
  int peerPort = 0;
};

// The server side of the connections accepted on `port`. The server library owns these
// descriptors and tells nobody about them, so they are found by what they are connected to.
std::vector<OpenSocket> acceptedSockets(int port) {
  std::vector<OpenSocket> sockets;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return sockets;
  std::vector<int> fds;
  while (dirent* entry = readdir(dir)) {
    int fd = -1;
    const std::string_view name(entry->d_name);
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec == std::errc() && fd > 2) {
      fds.push_back(fd);
    }
  }
  closedir(dir);
  for (int fd : fds) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (portOf(local) != port) continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;  // listener
    sockets.push_back(OpenSocket{fd, st.st_ino, addressOf(peer), portOf(peer)});
  }
  return sockets;
}

// The server's listening socket on `port`; -1 when not found.
int listeningSocket(int port) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    int fd = -1;
    const std::string_view name(entry->d_name);
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc() || fd <= 2) {
      continue;
    }
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) continue;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 && portOf(local) == port) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

// Shuts down the connection a scan found as (fd, inode). The library may have closed that
// descriptor since and another thread may have got the number again for a socket of its own:
// a copy of the descriptor pins whatever it names now, and only the same socket (same inode)
// is shut down, through the copy (shutting down acts on the socket, not the descriptor).
void shutdownSocket(int fd, ino_t inode) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  struct stat st {};
  if (::fstat(copy, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == inode) ::shutdown(copy, SHUT_RDWR);
  ::close(copy);
}

// Shuts down the server side of accepted connections on `port` (every one, or only the one whose
// peer uses `peerPort`). The server library closes them itself once its reads and writes fail;
// shutting down is what makes them fail now.
void shutdownConnections(int port, std::optional<int> peerPort) {
  for (const auto& socket : acceptedSockets(port)) {
    if (peerPort && socket.peerPort != *peerPort) continue;
    shutdownSocket(socket.fd, socket.inode);
  }
}

// The server's workers: one thread per connection being served, started when none is free, up to
// `limit`; past it connections wait in order. The library's own pool has a fixed size, so a few
// slow clients would hold every worker.
class ConnectionWorkers : public httplib::TaskQueue {
 public:
  explicit ConnectionWorkers(std::size_t limit) : limit_(limit) {}
  ~ConnectionWorkers() override { shutdown(); }

  void enqueue(std::function<void()> job) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ < jobs_.size() && threads_.size() < limit_) {
      threads_.emplace_back([this] { work(); });
    } else {
      changed_.notify_one();
    }
  }

  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      if (ending_) return;
      ending_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      changed_.wait(lock, [&] { return ending_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;  // ending, and nothing left to serve
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool ending_ = false;
};

struct RouteSetRegistry {
  std::mutex mutex;
  std::vector<std::pair<std::string, RouteSetInstaller>> sets;
  static RouteSetRegistry& instance() {
    static auto* registry = new RouteSetRegistry();  // outlives static destructors
    return *registry;
  }
};

void installCoreRoutes(DevService& service);

// Patterns come from the code that sets up a test: a bad one is a programming fault.
std::regex compilePattern(const std::string& pattern) {
  try {
    return std::regex(pattern);
  } catch (const std::regex_error& e) {
    vx::fatalError("devservice: bad path pattern \"" + pattern + "\": " + e.what());
  }
}

// The regular-expression engine recurses per nesting level and alternative while compiling: a
// pattern from outside (the admin call) is bounded in length and nesting first.
bool isValidPattern(const std::string& pattern) {
  if (pattern.size() > kMaxFaultPatternLength) return false;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      ++i;
    } else if (c == '(' || c == '[' || c == '{') {
      if (++depth > kMaxFaultPatternNesting) return false;
    } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  try {
    std::regex compiled(pattern);
    return true;
  } catch (const std::regex_error&) {
    return false;
  }
}

}  // namespace

std::optional<std::string> headerValue(const Headers& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (namesEqual(key, name)) return value;
  }
  return std::nullopt;
}

std::optional<std::string> Request::queryValue(std::string_view name) const {
  for (const auto& [key, value] : queryItems) {
    if (key == name) return value;
  }
  return std::nullopt;
}

void Response::setHeader(std::string name, std::string value) {
  for (auto& [key, existing] : headers) {
    if (namesEqual(key, name)) {
      existing = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

bool registerRouteSet(std::string name, RouteSetInstaller installer) {
  auto& registry = RouteSetRegistry::instance();
  std::lock_guard lock(registry.mutex);
  registry.sets.emplace_back(std::move(name), std::move(installer));
  return true;
}

std::vector<std::string> registeredRouteSets() {
  auto& registry = RouteSetRegistry::instance();
  std::lock_guard lock(registry.mutex);
  std::vector<std::string> names;
  for (const auto& set : registry.sets) names.push_back(set.first);
  return names;
}

std::filesystem::path defaultDataDirectory() { return VX_DEVSERVICE_DATA_DIR; }

nlohmann::json parseBoundedJSON(std::string_view text) {
  if (!jsonNestingWithin(text, kMaxJSONNesting)) return nlohmann::json::value_t::discarded;
  return nlohmann::json::parse(text, nullptr, false);
}

std::string dumpForReading(nlohmann::json json) {
  utf8::sanitizeJson(json);
  return json.dump();
}

// ---------------------------------------------------------------------------------------------
// Faults

std::optional<Fault::Kind> Fault::kindNamed(std::string_view name) {
  static const std::pair<const char*, Kind> kinds[] = {
      {"status", Kind::status},        {"delay", Kind::delay},         {"drop", Kind::drop},
      {"truncate", Kind::truncate},    {"malformed", Kind::malformed}, {"skew_date", Kind::skewDate},
      {"rate_limit", Kind::rateLimit},
  };
  for (const auto& [text, kind] : kinds) {
    if (name == text) return kind;
  }
  return std::nullopt;
}

const char* Fault::nameOf(Kind kind) {
  switch (kind) {
    case Kind::status:
      return "status";
    case Kind::delay:
      return "delay";
    case Kind::drop:
      return "drop";
    case Kind::truncate:
      return "truncate";
    case Kind::malformed:
      return "malformed";
    case Kind::skewDate:
      return "skew_date";
    case Kind::rateLimit:
      return "rate_limit";
  }
  return "?";
}

Result<Fault> Fault::fromParameters(const std::map<std::string, std::string>& parameters) {
  auto number = [&](const char* key, long long fallback) -> std::optional<long long> {
    auto it = parameters.find(key);
    if (it == parameters.end()) return fallback;
    long long value = 0;
    const auto& text = it->second;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
  };
  auto kindText = parameters.find("kind");
  if (kindText == parameters.end()) return Error("vx.devservice", 1, "missing fault kind");
  auto kind = kindNamed(kindText->second);
  if (!kind) return Error("vx.devservice", 1, "unknown fault kind: " + kindText->second);
  Fault fault;
  fault.kind = *kind;
  auto status = number("status", 500);
  auto delay = number("delay_ms", 0);
  auto skew = number("skew_s", 0);
  auto retry = number("retry_after", 1);
  auto times = number("times", -1);
  if (!status || !delay || !skew || !retry || !times) {
    return Error("vx.devservice", 2, "fault parameter is not a number");
  }
  if (*status < 100 || *status > 599) return Error("vx.devservice", 2, "status out of range");
  // Bounds that keep every later time computation in range (no overflow when added to a clock).
  if (*delay < 0 || *delay > kMaxFaultDelay.count()) {
    return Error("vx.devservice", 2, "delay_ms out of range");
  }
  if (*skew < -kMaxFaultSkew.count() || *skew > kMaxFaultSkew.count()) {
    return Error("vx.devservice", 2, "skew_s out of range");
  }
  if (*retry < 0 || *retry > kMaxFaultSkew.count()) {
    return Error("vx.devservice", 2, "retry_after out of range");
  }
  if (*times > 1'000'000'000) return Error("vx.devservice", 2, "times out of range");
  fault.status = static_cast<int>(*status);
  fault.delay = std::chrono::milliseconds(*delay);
  fault.dateSkew = std::chrono::seconds(*skew);
  fault.retryAfterSeconds = static_cast<int>(*retry);
  if (*times >= 0) fault.times = static_cast<int>(*times);
  return fault;
}

// ---------------------------------------------------------------------------------------------
// Service state

struct DevService::State {
  struct Route {
    std::string method;
    std::string pattern;
    std::regex regex;
    Handler handler;
  };
  struct FaultEntry {
    std::string pattern;
    std::regex regex;
    std::string method;
    Fault fault;
  };

  Options options;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<int> port{0};
  std::atomic<bool> running{false};

  mutable std::mutex mutex;  // routes, faults, log
  mutable std::condition_variable logChanged;
  std::vector<Route> routes;
  std::vector<FaultEntry> faults;
  std::vector<Request> log;
  std::size_t logBodyBytes = 0;

  std::mutex stopMutex;
  std::condition_variable stopChanged;
  bool stopping = false;

  // What the watchdog knows of each open connection, by the client's address and port.
  struct Peer {
    ino_t inode = 0;
    int fd = -1;
    std::uint64_t order = 0;                      // when it was first seen, among the others
    std::chrono::steady_clock::time_point since;  // since when it is sending or being answered
    bool inHandler = false;                       // a whole request arrived and a route is working on it
    bool seen = false;
  };
  using PeerKey = std::pair<std::string, int>;
  std::mutex peersMutex;
  std::map<PeerKey, Peer> peers;
  std::uint64_t peerOrder = 0;
  std::thread watchdog;
  std::condition_variable watchdogWake;
  bool watchdogEnding = false;

  // A route works on a request from `in`'s connection: its time to send does not run meanwhile.
  // When the route is done, the connection's time to take the reply (and to send its next
  // request) starts.
  class Handling {
   public:
    Handling(State& state, const httplib::Request& in) : state_(state), key_(in.remote_addr, in.remote_port) {
      std::lock_guard lock(state_.peersMutex);
      auto [it, added] = state_.peers.try_emplace(key_);
      if (added) it->second.order = ++state_.peerOrder;
      it->second.inHandler = true;
    }
    ~Handling() {
      std::lock_guard lock(state_.peersMutex);
      auto& peer = state_.peers[key_];
      peer.inHandler = false;
      peer.since = std::chrono::steady_clock::now();
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

   private:
    State& state_;
    PeerKey key_;
  };

  // Closes connections that take longer than the deadline to send a request or take a reply,
  // and the newest of an address's connections beyond its cap. Each look is a scan of the open
  // connections, a few times a second.
  void watchConnections() {
    std::unique_lock wakeLock(stopMutex);
    while (!watchdogEnding) {
      wakeLock.unlock();
      const auto sockets = acceptedSockets(port.load());
      const auto now = std::chrono::steady_clock::now();
      std::vector<std::pair<int, ino_t>> toClose;
      {
        std::lock_guard lock(peersMutex);
        for (auto& [key, peer] : peers) peer.seen = false;
        for (const auto& socket : sockets) {
          auto [it, added] = peers.try_emplace(PeerKey(socket.peerAddress, socket.peerPort));
          Peer& peer = it->second;
          if (!added && peer.inode != 0 && peer.inode != socket.inode) {
            peer = Peer();  // the port was reused by a new connection
            added = true;
          }
          if (added) {
            peer.order = ++peerOrder;
            peer.since = now;
          }
          peer.inode = socket.inode;
          peer.fd = socket.fd;
          peer.seen = true;
        }
        std::map<std::string, std::vector<const Peer*>> byAddress;
        for (auto it = peers.begin(); it != peers.end();) {
          if (!it->second.seen && !it->second.inHandler) {
            it = peers.erase(it);
            continue;
          }
          const Peer& peer = it->second;
          if (peer.seen) {
            byAddress[it->first.first].push_back(&peer);
            if (!peer.inHandler && now - peer.since > options.requestDeadline) {
              toClose.emplace_back(peer.fd, peer.inode);
            }
          }
          ++it;
        }
        for (auto& [address, list] : byAddress) {
          if (list.size() <= options.maxConnectionsPerAddress) continue;
          std::sort(list.begin(), list.end(), [](const Peer* a, const Peer* b) { return a->order < b->order; });
          for (std::size_t i = options.maxConnectionsPerAddress; i < list.size(); ++i) {
            toClose.emplace_back(list[i]->fd, list[i]->inode);
          }
        }
      }
      // The library closes the descriptor once its read or write fails; shutting it down is
      // what makes them fail now.
      for (const auto& [fd, inode] : toClose) shutdownSocket(fd, inode);
      wakeLock.lock();
      watchdogWake.wait_for(wakeLock, std::chrono::milliseconds(100), [&] { return watchdogEnding; });
    }
  }

  // Finds the fault for a request and uses up one of its times.
  std::optional<Fault> takeFault(const Request& request) {
    std::lock_guard lock(mutex);
    for (auto it = faults.rbegin(); it != faults.rend(); ++it) {
      if (!it->method.empty() && it->method != request.method) continue;
      if (!std::regex_match(request.path, it->regex)) continue;
      Fault fault = it->fault;
      if (it->fault.times) {
        if (--*it->fault.times <= 0) faults.erase(std::next(it).base());
      }
      return fault;
    }
    return std::nullopt;
  }

  // Waits `delay` unless the service stops first.
  void pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopMutex);
    stopChanged.wait_for(lock, delay, [&] { return stopping; });
  }

  bool route(Request& request, Response& response) {
    Handler handler;
    bool pathKnown = false;
    {
      std::lock_guard lock(mutex);
      for (auto it = routes.rbegin(); it != routes.rend(); ++it) {
        std::smatch match;
        if (!std::regex_match(request.path, match, it->regex)) continue;
        pathKnown = true;
        const bool methodMatches =
            it->method == "*" || it->method == request.method || (request.method == "HEAD" && it->method == "GET");
        if (!methodMatches) continue;
        request.pathMatches.clear();
        for (const auto& part : match) request.pathMatches.push_back(part.str());
        handler = it->handler;
        break;
      }
    }
    if (!handler) {
      response.setJSON(pathKnown ? R"({"error":"method not allowed"})" : R"({"error":"not found"})",
                       pathKnown ? 405 : 404);
      return false;
    }
    try {
      handler(request, response);
    } catch (const std::exception& e) {
      response = Response();
      response.setJSON(nlohmann::json{{"error", e.what()}}.dump(), 500);
    }
    return true;
  }

  void logLine(const Request& request, const std::string& outcome) {
    if (!options.logRequests) return;
    const std::string target = request.query.empty() ? request.path : request.path + "?" + request.query;
    std::fprintf(stdout, "%s %s %s %s (%zu bytes in)\n", httpDate(request.receivedAt).c_str(), request.method.c_str(),
                 target.c_str(), outcome.c_str(), request.rawBodySize);
    std::fflush(stdout);
  }

  void serve(const httplib::Request& in, httplib::Response& out);
};

void DevService::State::serve(const httplib::Request& in, httplib::Response& out) {
  Request request;
  request.method = in.method;
  request.receivedAt = std::chrono::system_clock::now();
  request.remoteAddress = in.remote_addr;
  request.remotePort = in.remote_port;
  const auto question = in.target.find('?');
  request.path = in.path;
  request.query = question == std::string::npos ? std::string() : in.target.substr(question + 1);
  request.queryItems = parseQuery(request.query);
  for (const auto& [name, value] : in.headers) {
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") {
      continue;  // added by the server library, not sent by the client
    }
    request.headers.emplace_back(name, value);
  }
  const auto encoding = request.header("Content-Encoding");
  request.bodyWasGzip = encoding && encoding->find("gzip") != std::string::npos;
  request.rawBodySize = in.body.size();
  if (auto length = request.header("Content-Length")) {
    request.rawBodySize = static_cast<std::size_t>(std::strtoull(length->c_str(), nullptr, 10));
  }
  if (request.bodyWasGzip && in.body.size() >= 2 && static_cast<unsigned char>(in.body[0]) == 0x1f &&
      static_cast<unsigned char>(in.body[1]) == 0x8b) {
    auto decoded = gzipDecompress(ByteView(in.body));
    if (decoded) {
      request.body.assign(decoded->begin(), decoded->end());
    } else {
      request.body = in.body;
      request.bodyError = decoded.error().toString();
    }
  } else {
    // The server library already inflated a gzip body, or none was sent compressed.
    request.body = in.body;
  }
  // The library would compress replies on its own; this service decides that per route.
  const_cast<httplib::Request&>(in).headers.erase("Accept-Encoding");

  const bool admin = request.path.rfind("/_admin/", 0) == 0;
  std::optional<Fault> fault;
  if (!admin) {
    fault = takeFault(request);
  }
  request.serviceTime = vx::wallNow();
  if (fault && fault->kind == Fault::Kind::skewDate) request.serviceTime += fault->dateSkew;
  if (!admin) {
    std::lock_guard lock(mutex);
    log.push_back(request);
    logBodyBytes += request.body.size();
    // The oldest entries go once the log holds too many requests or too many body bytes.
    std::size_t drop = 0;
    while (drop < log.size() &&
           (log.size() - drop > options.maxLoggedRequests || logBodyBytes > options.maxLoggedBodyBytes)) {
      logBodyBytes -= log[drop].body.size();
      ++drop;
    }
    if (drop > 0) log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  logChanged.notify_all();

  Response response;
  if (fault) {
    switch (fault->kind) {
      case Fault::Kind::delay:
        pause(fault->delay);
        break;
      case Fault::Kind::status:
        response.setJSON(nlohmann::json{{"error", "injected fault"}, {"status", fault->status}}.dump(), fault->status);
        break;
      case Fault::Kind::rateLimit:
        response.setJSON(R"({"error":"rate limited"})", 429);
        response.setHeader("Retry-After", std::to_string(fault->retryAfterSeconds));
        break;
      case Fault::Kind::drop:
        shutdownConnections(port.load(), in.remote_port);
        logLine(request, "dropped");
        out.status = 500;
        return;
      default:
        break;
    }
  }
  const bool answered = fault && (fault->kind == Fault::Kind::status || fault->kind == Fault::Kind::rateLimit);
  if (!answered) route(request, response);
  if (fault && fault->kind == Fault::Kind::malformed) {
    response = Response();
    response.setJSON(R"({"icons":[{"id":"1","term":"broken)", 200);
  }

  if (response.status < 200 || response.status == 204 || response.status == 304) {
    response.body.clear();  // these statuses carry no body; one would corrupt the connection
  }
  auto date = vx::wallNow();
  if (fault && fault->kind == Fault::Kind::skewDate) date += fault->dateSkew;
  out.status = response.status;
  out.set_header("Date", httpDate(date));
  if (auto type = headerValue(response.headers, "Content-Type")) response.contentType = *type;
  for (const auto& [name, value] : response.headers) {
    if (namesEqual(name, "Content-Type") || namesEqual(name, "Content-Length")) continue;
    out.set_header(name, value);
  }

  if (fault && fault->kind == Fault::Kind::truncate) {
    const std::size_t full = std::max<std::size_t>(response.body.size(), 2);
    auto body = std::make_shared<std::string>(response.body);
    body->resize(full, ' ');
    out.set_content_provider(full, response.contentType,
                             [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset == 0) sink.write(body->data(), body->size() / 2);
                               return false;  // ends the connection short of the announced length
                             });
    logLine(request, std::to_string(response.status) + " truncated");
    return;
  }
  if (response.gzipIfAccepted && acceptsGzip(request) && !response.body.empty()) {
    auto compressed = gzipCompress(ByteView(response.body));
    if (compressed) {
      response.body.assign(compressed->begin(), compressed->end());
      out.set_header("Content-Encoding", "gzip");
      out.set_header("Vary", "Accept-Encoding");
    }
  }
  if (response.body.empty() && (response.status < 200 || response.status == 204 || response.status == 304)) {
    logLine(request, std::to_string(response.status));
    return;
  }
  out.set_content(response.body, response.contentType);
  logLine(request, std::to_string(response.status));
}

// ---------------------------------------------------------------------------------------------
// DevService

DevService::DevService() : DevService(Options{}) {}

DevService::DevService(Options options) : state_(std::make_unique<State>()) {
  if (options.dataDirectory.empty()) options.dataDirectory = defaultDataDirectory();
  if (options.threads == 0) options.threads = 1;
  if (options.maxConnectionsPerAddress == 0) options.maxConnectionsPerAddress = 1;
  state_->options = std::move(options);
  installCoreRoutes(*this);
  std::vector<std::pair<std::string, RouteSetInstaller>> sets;
  {
    auto& registry = RouteSetRegistry::instance();
    std::lock_guard lock(registry.mutex);
    sets = registry.sets;
  }
  for (auto& [name, install] : sets) install(*this);
}

DevService::~DevService() { stop(); }

Result<int> DevService::start() {
  if (state_->running.load()) return state_->port.load();
  {
    std::lock_guard lock(state_->stopMutex);
    state_->stopping = false;
  }
  auto server = std::make_unique<httplib::Server>();
  State* state = state_.get();
  auto handler = [state](const httplib::Request& in, httplib::Response& out) {
    State::Handling handling(*state, in);
    state->serve(in, out);
  };
  // Bodies are read here, not by the library, so the cap applies to what a gzip body inflates
  // to as well as to what arrives.
  auto bodyHandler = [state](const httplib::Request& in, httplib::Response& out, const httplib::ContentReader& reader) {
    std::string body;
    bool tooLarge = false;
    const bool read = reader([&](const char* data, std::size_t length) {
      if (length > kMaxRequestBodyBytes - body.size()) {
        tooLarge = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    // The rest of an unread body would be taken for the next request: the connection ends.
    if (tooLarge) {
      out.status = 413;
      out.set_header("Connection", "close");
      out.set_content(R"({"error":"request body too large"})", "application/json");
      return;
    }
    if (!read) {
      out.status = 400;
      out.set_header("Connection", "close");
      out.set_content(R"({"error":"request body could not be read"})", "application/json");
      return;
    }
    const_cast<httplib::Request&>(in).body = std::move(body);
    State::Handling handling(*state, in);
    state->serve(in, out);
  };
  server->Get(".*", handler);
  server->Post(".*", bodyHandler);
  server->Put(".*", bodyHandler);
  server->Patch(".*", bodyHandler);
  server->Delete(".*", handler);
  server->Options(".*", handler);
  server->set_keep_alive_max_count(100000);
  server->set_tcp_nodelay(true);
  // The library's default also sets SO_REUSEPORT, which lets a second service share a taken port.
  server->set_socket_options([](int socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });  // headers and body go out in separate writes
  server->set_keep_alive_timeout(5);
  server->set_read_timeout(10);
  server->set_write_timeout(10);
  const std::size_t threads = state_->options.threads;
  server->new_task_queue = [threads] { return new ConnectionWorkers(threads); };

  int port = state_->options.port;
  if (port == 0) {
    port = server->bind_to_any_port(state_->options.host);
    if (port <= 0) return Error("vx.devservice", 3, "could not bind to " + state_->options.host);
  } else if (!server->bind_to_port(state_->options.host, port)) {
    return Error("vx.devservice", 3, "could not bind to " + state_->options.host + ":" + std::to_string(port));
  }
  state_->port = port;
  // The library listens with a queue of five: a burst of clients (a few slow ones among them)
  // would find connections refused or dropped. Listening again on the same socket only deepens
  // the queue.
  if (const int listener = listeningSocket(port); listener >= 0) ::listen(listener, SOMAXCONN);
  httplib::Server* raw = server.get();
  state_->server = std::move(server);
  state_->thread = std::thread([raw] { raw->listen_after_bind(); });
  // stop() only takes effect once the loop runs; wait for it so start/stop pairs are safe.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!raw->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard lock(state_->stopMutex);
    state_->watchdogEnding = false;
  }
  state_->watchdog = std::thread([state] { state->watchConnections(); });
  state_->running = true;
  return port;
}

void DevService::stop() {
  if (!state_->server) return;
  {
    std::lock_guard lock(state_->stopMutex);
    state_->stopping = true;
  }
  state_->stopChanged.notify_all();
  {
    std::lock_guard lock(state_->stopMutex);
    state_->watchdogEnding = true;
  }
  state_->watchdogWake.notify_all();
  if (state_->watchdog.joinable()) state_->watchdog.join();
  state_->server->stop();
  // Idle keep-alive connections would hold the server's workers for their whole timeout, so
  // every open connection is shut down until the server's loop has ended.
  std::atomic<bool> ended{false};
  std::thread closer([this, &ended] {
    while (!ended.load()) {
      shutdownConnections(state_->port.load(), std::nullopt);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  if (state_->thread.joinable()) state_->thread.join();
  ended = true;
  closer.join();
  state_->running = false;
  state_->server.reset();
  std::lock_guard lock(state_->peersMutex);
  state_->peers.clear();
}

bool DevService::isRunning() const { return state_->running.load(); }
int DevService::port() const { return state_->port.load(); }
std::string DevService::baseURL() const { return "http://" + state_->options.host + ":" + std::to_string(port()); }
std::string DevService::url(std::string_view path) const { return baseURL() + std::string(path); }
const std::filesystem::path& DevService::dataDirectory() const { return state_->options.dataDirectory; }
std::size_t DevService::openConnections() const { return isRunning() ? acceptedSockets(port()).size() : 0; }

void DevService::addRoute(std::string method, std::string pattern, Handler handler) {
  std::lock_guard lock(state_->mutex);
  auto& routes = state_->routes;
  routes.erase(std::remove_if(routes.begin(), routes.end(),
                              [&](const State::Route& r) { return r.method == method && r.pattern == pattern; }),
               routes.end());
  std::regex regex = compilePattern(pattern);
  routes.push_back({std::move(method), std::move(pattern), std::move(regex), std::move(handler)});
}

std::vector<Request> DevService::requestLog() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

std::vector<Request> DevService::requests(std::string_view pathPattern) const {
  const std::regex regex = compilePattern(std::string(pathPattern));
  std::lock_guard lock(state_->mutex);
  std::vector<Request> found;
  for (const auto& request : state_->log) {
    if (std::regex_match(request.path, regex)) found.push_back(request);
  }
  return found;
}

void DevService::clearRequestLog() {
  std::lock_guard lock(state_->mutex);
  state_->log.clear();
  state_->logBodyBytes = 0;
}

bool DevService::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->logChanged.wait_for(lock, timeout, [&] { return state_->log.size() >= count; });
}

void DevService::setFault(std::string pathPattern, Fault fault, std::string method) {
  std::lock_guard lock(state_->mutex);
  auto& faults = state_->faults;
  faults.erase(
      std::remove_if(faults.begin(), faults.end(),
                     [&](const State::FaultEntry& f) { return f.pattern == pathPattern && f.method == method; }),
      faults.end());
  if (fault.times && *fault.times <= 0) return;
  std::regex regex = compilePattern(pathPattern);
  faults.push_back({std::move(pathPattern), std::move(regex), std::move(method), fault});
}

void DevService::clearFaults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

// ---------------------------------------------------------------------------------------------
// The generic routes every service has

namespace {

nlohmann::json requestJSON(const Request& request) {
  nlohmann::json headers = nlohmann::json::array();
  for (const auto& [name, value] : request.headers) headers.push_back({name, value});
  nlohmann::json query = nlohmann::json::array();
  for (const auto& [name, value] : request.queryItems) query.push_back({name, value});
  return {{"method", request.method},
          {"path", request.path},
          {"query", request.query},
          {"queryItems", query},
          {"headers", headers},
          {"body", request.body},
          {"bodyWasGzip", request.bodyWasGzip},
          {"rawBodySize", request.rawBodySize}};
}

std::string contentTypeFor(const std::filesystem::path& path) {
  const auto ext = path.extension().string();
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".json") return "application/json";
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".png") return "image/png";
  return "application/octet-stream";
}

void installCoreRoutes(DevService& service) {
  service.addRoute("GET", "/health",
                   [](const Request&, Response& response) { response.setJSON(R"({"status":"ok"})"); });

  // Answers with what arrived, as JSON.
  service.addRoute("*", "/echo(/.*)?", [](const Request& request, Response& response) {
    response.setJSON(dumpForReading(requestJSON(request)));
    response.gzipIfAccepted = true;
  });

  // Any status, e.g. /status/503.
  service.addRoute("*", "/status/([0-9]{3})", [](const Request& request, Response& response) {
    const int status = std::stoi(request.pathMatches.at(1));
    // A final answer needs a code from 200 to 599 (1xx are interim, the rest are not codes).
    if (status < 200 || status > 599) {
      response.setJSON(R"({"error":"status out of range"})", 400);
      return;
    }
    response.setJSON(nlohmann::json{{"status", status}}.dump(), status);
  });

  // N bytes of text, gzipped when accepted; at most 64 MiB.
  service.addRoute("GET", "/bytes/([0-9]{1,9})", [](const Request& request, Response& response) {
    const auto size = std::min<std::size_t>(std::stoull(request.pathMatches.at(1)), 64u << 20);
    response.body.resize(size);
    for (std::size_t i = 0; i < size; ++i) response.body[i] = static_cast<char>('a' + i % 26);
    response.gzipIfAccepted = true;
  });

  // Reply headers taken from the query: /response-headers?X-Name=value
  service.addRoute("GET", "/response-headers", [](const Request& request, Response& response) {
    for (const auto& [name, value] : request.queryItems) response.headers.emplace_back(name, value);
    response.setJSON("{}");
  });

  // Files of the data directory, e.g. /static/icons/anchor.svg.
  service.addRoute("GET", "/static/(.+)", [&service](const Request& request, Response& response) {
    // The path is already decoded; only a relative path that stays under the data folder, once
    // resolved (symbolic links too), is served.
    const std::filesystem::path relative(request.pathMatches.at(1));
    bool bad = relative.is_absolute() || relative.has_root_name() || relative.has_root_directory();
    for (const auto& part : relative) bad = bad || part == "..";
    std::error_code ec;
    const auto root = std::filesystem::weakly_canonical(service.dataDirectory(), ec);
    const auto path = ec ? std::filesystem::path() : std::filesystem::weakly_canonical(root / relative, ec);
    if (!bad && !ec) {
      const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
      bad = rootEnd != root.end();
    }
    if (bad || ec) {
      response.setJSON(R"({"error":"bad path"})", 400);
      return;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr || std::filesystem::is_directory(path)) {
      if (file != nullptr) std::fclose(file);
      response.setJSON(R"({"error":"not found"})", 404);
      return;
    }
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) response.body.append(buffer, n);
    std::fclose(file);
    response.contentType = contentTypeFor(path);
    response.gzipIfAccepted = true;
  });

  // --- admin calls (never logged, never faulted) ---
  service.addRoute("POST", "/_admin/faults", [&service](const Request& request, Response& response) {
    std::map<std::string, std::string> parameters;
    for (const auto& [name, value] : request.queryItems) parameters[name] = value;
    if (!request.body.empty()) {
      auto json = parseBoundedJSON(request.body);
      if (json.is_object()) {
        for (const auto& [key, value] : json.items()) {
          parameters[key] = value.is_string() ? value.get<std::string>() : value.dump();
        }
      }
    }
    auto path = parameters.find("path");
    if (path == parameters.end() || path->second.empty()) {
      response.setJSON(R"({"error":"missing path"})", 400);
      return;
    }
    auto fault = Fault::fromParameters(parameters);
    if (!fault) {
      response.setJSON(nlohmann::json{{"error", fault.error().description}}.dump(), 400);
      return;
    }
    if (!isValidPattern(path->second)) {
      response.setJSON(R"({"error":"bad path pattern"})", 400);
      return;
    }
    service.setFault(path->second, *fault, parameters.count("method") ? parameters["method"] : "");
    response.setJSON(R"({"ok":true})");
  });
  service.addRoute("DELETE", "/_admin/faults", [&service](const Request&, Response& response) {
    service.clearFaults();
    response.setJSON(R"({"ok":true})");
  });
  service.addRoute("GET", "/_admin/requests", [&service](const Request&, Response& response) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& request : service.requestLog()) list.push_back(requestJSON(request));
    response.setJSON(dumpForReading(std::move(list)));
  });
  service.addRoute("DELETE", "/_admin/requests", [&service](const Request&, Response& response) {
    service.clearRequestLog();
    response.setJSON(R"({"ok":true})");
  });
}

}  // namespace

}  // namespace vx::devservice
