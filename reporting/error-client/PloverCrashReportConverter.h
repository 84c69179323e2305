// Turns one decoded crash report of the recorder into one fatal event: the crashed thread's
// stack on the exception, every other thread, the loaded images, and the os/device/app contexts
// from the report's system section. User, tags, extra, release, dist and environment come from
// the client's context at the time of sending, not from the report's user section.
//
// Reports come from disk and may be cut or corrupted: every value is read with its type checked,
// and a missing or mistyped value gives a missing field, never a fault. Text that is not UTF-8
// is repaired before anything is read.
#pragma once

#include "platform/foundation/Value.h"
#include "reporting/error-client/PloverCrashReportFilters.h"
#include "reporting/error-client/PloverEvent.h"

#include <memory>
#include <optional>
#include <string_view>

class PloverCrashReportConverter {
 public:
  explicit PloverCrashReportConverter(PloverReport report);

  // A converter for the JSON text of a report, decoded the way the recorder reads its stored
  // reports (a cut report keeps what was read). std::nullopt, with the reason logged, when the
  // text holds no report object at all.
  static std::optional<PloverCrashReportConverter> fromJSONText(std::string_view text);

  std::shared_ptr<PloverEvent> convertReportToEvent();

  std::optional<vx::ValueMap> convertExtra() const;
  std::optional<PloverTags> convertTags() const;
  std::shared_ptr<PloverUser> convertUser() const;
  std::shared_ptr<PloverContext> convertContext() const;
  std::optional<std::string> family() const;
  const PloverReport* rawStackTraceForThreadIndex(std::size_t index) const;
  std::map<std::string, std::string> registersForThreadIndex(std::size_t index) const;
  const PloverReport* binaryImageForAddress(std::uint64_t address) const;
  std::shared_ptr<PloverThread> threadAtIndex(std::size_t index, bool stripCrashedStacktrace) const;
  PloverFrame stackFrameAtIndex(std::size_t frameIndex, std::size_t threadIndex) const;
  std::vector<PloverFrame> stackFramesForThreadIndex(std::size_t index) const;
  std::shared_ptr<PloverStacktrace> stackTraceForThreadIndex(std::size_t index) const;
  std::shared_ptr<PloverThread> crashedThread() const;
  std::vector<std::shared_ptr<PloverDebugMeta>> convertDebugMeta() const;
  std::vector<std::shared_ptr<PloverException>> convertExceptions() const;
  std::shared_ptr<PloverException> parseNSException() const;
  void enhanceValueFromNotableAddresses(PloverException& exception) const;
  std::shared_ptr<PloverMechanism> extractMechanism() const;
  std::vector<std::shared_ptr<PloverThread>> convertThreads() const;

  // The client's last context (keys "tags", "extra", "user", "releaseName", "dist",
  // "environment"); may be unset.
  const std::optional<vx::ValueMap>& userContext() const { return userContext_; }
  void setUserContext(std::optional<vx::ValueMap> context) { userContext_ = std::move(context); }
  const PloverReport& report() const { return report_; }
  std::int64_t crashedThreadIndex() const { return crashedThreadIndex_; }
  const PloverReport& exceptionContext() const { return exceptionContext_; }
  const PloverReport& binaryImages() const { return binaryImages_; }
  const PloverReport& threads() const { return threads_; }
  const PloverReport& systemContext() const { return systemContext_; }
  const std::optional<std::string>& diagnosis() const { return diagnosis_; }

  // "0x%016llx" of the value read as an unsigned number (a missing value gives zeros).
  static std::string hexAddress(const PloverReport* value);

 private:
  std::optional<vx::ValueMap> userContext_;
  PloverReport report_;
  std::int64_t crashedThreadIndex_ = 0;
  PloverReport exceptionContext_;  // null when absent
  PloverReport binaryImages_;      // array (empty when absent)
  PloverReport threads_;           // array (empty when absent)
  PloverReport systemContext_;     // object (empty when absent)
  std::optional<std::string> diagnosis_;
};
