#include "reporting/error-client/PloverClient.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/UserDefaults.h"

#include <syslog.h>

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<PloverClient>& sharedSlot() {
  static std::shared_ptr<PloverClient> client;
  return client;
}

std::atomic<int> gLogLevel{kPloverLogLevelError};

std::string contextKey(const char* name) { return std::string(PloverClient::kContextKeyPrefix) + "." + name; }

bool isSuccess(const std::optional<vx::HTTPURLResponse>& response) {
  return response && response->statusCode >= 200 && response->statusCode < 300;
}

vx::Error httpStatusError(int status) {
  return NSErrorFromPloverError(kPloverErrorRequestError, "Request failed with HTTP status " + std::to_string(status));
}

vx::ValueMap tagsToMap(const PloverTags& tags) {
  vx::ValueMap map;
  for (const auto& [key, value] : tags) map.set(key, value);
  return map;
}

std::optional<vx::ValueMap> parseJsonObject(const std::vector<std::uint8_t>& data) {
  auto json = nlohmann::ordered_json::parse(data.begin(), data.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  auto value = vx::Value::fromJson(json);
  return *value.mapValue();
}

nlohmann::json toUserInfo(const vx::ValueMap& map) { return vx::Value(map).toJson(); }

}  // namespace

int PloverClient::logLevel() { return gLogLevel.load(); }
void PloverClient::setLogLevel(int level) { gLogLevel = level; }

std::shared_ptr<PloverClient> PloverClient::sharedClient() {
  std::lock_guard lock(sharedMutex());
  return sharedSlot();
}

void PloverClient::setSharedClient(std::shared_ptr<PloverClient> client) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(client);
}

std::shared_ptr<PloverClient> PloverClient::make(const nlohmann::json& options, vx::Error* error) {
  auto session = vx::URLSession::make(vx::URLSessionConfiguration::ephemeralConfiguration());
  return make(options, std::make_shared<PloverQueueableRequestManager>(session), error);
}

std::shared_ptr<PloverClient> PloverClient::makeWithDsn(const std::string& dsn, vx::Error* error) {
  return make(nlohmann::json{{"dsn", dsn}}, error);
}

std::shared_ptr<PloverClient> PloverClient::make(const nlohmann::json& optionsDictionary,
                                                 std::shared_ptr<PloverRequestManager> requestManager,
                                                 vx::Error* error) {
  std::shared_ptr<PloverClient> client(new PloverClient());
  client->restoreContextBeforeCrash();
  client->setupQueueing();
  client->tags_ = PloverTags{};
  client->extra_ = vx::ValueMap{};

  vx::Error local;
  vx::Error* slot = error != nullptr ? error : &local;
  auto options = PloverOptions::make(optionsDictionary, slot);
  if (!options) {
    PloverLog::logWithMessage(slot->description, kPloverLogLevelError);
    return nullptr;
  }
  client->enabled_ = options->enabled.value_or(true);
  client->dsn_ = options->dsn;
  client->setEnvironment(options->environment);
  client->setReleaseName(options->releaseName);
  client->setDist(options->dist);
  client->requestManager_ = std::move(requestManager);

  if (logLevel() > kPloverLogLevelNone) {
    syslog(LOG_NOTICE, "Plover Started -- Version: %s", versionString().c_str());
  }
  client->fileManager_ = PloverFileManager::make(*client->dsn_, slot);
  if (!client->fileManager_) {
    PloverLog::logWithMessage(slot->description, kPloverLogLevelError);
    return nullptr;
  }
  client->breadcrumbs_ = std::make_shared<PloverBreadcrumbStore>(client->fileManager_);
  if (client->enabled_ && client->requestManager_->isReady()) client->sendAllStoredEvents();
  return client;
}

void PloverClient::setupQueueing() {
  std::lock_guard lock(mutex_);
  shouldQueueEvent_ = [](const PloverEvent&, const std::optional<vx::HTTPURLResponse>& response,
                         const std::optional<vx::Error>&) {
    if (!response) return true;
    if (response->statusCode == 429) {
      PloverLog::logWithMessage("Rate limit reached, event will be stored and sent later", kPloverLogLevelError);
      return true;
    }
    return false;
  };
}

void PloverClient::sendEvent(const std::shared_ptr<PloverEvent>& event, Completion completion) {
  sendEvent(event, true, std::move(completion));
}

void PloverClient::prepareEvent(PloverEvent& event, bool useClientProperties) {
  if (useClientProperties) setSharedPropertiesOnEvent(event);
  EventHook hook;
  {
    std::lock_guard lock(mutex_);
    hook = beforeSerializeEvent_;
  }
  if (hook) hook(event);
}

