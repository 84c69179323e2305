// The store request that delivers one event to the error-reporting service, gzip of request
// bodies, and the small bounded queue that runs such requests.
#pragma once

#include "platform/foundation/Operation.h"
#include "platform/net/URLSession.h"
#include "platform/security/Crypto.h"
#include "reporting/error-client/PloverDsn.h"
#include "reporting/error-client/PloverEvent.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// gzip of `data` (level -1: the library default). Empty input gives empty output. std::nullopt
// with error 103 ("deflateInit2 error") in the slot when the stream cannot be set up, or when
// compression fails part-way, so a failed compression never passes for a body.
std::optional<vx::Bytes> plover_gzippedWithCompressionLevel(vx::ByteView data, int level, vx::Error* error);

class PloverNSURLRequest : public vx::URLRequest {
 public:
  // The request for an event; std::nullopt with error 104 when the event is no valid JSON
  // object, or with the compression error when the body cannot be compressed.
  static std::optional<PloverNSURLRequest> initStoreRequestWithDsn(const PloverDsn& dsn, PloverEvent& event,
                                                                   vx::Error* error);
  // The request around stored JSON data.
  static std::optional<PloverNSURLRequest> initStoreRequestWithDsn(const PloverDsn& dsn,
                                                                   const std::vector<std::uint8_t>& data,
                                                                   vx::Error* error);

  // "<scheme>://<host>[:port]<prefix>/api/<project>/store/" (no user or password).
  static std::string getStoreUrlFromDsn(const PloverDsn& dsn);
  // "Plover plover_version=7,plover_client=...,plover_timestamp=...,plover_key=...[,plover_secret=...]"
  static std::string authHeader(const PloverDsn& dsn);

  std::shared_ptr<PloverDsn> dsn;
};

using PloverRequestFinished =
    std::function<void(std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error)>;

class PloverRequestManager {
 public:
  virtual ~PloverRequestManager() = default;
  virtual bool isReady() = 0;
  // The handler gets the HTTP response (none when none came) and the transport error.
  virtual void addRequest(const vx::URLRequest& request, PloverRequestFinished handler) = 0;
  virtual void cancelAllOperations() = 0;
};

// An operation whose executing/finished/cancelled flags are kept under its own lock and that
// finishes when its work says so.
class PloverAsynchronousOperation : public vx::Operation {
 public:
  bool isAsynchronous() const override { return true; }
  void start() override;
  // Cancels and finishes at once.
  void cancel() override;
  void completeOperation();
};

class PloverRequestOperation : public PloverAsynchronousOperation {
 public:
  // Creates the operation and its data task (not started). The task's completion logs the
  // outcome, calls `handler` with (response, error) and then marks the operation complete.
  static std::shared_ptr<PloverRequestOperation> make(const std::shared_ptr<vx::URLSession>& session,
                                                      vx::URLRequest request, PloverRequestFinished handler);
  void main() override;
  void cancel() override;

  const std::shared_ptr<vx::URLSessionDataTask>& task() const { return task_; }
  const vx::URLRequest& request() const { return request_; }

 private:
  explicit PloverRequestOperation(vx::URLRequest request) : request_(std::move(request)) {}
  vx::URLRequest request_;
  std::shared_ptr<vx::URLSessionDataTask> task_;
};

class PloverQueueableRequestManager : public PloverRequestManager {
 public:
  static constexpr int kMaxConcurrentRequests = 3;
  explicit PloverQueueableRequestManager(std::shared_ptr<vx::URLSession> session);

  // True while the queue holds fewer than 2 operations.
  bool isReady() override;
  void addRequest(const vx::URLRequest& request, PloverRequestFinished handler) override;
  void cancelAllOperations() override;

  vx::OperationQueue& queue() { return *queue_; }
  const std::shared_ptr<vx::URLSession>& session() const { return session_; }

 private:
  std::shared_ptr<vx::URLSession> session_;
  // Shared so that completions arriving after the manager is gone find it missing, not freed.
  std::shared_ptr<vx::OperationQueue> queue_;
};
