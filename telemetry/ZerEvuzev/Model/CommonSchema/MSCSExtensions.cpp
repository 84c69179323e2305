#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSExtensions.h"

namespace {

// Nothing when no key was set.
MSJson orNothing(MSJson json) { return json.empty() ? MSJson() : json; }

}  // namespace

// ---- MSMetadataExtension ----

const MSFieldTable<MSMetadataExtension>& MSMetadataExtension::fieldTable() {
  // Archived only: the JSON is a copy of the tree itself.
  static constexpr MSField<MSMetadataExtension> kFields[] = {
      MSFieldOf<&MSMetadataExtension::metadata>(nullptr, "metadata")};
  static constexpr MSFieldTable<MSMetadataExtension> kTable(kFields);
  return kTable;
}

MSMetadataExtension::MSMetadataExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSMetadataExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSMetadataExtension::serializeToDictionary() const {
  if (!metadata || !metadata->is_object()) return MSJson();
  MSJson json = MSJson::object();
  for (auto it = metadata->begin(); it != metadata->end(); ++it) json[it.key()] = it.value();
  return orNothing(std::move(json));
}

bool MSMetadataExtension::isEqual(const MSSerializableObject& other) const {
  return fieldTable().isEqual(*this, other);
}

std::size_t MSMetadataExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSProtocolExtension ----

const MSFieldTable<MSProtocolExtension>& MSProtocolExtension::fieldTable() {
  static constexpr MSField<MSProtocolExtension> kFields[] = {
      MSFieldOf<&MSProtocolExtension::ticketKeys>("ticketKeys"),
      MSFieldOf<&MSProtocolExtension::devMake>("devMake"),
      MSFieldOf<&MSProtocolExtension::devModel>("devModel"),
  };
  static constexpr MSFieldTable<MSProtocolExtension> kTable(kFields, 1);
  return kTable;
}

MSProtocolExtension::MSProtocolExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSProtocolExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSProtocolExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSProtocolExtension::isEqual(const MSSerializableObject& other) const {
  return fieldTable().isEqual(*this, other);
}

std::size_t MSProtocolExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSUserExtension ----

const MSFieldTable<MSUserExtension>& MSUserExtension::fieldTable() {
  static constexpr MSField<MSUserExtension> kFields[] = {
      MSFieldOf<&MSUserExtension::localId>("localId"),
      MSFieldOf<&MSUserExtension::locale>("locale"),
  };
  static constexpr MSFieldTable<MSUserExtension> kTable(kFields, 2);
  return kTable;
}

MSUserExtension::MSUserExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSUserExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSUserExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSUserExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSUserExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSDeviceExtension ----

const MSFieldTable<MSDeviceExtension>& MSDeviceExtension::fieldTable() {
  static constexpr MSField<MSDeviceExtension> kFields[] = {
      MSFieldOf<&MSDeviceExtension::localId>("localId"),
  };
  static constexpr MSFieldTable<MSDeviceExtension> kTable(kFields, 3);
  return kTable;
}

MSDeviceExtension::MSDeviceExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSDeviceExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSDeviceExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSDeviceExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSDeviceExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSOSExtension ----

const MSFieldTable<MSOSExtension>& MSOSExtension::fieldTable() {
  static constexpr MSField<MSOSExtension> kFields[] = {
      MSFieldOf<&MSOSExtension::name>("name"),
      MSFieldOf<&MSOSExtension::ver>("ver"),
  };
  static constexpr MSFieldTable<MSOSExtension> kTable(kFields, 4);
  return kTable;
}

MSOSExtension::MSOSExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSOSExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSOSExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSOSExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSOSExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSAppExtension ----

const MSFieldTable<MSAppExtension>& MSAppExtension::fieldTable() {
  static constexpr MSField<MSAppExtension> kFields[] = {
      MSFieldOf<&MSAppExtension::appId>("id"),      MSFieldOf<&MSAppExtension::ver>("ver"),
      MSFieldOf<&MSAppExtension::name>("name"),     MSFieldOf<&MSAppExtension::locale>("locale"),
      MSFieldOf<&MSAppExtension::userId>("userId"),
  };
  static constexpr MSFieldTable<MSAppExtension> kTable(kFields, 5);
  return kTable;
}

MSAppExtension::MSAppExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSAppExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSAppExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSAppExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSAppExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSNetExtension ----

const MSFieldTable<MSNetExtension>& MSNetExtension::fieldTable() {
  static constexpr MSField<MSNetExtension> kFields[] = {
      MSFieldOf<&MSNetExtension::provider>("provider"),
  };
  static constexpr MSFieldTable<MSNetExtension> kTable(kFields, 6);
  return kTable;
}

MSNetExtension::MSNetExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSNetExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSNetExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSNetExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSNetExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSSDKExtension ----

const MSFieldTable<MSSDKExtension>& MSSDKExtension::fieldTable() {
  static constexpr MSField<MSSDKExtension> kFields[] = {
      MSFieldOf<&MSSDKExtension::libVer>("libVer"),
      MSFieldOf<&MSSDKExtension::epoch>("epoch"),
      MSFieldOf<&MSSDKExtension::seq>("seq", MSFieldFlags::OmitZero),
      MSFieldOf<&MSSDKExtension::installId>("installId"),
  };
  static constexpr MSFieldTable<MSSDKExtension> kTable(kFields, 7);
  return kTable;
}

MSSDKExtension::MSSDKExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSSDKExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSSDKExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSSDKExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSSDKExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSLocExtension ----

const MSFieldTable<MSLocExtension>& MSLocExtension::fieldTable() {
  static constexpr MSField<MSLocExtension> kFields[] = {
      MSFieldOf<&MSLocExtension::tz>("tz"),
  };
  static constexpr MSFieldTable<MSLocExtension> kTable(kFields, 8);
  return kTable;
}

MSLocExtension::MSLocExtension(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSLocExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSLocExtension::serializeToDictionary() const { return orNothing(fieldTable().toJson(*this)); }

bool MSLocExtension::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSLocExtension::hash() const { return fieldTable().hash(*this); }

// ---- MSCSExtensions ----

const MSFieldTable<MSCSExtensions>& MSCSExtensions::fieldTable() {
  static constexpr MSField<MSCSExtensions> kFields[] = {
      MSFieldOf<&MSCSExtensions::metadataExt>("metadata"),
      MSFieldOf<&MSCSExtensions::protocolExt>("protocol"),
      MSFieldOf<&MSCSExtensions::userExt>("user"),
      MSFieldOf<&MSCSExtensions::deviceExt>("device"),
      MSFieldOf<&MSCSExtensions::osExt>("os"),
      MSFieldOf<&MSCSExtensions::appExt>("app"),
      MSFieldOf<&MSCSExtensions::netExt>("net"),
      MSFieldOf<&MSCSExtensions::sdkExt>("sdk"),
      MSFieldOf<&MSCSExtensions::locExt>("loc"),
  };
  static constexpr MSFieldTable<MSCSExtensions> kTable(kFields, 9);
  return kTable;
}

MSCSExtensions::MSCSExtensions(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSCSExtensions::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSCSExtensions::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSCSExtensions::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSCSExtensions::hash() const { return fieldTable().hash(*this); }

bool MSCSExtensions::isValid() const { return fieldTable().isValid(*this); }