std::string PloverClient::storeEvent(PloverEvent& event) {
  prepareEvent(event, true);
  return fileManager_->storeEvent(event);
}

void PloverClient::sendEvent(const std::shared_ptr<PloverEvent>& event, bool useClientProperties,
                             Completion completion) {
  if (!event) return;
  prepareEvent(*event, useClientProperties);
  ShouldSendHook shouldSend;
  {
    std::lock_guard lock(mutex_);
    shouldSend = shouldSendEvent_;
  }
  if (shouldSend && !shouldSend(*event)) {
    const std::string text = "PloverClient shouldSendEvent returned NO so we will not send the event";
    PloverLog::logWithMessage(text, kPloverLogLevelDebug);
    if (completion) completion(NSErrorFromPloverError(kPloverErrorEventNotSent, text));
    return;
  }
  vx::Error requestError;
  auto request = PloverNSURLRequest::initStoreRequestWithDsn(*dsn_, *event, &requestError);
  if (!request) {
    PloverLog::logWithMessage(requestError.description, kPloverLogLevelError);
    if (completion) completion(requestError);
    return;
  }
  const std::string path = fileManager_->storeEvent(*event);
  if (!enabled_) {
    PloverLog::logWithMessage("PloverClient is disabled, event will be stored to send later.", kPloverLogLevelDebug);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    inFlight_.insert(path);
  }
  std::weak_ptr<PloverClient> weak = weak_from_this();
  sendRequest(std::move(*request), [weak, event, path, completion = std::move(completion)](
                                       std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error) {
    auto self = weak.lock();
    if (!self) {
      if (completion) completion(error);
      return;
    }
    ShouldQueueHook shouldQueue;
    {
      std::lock_guard lock(self->mutex_);
      shouldQueue = self->shouldQueueEvent_;
    }
    const bool delivered = !error && isSuccess(response);
    // Only a delivered event leaves the disk; anything else stays for the next pass.
    const bool keep = (shouldQueue && shouldQueue(*event, response, error)) || !delivered;
    if (!keep) self->fileManager_->removeFileAtPath(path);
    {
      std::lock_guard lock(self->mutex_);
      self->inFlight_.erase(path);
    }
    if (!error && !delivered) error = httpStatusError(vx::statusCodeOf(response));
    if (!error) {
      {
        std::lock_guard lock(self->mutex_);
        self->lastEvent_ = event;
      }
      vx::NotificationCenter::defaultCenter().post(kPloverEventSentSuccessfully, nullptr,
                                                   toUserInfo(event->serialize()));
      if (self->enabled_ && self->requestManager_->isReady()) self->sendAllStoredEvents();
    }
    if (completion) completion(error);
  });
}

void PloverClient::sendRequest(PloverNSURLRequest request, PloverRequestFinished completion) {
  RequestHook hook;
  {
    std::lock_guard lock(mutex_);
    hook = beforeSendRequest_;
  }
  if (hook) hook(request);
  requestManager_->addRequest(request, std::move(completion));
}

void PloverClient::sendAllStoredEvents() {
  {
    std::lock_guard lock(mutex_);
    if (resendPassRunning_) {
      resendRequested_ = true;
      return;
    }
    resendPassRunning_ = true;
  }
  auto group = std::make_shared<vx::DispatchGroup>();
  std::weak_ptr<PloverClient> weak = weak_from_this();
  for (auto& entry : fileManager_->getAllStoredEvents()) {
    {
      std::lock_guard lock(mutex_);
      if (!inFlight_.insert(entry.path).second) continue;  // already on its way
    }
    auto request = PloverNSURLRequest::initStoreRequestWithDsn(*dsn_, entry.data, nullptr);
    if (!request) {
      std::lock_guard lock(mutex_);
      inFlight_.erase(entry.path);
      continue;
    }
    group->enter();
    sendRequest(std::move(*request), [weak, group, path = entry.path, data = std::move(entry.data)](
                                         std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error) {
      if (auto self = weak.lock()) {
        const int status = vx::statusCodeOf(response);
        if (!error && isSuccess(response)) {
          if (auto object = parseJsonObject(data)) {
            vx::NotificationCenter::defaultCenter().post(kPloverEventSentSuccessfully, nullptr, toUserInfo(*object));
          }
        }
        // Delivered, or refused for good (a 4xx other than 429): the file goes. Rate limits,
        // server errors and lost connections keep it for the next pass.
        const bool permanent = response && status != 429 && status < 500;
        if (response && permanent) self->fileManager_->removeFileAtPath(path);
        std::lock_guard lock(self->mutex_);
        self->inFlight_.erase(path);
      }
      group->leave();
    });
  }
  // The pass ends off the main queue, so a host without a main loop (a command-line tool) still
  // gets its next pass; only the notification waits for the main queue.
  group->notify(vx::DispatchQueue::global(), [weak] {
    vx::DispatchQueue::main()->async([] { vx::NotificationCenter::defaultCenter().post(kPloverAllStoredEventsSent); });
    if (auto self = weak.lock()) self->finishResendPass();
  });
}

