// Fixed values of the common-schema log shape.
#pragma once

namespace MSCSModelConstants {
inline constexpr const char* kSchemaVersion = "3.0";
inline constexpr const char* kDataBaseType = "baseType";
inline constexpr const char* kDataBaseData = "baseData";
inline constexpr const char* kUserIdPrefix = "c";
inline constexpr const char* kAppIdPrefix = "I:";
}  // namespace MSCSModelConstants
