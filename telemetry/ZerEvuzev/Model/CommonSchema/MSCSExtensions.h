// The extension records of a common-schema log: protocol, user, device, OS, app, network, SDK,
// location and free metadata, collected by MSCSExtensions. Each serialises only the keys whose
// values are set and gives nothing (a null MSJson) when none is; each is always valid. Archive
// keys are the JSON keys.
#pragma once

#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Shared shape of the extensions: valid, comparable only with their own class.
class MSCSExtensionBase : public MSSerializableObject, public MSModel {
 public:
  bool isValid() const override { return true; }
};

// Free metadata (type ids of event properties), copied entry by entry into the JSON.
class MSMetadataExtension : public MSCSExtensionBase {
 public:
  MSMetadataExtension() = default;
  explicit MSMetadataExtension(vx::KeyedUnarchiver& coder);
  std::optional<MSJson> metadata;  // a JSON object

  static const MSFieldTable<MSMetadataExtension>& fieldTable();

  std::string className() const override { return "MSMetadataExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSProtocolExtension : public MSCSExtensionBase {
 public:
  MSProtocolExtension() = default;
  explicit MSProtocolExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::vector<std::string>> ticketKeys;  // "ticketKeys"
  std::optional<std::string> devMake;                  // "devMake"
  std::optional<std::string> devModel;                 // "devModel"

  static const MSFieldTable<MSProtocolExtension>& fieldTable();

  std::string className() const override { return "MSProtocolExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSUserExtension : public MSCSExtensionBase {
 public:
  MSUserExtension() = default;
  explicit MSUserExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> localId;  // "localId"
  std::optional<std::string> locale;   // "locale"

  static const MSFieldTable<MSUserExtension>& fieldTable();

  std::string className() const override { return "MSUserExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSDeviceExtension : public MSCSExtensionBase {
 public:
  MSDeviceExtension() = default;
  explicit MSDeviceExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> localId;  // "localId"

  static const MSFieldTable<MSDeviceExtension>& fieldTable();

  std::string className() const override { return "MSDeviceExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSOSExtension : public MSCSExtensionBase {
 public:
  MSOSExtension() = default;
  explicit MSOSExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> name;  // "name"
  std::optional<std::string> ver;   // "ver"

  static const MSFieldTable<MSOSExtension>& fieldTable();

  std::string className() const override { return "MSOSExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSAppExtension : public MSCSExtensionBase {
 public:
  MSAppExtension() = default;
  explicit MSAppExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> appId;   // "id"
  std::optional<std::string> ver;     // "ver"
  std::optional<std::string> name;    // "name"
  std::optional<std::string> locale;  // "locale"
  std::optional<std::string> userId;  // "userId"

  static const MSFieldTable<MSAppExtension>& fieldTable();

  std::string className() const override { return "MSAppExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSNetExtension : public MSCSExtensionBase {
 public:
  MSNetExtension() = default;
  explicit MSNetExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> provider;  // "provider"

  static const MSFieldTable<MSNetExtension>& fieldTable();

  std::string className() const override { return "MSNetExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSSDKExtension : public MSCSExtensionBase {
 public:
  MSSDKExtension() = default;
  explicit MSSDKExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> libVer;  // "libVer"
  std::optional<std::string> epoch;   // "epoch"
  std::int64_t seq = 0;               // "seq", written only when non-zero
  std::optional<vx::UUID> installId;  // "installId", its string form in JSON

  static const MSFieldTable<MSSDKExtension>& fieldTable();

  std::string className() const override { return "MSSDKExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSLocExtension : public MSCSExtensionBase {
 public:
  MSLocExtension() = default;
  explicit MSLocExtension(vx::KeyedUnarchiver& coder);
  std::optional<std::string> tz;  // "tz"

  static const MSFieldTable<MSLocExtension>& fieldTable();

  std::string className() const override { return "MSLocExtension"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// The extensions of one log; keys "metadata", "protocol", "user", "device", "os", "app", "net",
// "sdk", "loc" in that order. Its JSON is always an object (empty when nothing is set).
class MSCSExtensions : public MSSerializableObject, public MSModel {
 public:
  MSCSExtensions() = default;
  explicit MSCSExtensions(vx::KeyedUnarchiver& coder);

  std::shared_ptr<MSMetadataExtension> metadataExt;
  std::shared_ptr<MSProtocolExtension> protocolExt;
  std::shared_ptr<MSUserExtension> userExt;
  std::shared_ptr<MSDeviceExtension> deviceExt;
  std::shared_ptr<MSOSExtension> osExt;
  std::shared_ptr<MSAppExtension> appExt;
  std::shared_ptr<MSNetExtension> netExt;
  std::shared_ptr<MSSDKExtension> sdkExt;
  std::shared_ptr<MSLocExtension> locExt;

  static const MSFieldTable<MSCSExtensions>& fieldTable();

  std::string className() const override { return "MSCSExtensions"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  // Every member that is set is valid.
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};