void PloverClient::finishResendPass() {
  bool again = false;
  {
    std::lock_guard lock(mutex_);
    resendPassRunning_ = false;
    again = resendRequested_;
    resendRequested_ = false;
  }
  if (again && enabled_) sendAllStoredEvents();
}

void PloverClient::setSharedPropertiesOnEvent(PloverEvent& event) {
  std::unique_lock lock(mutex_);
  if (tags_) {
    if (event.tags) {
      PloverTags merged = *tags_;
      for (const auto& [key, value] : *event.tags) merged[key] = value;
      event.tags = std::move(merged);
    } else {
      event.tags = tags_;
    }
  }
  if (extra_) {
    if (event.extra) {
      vx::ValueMap merged = *extra_;
      for (const auto& [key, value] : *event.extra) merged.set(key, value);
      event.extra = std::move(merged);
    } else {
      event.extra = extra_;
    }
  }
  if (user_ && !event.user) event.user = user_;
  const auto environment = environment_;
  const auto releaseName = releaseName_;
  const auto dist = dist_;
  lock.unlock();
  if (!event.breadcrumbsSerialized) event.breadcrumbsSerialized = breadcrumbs_->serialize();
  if (!event.infoDict) event.infoDict = vx::Bundle::main().infoDictionary();
  if (environment && !event.environment) event.environment = environment;
  if (releaseName && !event.releaseName) event.releaseName = releaseName;
  if (dist && !event.dist) event.dist = dist;
}

void PloverClient::appendStacktraceToEvent(PloverEvent& event) {
  std::lock_guard lock(mutex_);
  if (!hasSnapshot_) return;
  event.threads = snapshotThreads_;
  event.debugMeta = debugMeta_;
}

void PloverClient::setSnapshot(std::vector<std::shared_ptr<PloverThread>> threads,
                               std::vector<std::shared_ptr<PloverDebugMeta>> debugMeta) {
  std::lock_guard lock(mutex_);
  snapshotThreads_ = std::move(threads);
  debugMeta_ = std::move(debugMeta);
  hasSnapshot_ = true;
}

// --- persisted context ---

namespace {

void persist(const char* name, const std::optional<vx::Value>& value) {
  auto& defaults = vx::UserDefaults::standard();
  if (value) {
    defaults.setObject(*value, contextKey(name));
  } else {
    defaults.removeObject(contextKey(name));
  }
  (void)defaults.synchronize();
}

std::optional<vx::Value> optionalString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return vx::Value(*text);
}

// The shared context goes into every event: one value that is not UTF-8 would make every event
// unsendable, so it is repaired once here (U+FFFD for the bad bytes) instead of refused.
std::optional<std::string> repaired(std::optional<std::string> text) {
  if (text) vx::utf8::sanitize(*text);
  return text;
}

std::optional<PloverTags> repaired(std::optional<PloverTags> tags) {
  if (!tags) return tags;
  PloverTags out;
  for (auto& [key, value] : *tags) out[vx::utf8::sanitized(key)] = vx::utf8::sanitized(value);
  return out;
}

std::optional<vx::ValueMap> repaired(std::optional<vx::ValueMap> map) {
  if (map && !vx::utf8::isValidValue(vx::Value(*map))) map = vx::utf8::sanitizedMap(*map);
  return map;
}

std::shared_ptr<PloverUser> repaired(std::shared_ptr<PloverUser> user) {
  if (!user || vx::utf8::isValidValue(vx::Value(user->serialize()))) return user;
  auto copy = std::make_shared<PloverUser>(*user);
  copy->userId = repaired(std::move(copy->userId));
  copy->email = repaired(std::move(copy->email));
  copy->username = repaired(std::move(copy->username));
  copy->extra = repaired(std::move(copy->extra));
  return copy;
}

}  // namespace

void PloverClient::setTags(std::optional<PloverTags> tags) {
  tags = repaired(std::move(tags));
  persist("tags", tags ? std::optional<vx::Value>(tagsToMap(*tags)) : std::nullopt);
  std::lock_guard lock(mutex_);
  tags_ = std::move(tags);
}

