// The local stand-in service: an HTTP/1.1 server on 127.0.0.1 that the application talks to in
// development and that every network test runs against. Tests start it in-process on an
// ephemeral port, read what it received from its request log, and make it misbehave on purpose
// with per-route faults.
//
// Routes come from route sets. The generic set ("core": health, echo, status, bytes and the
// admin calls) is built in; other folders add theirs with DEVSERVICE_ROUTE_SET in their own
// source file, and every DevService installs every registered set when it is made.
#pragma once

#include "platform/foundation/Error.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx::devservice {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Limits that keep the service safe to leave running on a shared machine.
inline constexpr std::size_t kMaxRequestBodyBytes = 32u << 20;  // after gzip decoding; else 413
inline constexpr std::size_t kMaxLoggedRequests = 10000;        // oldest entries go first
inline constexpr std::size_t kMaxLoggedBodyBytes = 256u << 20;  // bodies kept in the log
inline constexpr std::size_t kMaxFaultPatternLength = 256;      // admin fault patterns
inline constexpr std::size_t kMaxFaultPatternNesting = 16;
inline constexpr std::chrono::milliseconds kMaxFaultDelay{std::chrono::hours(1)};
inline constexpr std::chrono::seconds kMaxFaultSkew{4'000'000'000LL};  // about 126 years
// A client that sends or reads one byte at a time must not hold workers others need.
inline constexpr std::size_t kMaxConnections = 512;
inline constexpr std::size_t kMaxConnectionsPerAddress = 256;
inline constexpr std::chrono::milliseconds kRequestDeadline{std::chrono::seconds(30)};

// Case-insensitive lookup in a header list; the first match.
std::optional<std::string> headerValue(const Headers& headers, std::string_view name);

// A request as the service saw it.
struct Request {
  std::string method;
  std::string path;                                             // without the query
  std::string query;                                            // raw text after '?', "" when none
  std::vector<std::pair<std::string, std::string>> queryItems;  // decoded, in order
  Headers headers;
  std::string body;             // gunzipped when the request said "Content-Encoding: gzip"
  std::size_t rawBodySize = 0;  // bytes on the wire
  bool bodyWasGzip = false;
  std::optional<std::string> bodyError;  // set when a gzip body could not be decoded
  std::vector<std::string> pathMatches;  // captures of the route's pattern (index 0: whole path)
  std::string remoteAddress;             // the client's address and port (one port per connection)
  int remotePort = 0;
  std::chrono::system_clock::time_point receivedAt;
  // The service's own clock for this request: the wall clock (vx::wallNow), moved by a
  // skew_date fault, so the "Date" header and the OAuth timestamp check agree.
  std::chrono::system_clock::time_point serviceTime;

  std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
  // First value of a query item.
  std::optional<std::string> queryValue(std::string_view name) const;
};

struct Response {
  int status = 200;
  Headers headers;
  std::string body;
  std::string contentType = "text/plain; charset=utf-8";
  // Compress the body with gzip when the client accepts it.
  bool gzipIfAccepted = false;

  void setJSON(const std::string& json, int statusCode = 200) {
    status = statusCode;
    body = json;
    contentType = "application/json";
  }
  void setHeader(std::string name, std::string value);
};

using Handler = std::function<void(const Request&, Response&)>;

// Misbehaviour for requests whose path matches a pattern (and method, when given).
struct Fault {
  enum class Kind {
    status,     // answer with `status` and a small JSON error body, skipping the route
    delay,      // wait `delay`, then answer normally
    drop,       // close the connection without any reply
    truncate,   // announce the full body length, send half of it, close the connection
    malformed,  // status 200, "application/json", a body that is not valid JSON
    skewDate,   // the service's clock is off by `dateSkew`: "Date" header and OAuth check
    rateLimit,  // answer 429 with "Retry-After: <retryAfterSeconds>"
  };
  Kind kind = Kind::status;
  int status = 500;
  std::chrono::milliseconds delay{0};
  std::chrono::seconds dateSkew{0};
  int retryAfterSeconds = 1;
  // How many matching requests the fault applies to; none: until cleared.
  std::optional<int> times;

  static Fault withStatus(int status) {
    Fault f;
    f.kind = Kind::status;
    f.status = status;
    return f;
  }
  static Fault withDelay(std::chrono::milliseconds d) {
    Fault f;
    f.kind = Kind::delay;
    f.delay = d;
    return f;
  }
  static Fault dropConnection() {
    Fault f;
    f.kind = Kind::drop;
    return f;
  }
  static Fault truncatedBody() {
    Fault f;
    f.kind = Kind::truncate;
    return f;
  }
  static Fault malformedBody() {
    Fault f;
    f.kind = Kind::malformed;
    return f;
  }
  static Fault skewedDate(std::chrono::seconds skew) {
    Fault f;
    f.kind = Kind::skewDate;
    f.dateSkew = skew;
    return f;
  }
  static Fault rateLimited(int retryAfterSeconds) {
    Fault f;
    f.kind = Kind::rateLimit;
    f.retryAfterSeconds = retryAfterSeconds;
    return f;
  }

  // From the admin call's parameters ("kind", "status", "delay_ms", "skew_s", "retry_after",
  // "times"); an Error for an unknown kind or a value that is not a number.
  static Result<Fault> fromParameters(const std::map<std::string, std::string>& parameters);
  static std::optional<Kind> kindNamed(std::string_view name);
  static const char* nameOf(Kind kind);
};

class DevService;

// A route set: a function that adds routes to a service. Registered once per process.
using RouteSetInstaller = std::function<void(DevService&)>;
bool registerRouteSet(std::string name, RouteSetInstaller installer);
std::vector<std::string> registeredRouteSets();

// Registers a route set from a source file of the devservice library:
//   DEVSERVICE_ROUTE_SET(iconAPI) { service.addRoute("GET", "/macos/icons", ...); }
#define DEVSERVICE_ROUTE_SET(name)                                              \
  static void devserviceRouteSet_##name(::vx::devservice::DevService& service); \
  [[maybe_unused]] static const bool devserviceRouteSetRegistered_##name =      \
      ::vx::devservice::registerRouteSet(#name, &devserviceRouteSet_##name);    \
  static void devserviceRouteSet_##name(::vx::devservice::DevService& service)

class DevService {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 0;                         // 0: an ephemeral port
    std::filesystem::path dataDirectory;  // empty: the sample data in the source tree
    bool logRequests = false;             // one line per request on standard output
    // Connections served at once (idle keep-alive ones too): a worker is started per connection
    // up to this many; past it new connections wait for a free one.
    std::size_t threads = kMaxConnections;
    // Open connections one client address may hold; the newest beyond it are closed.
    std::size_t maxConnectionsPerAddress = kMaxConnectionsPerAddress;
    // Time a connection gets to send one whole request (headers and body), and to take one
    // whole reply, however steadily it trickles: past it the connection is closed.
    std::chrono::milliseconds requestDeadline = kRequestDeadline;
    std::size_t maxLoggedRequests = kMaxLoggedRequests;
    std::size_t maxLoggedBodyBytes = kMaxLoggedBodyBytes;
  };

  DevService();
  explicit DevService(Options options);
  ~DevService();  // stops the server
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  // Binds and starts serving on a thread of its own; the port. Fails when the port is taken.
  Result<int> start();
  // Stops serving and closes every open connection. Safe to call twice.
  void stop();
  bool isRunning() const;

  int port() const;
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;
  // baseURL() + path
  std::string url(std::string_view path) const;
  const std::filesystem::path& dataDirectory() const;
  // Connections the service has accepted and not yet closed.
  std::size_t openConnections() const;

  // --- routes ---
  // `pattern` is a regular expression that must match the whole path; its captures reach the
  // handler as Request::pathMatches. Later routes with the same method and pattern replace
  // earlier ones. Method "*" matches any method. A pattern that is not a valid regular
  // expression stops the program (fatalError), here and in setFault and requests.
  void addRoute(std::string method, std::string pattern, Handler handler);

  // --- request log ---
  std::vector<Request> requestLog() const;
  // Requests whose path matches the pattern (regex, whole path).
  std::vector<Request> requests(std::string_view pathPattern) const;
  void clearRequestLog();
  // Waits (real time) until at least `count` requests are logged. False on timeout.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // --- faults ---
  // Applies to requests whose path matches `pathPattern` (regex, whole path) and, when `method`
  // is not empty, whose method is `method`. A newer fault for the same pattern and method
  // replaces the older.
  void setFault(std::string pathPattern, Fault fault, std::string method = {});
  void clearFaults();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Sample data: the default data directory (the source tree's tools/devservice/data).
std::filesystem::path defaultDataDirectory();

// The parsed JSON, or a discarded value when it does not parse or nests deeper than
// vx::kMaxJSONNesting.
nlohmann::json parseBoundedJSON(std::string_view text);
// Compact text of `json` with text that is not UTF-8 repaired (U+FFFD): read-back answers
// never fail because a client sent odd bytes.
std::string dumpForReading(nlohmann::json json);

}  // namespace vx::devservice
