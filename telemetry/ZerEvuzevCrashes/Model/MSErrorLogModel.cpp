#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSWrapperException.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

constexpr MSFieldFlags kRequired = MSFieldFlags::Required;
constexpr MSFieldFlags kNonEmpty = MSFieldFlags::NonEmpty;

// An error log asks only that a nested object be present where it is required, not that it be
// valid itself: a crash whose recorder could not walk every thread or read every image is still
// worth sending.
template <class C>
constexpr MSField<C> presenceOnly(MSField<C> field) {
  field.nestedValid = [](const C&) { return true; };
  return field;
}

}  // namespace

// ---- MSStackFrame ----

const MSFieldTable<MSStackFrame>& MSStackFrame::fieldTable() {
  using F = MSStackFrame;
  static constexpr MSField<F> kFields[] = {
      MSFieldOf<&F::address>("address"),          MSFieldOf<&F::code>("code"),
      MSFieldOf<&F::frameClassName>("className"), MSFieldOf<&F::methodName>("methodName"),
      MSFieldOf<&F::lineNumber>("lineNumber"),    MSFieldOf<&F::fileName>("fileName"),
  };
  static constexpr MSFieldTable<F> kTable(kFields);
  return kTable;
}

MSStackFrame::MSStackFrame(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }
void MSStackFrame::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSStackFrame::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSStackFrame::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSStackFrame::hash() const { return fieldTable().hash(*this); }

// ---- MSException ----

const MSFieldTable<MSException>& MSException::fieldTable() {
  using E = MSException;
  static constexpr MSField<E> kFields[] = {
      MSFieldOf<&E::type>("type", kRequired),
      MSFieldOf<&E::message>("message"),
      MSFieldOf<&E::stackTrace>("stackTrace"),
      MSFieldOf<&E::wrapperSdkName>("wrapperSdkName"),
      presenceOnly(MSFieldOf<&E::frames>("frames", kNonEmpty)),
      presenceOnly(MSFieldOf<&E::innerExceptions>("innerExceptions")),
  };
  static constexpr MSFieldTable<E> kTable(kFields);
  return kTable;
}

MSException::MSException(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }
void MSException::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSException::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSException::isValid() const { return fieldTable().isValid(*this); }
bool MSException::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSException::hash() const { return fieldTable().hash(*this); }

// ---- MSThread ----

const MSFieldTable<MSThread>& MSThread::fieldTable() {
  using T = MSThread;
  static constexpr MSField<T> kFields[] = {
      MSFieldOf<&T::threadId>("id", kRequired),
      MSFieldOf<&T::name>("name"),
      presenceOnly(MSFieldOf<&T::frames>("frames", kNonEmpty)),
      presenceOnly(MSFieldOf<&T::exception>("exception")),
  };
  static constexpr MSFieldTable<T> kTable(kFields);
  return kTable;
}

MSThread::MSThread(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }
void MSThread::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSThread::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSThread::isValid() const { return fieldTable().isValid(*this); }
bool MSThread::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSThread::hash() const { return fieldTable().hash(*this); }

// ---- MSBinary ----

const MSFieldTable<MSBinary>& MSBinary::fieldTable() {
  using B = MSBinary;
  static constexpr MSField<B> kFields[] = {
      MSFieldOf<&B::binaryId>("id", kRequired),
      MSFieldOf<&B::startAddress>("startAddress", kRequired),
      MSFieldOf<&B::endAddress>("endAddress", kRequired),
      MSFieldOf<&B::name>("name", kRequired),
      MSFieldOf<&B::path>("path", kRequired),
      MSFieldOf<&B::architecture>("architecture"),
      MSFieldOf<&B::primaryArchitectureId>("primaryArchitectureId"),
      MSFieldOf<&B::architectureVariantId>("architectureVariantId"),
  };
  static constexpr MSFieldTable<B> kTable(kFields);
  return kTable;
}

MSBinary::MSBinary(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }
void MSBinary::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSBinary::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSBinary::isValid() const { return fieldTable().isValid(*this); }
bool MSBinary::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSBinary::hash() const { return fieldTable().hash(*this); }

// ---- MSAbstractErrorLog ----

const MSFieldTable<MSAbstractErrorLog, MSLogWithProperties>& MSAbstractErrorLog::fieldTable() {
  using L = MSAbstractErrorLog;
  static constexpr MSField<L> kFields[] = {
      MSFieldOf<&L::errorId>("id", kRequired),
      MSFieldOf<&L::processId>("processId", kRequired),
      MSFieldOf<&L::processName>("processName", kRequired),
      MSFieldOf<&L::parentProcessId>("parentProcessId"),
      MSFieldOf<&L::parentProcessName>("parentProcessName"),
      MSFieldOf<&L::errorThreadId>("errorThreadId"),
      MSFieldOf<&L::errorThreadName>("errorThreadName"),
      MSFieldOf<&L::fatal>("fatal"),
      MSFieldOf<&L::appLaunchTimestamp>("appLaunchTimestamp"),
      MSFieldOf<&L::architecture>("architecture"),
  };
  static constexpr MSFieldTable<L, MSLogWithProperties> kTable(kFields);
  return kTable;
}