void PloverClient::setExtra(std::optional<vx::ValueMap> extra) {
  extra = repaired(std::move(extra));
  persist("extra", extra ? std::optional<vx::Value>(*extra) : std::nullopt);
  std::lock_guard lock(mutex_);
  extra_ = std::move(extra);
}

void PloverClient::setUser(std::shared_ptr<PloverUser> user) {
  user = repaired(std::move(user));
  persist("user", user ? std::optional<vx::Value>(user->serialize()) : std::nullopt);
  std::lock_guard lock(mutex_);
  user_ = std::move(user);
}

void PloverClient::setReleaseName(std::optional<std::string> value) {
  value = repaired(std::move(value));
  persist("releaseName", optionalString(value));
  std::lock_guard lock(mutex_);
  releaseName_ = std::move(value);
}

void PloverClient::setDist(std::optional<std::string> value) {
  value = repaired(std::move(value));
  persist("dist", optionalString(value));
  std::lock_guard lock(mutex_);
  dist_ = std::move(value);
}

void PloverClient::setEnvironment(std::optional<std::string> value) {
  value = repaired(std::move(value));
  persist("environment", optionalString(value));
  std::lock_guard lock(mutex_);
  environment_ = std::move(value);
}

void PloverClient::clearContext() {
  setReleaseName(std::nullopt);
  setDist(std::nullopt);
  setEnvironment(std::nullopt);
  setUser(nullptr);
  setExtra(vx::ValueMap{});
  setTags(PloverTags{});
}

void PloverClient::restoreContextBeforeCrash() {
  auto& defaults = vx::UserDefaults::standard();
  vx::ValueMap context;
  for (const char* name : {"tags", "extra", "user", "releaseName", "dist", "environment"}) {
    if (auto value = defaults.objectForKey(contextKey(name))) context.set(name, *value);
  }
  std::lock_guard lock(mutex_);
  lastContext_ = std::move(context);
}

void PloverClient::setSampleRate(float rate) {
  if (!(rate >= 0.0f && rate <= 1.0f)) {
    PloverLog::logWithMessage("sampleRate must be between 0.0 and 1.0", kPloverLogLevelError);
    return;
  }
  std::lock_guard lock(mutex_);
  sampleRate_ = rate;
  shouldSendEvent_ = [rate](const PloverEvent&) {
    auto bytes = vx::randomBytes(4);
    if (!bytes.ok()) return rate >= 1.0f;  // no random source: only a full rate sends
    std::uint32_t r = 0;
    std::memcpy(&r, bytes.value().data(), sizeof r);
    return static_cast<double>(rate) >= static_cast<double>(r) / 4294967296.0;
  };
}

void PloverClient::setMaxEvents(std::size_t value) { fileManager_->setMaxEvents(value); }
void PloverClient::setMaxBreadcrumbs(std::size_t value) { fileManager_->setMaxBreadcrumbs(value); }

std::optional<PloverTags> PloverClient::tags() const {
  std::lock_guard lock(mutex_);
  return tags_;
}
std::optional<vx::ValueMap> PloverClient::extra() const {
  std::lock_guard lock(mutex_);
  return extra_;
}
std::shared_ptr<PloverUser> PloverClient::user() const {
  std::lock_guard lock(mutex_);
  return user_;
}
std::optional<std::string> PloverClient::releaseName() const {
  std::lock_guard lock(mutex_);
  return releaseName_;
}
std::optional<std::string> PloverClient::dist() const {
  std::lock_guard lock(mutex_);
  return dist_;
}
std::optional<std::string> PloverClient::environment() const {
  std::lock_guard lock(mutex_);
  return environment_;
}
float PloverClient::sampleRate() const {
  std::lock_guard lock(mutex_);
  return sampleRate_;
}
vx::ValueMap PloverClient::lastContext() const {
  std::lock_guard lock(mutex_);
  return lastContext_;
}
std::shared_ptr<PloverEvent> PloverClient::lastEvent() const {
  std::lock_guard lock(mutex_);
  return lastEvent_;
}

void PloverClient::setBeforeSerializeEvent(EventHook hook) {
  std::lock_guard lock(mutex_);
  beforeSerializeEvent_ = std::move(hook);
}
void PloverClient::setBeforeSendRequest(RequestHook hook) {
  std::lock_guard lock(mutex_);
  beforeSendRequest_ = std::move(hook);
}
void PloverClient::setShouldSendEvent(ShouldSendHook hook) {
  std::lock_guard lock(mutex_);
  shouldSendEvent_ = std::move(hook);
}
void PloverClient::setShouldQueueEvent(ShouldQueueHook hook) {
  std::lock_guard lock(mutex_);
  shouldQueueEvent_ = std::move(hook);
}
