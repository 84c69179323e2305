#include "reporting/error-client/PloverCrashInstallation.h"

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UTF8.h"
#include "reporting/crash-recorder/PloverCrash.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/error-client/PloverCrashReportConverter.h"

#include <cstring>

namespace {

// The installed installation's record; read by the crash callback.
std::atomic<PloverCrashInstHandlerData*> g_crashHandlerData{nullptr};

// Crash-time safe: reads only the record, the field records and their bytes.
void crashCallback(const PloverCrashReportWriter* writer) {
  const PloverCrashInstHandlerData* data = g_crashHandlerData.load();
  if (data == nullptr) return;
  std::int32_t count = data->reportFieldsCount.load();
  if (count > kPloverCrashMaxReportFields) count = kPloverCrashMaxReportFields;
  for (std::int32_t i = 0; i < count; ++i) {
    const PloverCrashInstReportFieldRecord* field = data->reportFields[i].load();
    if (field == nullptr) continue;
    const char* key = field->key.load();
    const char* value = field->value.load();
    if (key != nullptr && value != nullptr) writer->addJSONElement(writer, key, value, true);
  }
  if (PloverCrashReportWriteCallback user = data->userCrashCallback.load()) user(writer);
}

std::mutex g_startMutex;
std::shared_ptr<PloverInstallation> g_installation;

}  // namespace

PloverCrashCString::PloverCrashCString(std::string_view text) : PloverCrashCString(text.data(), text.size()) {}

PloverCrashCString::PloverCrashCString(const void* data, std::size_t length)
    : length_(length), bytes_(new char[length + 1]) {
  if (length > 0) std::memcpy(bytes_.get(), data, length);
  bytes_[length] = '\0';
}

void PloverCrashInstReportField::setKey(std::optional<std::string> key) {
  key_ = std::move(key);
  if (!key_) {
    record_.key = nullptr;
    return;
  }
  keyBackings_.push_back(std::make_unique<PloverCrashCString>(*key_));
  record_.key = keyBackings_.back()->bytes();
}

void PloverCrashInstReportField::setValue(std::optional<PloverReport> value) {
  if (!value) {
    value_.reset();
    record_.value = nullptr;
    return;
  }
  vx::utf8::sanitizeJson(*value);  // the report must stay readable JSON
  vx::Error error;
  auto encoded = PloverCrashJSONCodec::encode(*value, 3, &error);
  if (!encoded) {
    std::string message = "Could not set value " + plover_describe(*value).substr(0, 200) + " for property " +
                          key_.value_or("(null)") + ": " + error.description;
    PLOVERCRASHLOG_ERROR("%s", message.c_str());
    return;
  }
  value_ = std::move(value);
  valueBackings_.push_back(std::make_unique<PloverCrashCString>(encoded->data(), encoded->size()));
  record_.value = valueBackings_.back()->bytes();
}

PloverCrashInstallation::PloverCrashInstallation(std::vector<std::string> requiredProperties)
    : data_(std::make_unique<PloverCrashInstHandlerData>()),
      requiredProperties_(std::move(requiredProperties)),
      prependedFilters_(PloverCrashReportFilterPipeline::filterWithFilters()) {}

PloverCrashInstallation::~PloverCrashInstallation() {
  std::lock_guard lock(PloverCrash::sharedInstance().mutex());
  PloverCrashInstHandlerData* mine = data_.get();
  if (g_crashHandlerData.compare_exchange_strong(mine, nullptr)) {
    PloverCrash::sharedInstance().setOnCrash(nullptr);
  }
}

PloverCrashInstReportField* PloverCrashInstallation::reportFieldForProperty(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto found = fields_.find(name);
  if (found != fields_.end()) return found->second.get();
  if (nextFieldIndex_ >= kPloverCrashMaxReportFields) {
    PloverLog::logWithMessage("No room for report field " + name + ": the installation holds " +
                                  std::to_string(kPloverCrashMaxReportFields) + " fields",
                              kPloverLogLevelError);
    return nullptr;
  }
  auto field = std::make_unique<PloverCrashInstReportField>(nextFieldIndex_);
  data_->reportFields[nextFieldIndex_] = field->field();
  ++nextFieldIndex_;
  data_->reportFieldsCount = nextFieldIndex_;
  return fields_.emplace(name, std::move(field)).first->second.get();
}

void PloverCrashInstallation::reportFieldForProperty(const std::string& name, std::optional<std::string> key) {
  if (auto* field = reportFieldForProperty(name)) field->setKey(std::move(key));
}

