#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventLog.h"

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <vector>

namespace {

constexpr const char* kTag = "ZerEvuzevAnalytics";
constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
constexpr const char* kBaseTypePrefix = "baseType.";
constexpr const char* kBaseDataPrefix = "baseData.";
constexpr const char* kMetadataFields = "f";

std::vector<std::string> splitOnDots(const std::string& name) {
  std::vector<std::string> keys;
  std::size_t start = 0;
  while (true) {
    const auto dot = name.find('.', start);
    keys.push_back(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return keys;
    start = dot + 1;
  }
}

}  // namespace

// Typed properties: a JSON array of {"type", "name", "value"}, archived as the container.
template <>
struct MSFieldTraits<std::shared_ptr<MSEventProperties>> {
  using Type = std::shared_ptr<MSEventProperties>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags) {
    if (value) json[key] = value->serializeToArray();
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    if (value) coder.encodeObject(value.get(), key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = coder.decodeObjectOfClass<MSEventProperties>(key)) value = std::move(decoded);
  }
  static bool equal(const Type& a, const Type& b) {
    if (!a || !b) return !a && !b;
    return a->isEqual(*b);
  }
  static void hash(std::size_t& seed, const Type& value) { MSHashCombine(seed, value ? value->count() + 1 : 0); }
  static bool isSet(const Type& value, MSFieldFlags) { return value != nullptr; }
  static bool nestedValid(const Type&) { return true; }
};

MSEventLog::MSEventLog()
    : metadataTypeIdMapping(std::map<std::string, int>{{MSLongTypedProperty::kType, kMSLongMetadataTypeId},
                                                       {MSDoubleTypedProperty::kType, kMSDoubleMetadataTypeId},
                                                       {MSDateTimeTypedProperty::kType, kMSDateTimeMetadataTypeId}}) {
  type = kType;
}

MSEventLog::MSEventLog(vx::KeyedUnarchiver& coder) : MSLogWithNameAndProperties(coder) {
  fieldTable().decodeOwn(*this, coder);
}

const MSFieldTable<MSEventLog, MSLogWithNameAndProperties>& MSEventLog::fieldTable() {
  static constexpr MSField<MSEventLog> kFields[] = {
      MSFieldOf<&MSEventLog::eventId>("id", MSFieldFlags::Required),
      MSFieldOf<&MSEventLog::typedProperties>("typedProperties", MSFieldFlags::Uncompared),
  };
  static constexpr MSFieldTable<MSEventLog, MSLogWithNameAndProperties> kTable(kFields);
  return kTable;
}

std::shared_ptr<MSCommonSchemaLog> MSEventLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                               std::uint64_t flags) const {
  auto csLog = MSLogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
  if (!csLog) return csLog;
  csLog->name = name;
  setPropertiesAndMetadataForCSLog(*csLog);
  csLog->tag = tag;
  return csLog;
}

void MSEventLog::setPropertiesAndMetadataForCSLog(MSCommonSchemaLog& csLog) const {
  if (!typedProperties) return;
  MSJson propertyTree = MSJson::object();
  MSJson metadataTree = MSJson::object();

  // The two reserved keys only make sense together; a half is dropped from the event itself.
  const auto entries = typedProperties->properties();
  bool hasBaseDataKeys = false;
  for (const auto& entry : entries) hasBaseDataKeys = hasBaseDataKeys || entry.first.starts_with(kBaseDataPrefix);
  const auto baseType = typedProperties->propertyForKey(kBaseType);
  if (std::dynamic_pointer_cast<MSStringTypedProperty>(baseType)) {
    if (!hasBaseDataKeys) {
      MSLogWarning(kTag, "baseType was set but baseData is missing.");
      typedProperties->removePropertyForKey(kBaseType);
    }
  } else {
    bool removed = false;
    for (const auto& entry : entries) {
      if (entry.first.starts_with(kBaseDataPrefix))
        removed = typedProperties->removePropertyForKey(entry.first) || removed;
    }
    if (removed) MSLogWarning(kTag, "baseData was set but baseType is missing or invalid.");
    typedProperties->removePropertyForKey(kBaseType);
  }

  for (const auto& [key, property] : typedProperties->properties()) {
    const std::string propertyName = property->name.value_or(key);
    if (propertyName.starts_with(kBaseTypePrefix)) {
      MSLogWarning(kTag, "baseType must not be an object.");
      continue;
    }
    if (propertyName == kBaseData) {
      MSLogWarning(kTag, "baseData must be an object.");
      continue;
    }
    addTypedProperty(*property, metadataTree, propertyTree);
  }

  if (!propertyTree.empty()) {
    auto data = std::make_shared<MSCSData>();
    data->properties = std::move(propertyTree);
    csLog.data = std::move(data);
  }
  if (!metadataTree.empty()) {
    if (!csLog.ext) csLog.ext = std::make_shared<MSCSExtensions>();
    auto metadata = std::make_shared<MSMetadataExtension>();
    metadata->metadata = std::move(metadataTree);
    csLog.ext->metadataExt = std::move(metadata);
  }
}

