#include "platform/net/URLSession.h"

#include "platform/darwin/SignalStack.h"
#include "platform/foundation/URL.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vx {

// ---------------------------------------------------------------------------------------------
// Error table

namespace {

struct CurlErrorMapping {
  CURLcode curl;
  std::int64_t code;
  const char* description;
};

// Every transport failure maps here, and only here. Codes not listed become kURLErrorUnknown.
constexpr CurlErrorMapping kCurlErrorTable[] = {
    {CURLE_ABORTED_BY_CALLBACK, kURLErrorCancelled, "cancelled"},
    {CURLE_OPERATION_TIMEDOUT, kURLErrorTimedOut, "The request timed out."},
    {CURLE_COULDNT_RESOLVE_HOST, kURLErrorCannotFindHost, "A server with the specified hostname could not be found."},
    {CURLE_COULDNT_RESOLVE_PROXY, kURLErrorCannotFindHost, "A server with the specified hostname could not be found."},
    {CURLE_COULDNT_CONNECT, kURLErrorCannotConnectToHost, "Could not connect to the server."},
    {CURLE_GOT_NOTHING, kURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_PARTIAL_FILE, kURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_SEND_ERROR, kURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_RECV_ERROR, kURLErrorNetworkConnectionLost, "The network connection was lost."},
    {CURLE_URL_MALFORMAT, kURLErrorBadURL, "bad URL"},
    {CURLE_UNSUPPORTED_PROTOCOL, kURLErrorUnsupportedURL, "unsupported URL"},
    {CURLE_SSL_CONNECT_ERROR, kURLErrorSecureConnectionFailed,
     "An SSL error has occurred and a secure connection to the server cannot be made."},
    {CURLE_SSL_CIPHER, kURLErrorSecureConnectionFailed,
     "An SSL error has occurred and a secure connection to the server cannot be made."},
    {CURLE_PEER_FAILED_VERIFICATION, kURLErrorServerCertificateUntrusted,
     "The certificate for this server is invalid."},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, kURLErrorServerCertificateUntrusted,
     "The certificate for this server is invalid."},
    {CURLE_SSL_INVALIDCERTSTATUS, kURLErrorServerCertificateUntrusted, "The certificate for this server is invalid."},
    {CURLE_SSL_ISSUER_ERROR, kURLErrorServerCertificateHasUnknownRoot,
     "The certificate for this server was signed by an unknown certifying authority."},
    {CURLE_SSL_CACERT_BADFILE, kURLErrorServerCertificateHasUnknownRoot,
     "The certificate for this server was signed by an unknown certifying authority."},
    {CURLE_SSL_CERTPROBLEM, kURLErrorClientCertificateRejected, "The server did not accept the certificate."},
    {CURLE_SSL_CLIENTCERT, kURLErrorClientCertificateRequired, "The server requires a client certificate."},
    {CURLE_SSL_ENGINE_NOTFOUND, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
    {CURLE_SSL_ENGINE_SETFAILED, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
    {CURLE_SSL_ENGINE_INITFAILED, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
    {CURLE_SSL_SHUTDOWN_FAILED, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
    {CURLE_SSL_CRL_BADFILE, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
    {CURLE_USE_SSL_FAILED, kURLErrorCannotLoadFromNetwork, "A TLS error occurred."},
};

// A failed connect whose socket error says the machine has no route out.
bool isNoNetworkErrno(int osErrno) { return osErrno == ENETUNREACH || osErrno == ENETDOWN || osErrno == EHOSTUNREACH; }

}  // namespace

Error urlErrorForCurlCode(int curlCode, int osErrno, std::string_view message) {
  std::int64_t code = kURLErrorUnknown;
  std::string description = "An unknown error occurred.";
  for (const auto& entry : kCurlErrorTable) {
    if (static_cast<int>(entry.curl) == curlCode) {
      code = entry.code;
      description = entry.description;
      break;
    }
  }
  if (curlCode == CURLE_COULDNT_CONNECT && isNoNetworkErrno(osErrno)) {
    code = kURLErrorNotConnectedToInternet;
    description = "The Internet connection appears to be offline.";
  }
  nlohmann::json info = {
      {"curlCode", curlCode},
      {"curlMessage",
       message.empty() ? std::string(curl_easy_strerror(static_cast<CURLcode>(curlCode))) : std::string(message)},
  };
  if (osErrno != 0) info["errno"] = osErrno;
  return Error(kURLErrorDomain, code, std::move(description), std::move(info));
}

Error urlCancelledError() { return Error(kURLErrorDomain, kURLErrorCancelled, "cancelled"); }

Error urlBodyTooLargeError(std::size_t limit) {
  return Error(kURLErrorDomain, kURLErrorDataLengthExceedsMaximum,
               "The reply body is larger than the " + std::to_string(limit) + " bytes allowed.",
               nlohmann::json{{"maximumBytes", limit}});
}

// ---------------------------------------------------------------------------------------------
// Header fields

namespace {
std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}
}  // namespace

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<std::pair<std::string, std::string>> fields)
    : fields_(fields) {}

bool HTTPHeaderFields::namesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void HTTPHeaderFields::set(std::string_view name, std::string value) {
  auto it = std::find_if(fields_.begin(), fields_.end(), [&](const auto& f) { return namesEqual(f.first, name); });
  if (it == fields_.end()) {
    fields_.emplace_back(std::string(name), std::move(value));
    return;
  }
  it->second = std::move(value);
  auto next = std::next(it);
  fields_.erase(std::remove_if(next, fields_.end(), [&](const auto& f) { return namesEqual(f.first, name); }),
                fields_.end());
}

void HTTPHeaderFields::add(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

void HTTPHeaderFields::remove(std::string_view name) {
  fields_.erase(
      std::remove_if(fields_.begin(), fields_.end(), [&](const auto& f) { return namesEqual(f.first, name); }),
      fields_.end());
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  for (const auto& f : fields_) {
    if (namesEqual(f.first, name)) return f.second;
  }
  return std::nullopt;
}

std::optional<std::string> HTTPHeaderFields::combinedValue(std::string_view name) const {
  std::optional<std::string> result;
  for (const auto& f : fields_) {
    if (!namesEqual(f.first, name)) continue;
    if (result) {
      *result += ", ";
      *result += f.second;
    } else {
      result = f.second;
    }
  }
  return result;
}

URLRequest::URLRequest(const URL& u, std::string method) : url(u.string()), httpMethod(std::move(method)) {}

// ---------------------------------------------------------------------------------------------
// Data task

URLSessionDataTask::URLSessionDataTask(std::weak_ptr<URLSession> session, std::uint64_t identifier, URLRequest request,
                                       DataTaskCompletion completion)
    : session_(std::move(session)),
      identifier_(identifier),
      request_(std::move(request)),
      completion_(std::move(completion)) {}

URLSessionDataTask::~URLSessionDataTask() = default;

void URLSessionDataTask::resume() {
  State expected = State::suspended;
  if (!state_.compare_exchange_strong(expected, State::running)) return;
  auto self = shared_from_this();
  if (auto session = session_.lock()) {
    session->start(self);
  } else {
    // The session is gone: nothing can run the transfer.
    state_ = State::completed;
    complete({}, std::nullopt, urlCancelledError());
  }
}

void URLSessionDataTask::cancel() {
  State previous = state_.load();
  do {
    if (previous == State::canceling || previous == State::completed) return;
  } while (!state_.compare_exchange_weak(previous, State::canceling));
  auto self = shared_from_this();
  auto session = session_.lock();
  if (previous == State::running && session) {
    session->cancel(self);  // the engine stops the transfer and delivers -999
  } else if (session) {
    session->deliver(self, {}, std::nullopt, urlCancelledError());
  } else {
    complete({}, std::nullopt, urlCancelledError());
  }
}

bool URLSessionDataTask::complete(std::vector<std::uint8_t> data, std::optional<HTTPURLResponse> response,
                                  std::optional<Error> error) {
  if (completed_.exchange(true)) return false;
  state_ = State::completed;
  DataTaskCompletion completion = std::move(completion_);
  completion_ = nullptr;
  if (completion) completion(std::move(data), std::move(response), std::move(error));
  return true;
}

// ---------------------------------------------------------------------------------------------
// The curl worker

namespace {

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Loopback never goes through a proxy, whatever the environment says.
std::string noProxyList() {
  std::string list = "localhost,127.0.0.1,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      list += ',';
      list += value;
      break;
    }
  }
  return list;
}

}  // namespace

struct URLSession::Engine {
  struct Transfer {
    std::shared_ptr<URLSessionDataTask> task;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::vector<std::uint8_t> body;
    std::size_t bodyLimit = 0;  // decoded bytes allowed
    bool bodyTooLarge = false;  // the write callback stopped the transfer at the limit
    HTTPURLResponse response;
    char errorBuffer[CURL_ERROR_SIZE] = {};
  };

