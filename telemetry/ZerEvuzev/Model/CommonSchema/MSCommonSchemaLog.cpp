#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"

const MSFieldTable<MSCommonSchemaLog, MSAbstractLog>& MSCommonSchemaLog::fieldTable() {
  constexpr auto kRequired = MSFieldFlags::Required;
  constexpr auto kArchivedOnly = static_cast<const char*>(nullptr);
  static constexpr MSField<MSCommonSchemaLog> kFields[] = {
      MSFieldOf<&MSCommonSchemaLog::ver>("ver", kRequired),
      MSFieldOf<&MSCommonSchemaLog::name>("name", kRequired),
      // The base's timestamp, written here under its common-schema name; the base archives and
      // compares it.
      MSFieldOf<&MSAbstractLog::timestamp, MSCommonSchemaLog>("time", nullptr, kRequired | MSFieldFlags::Uncompared),
      MSFieldOf<&MSCommonSchemaLog::popSample>(kArchivedOnly, "popSample"),
      MSFieldOf<&MSCommonSchemaLog::iKey>("iKey"),
      MSFieldOf<&MSCommonSchemaLog::flags>("flags", MSFieldFlags::OmitZero),
      MSFieldOf<&MSCommonSchemaLog::cV>(kArchivedOnly, "cV"),
      MSFieldOf<&MSCommonSchemaLog::ext>("ext"),
      MSFieldOf<&MSCommonSchemaLog::data>("data"),
  };
  static constexpr MSFieldTable<MSCommonSchemaLog, MSAbstractLog> kTable(kFields);
  return kTable;
}

MSCommonSchemaLog::MSCommonSchemaLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSCommonSchemaLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSCommonSchemaLog::serializeToDictionary() const {
  MSJson json = MSJson::object();
  fieldTable().writeOwnJson(*this, json);
  return json;
}

bool MSCommonSchemaLog::isValid() const { return fieldTable().ownValid(*this); }

bool MSCommonSchemaLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
