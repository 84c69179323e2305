#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSData.h"

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSModelConstants.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSOrderedDictionary.h"

const MSFieldTable<MSCSData>& MSCSData::fieldTable() {
  static constexpr MSField<MSCSData> kFields[] = {MSFieldOf<&MSCSData::properties>(nullptr, "properties")};
  static constexpr MSFieldTable<MSCSData> kTable(kFields);
  return kTable;
}

MSCSData::MSCSData(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSCSData::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

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

bool MSCSData::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSCSData::hash() const { return fieldTable().hash(*this); }
