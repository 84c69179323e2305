#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSOrderedDictionary.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

MSCommonSchemaLog::MSCommonSchemaLog(vx::KeyedUnarchiver& coder)
    : MSAbstractLog(coder),
      ver(coder.decodeString("ver")),
      name(coder.decodeString("name")),
      popSample(coder.decodeDouble("popSample").value_or(0)),
      iKey(coder.decodeString("iKey")),
      flags(coder.decodeInt64("flags").value_or(0)),
      cV(coder.decodeString("cV")),
      ext(coder.decodeObjectOfClass<MSCSExtensions>("ext")),
      data(coder.decodeObjectOfClass<MSCSData>("data")) {}

void MSCommonSchemaLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSAbstractLog::encodeWithCoder(coder);
  MSEncodeString(coder, ver, "ver");
  MSEncodeString(coder, name, "name");
  coder.encodeDouble(popSample, "popSample");
  MSEncodeString(coder, iKey, "iKey");
  coder.encodeInt64(flags, "flags");
  MSEncodeString(coder, cV, "cV");
  if (ext) coder.encodeObject(ext.get(), "ext");
  if (data) coder.encodeObject(data.get(), "data");
}

MSJson MSCommonSchemaLog::serializeToDictionary() const {
  MSOrderedDictionary json(7);
  if (ver) json.setObject(*ver, "ver");
  if (name) json.setObject(*name, "name");
  if (timestamp) json.setObject(MSUtility::dateToISO8601(*timestamp), "time");
  if (iKey) json.setObject(*iKey, "iKey");
  if (flags != 0) json.setObject(flags, "flags");
  if (ext) {
    if (MSJson value = ext->serializeToDictionary(); !value.is_null()) json.setObject(value, "ext");
  }
  if (data) {
    if (MSJson value = data->serializeToDictionary(); !value.is_null()) json.setObject(value, "data");
  }
  return json.toJson();
}

bool MSCommonSchemaLog::isValid() const { return timestamp && ver && name; }

bool MSCommonSchemaLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSCommonSchemaLog*>(&other);
  if (log == nullptr || !baseFieldsEqual(*log)) return false;
  return ver == log->ver && name == log->name && popSample == log->popSample && iKey == log->iKey &&
         flags == log->flags && cV == log->cV && MSEqualObjects(ext, log->ext) &&
         MSEqualObjects(data, log->data);
}
