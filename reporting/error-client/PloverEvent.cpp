#include "reporting/error-client/PloverEvent.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/DateFormat.h"
#include "platform/foundation/HostInfo.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/UUID.h"
#include "reporting/crash-recorder/PloverCrash.h"
#include "reporting/error-client/PloverClient.h"
#include "reporting/error-client/PloverError.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

using vx::Value;
using vx::ValueMap;

const char* PloverSeverityName(PloverSeverity level) {
  switch (level) {
    case PloverSeverity::fatal:
      return "fatal";
    case PloverSeverity::error:
      return "error";
    case PloverSeverity::warning:
      return "warning";
    case PloverSeverity::info:
      return "info";
    case PloverSeverity::debug:
      return "debug";
  }
  return "error";
}

std::string plover_toIso8601String(vx::Date date) { return vx::DateFormat::iso8601(date, false); }

std::optional<vx::Date> plover_fromIso8601String(const std::string& text) {
  // Whole seconds with a literal Z, as the formatter writes them.
  if (text.size() != 20 || text.back() != 'Z' || text[10] != 'T') return std::nullopt;
  return vx::DateFormat::parseIso8601(text);
}

ValueMap plover_sanitize(const ValueMap& map) {
  ValueMap out;
  for (const auto& [key, value] : map) {
    if (const auto* nested = value.mapValue()) {
      out.set(key, plover_sanitize(*nested));
    } else if (auto date = value.dateValue()) {
      out.set(key, plover_toIso8601String(*date));
    } else if (key.rfind("__plover", 0) == 0) {
      continue;
    } else {
      out.set(key, value);
    }
  }
  return out;
}

bool PloverIsValidJSONObject(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Bool:
    case Value::Type::Integer:
      return true;
    case Value::Type::String:
      // JSON text is UTF-8; anything else cannot be written.
      return vx::utf8::isValid(*value.stringValue());
    case Value::Type::Double:
      return std::isfinite(*value.doubleValue());
    case Value::Type::Array:
      return std::all_of(value.arrayValue()->begin(), value.arrayValue()->end(),
                         [](const Value& item) { return PloverIsValidJSONObject(item); });
    case Value::Type::Map:
      return std::all_of(value.mapValue()->begin(), value.mapValue()->end(), [](const auto& entry) {
        return vx::utf8::isValid(entry.first) && PloverIsValidJSONObject(entry.second);
      });
    default:
      return false;
  }
}

namespace {

template <class T>
void setIf(ValueMap& map, const char* key, const std::optional<T>& value) {
  if (value) map.set(key, Value(*value));
}

}  // namespace

// --- breadcrumb ---

PloverBreadcrumb::PloverBreadcrumb(PloverSeverity level, std::string category)
    : level(level), category(std::move(category)), timestamp(std::chrono::system_clock::now()) {}

ValueMap PloverBreadcrumb::serialize() const {
  ValueMap map;
  map.set("level", PloverSeverityName(level));
  if (timestamp) map.set("timestamp", plover_toIso8601String(*timestamp));
  setIf(map, "category", category);
  setIf(map, "type", type);
  setIf(map, "message", message);
  if (data) map.set("data", plover_sanitize(*data));
  return map;
}

std::string PloverBreadcrumb::description() const { return Value(serialize()).description(); }

// --- user ---

ValueMap PloverUser::serialize() const {
  ValueMap map;
  setIf(map, "id", userId);
  setIf(map, "email", email);
  setIf(map, "username", username);
  if (extra) map.set("extra", plover_sanitize(*extra));
  return map;
}

std::optional<PloverUser> PloverUser::fromSerialized(const Value& value) {
  const auto* map = value.mapValue();
  if (map == nullptr) return std::nullopt;
  PloverUser user;
  auto text = [map](const char* key) -> std::optional<std::string> {
    const auto* found = map->find(key);
    if (found == nullptr || !found->isString()) return std::nullopt;
    return *found->stringValue();
  };
  user.userId = text("id");
  user.email = text("email");
  user.username = text("username");
  if (const auto* extra = map->find("extra"); extra != nullptr && extra->isMap()) {
    user.extra = *extra->mapValue();
  }
  return user;
}