MSAbstractErrorLog::MSAbstractErrorLog(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) {
  fieldTable().decodeOwn(*this, coder);
}
void MSAbstractErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSAbstractErrorLog::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSAbstractErrorLog::isValid() const { return fieldTable().isValid(*this); }
bool MSAbstractErrorLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSAbstractErrorLog::hash() const { return fieldTable().hash(*this); }

// ---- MSAppleErrorLog ----

const MSFieldTable<MSAppleErrorLog, MSAbstractErrorLog>& MSAppleErrorLog::fieldTable() {
  using L = MSAppleErrorLog;
  static constexpr MSField<L> kFields[] = {
      MSFieldOf<&L::primaryArchitectureId>("primaryArchitectureId", kRequired),
      MSFieldOf<&L::architectureVariantId>("architectureVariantId"),
      MSFieldOf<&L::applicationPath>("applicationPath", kRequired),
      MSFieldOf<&L::osExceptionType>("osExceptionType", kRequired),
      MSFieldOf<&L::osExceptionCode>("osExceptionCode", kRequired),
      MSFieldOf<&L::osExceptionAddress>("osExceptionAddress", kRequired),
      MSFieldOf<&L::exceptionType>("exceptionType"),
      MSFieldOf<&L::exceptionReason>("exceptionReason"),
      MSFieldOf<&L::selectorRegisterValue>("selectorRegisterValue"),
      presenceOnly(MSFieldOf<&L::threads>("threads")),
      presenceOnly(MSFieldOf<&L::binaries>("binaries")),
      MSFieldOf<&L::registers>("registers"),
      presenceOnly(MSFieldOf<&L::exception>("exception")),
  };
  static constexpr MSFieldTable<L, MSAbstractErrorLog> kTable(kFields);
  return kTable;
}

MSAppleErrorLog::MSAppleErrorLog(vx::KeyedUnarchiver& coder) : MSAbstractErrorLog(coder) {
  fieldTable().decodeOwn(*this, coder);
}
void MSAppleErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSAppleErrorLog::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSAppleErrorLog::isValid() const { return fieldTable().isValid(*this); }
bool MSAppleErrorLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSAppleErrorLog::hash() const { return fieldTable().hash(*this); }

// ---- MSHandledErrorLog ----

const MSFieldTable<MSHandledErrorLog, MSLogWithProperties>& MSHandledErrorLog::fieldTable() {
  using L = MSHandledErrorLog;
  static constexpr MSField<L> kFields[] = {
      MSFieldOf<&L::errorId>("id", kRequired),
      presenceOnly(MSFieldOf<&L::exception>("exception", kRequired)),
  };
  static constexpr MSFieldTable<L, MSLogWithProperties> kTable(kFields);
  return kTable;
}

MSHandledErrorLog::MSHandledErrorLog(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) {
  fieldTable().decodeOwn(*this, coder);
}
void MSHandledErrorLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSHandledErrorLog::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSHandledErrorLog::isValid() const { return fieldTable().isValid(*this); }
bool MSHandledErrorLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }
std::size_t MSHandledErrorLog::hash() const { return fieldTable().hash(*this); }

// ---- MSErrorAttachmentLog ----

const MSFieldTable<MSErrorAttachmentLog, MSAbstractLog>& MSErrorAttachmentLog::fieldTable() {
  using L = MSErrorAttachmentLog;
  static constexpr MSField<L> kFields[] = {
      MSFieldOf<&L::attachmentId>("id", kRequired),
      MSFieldOf<&L::errorId>("errorId", kRequired),
      MSFieldOf<&L::contentType>("contentType", kRequired),
      MSFieldOf<&L::filename>("fileName"),
      MSFieldOf<&L::data>("data", kRequired),
  };
  static constexpr MSFieldTable<L, MSAbstractLog> kTable(kFields);
  return kTable;
}

MSErrorAttachmentLog::MSErrorAttachmentLog() : attachmentId(vx::UUID::make().uuidString()) { type = kType; }

MSErrorAttachmentLog::MSErrorAttachmentLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fieldTable().decodeOwn(*this, coder);
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

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithText(const std::optional<std::string>& text,
                                                                               std::optional<std::string> filename) {
  return std::make_shared<MSErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithBinary(
    std::optional<vx::Bytes> data, std::optional<std::string> filename, std::optional<std::string> contentType) {
  return std::make_shared<MSErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

void MSErrorAttachmentLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSErrorAttachmentLog::serializeToDictionary() const { return fieldTable().toJson(*this); }
bool MSErrorAttachmentLog::isValid() const { return fieldTable().isValid(*this); }
bool MSErrorAttachmentLog::isEqual(const MSSerializableObject& other) const {
  return fieldTable().isEqual(*this, other);
}
std::size_t MSErrorAttachmentLog::hash() const { return fieldTable().hash(*this); }

// ---- MSWrapperException ----

const MSFieldTable<MSWrapperException>& MSWrapperException::fieldTable() {
  using W = MSWrapperException;
  static constexpr MSField<W> kFields[] = {
      MSFieldOf<&W::modelException>("modelException"),
      MSFieldOf<&W::processId>("processId"),
      MSFieldOf<&W::exceptionData>("exceptionData"),
  };
  static constexpr MSFieldTable<W> kTable(kFields);
  return kTable;
}

MSWrapperException::MSWrapperException(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }
void MSWrapperException::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }
MSJson MSWrapperException::serializeToDictionary() const { return fieldTable().toJson(*this); }

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