  enum class CommandKind { add, cancel, cancelAll };
  struct Command {
    CommandKind kind;
    std::shared_ptr<URLSessionDataTask> task;
  };

  URLSession* owner;  // valid for the engine's whole life (the session joins it)
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  std::string noProxy;
  std::thread thread;

  mutable std::mutex mutex;
  std::deque<Command> commands;
  bool stopping = false;
  std::size_t inFlight = 0;  // guarded by mutex: added and not yet finished

  std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers;  // worker thread only

  explicit Engine(URLSession* session) : owner(session) {
    initCurlOnce();
    noProxy = noProxyList();
    multi = curl_multi_init();
    if (multi == nullptr) fatalError("curl_multi_init failed");
    const auto& config = owner->configuration_;
    if (config.httpMaximumConnectionsPerHost > 0) {
      curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(config.httpMaximumConnectionsPerHost));
      // Keep enough idle connections that a busy host reuses them instead of reconnecting.
      curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS,
                        static_cast<long>(std::max(config.httpMaximumConnectionsPerHost * 4, 16)));
    }
    if (!config.ephemeral) {
      share = curl_share_init();
      if (share != nullptr) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }
    thread = std::thread([this] { run(); });
  }

  ~Engine() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    curl_multi_wakeup(multi);
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // cannot happen by design; never join ourselves
      } else {
        thread.join();
      }
    }
    curl_multi_cleanup(multi);
    if (share != nullptr) curl_share_cleanup(share);
  }

  void post(Command command) {
    {
      std::lock_guard lock(mutex);
      if (command.kind == CommandKind::add) ++inFlight;
      commands.push_back(std::move(command));
    }
    curl_multi_wakeup(multi);
  }

  std::size_t tasksInFlight() const {
    std::lock_guard lock(mutex);
    return inFlight;
  }

  void finished() {
    std::lock_guard lock(mutex);
    if (inFlight > 0) --inFlight;
  }

  // --- worker thread ---

  void run() {
    // A fatal-signal handler must run here even when this thread overflows its stack.
    thread_signal_stack_install();
    for (;;) {
      std::deque<Command> batch;
      bool stop = false;
      {
        std::lock_guard lock(mutex);
        batch.swap(commands);
        stop = stopping;
      }
      for (auto& command : batch) handle(command);
      if (stop) break;

      int running = 0;
      curl_multi_perform(multi, &running);
      collectFinished();
      int ignored = 0;
      curl_multi_poll(multi, nullptr, 0, 1000, &ignored);
    }
    // Whatever is left is abandoned: each task completes once with -999.
    for (auto& [easy, transfer] : transfers) {
      curl_multi_remove_handle(multi, easy);
      auto task = transfer->task;
      release(*transfer);
      owner->deliver(task, {}, std::nullopt, urlCancelledError());
      finished();
    }
    transfers.clear();
    std::deque<Command> rest;
    {
      std::lock_guard lock(mutex);
      rest.swap(commands);
    }
    for (auto& command : rest) {
      if (command.kind == CommandKind::add) {
        owner->deliver(command.task, {}, std::nullopt, urlCancelledError());
        finished();
      }
    }
  }

  void handle(Command& command) {
    switch (command.kind) {
      case CommandKind::add:
        if (command.task->state() != URLSessionDataTask::State::running) {
          owner->deliver(command.task, {}, std::nullopt, urlCancelledError());
          finished();
        } else {
          add(command.task);
        }
        break;
      case CommandKind::cancel:
        for (auto it = transfers.begin(); it != transfers.end(); ++it) {
          if (it->second->task == command.task) {
            cancelTransfer(it);
            break;
          }
        }
        break;
      case CommandKind::cancelAll:
        while (!transfers.empty()) cancelTransfer(transfers.begin());
        break;
    }
  }

  void cancelTransfer(std::unordered_map<CURL*, std::unique_ptr<Transfer>>::iterator it) {
    curl_multi_remove_handle(multi, it->first);
    auto task = it->second->task;
    release(*it->second);
    transfers.erase(it);
    owner->deliver(task, {}, std::nullopt, urlCancelledError());
    finished();
  }

  static void release(Transfer& transfer) {
    if (transfer.easy != nullptr) curl_easy_cleanup(transfer.easy);
    if (transfer.headers != nullptr) curl_slist_free_all(transfer.headers);
    transfer.easy = nullptr;
    transfer.headers = nullptr;
  }

  static size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t n = size * count;
    // curl hands over decoded bytes, so the cap also bounds gzip and deflate expansion.
    if (n > transfer->bodyLimit - transfer->body.size()) {  // body never exceeds the limit
      transfer->bodyTooLarge = true;
      return 0;  // stops the transfer with CURLE_WRITE_ERROR
    }
    transfer->body.insert(transfer->body.end(), data, data + n);
    return n;
  }

  static size_t writeHeader(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
      // A new response starts (after a 100 Continue or a redirect): forget the earlier one.
      transfer->response.headers = HTTPHeaderFields();
      return n;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    transfer->response.headers.add(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    return n;
  }

  void add(const std::shared_ptr<URLSessionDataTask>& task) {
    auto transfer = std::make_unique<Transfer>();
    transfer->task = task;
    const URLRequest& request = task->originalRequest();
    const auto& config = owner->configuration_;

    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
      owner->deliver(task, {}, std::nullopt, urlErrorForCurlCode(CURLE_OUT_OF_MEMORY));
      finished();
      return;
    }
    transfer->easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Engine::writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Engine::writeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");

    Duration timeout =
        request.timeoutInterval > Duration::zero() ? request.timeoutInterval : config.timeoutIntervalForRequest;
    if (timeout <= Duration::zero()) timeout = std::chrono::seconds(60);
    const auto timeoutMs =
        std::max<long>(1, static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);

    transfer->bodyLimit = request.maximumResponseBodyBytes > 0 ? request.maximumResponseBodyBytes
                          : config.maximumResponseBodyBytes > 0
                              ? config.maximumResponseBodyBytes
                              : URLSessionConfiguration::kDefaultMaximumResponseBodyBytes;
    // A reply that announces a longer body is refused before any of it is read.
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(transfer->bodyLimit));

    if (request.acceptGzip) {
      // curl sends the header and decodes the body itself.
      curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip");
    }
    if (share != nullptr) {
      curl_easy_setopt(easy, CURLOPT_SHARE, share);
      curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // cookies in memory only
    }

    const std::string& method = request.httpMethod.empty() ? std::string("GET") : request.httpMethod;
    if (method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (method == "GET" && request.body.empty()) {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      if (!request.body.empty() || method == "POST" || method == "PUT" || method == "PATCH") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                         request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
      }
      if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    curl_slist* list = nullptr;
    auto append = [&](const std::string& name, const std::string& value) {
      // "Name;" sends a field with an empty value; "Name:" would remove it.
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      if (auto* next = curl_slist_append(list, line.c_str())) list = next;
    };
    for (const auto& [name, value] : config.httpAdditionalHeaders.all()) {
      if (!request.headers.contains(name)) append(name, value);
    }
    for (const auto& [name, value] : request.headers.all()) append(name, value);
    // curl labels every POST body as form data; a request with no body declares no type.
    if (request.body.empty() && !request.headers.contains("Content-Type") &&
        !config.httpAdditionalHeaders.contains("Content-Type")) {
      if (auto* next = curl_slist_append(list, "Content-Type:")) list = next;
    }
    // No "Expect: 100-continue" round trip for bodies.
    if (!request.headers.contains("Expect")) {
      if (auto* next = curl_slist_append(list, "Expect:")) list = next;
    }
    transfer->headers = list;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
      release(*transfer);
      owner->deliver(task, {}, std::nullopt, urlErrorForCurlCode(CURLE_FAILED_INIT));
      finished();
      return;
    }
    transfers.emplace(easy, std::move(transfer));
  }

  void collectFinished() {
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &remaining)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      auto it = transfers.find(easy);
      if (it == transfers.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(it->second);
      transfers.erase(it);
      curl_multi_remove_handle(multi, easy);

      if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        transfer->response.statusCode = static_cast<int>(status);
        transfer->response.url = effective != nullptr ? effective : transfer->task->originalRequest().url;
        auto task = transfer->task;
        auto body = std::move(transfer->body);
        auto response = std::move(transfer->response);
        release(*transfer);
        owner->deliver(task, std::move(body), std::move(response), std::nullopt);
      } else if (transfer->bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        auto task = transfer->task;
        const std::size_t limit = transfer->bodyLimit;
        release(*transfer);
        owner->deliver(task, {}, std::nullopt, urlBodyTooLargeError(limit));
      } else {
        long osErrno = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
        std::string message = transfer->errorBuffer[0] != '\0' ? std::string(transfer->errorBuffer)
                                                               : std::string(curl_easy_strerror(code));
        auto task = transfer->task;
        release(*transfer);
        owner->deliver(task, {}, std::nullopt, urlErrorForCurlCode(code, static_cast<int>(osErrno), message));
      }
      finished();
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Session

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<DispatchQueue> delegateQueue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)) {
  if (!delegateQueue_) delegateQueue_ = DispatchQueue::makeSerial("vx.urlsession.delegate");
  engine_ = std::make_unique<Engine>(this);
}

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<DispatchQueue> delegateQueue) {
  return std::shared_ptr<URLSession>(new URLSession(std::move(configuration), std::move(delegateQueue)));
}

