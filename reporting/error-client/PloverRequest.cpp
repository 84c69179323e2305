#include "reporting/error-client/PloverRequest.h"

#include "platform/security/Gzip.h"
#include "reporting/error-client/PloverClient.h"
#include "reporting/error-client/PloverError.h"

#include <chrono>

std::optional<vx::Bytes> plover_gzippedWithCompressionLevel(vx::ByteView data, int level, vx::Error* error) {
  if (data.size() == 0) return vx::Bytes{};
  vx::GzipOptions options;
  options.level = level;
  options.memoryLevel = 9;
  auto compressed = vx::gzipCompress(data, options);
  if (!compressed.ok()) {
    fillError(error, kPloverErrorDomain, kPloverErrorCompressionError, "deflateInit2 error");
    return std::nullopt;
  }
  return std::move(compressed).value();
}

namespace {

// Path components as the platform counts them: "/" first, then each non-empty segment.
std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> parts;
  if (!path.empty() && path.front() == '/') parts.emplace_back("/");
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string PloverNSURLRequest::getStoreUrlFromDsn(const PloverDsn& dsn) {
  const auto& url = dsn.url();
  const auto parts = pathComponents(url.path());
  const std::string projectId = parts.empty() ? std::string() : parts.back();
  std::string prefix;
  if (parts.size() >= 3) {
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
      prefix += (i > 1 ? "/" : "") + parts[i];
    }
    prefix = "/" + prefix;
  }
  std::string text = url.scheme().value_or("https") + "://" + url.host().value_or("");
  if (url.port()) text += ":" + std::to_string(*url.port());
  text += prefix + "/api/" + projectId + "/store/";
  return text;
}

std::string PloverNSURLRequest::authHeader(const PloverDsn& dsn) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string header = "Plover plover_version=7,plover_client=plover-cocoa/" + PloverClient::versionString() +
                       ",plover_timestamp=" + std::to_string(seconds) + ",plover_key=" + dsn.url().user().value_or("");
  if (dsn.url().password()) header += ",plover_secret=" + *dsn.url().password();
  return header;
}

std::optional<PloverNSURLRequest> PloverNSURLRequest::initStoreRequestWithDsn(const PloverDsn& dsn, PloverEvent& event,
                                                                              vx::Error* error) {
  const vx::Value serialized(event.serialize());
  if (!PloverIsValidJSONObject(serialized)) {
    fillError(error, kPloverErrorDomain, kPloverErrorJsonConversionError, "Event cannot be converted to JSON");
    return std::nullopt;
  }
  const bool verbose = PloverClient::logLevel() == kPloverLogLevelVerbose;
  const std::string json = serialized.toOrderedJson().dump(verbose ? 4 : -1);
  if (verbose) {
    PloverLog::logWithMessage("Sending JSON -------------------------------", kPloverLogLevelVerbose);
    PloverLog::logWithMessage(json, kPloverLogLevelVerbose);
    PloverLog::logWithMessage("--------------------------------------------", kPloverLogLevelVerbose);
  }
  return initStoreRequestWithDsn(dsn, std::vector<std::uint8_t>(json.begin(), json.end()), error);
}

std::optional<PloverNSURLRequest> PloverNSURLRequest::initStoreRequestWithDsn(const PloverDsn& dsn,
                                                                              const std::vector<std::uint8_t>& data,
                                                                              vx::Error* error) {
  PloverNSURLRequest request;
  request.url = getStoreUrlFromDsn(dsn);
  request.timeoutInterval = std::chrono::seconds(15);
  request.httpMethod = "POST";
  request.headers.set("X-Plover-Auth", authHeader(dsn));
  request.headers.set("Content-Type", "application/json");
  request.headers.set("User-Agent", "plover-cocoa");
  request.headers.set("Content-Encoding", "gzip");
  auto body = plover_gzippedWithCompressionLevel(data, -1, error);
  // A body that could not be compressed must not go out empty as if it were the event.
  if (!body) return std::nullopt;
  request.body = std::move(*body);
  return request;
}

// --- operations ---

void PloverAsynchronousOperation::start() {
  if (isCancelled()) {
    finish();
    return;
  }
  setExecuting(true);
  main();
}

void PloverAsynchronousOperation::cancel() {
  vx::Operation::cancel();
  finish();
}

void PloverAsynchronousOperation::completeOperation() { finish(); }

std::shared_ptr<PloverRequestOperation> PloverRequestOperation::make(const std::shared_ptr<vx::URLSession>& session,
                                                                     vx::URLRequest request,
                                                                     PloverRequestFinished handler) {
  std::shared_ptr<PloverRequestOperation> operation(new PloverRequestOperation(std::move(request)));
  // The task holds the operation weakly: the operation owns the task, not the other way round.
  std::weak_ptr<PloverRequestOperation> weak = operation;
  operation->task_ = session->dataTask(operation->request_, [weak, handler = std::move(handler)](
                                                                std::vector<std::uint8_t> data,
                                                                std::optional<vx::HTTPURLResponse> response,
                                                                std::optional<vx::Error> error) {
    PloverLog::logWithMessage("Request status: " + std::to_string(vx::statusCodeOf(response)), kPloverLogLevelDebug);
    if (PloverClient::logLevel() == kPloverLogLevelVerbose) {
      PloverLog::logWithMessage("Request response: " + std::string(data.begin(), data.end()), kPloverLogLevelVerbose);
    }
    if (error) {
      PloverLog::logWithMessage("Request failed: " + error->toString(), kPloverLogLevelError);
      response.reset();
    }
    if (handler) handler(std::move(response), std::move(error));
    if (auto self = weak.lock()) self->completeOperation();
  });
  return operation;
}

void PloverRequestOperation::main() { task_->resume(); }

void PloverRequestOperation::cancel() {
  task_->cancel();
  PloverAsynchronousOperation::cancel();
}

// --- queue ---

PloverQueueableRequestManager::PloverQueueableRequestManager(std::shared_ptr<vx::URLSession> session)
    : session_(std::move(session)),
      queue_(std::make_shared<vx::OperationQueue>("io.plover.QueueableRequestManager.OperationQueue")) {
  queue_->setMaxConcurrentOperationCount(kMaxConcurrentRequests);
}

bool PloverQueueableRequestManager::isReady() { return queue_->operationCount() < 2; }

void PloverQueueableRequestManager::addRequest(const vx::URLRequest& request, PloverRequestFinished handler) {
  std::weak_ptr<vx::OperationQueue> weakQueue = queue_;
  auto operation = PloverRequestOperation::make(
      session_, request,
      [weakQueue, handler = std::move(handler)](std::optional<vx::HTTPURLResponse> response,
                                                std::optional<vx::Error> error) {
        const auto queue = weakQueue.lock();
        const std::size_t count = queue ? queue->operationCount() : 0;
        PloverLog::logWithMessage("Queued requests: " + std::to_string(count > 0 ? count - 1 : 0),
                                  kPloverLogLevelDebug);
        if (handler) handler(std::move(response), std::move(error));
      });
  queue_->addOperation(operation);
}

void PloverQueueableRequestManager::cancelAllOperations() { queue_->cancelAllOperations(); }
