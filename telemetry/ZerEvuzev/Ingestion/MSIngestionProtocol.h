// What a channel unit needs of a telemetry sender: send a log container with an optional auth
// token, readiness, pause/resume/enable, and delegates told about pause, resume and fatal errors.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class MSIngestionProtocol;

// Result codes of a finished call.
enum class MSIngestionCallResult : int {
  Completed = 100,         // success, a failure needing no action, or a cancelled request
  RecoverableError = 500,  // recoverable failure with every retry used
  FatalError = 999,        // must not be retried
};

// (call id, HTTP response if one arrived, body, error).
using MSSendAsyncCompletionHandler =
    std::function<void(const std::string& callId, const std::optional<vx::HTTPURLResponse>& response,
                       const vx::Bytes& data, const std::optional<vx::Error>& error)>;

// Told about the sender's state. Every operation is optional (does nothing by default).
class MSIngestionDelegate {
 public:
  virtual ~MSIngestionDelegate() = default;
  virtual void ingestionDidPause(MSIngestionProtocol* /*ingestion*/) {}
  virtual void ingestionDidResume(MSIngestionProtocol* /*ingestion*/) {}
  virtual void ingestionDidReceiveFatalError(MSIngestionProtocol* /*ingestion*/) {}
};

class MSEnable {
 public:
  virtual ~MSEnable() = default;
  virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};

class MSIngestionProtocol : public MSEnable {
 public:
  // Whether requests can be built at all (e.g. the application secret is known).
  virtual bool isReadyToSend() = 0;
  virtual bool isPaused() = 0;
  virtual bool isEnabled() = 0;
  // Sends the container; `handler` is called once the send has ended (after retries).
  virtual void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                         MSSendAsyncCompletionHandler handler) = 0;
  // Delegates are held weakly.
  virtual void addDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
  virtual void setBaseURL(const std::string& baseURL) = 0;
};