// --- frames, stack traces, threads ---

ValueMap PloverFrame::serialize() const {
  ValueMap map;
  setIf(map, "symbol_addr", symbolAddress);
  setIf(map, "filename", fileName);
  setIf(map, "function", function);
  setIf(map, "module", module);
  setIf(map, "lineno", lineNumber);
  setIf(map, "colno", columnNumber);
  setIf(map, "package", package);
  setIf(map, "image_addr", imageAddress);
  setIf(map, "instruction_addr", instructionAddress);
  setIf(map, "platform", platform);
  return map;
}

ValueMap PloverStacktrace::serialize() const {
  ValueMap map;
  vx::ValueArray serialized;
  for (const auto& frame : frames) {
    auto item = frame.serialize();
    if (!item.empty()) serialized.emplace_back(std::move(item));
  }
  map.set("frames", std::move(serialized));
  if (!registers.empty()) {
    ValueMap regs;
    for (const auto& [name, value] : registers) regs.set(name, value);
    map.set("registers", std::move(regs));
  }
  return map;
}

void PloverStacktrace::fixDuplicateFrames() {
  if (frames.size() < 2 || registers.empty()) return;
  const auto& last = frames[frames.size() - 1];
  const auto& beforeLast = frames[frames.size() - 2];
  auto lr = registers.find("lr");
  if (last.symbolAddress == beforeLast.symbolAddress && lr != registers.end() && beforeLast.instructionAddress &&
      lr->second == *beforeLast.instructionAddress) {
    frames.erase(frames.end() - 2);
    PloverLog::logWithMessage("Found duplicate frame, removing one with link register", kPloverLogLevelDebug);
  }
}

ValueMap PloverThread::serialize() const {
  ValueMap map;
  map.set("id", threadId.value_or(99));
  setIf(map, "crashed", crashed);
  setIf(map, "current", current);
  setIf(map, "name", name);
  if (stacktrace) map.set("stacktrace", stacktrace->serialize());
  return map;
}

ValueMap PloverMechanism::serialize() const {
  ValueMap map;
  map.set("type", type);
  setIf(map, "handled", handled);
  setIf(map, "description", desc);
  if (meta) map.set("meta", *meta);
  if (data) map.set("data", *data);
  setIf(map, "help_link", helpLink);
  return map;
}

ValueMap PloverException::serialize() const {
  ValueMap map;
  setIf(map, "value", value);
  setIf(map, "type", type);
  if (mechanism) map.set("mechanism", mechanism->serialize());
  setIf(map, "module", module);
  if (thread) {
    if (thread->threadId) map.set("thread_id", *thread->threadId);
    if (thread->stacktrace) map.set("stacktrace", thread->stacktrace->serialize());
  }
  return map;
}

ValueMap PloverDebugMeta::serialize() const {
  ValueMap map;
  setIf(map, "uuid", uuid);
  setIf(map, "type", type);
  setIf(map, "cpu_type", cpuType);
  setIf(map, "cpu_subtype", cpuSubType);
  setIf(map, "image_vmaddr", imageVmAddress);
  setIf(map, "image_addr", imageAddress);
  setIf(map, "image_size", imageSize);
  setIf(map, "name", name);
  setIf(map, "major_version", majorVersion);
  setIf(map, "minor_version", minorVersion);
  setIf(map, "revision_version", revisionVersion);
  return map;
}

// --- context ---

const ValueMap& PloverContext::systemInfo() {
  static const ValueMap info = PloverCrash::sharedInstance().systemInfo();
  return info;
}

