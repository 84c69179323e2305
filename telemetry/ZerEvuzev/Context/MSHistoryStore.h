// Loading and saving a history array as a keyed archive in the user defaults.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <memory>
#include <string>
#include <vector>

// The stored array; empty when nothing is stored or the data does not unarchive.
template <class T>
std::vector<std::shared_ptr<T>> MSLoadHistory(const MSUserDefaults& defaults, const char* key) {
  const auto value = defaults.objectForKey(key);
  if (!value || !value->dataValue()) return {};
  auto history = MSUnarchiveObjects<T>(*value->dataValue());
  if (!history) return {};
  return std::move(history.value());
}

template <class T>
void MSSaveHistory(MSUserDefaults& defaults, const char* key, const std::vector<std::shared_ptr<T>>& history) {
  vx::ArchivableArray roots(history.begin(), history.end());
  auto data = MSArchivedData(roots);
  if (!data) {
    MSLogError(kMSLogTag, "Couldn't archive the history for \"%s\": %s", key, data.error().description.c_str());
    return;
  }
  defaults.setObject(vx::Value(std::move(data.value())), key);
}

// The value of the newest entry strictly earlier than the date.
template <class T, class Field>
auto MSValueAt(const std::vector<std::shared_ptr<T>>& history, vx::Date date, Field field)
    -> decltype(field(*history.front())) {
  for (auto it = history.rbegin(); it != history.rend(); ++it) {
    if ((*it)->timestamp && *(*it)->timestamp < date) return field(**it);
  }
  return {};
}
