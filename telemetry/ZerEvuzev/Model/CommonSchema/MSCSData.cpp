#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSData.h"

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSModelConstants.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSOrderedDictionary.h"
#include "telemetry/ZerEvuzev/Model/MSCoding.h"

MSCSData::MSCSData(vx::KeyedUnarchiver& coder) : properties(MSDecodeJson(coder, "properties", true)) {}

void MSCSData::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeJson(coder, properties, "properties");
}

MSJson MSCSData::serializeToDictionary() const {
  if (!properties || !properties->is_object()) return MSJson();
  MSOrderedDictionary ordered(properties->size());
  for (const char* key : {MSCSModelConstants::kDataBaseType, MSCSModelConstants::kDataBaseData}) {
    if (const auto it = properties->find(key); it != properties->end()) ordered.setObject(*it, key);
  }
  for (auto it = properties->begin(); it != properties->end(); ++it) {
    if (ordered.objectForKey(it.key()) == nullptr) ordered.setObject(it.value(), it.key());
  }
  return ordered.toJson();
}

bool MSCSData::isEqual(const MSSerializableObject& other) const {
  const auto* data = dynamic_cast<const MSCSData*>(&other);
  return data != nullptr && MSJsonEqualUnordered(properties, data->properties);
}

std::size_t MSCSData::hash() const { return MSJsonHashUnordered(properties); }
