// The logs the crash service sends: the crash itself (MSAppleErrorLog, "appleError"), an error a
// wrapper SDK handled (MSHandledErrorLog, "handledError") and a file attached to either
// (MSErrorAttachmentLog, "errorAttachment"). Each class's own keys follow its base's keys and
// are driven by its field table (MSFieldTable).
#pragma once

#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSException.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What every crash-like log shares. JSON after the base keys: "id", "processId",
// "processName", "parentProcessId", "parentProcessName", "errorThreadId", "errorThreadName",
// "fatal" (always), "appLaunchTimestamp", "architecture". Valid when the base log is and id,
// process id and process name are present.
class MSAbstractErrorLog : public MSLogWithProperties {
 public:
  MSAbstractErrorLog() = default;
  explicit MSAbstractErrorLog(vx::KeyedUnarchiver& coder);

  std::optional<std::string> errorId;
  std::optional<std::int64_t> processId;
  std::optional<std::string> processName;
  std::optional<std::int64_t> parentProcessId;
  std::optional<std::string> parentProcessName;
  std::optional<std::int64_t> errorThreadId;
  std::optional<std::string> errorThreadName;
  bool fatal = false;
  std::optional<vx::Date> appLaunchTimestamp;
  std::optional<std::string> architecture;

  bool isFatal() const { return fatal; }

  static const MSFieldTable<MSAbstractErrorLog, MSLogWithProperties>& fieldTable();
  std::string className() const override { return "MSAbstractErrorLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// The crash of an earlier process. Keeps the session id it is given.
class MSAppleErrorLog : public MSAbstractErrorLog, public MSNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kType = "appleError";
  MSAppleErrorLog() { type = kType; }
  explicit MSAppleErrorLog(vx::KeyedUnarchiver& coder);

  std::optional<std::uint64_t> primaryArchitectureId;
  std::optional<std::uint64_t> architectureVariantId;
  std::optional<std::string> applicationPath;
  std::optional<std::string> osExceptionType;
  std::optional<std::string> osExceptionCode;
  std::optional<std::string> osExceptionAddress;
  std::optional<std::string> exceptionType;
  std::optional<std::string> exceptionReason;
  std::optional<std::string> selectorRegisterValue;
  std::optional<std::vector<std::shared_ptr<MSThread>>> threads;
  std::optional<std::vector<std::shared_ptr<MSBinary>>> binaries;
  std::optional<std::map<std::string, std::string>> registers;
  std::shared_ptr<MSException> exception;

  static const MSFieldTable<MSAppleErrorLog, MSAbstractErrorLog>& fieldTable();
  std::string className() const override { return "MSAppleErrorLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// An exception a wrapper SDK handled. JSON after the base keys: "id", "exception"; valid with
// both.
class MSHandledErrorLog : public MSLogWithProperties {
 public:
  static constexpr const char* kType = "handledError";
  MSHandledErrorLog() { type = kType; }
  explicit MSHandledErrorLog(vx::KeyedUnarchiver& coder);

  std::optional<std::string> errorId;
  std::shared_ptr<MSException> exception;

  static const MSFieldTable<MSHandledErrorLog, MSLogWithProperties>& fieldTable();
  std::string className() const override { return "MSHandledErrorLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

// One file attached to an error, sent as its own log. JSON after the base keys: "id",
// "errorId", "contentType", "fileName", "data" (Base64). Valid with error id, attachment id,
// data and content type; the file name is optional.
class MSErrorAttachmentLog : public MSAbstractLog {
 public:
  static constexpr const char* kType = "errorAttachment";
  static constexpr const char* kTextContentType = "text/plain";
  // A new random attachment id.
  MSErrorAttachmentLog();
  explicit MSErrorAttachmentLog(vx::KeyedUnarchiver& coder);
  // The text as UTF-8 bytes, "text/plain"; no text gives an attachment without data.
  MSErrorAttachmentLog(std::optional<std::string> filename, const std::optional<std::string>& attachmentText);
  MSErrorAttachmentLog(std::optional<std::string> filename, std::optional<vx::Bytes> attachmentBinary,
                       std::optional<std::string> contentType);
  static std::shared_ptr<MSErrorAttachmentLog> attachmentWithText(const std::optional<std::string>& text,
                                                                  std::optional<std::string> filename);
  static std::shared_ptr<MSErrorAttachmentLog> attachmentWithBinary(std::optional<vx::Bytes> data,
                                                                    std::optional<std::string> filename,
                                                                    std::optional<std::string> contentType);

  std::optional<std::string> attachmentId;
  std::optional<std::string> errorId;
  std::optional<std::string> contentType;
  std::optional<std::string> filename;
  std::optional<vx::Bytes> data;

  static const MSFieldTable<MSErrorAttachmentLog, MSAbstractLog>& fieldTable();
  std::string className() const override { return "MSErrorAttachmentLog"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};