namespace {

void copyKey(ValueMap& to, const char* toKey, const ValueMap& from, const char* fromKey) {
  if (const auto* value = from.find(fromKey)) to.set(toKey, *value);
}

bool lacks(const ValueMap& info, const char* key) {
  const auto* value = info.find(key);
  if (value == nullptr || value->isNull()) return true;
  if (const auto* text = value->stringValue()) return text->empty();
  if (auto number = value->integerValue()) return *number == 0;
  return false;
}

void fill(ValueMap& info, const char* key, const Value& value) {
  if (lacks(info, key)) info.set(key, value);
}

// The recorder gathers the machine's facts only once it is installed, which this application
// never does, so before that its system information holds zeros and no texts. What it lacks is
// read from the running system instead; a fact the machine does not have (no DMI in a virtual
// machine: no model) stays out. Memory is read afresh for each event.
ValueMap machineFacts() {
  static const ValueMap fixed = [] {
    ValueMap info = PloverContext::systemInfo();
    fill(info, "systemName", vx::HostInfo::osName());
    if (auto model = vx::HostInfo::model()) fill(info, "machine", *model);
    const auto release = vx::HostInfo::kernelRelease();
    if (!release.empty()) {
      fill(info, "kernelVersion", "Linux " + release + " " + vx::HostInfo::kernelVersion());
    }
    const auto architecture = vx::HostInfo::machine();
    if (!architecture.empty()) fill(info, "cpuArchitecture", architecture);
    if (auto boot = vx::HostInfo::bootTime()) fill(info, "bootTime", plover_toIso8601String(*boot));
    const auto zone = vx::HostInfo::timeZoneAbbreviation();
    if (!zone.empty()) fill(info, "timezone", zone);
    if (auto size = vx::HostInfo::physicalMemory(); size > 0) fill(info, "memorySize", size);
    if (auto size = vx::HostInfo::storageSize()) fill(info, "storageSize", *size);
    return info;
  }();
  ValueMap info = fixed;
  if (auto free = vx::HostInfo::freeMemory(); free > 0) fill(info, "freeMemory", free);
  if (auto usable = vx::HostInfo::availableMemory(); usable > 0) fill(info, "usableMemory", usable);
  return info;
}

}  // namespace

ValueMap PloverContext::generatedOsContext() const {
  const auto info = machineFacts();
  // The running system's own name and version (os-release), not a fixed platform name; read
  // once per process like the rest of the system facts, not once per event.
  static const std::pair<std::string, std::string> system = [] {
    const auto version = vx::HostInfo::osVersion();
    return std::make_pair(vx::HostInfo::osName(), std::to_string(version.major) + "." + std::to_string(version.minor) +
                                                      "." + std::to_string(version.patch));
  }();
  ValueMap os;
  os.set("name", system.first);
  os.set("version", system.second);
  copyKey(os, "build", info, "osVersion");
  copyKey(os, "kernel_version", info, "kernelVersion");
  copyKey(os, "rooted", info, "isJailbroken");
  return os;
}

ValueMap PloverContext::generatedDeviceContext() const {
  const auto info = machineFacts();
  ValueMap device;
  if (const auto* name = info.find("systemName"); name != nullptr && name->isString()) {
    std::istringstream words(*name->stringValue());
    std::string family;
    if (words >> family) device.set("family", family);
  }
  copyKey(device, "arch", info, "cpuArchitecture");
  copyKey(device, "model", info, "machine");
  copyKey(device, "model_id", info, "model");
  copyKey(device, "free_memory", info, "freeMemory");
  copyKey(device, "usable_memory", info, "usableMemory");
  copyKey(device, "memory_size", info, "memorySize");
  copyKey(device, "storage_size", info, "storageSize");
  copyKey(device, "boot_time", info, "bootTime");
  copyKey(device, "timezone", info, "timezone");
  return device;
}

ValueMap PloverContext::generatedAppContext() const {
  const auto info = machineFacts();
  const auto bundle = vx::Bundle::main().infoDictionary();
  ValueMap app;
  copyKey(app, "app_identifier", bundle, "CFBundleIdentifier");
  copyKey(app, "app_name", bundle, "CFBundleName");
  copyKey(app, "app_build", bundle, "CFBundleVersion");
  copyKey(app, "app_version", bundle, "CFBundleShortVersionString");
  copyKey(app, "app_start_time", info, "appStartTime");
  copyKey(app, "device_app_hash", info, "deviceAppHash");
  copyKey(app, "app_id", info, "appID");
  copyKey(app, "build_type", info, "buildType");
  return app;
}

