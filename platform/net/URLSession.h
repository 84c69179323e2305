// The one HTTP layer of the project: a URL session over libcurl's multi interface. The
// application's service client and both reporting clients send every request through it.
//
// A session owns one worker thread that drives all of its transfers; completions are handed to
// the session's delegate queue. Every data task's completion is called exactly once: with the
// response, with a transport error, or with the "cancelled" error (-999) when the task is
// cancelled or the session is invalidated or destroyed first.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Error.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx {

class URL;

// Error domain and codes of URL loading. Transport failures map onto these in one table
// (URLSession.cpp: urlErrorForCurlCode); the libcurl code and text travel in the user info under
// "curlCode" and "curlMessage".
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : std::int64_t {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorNotConnectedToInternet = -1009,
  kURLErrorDataLengthExceedsMaximum = -1103,  // the reply body passed its cap
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateHasBadDate = -1201,
  kURLErrorServerCertificateUntrusted = -1202,
  kURLErrorServerCertificateHasUnknownRoot = -1203,
  kURLErrorServerCertificateNotYetValid = -1204,
  kURLErrorClientCertificateRejected = -1205,
  kURLErrorClientCertificateRequired = -1206,
  kURLErrorCannotLoadFromNetwork = -2000,  // catch-all for TLS failures without a closer code
};

// The platform error for a libcurl result code (CURLcode as an int) and, where curl has one, the
// operating-system errno of the failed connect (tells "no network" from "refused"). `message` is
// curl's error text; it and the code go into the user info. Never called for CURLE_OK.
Error urlErrorForCurlCode(int curlCode, int osErrno = 0, std::string_view message = {});
// The "cancelled" error (-999) every cancelled or abandoned task completes with.
Error urlCancelledError();
// The error of a reply whose body passed `limit` bytes (after decoding).
Error urlBodyTooLargeError(std::size_t limit);

// HTTP header fields: names compare case-insensitively and keep their first spelling; a field
// that occurs several times is kept once per occurrence, in order.
class HTTPHeaderFields {
 public:
  HTTPHeaderFields() = default;
  HTTPHeaderFields(std::initializer_list<std::pair<std::string, std::string>> fields);

  // Replaces every field of that name with one field.
  void set(std::string_view name, std::string value);
  // Adds a field, keeping earlier ones of the same name.
  void add(std::string name, std::string value);
  void remove(std::string_view name);
  // The first value of the field, if present.
  std::optional<std::string> value(std::string_view name) const;
  // Every value of the field joined with ", " (how HTTP combines repeated fields).
  std::optional<std::string> combinedValue(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }
  const std::vector<std::pair<std::string, std::string>>& all() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  std::size_t size() const { return fields_.size(); }

  static bool namesEqual(std::string_view a, std::string_view b);

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// One HTTP request.
struct URLRequest {
  URLRequest() = default;
  explicit URLRequest(std::string url, std::string method = "GET")
      : url(std::move(url)), httpMethod(std::move(method)) {}
  // From a parsed URL (its text form).
  explicit URLRequest(const URL& url, std::string method = "GET");

  std::string url;
  std::string httpMethod = "GET";
  HTTPHeaderFields headers;
  std::vector<std::uint8_t> body;
  // Zero means the session's default timeout, never "no timeout".
  Duration timeoutInterval = Duration::zero();
  // Asks for a compressed reply ("Accept-Encoding: gzip") and hands back the decoded body.
  bool acceptGzip = false;
  // Most bytes of reply body to keep, counted after gzip/deflate decoding; a longer reply fails
  // with kURLErrorDataLengthExceedsMaximum. Zero means the session's cap.
  std::size_t maximumResponseBodyBytes = 0;

