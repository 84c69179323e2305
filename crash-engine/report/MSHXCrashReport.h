// The decoded crash report: the report file's header is checked, its CrashReport message is
// unpacked (protobuf-c) and every section becomes an immutable value object. Normal context
// only: decoding allocates.
#pragma once

#include "platform/foundation/Error.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Values of the schema's enums.
enum MSHXCrashReportOperatingSystem : int {
  MSHXCrashReportOperatingSystemMacOSX = 0,
  MSHXCrashReportOperatingSystemiPhoneOS = 1,
  MSHXCrashReportOperatingSystemiPhoneSimulator = 2,
  MSHXCrashReportOperatingSystemUnknown = 3,
  MSHXCrashReportOperatingSystemAppleTVOS = 4,
};
enum MSHXCrashReportArchitecture : int {
  MSHXCrashReportArchitectureX86_32 = 0,
  MSHXCrashReportArchitectureX86_64 = 1,
  MSHXCrashReportArchitectureARMv6 = 2,
  MSHXCrashReportArchitecturePPC = 3,
  MSHXCrashReportArchitecturePPC64 = 4,
  MSHXCrashReportArchitectureARMv7 = 5,
  MSHXCrashReportArchitectureUnknown = 6,
};
enum MSHXCrashReportProcessorTypeEncoding : int {
  MSHXCrashReportProcessorTypeEncodingUnknown = 0,
  MSHXCrashReportProcessorTypeEncodingMach = 1,
};

using MSHXCrashReportDate = std::chrono::system_clock::time_point;

class MSHXCrashReportSystemInfo {
 public:
  MSHXCrashReportSystemInfo(int operatingSystem, std::string operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild, int architecture,
                            std::optional<MSHXCrashReportDate> timestamp);
  MSHXCrashReportSystemInfo(int operatingSystem, std::string operatingSystemVersion, int architecture,
                            std::optional<MSHXCrashReportDate> timestamp)
      : MSHXCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt, architecture,
                                  timestamp) {}
  int operatingSystem() const { return _operatingSystem; }
  const std::string& operatingSystemVersion() const { return _operatingSystemVersion; }
  const std::optional<std::string>& operatingSystemBuild() const { return _operatingSystemBuild; }
  int architecture() const { return _architecture; }
  // None when the report's timestamp is 0 or lies beyond what the date can hold.
  const std::optional<MSHXCrashReportDate>& timestamp() const { return _timestamp; }

 private:
  int _operatingSystem;
  std::string _operatingSystemVersion;
  std::optional<std::string> _operatingSystemBuild;
  int _architecture;
  std::optional<MSHXCrashReportDate> _timestamp;
};

class MSHXCrashReportProcessorInfo {
 public:
  MSHXCrashReportProcessorInfo(int typeEncoding, std::uint64_t type, std::uint64_t subtype)
      : _typeEncoding(typeEncoding), _type(type), _subtype(subtype) {}
  int typeEncoding() const { return _typeEncoding; }
  std::uint64_t type() const { return _type; }
  std::uint64_t subtype() const { return _subtype; }

 private:
  int _typeEncoding;
  std::uint64_t _type;
  std::uint64_t _subtype;
};

class MSHXCrashReportMachineInfo {
 public:
  MSHXCrashReportMachineInfo(std::optional<std::string> modelName,
                             std::shared_ptr<MSHXCrashReportProcessorInfo> processorInfo, std::uint64_t processorCount,
                             std::uint64_t logicalProcessorCount)
      : _modelName(std::move(modelName)),
        _processorInfo(std::move(processorInfo)),
        _processorCount(processorCount),
        _logicalProcessorCount(logicalProcessorCount) {}
  const std::optional<std::string>& modelName() const { return _modelName; }
  const std::shared_ptr<MSHXCrashReportProcessorInfo>& processorInfo() const { return _processorInfo; }
  std::uint64_t processorCount() const { return _processorCount; }
  std::uint64_t logicalProcessorCount() const { return _logicalProcessorCount; }

 private:
  std::optional<std::string> _modelName;
  std::shared_ptr<MSHXCrashReportProcessorInfo> _processorInfo;
  std::uint64_t _processorCount;
  std::uint64_t _logicalProcessorCount;
};

class MSHXCrashReportApplicationInfo {
 public:
  MSHXCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion)
      : _applicationIdentifier(std::move(applicationIdentifier)),
        _applicationVersion(std::move(applicationVersion)),
        _applicationMarketingVersion(std::move(applicationMarketingVersion)) {}
  const std::string& applicationIdentifier() const { return _applicationIdentifier; }
  const std::string& applicationVersion() const { return _applicationVersion; }
  const std::optional<std::string>& applicationMarketingVersion() const { return _applicationMarketingVersion; }

 private:
  std::string _applicationIdentifier;
  std::string _applicationVersion;
  std::optional<std::string> _applicationMarketingVersion;
};

