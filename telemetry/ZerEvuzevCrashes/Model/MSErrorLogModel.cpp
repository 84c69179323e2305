#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSWrapperException.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

constexpr MSErrorFieldRule kRequired = MSErrorFieldRule::kRequired;
constexpr MSErrorFieldRule kNonEmpty = MSErrorFieldRule::kNonEmpty;

// The operations every table-driven value class shares.
template <class C>
MSJson tableJson(const C& object) {
  MSJson json = MSJson::object();
  C::fields().addToJson(object, json);
  return json;
}

template <class C>
bool tableEqual(const C& object, const MSSerializableObject& other) {
  const auto* typed = dynamic_cast<const C*>(&other);
  return typed != nullptr && C::fields().equal(object, *typed);
}

template <class C>
std::size_t tableHash(const C& object) {
  std::size_t seed = std::hash<std::string>{}(object.className());
  C::fields().hash(object, seed);
  return seed;
}

}  // namespace

// ---- MSStackFrame ----

const MSErrorFieldTable<MSStackFrame>& MSStackFrame::fields() {
  static const MSErrorFieldTable<MSStackFrame> table{{
      MSErrorField<MSStackFrame, &MSStackFrame::address>("address"),
      MSErrorField<MSStackFrame, &MSStackFrame::code>("code"),
      MSErrorField<MSStackFrame, &MSStackFrame::frameClassName>("className"),
      MSErrorField<MSStackFrame, &MSStackFrame::methodName>("methodName"),
      MSErrorField<MSStackFrame, &MSStackFrame::lineNumber>("lineNumber"),
      MSErrorField<MSStackFrame, &MSStackFrame::fileName>("fileName"),
  }};
  return table;
}

MSStackFrame::MSStackFrame(vx::KeyedUnarchiver& coder) { fields().decode(*this, coder); }
void MSStackFrame::encodeWithCoder(vx::KeyedArchiver& coder) const { fields().encode(*this, coder); }
MSJson MSStackFrame::serializeToDictionary() const { return tableJson(*this); }
bool MSStackFrame::isEqual(const MSSerializableObject& other) const { return tableEqual(*this, other); }
std::size_t MSStackFrame::hash() const { return tableHash(*this); }

// ---- MSException ----

const MSErrorFieldTable<MSException>& MSException::fields() {
  static const MSErrorFieldTable<MSException> table{{
      MSErrorField<MSException, &MSException::type>("type", kRequired),
      MSErrorField<MSException, &MSException::message>("message"),
      MSErrorField<MSException, &MSException::stackTrace>("stackTrace"),
      MSErrorField<MSException, &MSException::wrapperSdkName>("wrapperSdkName"),
      MSErrorField<MSException, &MSException::frames>("frames", kNonEmpty),
      MSErrorField<MSException, &MSException::innerExceptions>("innerExceptions"),
  }};
  return table;
}

MSException::MSException(vx::KeyedUnarchiver& coder) { fields().decode(*this, coder); }
void MSException::encodeWithCoder(vx::KeyedArchiver& coder) const { fields().encode(*this, coder); }
MSJson MSException::serializeToDictionary() const { return tableJson(*this); }
bool MSException::isValid() const { return fields().valid(*this); }
bool MSException::isEqual(const MSSerializableObject& other) const { return tableEqual(*this, other); }
std::size_t MSException::hash() const { return tableHash(*this); }

// ---- MSThread ----

const MSErrorFieldTable<MSThread>& MSThread::fields() {
  static const MSErrorFieldTable<MSThread> table{{
      MSErrorField<MSThread, &MSThread::threadId>("id", kRequired),
      MSErrorField<MSThread, &MSThread::name>("name"),
      MSErrorField<MSThread, &MSThread::frames>("frames", kNonEmpty),
      MSErrorField<MSThread, &MSThread::exception>("exception"),
  }};
  return table;
}

MSThread::MSThread(vx::KeyedUnarchiver& coder) { fields().decode(*this, coder); }
void MSThread::encodeWithCoder(vx::KeyedArchiver& coder) const { fields().encode(*this, coder); }
MSJson MSThread::serializeToDictionary() const { return tableJson(*this); }
bool MSThread::isValid() const { return fields().valid(*this); }
bool MSThread::isEqual(const MSSerializableObject& other) const { return tableEqual(*this, other); }
std::size_t MSThread::hash() const { return tableHash(*this); }

