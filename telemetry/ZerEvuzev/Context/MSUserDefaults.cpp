#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <chrono>
#include <cmath>

namespace {

// Seconds between 1970 and the reference date 1 January 2001, the clock "_ts" is written with.
constexpr double kReferenceDateOffset = 978307200.0;

double nowSinceReferenceDate() {
  return std::chrono::duration<double>(vx::wallNow().time_since_epoch()).count() - kReferenceDateOffset;
}

}  // namespace

std::shared_ptr<MSUserDefaults> MSUserDefaults::shared() {
  // The standard suite lives for the whole process; the shared pointer must not delete it.
  static const std::shared_ptr<MSUserDefaults> instance = std::make_shared<MSUserDefaults>(
      std::shared_ptr<vx::UserDefaults>(&vx::UserDefaults::standard(), [](vx::UserDefaults*) {}));
  return instance;
}

MSUserDefaults::MSUserDefaults(std::shared_ptr<vx::UserDefaults> defaults) : defaults_(std::move(defaults)) {}

std::optional<vx::Value> MSUserDefaults::objectForKey(std::string_view key) const {
  return defaults_->objectForKey(key);
}

void MSUserDefaults::setObject(const vx::Value& value, std::string_view key) { defaults_->setObject(value, key); }

void MSUserDefaults::removeObjectForKey(std::string_view key) { defaults_->removeObject(key); }

vx::ValueMap MSUserDefaults::updateDictionary(const vx::ValueMap& dictionary, std::string_view key, float expiration) {
  vx::ValueMap changes = dictionary;
  const auto storedValue = objectForKey(key);
  const vx::ValueMap* stored = storedValue ? storedValue->mapValue() : nullptr;
  double timestamp = 0;
  if (stored != nullptr) {
    if (const vx::Value* ts = stored->find("_ts")) timestamp = ts->doubleValue().value_or(0);
  }
  const std::string keyText(key);
  MSLogVerbose(kMSLogTag, "Settings:store[%s]=%s", keyText.c_str(),
               stored != nullptr ? vx::Value(*stored).description().c_str() : "(null)");

  const double now = nowSinceReferenceDate();
  const bool fresh = expiration <= 0 || timestamp <= 0 || expiration > std::fabs(now - timestamp);
  if (fresh && stored != nullptr) {
    for (const auto& [name, value] : dictionary) {
      if (const vx::Value* old = stored->find(name); old != nullptr && *old == value) changes.erase(name);
    }
  }
  if (!changes.empty()) {
    MSLogDebug(kMSLogTag, "Settings:update[%s]=%s", keyText.c_str(), vx::Value(changes).description().c_str());
    vx::ValueMap merged = stored != nullptr ? *stored : vx::ValueMap();
    for (const auto& [name, value] : changes) merged.set(name, value);
    merged.set("_ts", vx::Value(now));
    setObject(vx::Value(std::move(merged)), key);
  }
  return changes;
}

bool MSUserDefaults::updateObject(const vx::Value& value, std::string_view key, float expiration) {
  const vx::ValueMap changes = updateDictionary(vx::ValueMap{{"v", value}}, key, expiration);
  return changes.contains("v");
}