bool MSEventLog::addTypedProperty(const MSTypedProperty& property, MSJson& metadata, MSJson& properties) const {
  std::optional<int> typeId;
  if (metadataTypeIdMapping && property.type) {
    if (auto found = metadataTypeIdMapping->find(*property.type); found != metadataTypeIdMapping->end()) {
      typeId = found->second;
    }
  }
  const auto keys = splitOnDots(property.name.value_or(""));
  MSJson* propertyNode = &properties;
  MSJson* metadataNode = &metadata;
  // The node whose "f" object this property made first: removed again if the property is refused.
  MSJson* firstMetadataNode = nullptr;
  for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
    const std::string& key = keys[i];
    if (!propertyNode->contains(key)) {
      (*propertyNode)[key] = MSJson::object();
    } else if (!(*propertyNode)[key].is_object()) {
      propertyNode = nullptr;
      break;
    }
    propertyNode = &(*propertyNode)[key];
    if (typeId) {
      if (!metadataNode->contains(kMetadataFields)) {
        (*metadataNode)[kMetadataFields] = MSJson::object();
        if (firstMetadataNode == nullptr) firstMetadataNode = metadataNode;
      }
      MSJson& fields = (*metadataNode)[kMetadataFields];
      if (!fields.contains(key)) fields[key] = MSJson::object();
      metadataNode = &fields[key];
    }
  }
  const bool added = addTypedProperty(property, propertyNode, keys.back());
  if (typeId && added) {
    if (!metadataNode->contains(kMetadataFields)) (*metadataNode)[kMetadataFields] = MSJson::object();
    (*metadataNode)[kMetadataFields][keys.back()] = *typeId;
  } else if (firstMetadataNode != nullptr) {
    firstMetadataNode->erase(kMetadataFields);
  }
  return added;
}

bool MSEventLog::addTypedProperty(const MSTypedProperty& property, MSJson* propertyTree, const std::string& key) {
  if (propertyTree == nullptr || propertyTree->contains(key)) {
    MSLogWarning(kTag, "Property key '%s' already has a value, choosing one.", key.c_str());
    return false;
  }
  if (const auto* text = dynamic_cast<const MSStringTypedProperty*>(&property)) {
    if (text->value) (*propertyTree)[key] = *text->value;
  } else if (const auto* flag = dynamic_cast<const MSBooleanTypedProperty*>(&property)) {
    (*propertyTree)[key] = flag->value;
  } else if (const auto* number = dynamic_cast<const MSLongTypedProperty*>(&property)) {
    (*propertyTree)[key] = number->value;
  } else if (const auto* real = dynamic_cast<const MSDoubleTypedProperty*>(&property)) {
    (*propertyTree)[key] = real->value;
  } else if (const auto* date = dynamic_cast<const MSDateTimeTypedProperty*>(&property)) {
    if (date->value) (*propertyTree)[key] = MSUtility::dateToISO8601(*date->value);
  }
  return true;
}