// ---- MSBinary ----

const MSErrorFieldTable<MSBinary>& MSBinary::fields() {
  static const MSErrorFieldTable<MSBinary> table{{
      MSErrorField<MSBinary, &MSBinary::binaryId>("id", kRequired),
      MSErrorField<MSBinary, &MSBinary::startAddress>("startAddress", kRequired),
      MSErrorField<MSBinary, &MSBinary::endAddress>("endAddress", kRequired),
      MSErrorField<MSBinary, &MSBinary::name>("name", kRequired),
      MSErrorField<MSBinary, &MSBinary::path>("path", kRequired),
      MSErrorField<MSBinary, &MSBinary::architecture>("architecture"),
      MSErrorField<MSBinary, &MSBinary::primaryArchitectureId>("primaryArchitectureId"),
      MSErrorField<MSBinary, &MSBinary::architectureVariantId>("architectureVariantId"),
  }};
  return table;
}

MSBinary::MSBinary(vx::KeyedUnarchiver& coder) { fields().decode(*this, coder); }
void MSBinary::encodeWithCoder(vx::KeyedArchiver& coder) const { fields().encode(*this, coder); }
MSJson MSBinary::serializeToDictionary() const { return tableJson(*this); }
bool MSBinary::isValid() const { return fields().valid(*this); }
bool MSBinary::isEqual(const MSSerializableObject& other) const { return tableEqual(*this, other); }
std::size_t MSBinary::hash() const { return tableHash(*this); }

// ---- MSAbstractErrorLog ----

const MSErrorFieldTable<MSAbstractErrorLog>& MSAbstractErrorLog::fields() {
  using L = MSAbstractErrorLog;
  static const MSErrorFieldTable<L> table{{
      MSErrorField<L, &L::errorId>("id", kRequired),
      MSErrorField<L, &L::processId>("processId", kRequired),
      MSErrorField<L, &L::processName>("processName", kRequired),
      MSErrorField<L, &L::parentProcessId>("parentProcessId"),
      MSErrorField<L, &L::parentProcessName>("parentProcessName"),
      MSErrorField<L, &L::errorThreadId>("errorThreadId"),
      MSErrorField<L, &L::errorThreadName>("errorThreadName"),
      MSErrorField<L, &L::fatal>("fatal"),
      MSErrorField<L, &L::appLaunchTimestamp>("appLaunchTimestamp"),
      MSErrorField<L, &L::architecture>("architecture"),
  }};
  return table;
}

MSAbstractErrorLog::MSAbstractErrorLog(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) {
  fields().decode(*this, coder);
}

void MSAbstractErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSLogWithProperties::encodeWithCoder(coder);
  fields().encode(*this, coder);
}

MSJson MSAbstractErrorLog::serializeToDictionary() const {
  MSJson json = MSLogWithProperties::serializeToDictionary();
  fields().addToJson(*this, json);
  return json;
}

bool MSAbstractErrorLog::isValid() const { return MSLogWithProperties::isValid() && fields().valid(*this); }

bool MSAbstractErrorLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSAbstractErrorLog*>(&other);
  return log != nullptr && MSLogWithProperties::isEqual(other) && fields().equal(*this, *log);
}

std::size_t MSAbstractErrorLog::hash() const {
  std::size_t seed = MSLogWithProperties::hash();
  fields().hash(*this, seed);
  return seed;
}

// ---- MSAppleErrorLog ----

