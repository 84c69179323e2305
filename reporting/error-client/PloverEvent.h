// The records that make up one error report and their JSON form. Every `serialize` builds a
// fresh map in the order the keys are written; a property that is unset leaves its key out.
#pragma once

#include "platform/foundation/Value.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Severity of events and breadcrumbs: the number is stored, the name is written.
enum class PloverSeverity : int { fatal = 0, error = 1, warning = 2, info = 3, debug = 4 };
// "fatal", "error", "warning", "info", "debug".
const char* PloverSeverityName(PloverSeverity level);

using PloverTags = std::map<std::string, std::string>;

// ISO 8601 in UTC with whole seconds ("2024-03-05T07:08:09Z"), and back (std::nullopt when the
// text does not parse).
std::string plover_toIso8601String(vx::Date date);
std::optional<vx::Date> plover_fromIso8601String(const std::string& text);

// A copy of `map` in which nested maps are sanitised, dates become ISO 8601 text and keys
// beginning with "__plover" are dropped (a map or date value stays whatever its key).
vx::ValueMap plover_sanitize(const vx::ValueMap& map);

// True when the value (recursively) holds only JSON kinds: null, bool, numbers (finite),
// strings and map keys that are valid UTF-8, arrays and maps.
bool PloverIsValidJSONObject(const vx::Value& value);

class PloverBreadcrumb {
 public:
  PloverBreadcrumb(PloverSeverity level, std::string category);
  vx::ValueMap serialize() const;
  std::string description() const;

  PloverSeverity level;
  std::optional<std::string> category;
  std::optional<vx::Date> timestamp;
  std::optional<std::string> type;
  std::optional<std::string> message;
  std::optional<vx::ValueMap> data;
};

class PloverUser {
 public:
  PloverUser() = default;
  explicit PloverUser(std::string userId) : userId(std::move(userId)) {}
  vx::ValueMap serialize() const;
  // A user from its serialized form (the persisted context); std::nullopt when not a map.
  static std::optional<PloverUser> fromSerialized(const vx::Value& value);

  std::optional<std::string> userId;
  std::optional<std::string> email;
  std::optional<std::string> username;
  std::optional<vx::ValueMap> extra;
};

class PloverFrame {
 public:
  PloverFrame() : function("<redacted>") {}
  vx::ValueMap serialize() const;

  std::optional<std::string> symbolAddress;
  std::optional<std::string> fileName;
  std::optional<std::string> function;
  std::optional<std::string> module;
  std::optional<std::string> package;
  std::optional<std::string> imageAddress;
  std::optional<std::string> platform;
  std::optional<std::string> instructionAddress;
  std::optional<std::int64_t> lineNumber;
  std::optional<std::int64_t> columnNumber;
};

class PloverStacktrace {
 public:
  PloverStacktrace(std::vector<PloverFrame> frames, std::map<std::string, std::string> registers)
      : frames(std::move(frames)), registers(std::move(registers)) {}
  vx::ValueMap serialize() const;
  // Removes the second frame from the end when it repeats the last one through the link register.
  void fixDuplicateFrames();

  std::vector<PloverFrame> frames;
  std::map<std::string, std::string> registers;
};

class PloverThread {
 public:
  explicit PloverThread(std::optional<std::int64_t> threadId) : threadId(threadId) {}
  vx::ValueMap serialize() const;

  std::optional<std::int64_t> threadId;
  std::optional<std::string> name;
  std::shared_ptr<PloverStacktrace> stacktrace;
  std::optional<bool> crashed;
  std::optional<bool> current;
};

class PloverMechanism {
 public:
  explicit PloverMechanism(std::string type) : type(std::move(type)) {}
  vx::ValueMap serialize() const;

  std::string type;
  std::optional<std::string> desc;
  std::optional<vx::ValueMap> data;
  std::optional<bool> handled;
  std::optional<std::string> helpLink;
  std::optional<vx::ValueMap> meta;
};

class PloverException {
 public:
  PloverException(std::string value, std::string type) : value(std::move(value)), type(std::move(type)) {}
  vx::ValueMap serialize() const;

  std::optional<std::string> value;
  std::optional<std::string> type;
  std::shared_ptr<PloverMechanism> mechanism;
  std::optional<std::string> module;
  std::optional<bool> userReported;
  std::shared_ptr<PloverThread> thread;
};

class PloverDebugMeta {
 public:
  vx::ValueMap serialize() const;

  std::optional<std::string> uuid;
  std::optional<std::string> type;
  std::optional<std::int64_t> cpuType;
  std::optional<std::int64_t> cpuSubType;
  std::optional<std::string> name;
  std::optional<std::int64_t> imageSize;
  std::optional<std::string> imageVmAddress;
  std::optional<std::string> imageAddress;
  std::optional<std::int64_t> majorVersion;
  std::optional<std::int64_t> minorVersion;
  std::optional<std::int64_t> revisionVersion;
};

// The event's os, device and app sections, each generated from the running machine on first use.
class PloverContext {
 public:
  vx::ValueMap serialize();
  void fixSystemName();
  vx::ValueMap generatedOsContext() const;
  vx::ValueMap generatedDeviceContext() const;
  vx::ValueMap generatedAppContext() const;
  // The recorder's system information, taken once per process and shared by all contexts.
  static const vx::ValueMap& systemInfo();

  std::optional<vx::ValueMap> osContext;
  std::optional<vx::ValueMap> deviceContext;
  std::optional<vx::ValueMap> appContext;
};

class PloverEvent {
 public:
  // A fresh 32-digit lower-case event id, the level, platform "cocoa".
  explicit PloverEvent(PloverSeverity level);
  explicit PloverEvent(int level) : PloverEvent(static_cast<PloverSeverity>(level)) {}

  // The request body. Sets `timestamp` when unset, and `releaseName`/`dist` from the info
  // dictionary when both are unset.
  vx::ValueMap serialize();

  std::string eventId;
  std::optional<std::string> message;
  std::optional<vx::Date> timestamp;
  PloverSeverity level;
  std::optional<std::string> platform;
  std::optional<std::string> logger;
  std::optional<std::string> serverName;
  std::optional<std::string> releaseName;
  std::optional<std::string> dist;
  std::optional<std::string> environment;
  std::optional<std::string> transaction;
  std::optional<PloverTags> tags;
  std::optional<vx::ValueMap> extra;
  std::optional<vx::ValueMap> sdk;
  std::optional<vx::ValueMap> modules;
  std::optional<std::vector<std::string>> fingerprint;
  std::shared_ptr<PloverUser> user;
  std::shared_ptr<PloverContext> context;
  std::vector<std::shared_ptr<PloverThread>> threads;
  std::vector<std::shared_ptr<PloverException>> exceptions;
  std::shared_ptr<PloverStacktrace> stacktrace;
  std::vector<std::shared_ptr<PloverDebugMeta>> debugMeta;
  std::optional<vx::ValueMap> breadcrumbsSerialized;
  std::optional<vx::ValueMap> infoDict;

 private:
  void addSimpleProperties(vx::ValueMap& out);
  void addSdkInformation(vx::ValueMap& out) const;
  void addOptionalListProperties(vx::ValueMap& out) const;
};
