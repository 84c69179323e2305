// A custom event: a named log of type "event" with an id and typed properties. JSON and archive
// add "id" and "typedProperties" (an array of {"type", "name", "value"} in JSON, the property
// container in the archive). Valid only with a name and an id; equality compares the id, not the
// typed properties.
//
// For transmission targets it converts itself into common-schema logs whose data is the typed
// properties as a tree (a key "a.b" nests "b" inside "a") and whose metadata names the type of
// each number and date in a parallel tree ("f" objects holding type ids 4 long, 6 double,
// 9 dateTime).
#pragma once

#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSLogWithNameAndProperties.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

class MSEventLog : public MSLogWithNameAndProperties {
 public:
  static constexpr const char* kType = "event";
  static constexpr int kMSLongMetadataTypeId = 4;
  static constexpr int kMSDoubleMetadataTypeId = 6;
  static constexpr int kMSDateTimeMetadataTypeId = 9;

  // A new event carries the type-id table; a decoded one does not (it is neither serialised nor
  // archived), so it converts without metadata.
  MSEventLog();
  explicit MSEventLog(vx::KeyedUnarchiver& coder);

  std::optional<std::string> eventId;
  std::shared_ptr<MSEventProperties> typedProperties;
  std::optional<std::map<std::string, int>> metadataTypeIdMapping;

  // "id" (required) and "typedProperties" (not compared).
  static const MSFieldTable<MSEventLog, MSLogWithNameAndProperties>& fieldTable();

  std::string className() const override { return "MSEventLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override { fieldTable().encode(*this, coder); }
  MSJson serializeToDictionary() const override { return fieldTable().toJson(*this); }
  bool isValid() const override { return fieldTable().isValid(*this); }
  bool isEqual(const MSSerializableObject& other) const override { return fieldTable().isEqual(*this, other); }
  std::size_t hash() const override { return fieldTable().hash(*this); }

  // The base conversion, named after the event, with its data and metadata, tagged with the
  // event's tag. Misplaced "baseType"/"baseData" properties are removed from the event itself
  // (with a warning), so a conversion for a second token warns no more.
  std::shared_ptr<MSCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                     std::uint64_t flags) const override;
  void setPropertiesAndMetadataForCSLog(MSCommonSchemaLog& csLog) const;
  // Places one property in the trees; false (warning) when its place is taken.
  bool addTypedProperty(const MSTypedProperty& property, MSJson& metadata, MSJson& properties) const;
  // Stores the value under the key of the node; false (warning) for no node or a taken key.
  static bool addTypedProperty(const MSTypedProperty& property, MSJson* propertyTree, const std::string& key);
};
