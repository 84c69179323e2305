// A dictionary that remembers the order in which its keys were first inserted, so JSON written
// from it keeps a fixed key order. Re-setting a key keeps its position.
#pragma once

#include "telemetry/ZerEvuzev/Util/MSJson.h"

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

class MSOrderedDictionary {
 public:
  MSOrderedDictionary() = default;
  explicit MSOrderedDictionary(std::size_t capacity);

  void setObject(const MSJson& value, const std::string& key);
  // nullptr when the key is absent.
  const MSJson* objectForKey(const std::string& key) const;
  std::size_t count() const { return dictionary_.size(); }
  void removeAllObjects();
  // The keys in first-insertion order.
  const std::vector<std::string>& keys() const { return order_; }
  // Equal pairs and an equal key order.
  bool isEqualToDictionary(const MSOrderedDictionary& other) const;
  // A JSON object with the keys in order.
  MSJson toJson() const;

 private:
  std::unordered_map<std::string, MSJson> dictionary_;
  std::vector<std::string> order_;
};
