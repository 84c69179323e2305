#include "telemetry/ZerEvuzev/Model/CommonSchema/MSOrderedDictionary.h"

MSOrderedDictionary::MSOrderedDictionary(std::size_t capacity) {
  dictionary_.reserve(capacity);
  order_.reserve(capacity);
}

void MSOrderedDictionary::setObject(const MSJson& value, const std::string& key) {
  auto [it, inserted] = dictionary_.try_emplace(key, value);
  if (inserted) {
    order_.push_back(key);
  } else {
    it->second = value;
  }
}

const MSJson* MSOrderedDictionary::objectForKey(const std::string& key) const {
  const auto it = dictionary_.find(key);
  return it == dictionary_.end() ? nullptr : &it->second;
}

void MSOrderedDictionary::removeAllObjects() {
  dictionary_.clear();
  order_.clear();
}

bool MSOrderedDictionary::isEqualToDictionary(const MSOrderedDictionary& other) const {
  return order_ == other.order_ && dictionary_ == other.dictionary_;
}

MSJson MSOrderedDictionary::toJson() const {
  MSJson json = MSJson::object();
  for (const auto& key : order_) json[key] = dictionary_.at(key);
  return json;
}
