// The one object through which the application reports errors. It keeps the shared context
// (tags, extra, user, release, dist, environment — persisted in the user defaults), writes every
// event to disk before sending it, and sends stored events again once a later send goes through.
#pragma once

#include "reporting/error-client/PloverError.h"
#include "reporting/error-client/PloverEvent.h"
#include "reporting/error-client/PloverFileManager.h"
#include "reporting/error-client/PloverOptions.h"
#include "reporting/error-client/PloverRequest.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

inline constexpr const char* kPloverEventSentSuccessfully = "Plover/eventSentSuccessfully";
inline constexpr const char* kPloverAllStoredEventsSent = "Plover/allStoredEventsSent";

class PloverClient : public std::enable_shared_from_this<PloverClient> {
 public:
  using EventHook = std::function<void(PloverEvent& event)>;
  using RequestHook = std::function<void(PloverNSURLRequest& request)>;
  using ShouldSendHook = std::function<bool(const PloverEvent& event)>;
  using ShouldQueueHook =
      std::function<bool(const PloverEvent& event, const std::optional<vx::HTTPURLResponse>& response,
                         const std::optional<vx::Error>& error)>;
  using Completion = std::function<void(std::optional<vx::Error> error)>;

  // A client on an ephemeral session with the queueing request manager. nullptr, with the error
  // in the slot (and logged), for invalid options or a store folder that cannot be made.
  static std::shared_ptr<PloverClient> make(const nlohmann::json& options, vx::Error* error = nullptr);
  static std::shared_ptr<PloverClient> makeWithDsn(const std::string& dsn, vx::Error* error = nullptr);
  static std::shared_ptr<PloverClient> make(const nlohmann::json& options,
                                            std::shared_ptr<PloverRequestManager> requestManager,
                                            vx::Error* error = nullptr);

  // The process-wide client; safe to set and read from any thread.
  static std::shared_ptr<PloverClient> sharedClient();
  static void setSharedClient(std::shared_ptr<PloverClient> client);
  static std::string versionString() { return "4.3.4"; }
  static std::string sdkName() { return "plover-cocoa"; }
  static int logLevel();
  static void setLogLevel(int level);

  // Fills the event from the shared context, stores it and sends it (when enabled). The
  // completion (optional) gets the error, or none on success; it is not called while disabled.
  void sendEvent(const std::shared_ptr<PloverEvent>& event, Completion completion = nullptr);
  void sendEvent(const std::shared_ptr<PloverEvent>& event, bool useClientProperties, Completion completion);
  void prepareEvent(PloverEvent& event, bool useClientProperties);
  // Prepares and writes the event; nothing is sent.
  std::string storeEvent(PloverEvent& event);
  void sendRequest(PloverNSURLRequest request, PloverRequestFinished completion);
  // Sends every stored event that is not already on its way; one pass at a time.
  void sendAllStoredEvents();
  void setSharedPropertiesOnEvent(PloverEvent& event);
  void appendStacktraceToEvent(PloverEvent& event);

  // Persisting setters: each writes its user-defaults key (or removes it for an empty value).
  void setTags(std::optional<PloverTags> tags);
  void setExtra(std::optional<vx::ValueMap> extra);
  void setUser(std::shared_ptr<PloverUser> user);
  void setReleaseName(std::optional<std::string> value);
  void setDist(std::optional<std::string> value);
  void setEnvironment(std::optional<std::string> value);
  void clearContext();
  void restoreContextBeforeCrash();
  // A rate outside 0…1 is refused (logged) and nothing changes.
  void setSampleRate(float rate);
  void setMaxEvents(std::size_t value);
  void setMaxBreadcrumbs(std::size_t value);
  void trackMemoryPressureAsEvent() {}

  std::optional<PloverTags> tags() const;
  std::optional<vx::ValueMap> extra() const;
  std::shared_ptr<PloverUser> user() const;
  std::optional<std::string> releaseName() const;
  std::optional<std::string> dist() const;
  std::optional<std::string> environment() const;
  float sampleRate() const;
  std::size_t maxEvents() const { return fileManager_->maxEvents(); }
  std::size_t maxBreadcrumbs() const { return fileManager_->maxBreadcrumbs(); }
  vx::ValueMap lastContext() const;
  std::shared_ptr<PloverEvent> lastEvent() const;
  const std::shared_ptr<PloverBreadcrumbStore>& breadcrumbs() const { return breadcrumbs_; }
  bool enabled() const { return enabled_.load(); }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  const std::shared_ptr<PloverDsn>& dsn() const { return dsn_; }
  const std::shared_ptr<PloverFileManager>& fileManager() const { return fileManager_; }
  const std::shared_ptr<PloverRequestManager>& requestManager() const { return requestManager_; }

  void setBeforeSerializeEvent(EventHook hook);
  void setBeforeSendRequest(RequestHook hook);
  void setShouldSendEvent(ShouldSendHook hook);
  void setShouldQueueEvent(ShouldQueueHook hook);

  // Set by the crash side (threads and images of a snapshot).
  void setSnapshot(std::vector<std::shared_ptr<PloverThread>> threads,
                   std::vector<std::shared_ptr<PloverDebugMeta>> debugMeta);

  // The prefix of the persisted-context keys ("<prefix>.tags", ...).
  static constexpr const char* kContextKeyPrefix = "io.plover";

 private:
  PloverClient() = default;
  void setupQueueing();
  void finishResendPass();

  mutable std::mutex mutex_;
  std::optional<PloverTags> tags_;
  std::optional<vx::ValueMap> extra_;
  std::shared_ptr<PloverUser> user_;
  std::optional<std::string> releaseName_;
  std::optional<std::string> dist_;
  std::optional<std::string> environment_;
  float sampleRate_ = 1.0f;
  vx::ValueMap lastContext_;
  std::shared_ptr<PloverEvent> lastEvent_;
  std::atomic<bool> enabled_{true};
  EventHook beforeSerializeEvent_;
  RequestHook beforeSendRequest_;
  ShouldSendHook shouldSendEvent_;
  ShouldQueueHook shouldQueueEvent_;
  std::vector<std::shared_ptr<PloverThread>> snapshotThreads_;
  std::vector<std::shared_ptr<PloverDebugMeta>> debugMeta_;
  bool hasSnapshot_ = false;

  std::shared_ptr<PloverDsn> dsn_;
  std::shared_ptr<PloverFileManager> fileManager_;
  std::shared_ptr<PloverBreadcrumbStore> breadcrumbs_;
  std::shared_ptr<PloverRequestManager> requestManager_;

  // Stored files whose send has not finished yet; a resend pass skips them.
  std::set<std::string> inFlight_;
  bool resendPassRunning_ = false;
  bool resendRequested_ = false;
};