  void setBody(std::string_view text) { body.assign(text.begin(), text.end()); }
};

// The HTTP part of a reply.
struct HTTPURLResponse {
  int statusCode = 0;
  HTTPHeaderFields headers;
  // The URL that answered (after redirects, which are followed).
  std::string url;
};

// Status 0 when no HTTP response arrived.
inline int statusCodeOf(const std::optional<HTTPURLResponse>& response) { return response ? response->statusCode : 0; }

struct URLSessionConfiguration {
  // Whole-request timeout used when a request's own timeout is zero. Zero here is taken as 60 s.
  Duration timeoutIntervalForRequest = std::chrono::seconds(60);
  // At most this many connections to one host at a time (0: no limit); further requests wait.
  int httpMaximumConnectionsPerHost = 6;
  // Ephemeral sessions keep no cookies and no cache. Persistent ones keep cookies in memory
  // for the session's lifetime.
  bool ephemeral = false;
  // Sent with every request unless the request sets the same field itself.
  HTTPHeaderFields httpAdditionalHeaders;
  // Reply-body cap (decoded bytes) for requests that set none of their own. Zero here is taken as
  // the default: a reply must never grow without limit in memory (a small gzip body can expand
  // a thousandfold).
  static constexpr std::size_t kDefaultMaximumResponseBodyBytes = 32u << 20;
  std::size_t maximumResponseBodyBytes = kDefaultMaximumResponseBodyBytes;

  static URLSessionConfiguration defaultConfiguration() { return {}; }
  static URLSessionConfiguration ephemeralConfiguration() {
    URLSessionConfiguration c;
    c.ephemeral = true;
    return c;
  }
};

class URLSession;

// (data, response, error): `response` is absent when no HTTP response arrived; `error` is absent
// on success (any HTTP status counts as success at this layer).
using DataTaskCompletion = std::function<void(std::vector<std::uint8_t> data, std::optional<HTTPURLResponse> response,
                                              std::optional<Error> error)>;

class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
 public:
  enum class State { suspended, running, canceling, completed };

  // Starts the transfer; does nothing after the first call or after cancel.
  void resume();
  // Stops the transfer; the completion runs once with -999 unless it already ran (or is
  // about to run with the real outcome).
  void cancel();

  State state() const { return state_.load(); }
  std::uint64_t taskIdentifier() const { return identifier_; }
  const URLRequest& originalRequest() const { return request_; }

  ~URLSessionDataTask();

 private:
  friend class URLSession;
  URLSessionDataTask(std::weak_ptr<URLSession> session, std::uint64_t identifier, URLRequest request,
                     DataTaskCompletion completion);
  // Runs the completion once; later calls do nothing. Returns whether this call ran it.
  bool complete(std::vector<std::uint8_t> data, std::optional<HTTPURLResponse> response, std::optional<Error> error);

  std::weak_ptr<URLSession> session_;
  std::uint64_t identifier_;
  URLRequest request_;
  DataTaskCompletion completion_;
  std::atomic<State> state_{State::suspended};
  std::atomic<bool> completed_{false};
};

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  // `delegateQueue` receives every completion; none: a serial queue of the session's own.
  static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration = {},
                                          std::shared_ptr<DispatchQueue> delegateQueue = nullptr);
  // A process-wide session with the default configuration.
  static std::shared_ptr<URLSession> shared();

  // Destroying the session cancels whatever is still in flight; each of those completions runs
  // once with -999 (on the delegate queue).
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // A new suspended task. After invalidation the task completes with -999 when resumed.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskCompletion completion);
  std::shared_ptr<URLSessionDataTask> dataTask(std::string url, DataTaskCompletion completion);

  // Cancels every task (each completes with -999) and refuses new ones.
  void invalidateAndCancel();
  // Refuses new tasks; the ones already resumed run to their end.
  void finishTasksAndInvalidate();
  bool isInvalidated() const;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<DispatchQueue>& delegateQueue() const { return delegateQueue_; }

  // Tasks resumed and not yet finished (for tests and diagnostics).
  std::size_t tasksInFlight() const;

  struct Engine;  // the curl worker (URLSession.cpp)

 private:
  URLSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> delegateQueue);
  friend class URLSessionDataTask;
  void start(const std::shared_ptr<URLSessionDataTask>& task);
  void cancel(const std::shared_ptr<URLSessionDataTask>& task);
  void deliver(const std::shared_ptr<URLSessionDataTask>& task, std::vector<std::uint8_t> data,
               std::optional<HTTPURLResponse> response, std::optional<Error> error);

  URLSessionConfiguration configuration_;
  std::shared_ptr<DispatchQueue> delegateQueue_;
  std::unique_ptr<Engine> engine_;
  std::atomic<std::uint64_t> nextIdentifier_{1};
  std::atomic<bool> invalidated_{false};
};

}  // namespace vx