void PloverCrashInstallation::reportFieldForPropertySetValue(const std::string& name,
                                                             std::optional<PloverReport> value) {
  if (auto* field = reportFieldForProperty(name)) field->setValue(std::move(value));
}

vx::Result<std::optional<PloverReport>> PloverCrashInstallation::valueForProperty(const std::string&) const {
  return vx::Error(className(), 0, "property not found");
}

std::optional<vx::Error> PloverCrashInstallation::validateProperties() const {
  std::string problems;
  for (const auto& name : requiredProperties_) {
    auto value = valueForProperty(name);
    const char* problem = nullptr;
    if (!value) {
      problem = "property not found";
    } else if (!value.value()) {
      problem = "is nil";
    }
    if (problem == nullptr) continue;
    if (!problems.empty()) problems += ", ";
    problems += name + " (" + problem + ")";
  }
  if (problems.empty()) return std::nullopt;
  return vx::Error(className(), 0, "Installation properties failed validation: " + problems);
}

std::string PloverCrashInstallation::makeKeyPath(const std::string& keyPath) {
  if (keyPath.empty() || keyPath[0] == '/') return keyPath;
  return "user/" + keyPath;
}

std::vector<std::string> PloverCrashInstallation::makeKeyPaths(const std::vector<std::string>& keyPaths) {
  std::vector<std::string> out;
  for (const auto& path : keyPaths) out.push_back(makeKeyPath(path));
  return out;
}

PloverCrashReportWriteCallback PloverCrashInstallation::onCrash() const {
  std::lock_guard lock(mutex_);
  return data_->userCrashCallback.load();
}

void PloverCrashInstallation::setOnCrash(PloverCrashReportWriteCallback callback) {
  std::lock_guard lock(mutex_);
  data_->userCrashCallback = callback;
}

void PloverCrashInstallation::install() {
  PloverCrash& facade = PloverCrash::sharedInstance();
  std::lock_guard lock(facade.mutex());
  g_crashHandlerData = data_.get();
  facade.setOnCrash(&crashCallback);
  facade.install();
}

void PloverCrashInstallation::addPreFilter(PloverFilterPtr filter) { prependedFilters_->addFilter(std::move(filter)); }

void PloverCrashInstallation::sendAllReportsWithCompletion(Completion completion) {
  if (auto error = validateProperties()) {
    if (completion) completion({}, false, std::move(error));
    return;
  }
  PloverFilterPtr last = sink();
  if (!last) {
    if (completion) {
      completion({}, false, vx::Error(className(), 0, "Sink was nil (subclasses must implement method \"sink\")"));
    }
    return;
  }
  PloverCrash& facade = PloverCrash::sharedInstance();
  facade.setSink(
      PloverCrashReportFilterPipeline::filterWithFilters({PloverFilterPtr(prependedFilters_), std::move(last)}));
  facade.sendAllReportsWithCompletion(std::move(completion));
}

std::shared_ptr<PloverInstallation> PloverInstallation::make() {
  return std::shared_ptr<PloverInstallation>(new PloverInstallation());
}

PloverFilterPtr PloverInstallation::sink() { return std::make_shared<PloverCrashReportSink>(); }

void PloverInstallation::sendAllReportsWithCompletion(Completion completion) {
  PloverCrashInstallation::sendAllReportsWithCompletion(
      [completion](std::vector<PloverReport> filtered, bool completed, std::optional<vx::Error> error) {
        if (error) PloverLog::logWithMessage(error->description, kPloverLogLevelError);
        PloverLog::logWithMessage("Sent " + std::to_string(filtered.size()) + " crash report(s)", kPloverLogLevelDebug);
        if (completed && completion) completion(std::move(filtered), completed, std::move(error));
      });
}

namespace {

// Collects the outcome of every send; answers once the last one is in.
struct SinkRound {
  std::mutex mutex;
  std::vector<PloverReport> accepted;
  std::size_t pending = 1;  // the sending loop itself holds one until it is done
  std::size_t failed = 0;
  std::optional<vx::Error> lastError;
  PloverCrashReportFilter::Completion completion;

  void finishOne() {
    std::vector<PloverReport> out;
    std::optional<vx::Error> error;
    bool completed;
    {
      std::lock_guard lock(mutex);
      if (--pending != 0) return;
      out = std::move(accepted);
      completed = failed == 0;
      if (!completed) {
        error = vx::Error("PloverCrashReportSink", 0,
                          std::to_string(failed) + " crash report(s) were not accepted by the store" +
                              (lastError ? ": " + lastError->description : std::string()));
      }
    }
    if (completion) completion(std::move(out), completed, std::move(error));
  }
};

}  // namespace

