#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSLogWithNameAndProperties.h"

const MSFieldTable<MSLogWithNameAndProperties, MSLogWithProperties>& MSLogWithNameAndProperties::fieldTable() {
  static constexpr MSField<MSLogWithNameAndProperties> kFields[] = {
      MSFieldOf<&MSLogWithNameAndProperties::name>("name", MSFieldFlags::Required),
  };
  static constexpr MSFieldTable<MSLogWithNameAndProperties, MSLogWithProperties> kTable(kFields);
  return kTable;
}

MSLogWithNameAndProperties::MSLogWithNameAndProperties(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) {
  fieldTable().decodeOwn(*this, coder);
}
