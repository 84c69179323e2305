#include "telemetry/ZerEvuzev/Model/MSArchiving.h"

#include "telemetry/ZerEvuzev/Context/MSDeviceHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include <mutex>

namespace {

template <class T>
void add() {
  // The name comes from the class itself, so the archive tag and the registry never disagree.
  vx::KeyedUnarchiver::registerClass<T>(T().className());
}

}  // namespace

void MSRegisterArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    add<MSWrapperSdk>();
    add<MSDevice>();
    add<MSAbstractLog>();
    add<MSLogWithProperties>();
    add<MSStartServiceLog>();
    add<MSCustomPropertiesLog>();
    add<MSTypedProperty>();
    add<MSStringTypedProperty>();
    add<MSLongTypedProperty>();
    add<MSDoubleTypedProperty>();
    add<MSDateTimeTypedProperty>();
    add<MSBooleanTypedProperty>();
    add<MSCommonSchemaLog>();
    add<MSCSExtensions>();
    add<MSMetadataExtension>();
    add<MSProtocolExtension>();
    add<MSUserExtension>();
    add<MSDeviceExtension>();
    add<MSOSExtension>();
    add<MSAppExtension>();
    add<MSNetExtension>();
    add<MSSDKExtension>();
    add<MSLocExtension>();
    add<MSCSData>();
    add<MSHistoryInfo>();
    add<MSSessionHistoryInfo>();
    add<MSUserIdHistoryInfo>();
    add<MSAuthTokenInfo>();
    add<MSDeviceHistoryInfo>();
  });
}