class MSHXCrashReportProcessInfo {
 public:
  MSHXCrashReportProcessInfo(std::optional<std::string> processName, std::uint64_t processID,
                             std::optional<std::string> processPath,
                             std::optional<MSHXCrashReportDate> processStartTime,
                             std::optional<std::string> parentProcessName, std::uint64_t parentProcessID, bool native)
      : _processName(std::move(processName)),
        _processID(processID),
        _processPath(std::move(processPath)),
        _processStartTime(processStartTime),
        _parentProcessName(std::move(parentProcessName)),
        _parentProcessID(parentProcessID),
        _native(native) {}
  const std::optional<std::string>& processName() const { return _processName; }
  std::uint64_t processID() const { return _processID; }
  const std::optional<std::string>& processPath() const { return _processPath; }
  const std::optional<MSHXCrashReportDate>& processStartTime() const { return _processStartTime; }
  const std::optional<std::string>& parentProcessName() const { return _parentProcessName; }
  std::uint64_t parentProcessID() const { return _parentProcessID; }
  bool native() const { return _native; }

 private:
  std::optional<std::string> _processName;
  std::uint64_t _processID;
  std::optional<std::string> _processPath;
  std::optional<MSHXCrashReportDate> _processStartTime;
  std::optional<std::string> _parentProcessName;
  std::uint64_t _parentProcessID;
  bool _native;
};

class MSHXCrashReportSignalInfo {
 public:
  MSHXCrashReportSignalInfo(std::string name, std::string code, std::uint64_t address)
      : _name(std::move(name)), _code(std::move(code)), _address(address) {}
  const std::string& name() const { return _name; }
  const std::string& code() const { return _code; }
  std::uint64_t address() const { return _address; }

 private:
  std::string _name;
  std::string _code;
  std::uint64_t _address;
};

class MSHXCrashReportMachExceptionInfo {
 public:
  MSHXCrashReportMachExceptionInfo(std::uint64_t type, std::vector<std::uint64_t> codes)
      : _type(type), _codes(std::move(codes)) {}
  std::uint64_t type() const { return _type; }
  const std::vector<std::uint64_t>& codes() const { return _codes; }

 private:
  std::uint64_t _type;
  std::vector<std::uint64_t> _codes;
};

class MSHXCrashReportSymbolInfo {
 public:
  MSHXCrashReportSymbolInfo(std::string symbolName, std::uint64_t startAddress, std::uint64_t endAddress)
      : _symbolName(std::move(symbolName)), _startAddress(startAddress), _endAddress(endAddress) {}
  const std::string& symbolName() const { return _symbolName; }
  std::uint64_t startAddress() const { return _startAddress; }
  // 0 when the report has no end address.
  std::uint64_t endAddress() const { return _endAddress; }

 private:
  std::string _symbolName;
  std::uint64_t _startAddress;
  std::uint64_t _endAddress;
};

class MSHXCrashReportStackFrameInfo {
 public:
  MSHXCrashReportStackFrameInfo(std::uint64_t instructionPointer, std::shared_ptr<MSHXCrashReportSymbolInfo> symbolInfo)
      : _instructionPointer(instructionPointer), _symbolInfo(std::move(symbolInfo)) {}
  std::uint64_t instructionPointer() const { return _instructionPointer; }
  const std::shared_ptr<MSHXCrashReportSymbolInfo>& symbolInfo() const { return _symbolInfo; }

 private:
  std::uint64_t _instructionPointer;
  std::shared_ptr<MSHXCrashReportSymbolInfo> _symbolInfo;
};

class MSHXCrashReportRegisterInfo {
 public:
  MSHXCrashReportRegisterInfo(std::string registerName, std::uint64_t registerValue)
      : _registerName(std::move(registerName)), _registerValue(registerValue) {}
  const std::string& registerName() const { return _registerName; }
  std::uint64_t registerValue() const { return _registerValue; }

 private:
  std::string _registerName;
  std::uint64_t _registerValue;
};

class MSHXCrashReportThreadInfo {
 public:
  MSHXCrashReportThreadInfo(std::int64_t threadNumber,
                            std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>> stackFrames, bool crashed,
                            std::vector<std::shared_ptr<MSHXCrashReportRegisterInfo>> registers)
      : _threadNumber(threadNumber),
        _stackFrames(std::move(stackFrames)),
        _crashed(crashed),
        _registers(std::move(registers)) {}
  std::int64_t threadNumber() const { return _threadNumber; }
  const std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>>& stackFrames() const { return _stackFrames; }
  bool crashed() const { return _crashed; }
  const std::vector<std::shared_ptr<MSHXCrashReportRegisterInfo>>& registers() const { return _registers; }

 private:
  std::int64_t _threadNumber;
  std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>> _stackFrames;
  bool _crashed;
  std::vector<std::shared_ptr<MSHXCrashReportRegisterInfo>> _registers;
};