std::shared_ptr<URLSession> URLSession::shared() {
  // Never destroyed: completions may still arrive while the process exits.
  static const auto* session = new std::shared_ptr<URLSession>(make());
  return *session;
}

URLSession::~URLSession() { engine_.reset(); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
  const auto identifier = nextIdentifier_.fetch_add(1);
  return std::shared_ptr<URLSessionDataTask>(
      new URLSessionDataTask(weak_from_this(), identifier, std::move(request), std::move(completion)));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(std::string url, DataTaskCompletion completion) {
  return dataTask(URLRequest(std::move(url)), std::move(completion));
}

void URLSession::start(const std::shared_ptr<URLSessionDataTask>& task) {
  if (isInvalidated()) {
    task->state_ = URLSessionDataTask::State::canceling;
    deliver(task, {}, std::nullopt, urlCancelledError());
    return;
  }
  engine_->post({Engine::CommandKind::add, task});
}

void URLSession::cancel(const std::shared_ptr<URLSessionDataTask>& task) {
  engine_->post({Engine::CommandKind::cancel, task});
}

void URLSession::deliver(const std::shared_ptr<URLSessionDataTask>& task, std::vector<std::uint8_t> data,
                         std::optional<HTTPURLResponse> response, std::optional<Error> error) {
  delegateQueue_->async(
      [task, data = std::move(data), response = std::move(response), error = std::move(error)]() mutable {
        task->complete(std::move(data), std::move(response), std::move(error));
      });
}

void URLSession::invalidateAndCancel() {
  invalidated_.store(true);
  engine_->post({Engine::CommandKind::cancelAll, nullptr});
}

void URLSession::finishTasksAndInvalidate() { invalidated_.store(true); }

bool URLSession::isInvalidated() const { return invalidated_.load(); }

std::size_t URLSession::tasksInFlight() const { return engine_->tasksInFlight(); }

}  // namespace vx