void PloverCrashReportSink::filterReports(std::vector<Report> reports, Completion onCompletion) {
  vx::DispatchQueue::global()->async([reports = std::move(reports), onCompletion]() mutable {
    auto round = std::make_shared<SinkRound>();
    round->completion = std::move(onCompletion);
    for (auto& report : reports) {
      auto client = PloverClient::sharedClient();
      if (!client) {
        PloverLog::logWithMessage(
            "Crash reports were found but no PloverClient.sharedClient is set. Cannot send crash "
            "reports to Plover. This is probably a misconfiguration, make sure you set "
            "PloverClient.sharedClient before calling startCrashHandlerWithError:.",
            kPloverLogLevelError);
        continue;
      }
      PloverCrashReportConverter converter(report);
      converter.setUserContext(client->lastContext());
      auto event = converter.convertReportToEvent();
      if (!event->exceptions.empty() && event->exceptions[0]->value == "PLOVER_SNAPSHOT") {
        PloverLog::logWithMessage("Snapshotting stacktrace", kPloverLogLevelDebug);
        client->setSnapshot({event->exceptions[0]->thread}, event->debugMeta);
        continue;
      }
      if (!client->enabled()) {
        // The client stores the event to send later and never answers: keep the report too.
        client->sendEvent(event);
        std::lock_guard lock(round->mutex);
        ++round->failed;
        continue;
      }
      {
        std::lock_guard lock(round->mutex);
        ++round->pending;
      }
      client->sendEvent(event, [round, report](std::optional<vx::Error> error) {
        {
          std::lock_guard lock(round->mutex);
          if (error) {
            ++round->failed;
            round->lastError = error;
          } else {
            round->accepted.push_back(report);
          }
        }
        round->finishOne();
      });
    }
    round->finishOne();
  });
}

bool PloverClientCrash::crashedLastLaunch() { return PloverCrash::sharedInstance().crashedLastLaunch(); }

bool PloverClientCrash::startCrashHandlerWithError(vx::Error*) {
  PloverLog::logWithMessage("PloverCrashHandler started", kPloverLogLevelDebug);
  std::shared_ptr<PloverInstallation> installation;
  {
    std::lock_guard lock(g_startMutex);
    if (g_installation) return true;
    g_installation = PloverInstallation::make();
    installation = g_installation;
  }
  // Reports are deleted only when every event went through.
  PloverCrash::sharedInstance().setDeleteBehaviorAfterSendAll(PloverCrashDeleteBehaviorOnSuccess);
  installation->install();
  installation->sendAllReports();
  return true;
}

std::shared_ptr<PloverInstallation> PloverClientCrash::installation() {
  std::lock_guard lock(g_startMutex);
  return g_installation;
}

void PloverClientCrash::crash() { __builtin_trap(); }

void PloverClientCrash::reportUserException(const std::string& name, const std::string& reason,
                                            const std::string& language, const std::string& lineOfCode,
                                            const nlohmann::ordered_json& stackTrace, bool logAllThreads,
                                            bool terminateProgram) {
  auto inst = installation();
  if (!inst) {
    PloverLog::logWithMessage("PloverCrash has not been initialized, call startCrashHandlerWithError",
                              kPloverLogLevelError);
    return;
  }
  PloverCrash::sharedInstance().reportUserException(name, reason, language, lineOfCode, stackTrace, logAllThreads,
                                                    terminateProgram);
  inst->sendAllReports();
}

void PloverClientCrash::snapshotStacktrace(std::function<void(std::optional<vx::Error>)> completion) {
  auto inst = installation();
  if (!inst) {
    PloverLog::logWithMessage("PloverCrash has not been initialized, call startCrashHandlerWithError",
                              kPloverLogLevelError);
    return;
  }
  PloverCrash::sharedInstance().reportUserException("PLOVER_SNAPSHOT", "PLOVER_SNAPSHOT", "", "",
                                                    nlohmann::ordered_json::array(), false, false);
  // The base operation, so a failed send still reaches the caller, with its error.
  inst->PloverCrashInstallation::sendAllReportsWithCompletion(
      [completion](std::vector<PloverReport>, bool, std::optional<vx::Error> error) {
        if (error) PloverLog::logWithMessage(error->description, kPloverLogLevelError);
        if (completion) completion(std::move(error));
      });
}