const MSErrorFieldTable<MSAppleErrorLog>& MSAppleErrorLog::fields() {
  using L = MSAppleErrorLog;
  static const MSErrorFieldTable<L> table{{
      MSErrorField<L, &L::primaryArchitectureId>("primaryArchitectureId", kRequired),
      MSErrorField<L, &L::architectureVariantId>("architectureVariantId"),
      MSErrorField<L, &L::applicationPath>("applicationPath", kRequired),
      MSErrorField<L, &L::osExceptionType>("osExceptionType", kRequired),
      MSErrorField<L, &L::osExceptionCode>("osExceptionCode", kRequired),
      MSErrorField<L, &L::osExceptionAddress>("osExceptionAddress", kRequired),
      MSErrorField<L, &L::exceptionType>("exceptionType"),
      MSErrorField<L, &L::exceptionReason>("exceptionReason"),
      MSErrorField<L, &L::selectorRegisterValue>("selectorRegisterValue"),
      MSErrorField<L, &L::threads>("threads"),
      MSErrorField<L, &L::binaries>("binaries"),
      MSErrorField<L, &L::registers>("registers"),
      MSErrorField<L, &L::exception>("exception"),
  }};
  return table;
}

MSAppleErrorLog::MSAppleErrorLog(vx::KeyedUnarchiver& coder) : MSAbstractErrorLog(coder) {
  fields().decode(*this, coder);
}

void MSAppleErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSAbstractErrorLog::encodeWithCoder(coder);
  fields().encode(*this, coder);
}

MSJson MSAppleErrorLog::serializeToDictionary() const {
  MSJson json = MSAbstractErrorLog::serializeToDictionary();
  fields().addToJson(*this, json);
  return json;
}

bool MSAppleErrorLog::isValid() const { return MSAbstractErrorLog::isValid() && fields().valid(*this); }

bool MSAppleErrorLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSAppleErrorLog*>(&other);
  return log != nullptr && MSAbstractErrorLog::isEqual(other) && fields().equal(*this, *log);
}

std::size_t MSAppleErrorLog::hash() const {
  std::size_t seed = MSAbstractErrorLog::hash();
  fields().hash(*this, seed);
  return seed;
}

// ---- MSHandledErrorLog ----

const MSErrorFieldTable<MSHandledErrorLog>& MSHandledErrorLog::fields() {
  using L = MSHandledErrorLog;
  static const MSErrorFieldTable<L> table{{
      MSErrorField<L, &L::errorId>("id", kRequired),
      MSErrorField<L, &L::exception>("exception", kRequired),
  }};
  return table;
}

MSHandledErrorLog::MSHandledErrorLog(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) {
  fields().decode(*this, coder);
}

void MSHandledErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSLogWithProperties::encodeWithCoder(coder);
  fields().encode(*this, coder);
}

MSJson MSHandledErrorLog::serializeToDictionary() const {
  MSJson json = MSLogWithProperties::serializeToDictionary();
  fields().addToJson(*this, json);
  return json;
}

bool MSHandledErrorLog::isValid() const { return MSLogWithProperties::isValid() && fields().valid(*this); }

bool MSHandledErrorLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSHandledErrorLog*>(&other);
  return log != nullptr && MSLogWithProperties::isEqual(other) && fields().equal(*this, *log);
}

std::size_t MSHandledErrorLog::hash() const {
  std::size_t seed = MSLogWithProperties::hash();
  fields().hash(*this, seed);
  return seed;
}

// ---- MSErrorAttachmentLog ----

const MSErrorFieldTable<MSErrorAttachmentLog>& MSErrorAttachmentLog::fields() {
  using L = MSErrorAttachmentLog;
  static const MSErrorFieldTable<L> table{{
      MSErrorField<L, &L::attachmentId>("id", kRequired),
      MSErrorField<L, &L::errorId>("errorId", kRequired),
      MSErrorField<L, &L::contentType>("contentType", kRequired),
      MSErrorField<L, &L::filename>("fileName"),
      MSErrorField<L, &L::data>("data", kRequired),
  }};
  return table;
}

MSErrorAttachmentLog::MSErrorAttachmentLog() : attachmentId(vx::UUID::make().uuidString()) { type = kType; }

MSErrorAttachmentLog::MSErrorAttachmentLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fields().decode(*this, coder);
}

MSErrorAttachmentLog::MSErrorAttachmentLog(std::optional<std::string> filename_,
                                           const std::optional<std::string>& attachmentText)
    : MSErrorAttachmentLog() {
  filename = std::move(filename_);
  contentType = kTextContentType;
  if (attachmentText) data = vx::Bytes(attachmentText->begin(), attachmentText->end());
}