void PloverContext::fixSystemName() {
  if (!osContext) return;
  if (const auto* name = osContext->find("name");
      name != nullptr && name->isString() && *name->stringValue() == "iPhone OS") {
    osContext->set("name", "iOS");
  }
}

ValueMap PloverContext::serialize() {
  if (!osContext) {
    osContext = generatedOsContext();
    fixSystemName();
  }
  if (!appContext) appContext = generatedAppContext();
  if (!deviceContext) deviceContext = generatedDeviceContext();
  ValueMap map;
  map.set("os", *osContext);
  map.set("app", *appContext);
  map.set("device", *deviceContext);
  return map;
}

// --- event ---

PloverEvent::PloverEvent(PloverSeverity level) : level(level), platform("cocoa") {
  eventId = vx::UUID::make().string(vx::UUID::LetterCase::Lower, false);
}

void PloverEvent::addSdkInformation(ValueMap& out) const {
  if (sdk) {
    out.set("sdk", *sdk);
    return;
  }
  ValueMap info{{"name", PloverClient::sdkName()}, {"version", PloverClient::versionString()}};
  if (extra) {
    if (const auto* integrations = extra->find("__plover_sdk_integrations")) {
      info.set("integrations", *integrations);
    }
  }
  out.set("sdk", std::move(info));
}

void PloverEvent::addSimpleProperties(ValueMap& out) {
  addSdkInformation(out);
  setIf(out, "release", releaseName);
  setIf(out, "dist", dist);
  setIf(out, "environment", environment);
  if (transaction) {
    out.set("transaction", *transaction);
  } else if (extra) {
    if (const auto* value = extra->find("__plover_transaction")) out.set("transaction", *value);
  }
  if (fingerprint) {
    vx::ValueArray items(fingerprint->begin(), fingerprint->end());
    out.set("fingerprint", std::move(items));
  }
  if (user) out.set("user", user->serialize());
  if (modules) out.set("modules", *modules);
  if (stacktrace) out.set("stacktrace", stacktrace->serialize());
  if (breadcrumbsSerialized) {
    if (const auto* crumbs = breadcrumbsSerialized->find("breadcrumbs")) {
      out.set("breadcrumbs", *crumbs);
    }
  }
  if (!context) context = std::make_shared<PloverContext>();
  out.set("contexts", context->serialize());
  setIf(out, "message", message);
  setIf(out, "logger", logger);
  setIf(out, "server_name", serverName);
}

void PloverEvent::addOptionalListProperties(ValueMap& out) const {
  if (!threads.empty()) {
    vx::ValueArray values;
    for (const auto& thread : threads) values.emplace_back(thread->serialize());
    out.set("threads", ValueMap{{"values", std::move(values)}});
  }
  if (!exceptions.empty()) {
    vx::ValueArray values;
    for (const auto& exception : exceptions) values.emplace_back(exception->serialize());
    out.set("exception", ValueMap{{"values", std::move(values)}});
  }
  if (!debugMeta.empty()) {
    vx::ValueArray images;
    for (const auto& image : debugMeta) images.emplace_back(image->serialize());
    out.set("debug_meta", ValueMap{{"images", std::move(images)}});
  }
}

ValueMap PloverEvent::serialize() {
  if (!timestamp) timestamp = std::chrono::system_clock::now();
  ValueMap out;
  out.set("event_id", eventId);
  out.set("timestamp", plover_toIso8601String(*timestamp));
  out.set("level", PloverSeverityName(level));
  out.set("platform", "cocoa");
  if (!releaseName && !dist && infoDict) {
    auto text = [this](const char* key) {
      const auto* value = infoDict->find(key);
      return value != nullptr && value->isString() ? *value->stringValue() : std::string();
    };
    releaseName = text("CFBundleIdentifier") + "-" + text("CFBundleShortVersionString");
    dist = text("CFBundleVersion");
  }
  addSimpleProperties(out);
  addOptionalListProperties(out);
  if (extra) out.set("extra", plover_sanitize(*extra));
  if (tags) {
    ValueMap tagMap;
    for (const auto& [key, value] : *tags) tagMap.set(key, value);
    out.set("tags", std::move(tagMap));
  }
  return out;
}
