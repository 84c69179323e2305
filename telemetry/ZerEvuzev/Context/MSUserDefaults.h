// The telemetry SDK's one door to the user defaults. The shared instance wraps the application's
// standard suite; another instance can wrap any suite (tests simulate a second launch by making a
// fresh one over the same file).
#pragma once

#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

class MSUserDefaults {
 public:
  // The one instance over vx::UserDefaults::standard(), made on first use.
  static std::shared_ptr<MSUserDefaults> shared();

  // Over the given suite, which the instance keeps alive.
  explicit MSUserDefaults(std::shared_ptr<vx::UserDefaults> defaults);

  std::optional<vx::Value> objectForKey(std::string_view key) const;
  // A null value removes the key.
  void setObject(const vx::Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Stores under `key` only the entries of `dictionary` that differ from the stored ones (all of
  // them once the stored "_ts" stamp is older than `expiration` seconds; 0 never expires),
  // stamps the merged dictionary with "_ts" (seconds since 1 January 2001) and returns the
  // entries written (empty when nothing changed).
  vx::ValueMap updateDictionary(const vx::ValueMap& dictionary, std::string_view key, float expiration = 0);
  // updateDictionary with {"v": value}; true when the value was written.
  bool updateObject(const vx::Value& value, std::string_view key, float expiration = 0);

  vx::UserDefaults& defaults() const { return *defaults_; }

 private:
  std::shared_ptr<vx::UserDefaults> defaults_;
};