MSErrorAttachmentLog::MSErrorAttachmentLog(std::optional<std::string> filename_,
                                           std::optional<vx::Bytes> attachmentBinary,
                                           std::optional<std::string> contentType_)
    : MSErrorAttachmentLog() {
  filename = std::move(filename_);
  data = std::move(attachmentBinary);
  contentType = std::move(contentType_);
}

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithText(
    const std::optional<std::string>& text, std::optional<std::string> filename) {
  return std::make_shared<MSErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithBinary(
    std::optional<vx::Bytes> data, std::optional<std::string> filename, std::optional<std::string> contentType) {
  return std::make_shared<MSErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

void MSErrorAttachmentLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSAbstractLog::encodeWithCoder(coder);
  fields().encode(*this, coder);
}

MSJson MSErrorAttachmentLog::serializeToDictionary() const {
  MSJson json = MSAbstractLog::serializeToDictionary();
  fields().addToJson(*this, json);
  return json;
}

bool MSErrorAttachmentLog::isValid() const { return MSAbstractLog::isValid() && fields().valid(*this); }

bool MSErrorAttachmentLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSErrorAttachmentLog*>(&other);
  return log != nullptr && MSAbstractLog::isEqual(other) && fields().equal(*this, *log);
}

std::size_t MSErrorAttachmentLog::hash() const {
  std::size_t seed = MSAbstractLog::hash();
  fields().hash(*this, seed);
  return seed;
}

// ---- MSWrapperException ----

const MSErrorFieldTable<MSWrapperException>& MSWrapperException::fields() {
  using W = MSWrapperException;
  static const MSErrorFieldTable<W> table{{
      MSErrorField<W, &W::modelException>("modelException"),
      MSErrorField<W, &W::processId>("processId"),
      MSErrorField<W, &W::exceptionData>("exceptionData"),
  }};
  return table;
}

MSWrapperException::MSWrapperException(vx::KeyedUnarchiver& coder) { fields().decode(*this, coder); }
void MSWrapperException::encodeWithCoder(vx::KeyedArchiver& coder) const { fields().encode(*this, coder); }
MSJson MSWrapperException::serializeToDictionary() const { return tableJson(*this); }

// ---- MSErrorReport ----

MSErrorReport::MSErrorReport(std::optional<std::string> incidentIdentifier, std::optional<std::string> reporterKey,
                             std::optional<std::string> signal, std::optional<std::string> exceptionName,
                             std::optional<std::string> exceptionReason, std::optional<vx::Date> appStartTime,
                             std::optional<vx::Date> appErrorTime, std::shared_ptr<MSDevice> device,
                             std::uint64_t appProcessIdentifier)
    : incidentIdentifier_(std::move(incidentIdentifier)),
      reporterKey_(std::move(reporterKey)),
      signal_(std::move(signal)),
      exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)),
      appStartTime_(appStartTime),
      appErrorTime_(appErrorTime),
      device_(std::move(device)),
      appProcessIdentifier_(appProcessIdentifier) {}

bool MSErrorReport::isAppKill() const {
  if (!signal_) return false;
  std::string upper = *signal_;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper == "SIGKILL";
}

// ---- Registration ----

void MSRegisterCrashesArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    MSRegisterArchivableClasses();
    vx::KeyedUnarchiver::registerClass<MSStackFrame>("MSStackFrame");
    vx::KeyedUnarchiver::registerClass<MSException>("MSException");
    vx::KeyedUnarchiver::registerClass<MSThread>("MSThread");
    vx::KeyedUnarchiver::registerClass<MSBinary>("MSBinary");
    vx::KeyedUnarchiver::registerClass<MSAbstractErrorLog>("MSAbstractErrorLog");
    vx::KeyedUnarchiver::registerClass<MSAppleErrorLog>("MSAppleErrorLog");
    vx::KeyedUnarchiver::registerClass<MSHandledErrorLog>("MSHandledErrorLog");
    vx::KeyedUnarchiver::registerClass<MSErrorAttachmentLog>("MSErrorAttachmentLog");
    vx::KeyedUnarchiver::registerClass<MSWrapperException>("MSWrapperException");
  });
}