class MSHXCrashReportBinaryImageInfo {
 public:
  // uuid: the image's uuid bytes, none or empty when it has none.
  MSHXCrashReportBinaryImageInfo(std::shared_ptr<MSHXCrashReportProcessorInfo> codeType, std::uint64_t baseAddress,
                                 std::uint64_t size, std::string name,
                                 const std::optional<std::vector<std::uint8_t>>& uuid);
  const std::shared_ptr<MSHXCrashReportProcessorInfo>& codeType() const { return _codeType; }
  std::uint64_t imageBaseAddress() const { return _imageBaseAddress; }
  std::uint64_t imageSize() const { return _imageSize; }
  const std::string& imageName() const { return _imageName; }
  bool hasImageUUID() const { return _hasImageUUID; }
  // Lowercase hexadecimal, two digits per byte, no separators.
  const std::optional<std::string>& imageUUID() const { return _imageUUID; }

 private:
  std::shared_ptr<MSHXCrashReportProcessorInfo> _codeType;
  std::uint64_t _imageBaseAddress;
  std::uint64_t _imageSize;
  std::string _imageName;
  bool _hasImageUUID = false;
  std::optional<std::string> _imageUUID;
};

class MSHXCrashReportExceptionInfo {
 public:
  MSHXCrashReportExceptionInfo(
      std::string exceptionName, std::string reason,
      std::optional<std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>>> stackFrames = std::nullopt)
      : _exceptionName(std::move(exceptionName)),
        _exceptionReason(std::move(reason)),
        _stackFrames(std::move(stackFrames)) {}
  const std::string& exceptionName() const { return _exceptionName; }
  const std::string& exceptionReason() const { return _exceptionReason; }
  // None when the exception has no frames.
  const std::optional<std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>>>& stackFrames() const {
    return _stackFrames;
  }

 private:
  std::string _exceptionName;
  std::string _exceptionReason;
  std::optional<std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>>> _stackFrames;
};

class MSHXCrashReport {
 public:
  // Decodes a report file's bytes. Null with *error (when given) of MSHXCrashReporterErrorDomain,
  // code 2, for a truncated, foreign, unsupported, undecodable or incomplete report.
  static std::shared_ptr<MSHXCrashReport> makeWithData(const std::vector<std::uint8_t>& data, vx::Error* error);
  static std::shared_ptr<MSHXCrashReport> makeWithData(const std::uint8_t* bytes, std::size_t length, vx::Error* error);

  const std::shared_ptr<MSHXCrashReportSystemInfo>& systemInfo() const { return _systemInfo; }
  bool hasMachineInfo() const { return _machineInfo != nullptr; }
  const std::shared_ptr<MSHXCrashReportMachineInfo>& machineInfo() const { return _machineInfo; }
  const std::shared_ptr<MSHXCrashReportApplicationInfo>& applicationInfo() const { return _applicationInfo; }
  bool hasProcessInfo() const { return _processInfo != nullptr; }
  const std::shared_ptr<MSHXCrashReportProcessInfo>& processInfo() const { return _processInfo; }
  const std::shared_ptr<MSHXCrashReportSignalInfo>& signalInfo() const { return _signalInfo; }
  const std::shared_ptr<MSHXCrashReportMachExceptionInfo>& machExceptionInfo() const { return _machExceptionInfo; }
  const std::vector<std::shared_ptr<MSHXCrashReportThreadInfo>>& threads() const { return _threads; }
  const std::vector<std::shared_ptr<MSHXCrashReportBinaryImageInfo>>& images() const { return _images; }
  bool hasExceptionInfo() const { return _exceptionInfo != nullptr; }
  const std::shared_ptr<MSHXCrashReportExceptionInfo>& exceptionInfo() const { return _exceptionInfo; }
  // The report UUID's 16 bytes; none when the report has none.
  const std::optional<std::array<std::uint8_t, 16>>& uuidRef() const { return _uuid; }
  // The canonical upper-case text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" of the UUID.
  std::optional<std::string> uuidString() const;

  // The first image, in report order, with base <= address < base + size.
  std::shared_ptr<MSHXCrashReportBinaryImageInfo> imageForAddress(std::uint64_t address) const;

 private:
  MSHXCrashReport() = default;
  bool decode(const std::uint8_t* bytes, std::size_t length, vx::Error* error);

  std::shared_ptr<MSHXCrashReportSystemInfo> _systemInfo;
  std::shared_ptr<MSHXCrashReportMachineInfo> _machineInfo;
  std::shared_ptr<MSHXCrashReportApplicationInfo> _applicationInfo;
  std::shared_ptr<MSHXCrashReportProcessInfo> _processInfo;
  std::shared_ptr<MSHXCrashReportSignalInfo> _signalInfo;
  std::shared_ptr<MSHXCrashReportMachExceptionInfo> _machExceptionInfo;
  std::vector<std::shared_ptr<MSHXCrashReportThreadInfo>> _threads;
  std::vector<std::shared_ptr<MSHXCrashReportBinaryImageInfo>> _images;
  std::shared_ptr<MSHXCrashReportExceptionInfo> _exceptionInfo;
  std::optional<std::array<std::uint8_t, 16>> _uuid;
};
