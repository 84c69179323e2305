// Joins the recorder to the error-reporting client: puts crash handling in place with a
// crash-time callback that writes the installation's named report fields into each report's
// user section, and at a later start sends the stored reports through the pre-filters and the
// report sink, which converts each into an event for the shared client.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashReportWriter.h"
#include "reporting/error-client/PloverClient.h"
#include "reporting/error-client/PloverCrashReportFilters.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An owned, NUL-terminated byte string whose bytes stay put while it lives, so crash-time code
// can read them without touching objects.
class PloverCrashCString {
 public:
  explicit PloverCrashCString(std::string_view text);
  PloverCrashCString(const void* data, std::size_t length);
  std::size_t length() const { return length_; }
  const char* bytes() const { return bytes_.get(); }

 private:
  std::size_t length_;
  std::unique_ptr<char[]> bytes_;
};

// The crash-time record of one field: the key's bytes and the value's JSON text (null while unset).
struct PloverCrashInstReportFieldRecord {
  std::atomic<const char*> key{nullptr};
  std::atomic<const char*> value{nullptr};
};

// One named value written into every crash report.
class PloverCrashInstReportField {
 public:
  explicit PloverCrashInstReportField(std::int32_t index) : index_(index) {}
  std::int32_t index() const { return index_; }
  const PloverCrashInstReportFieldRecord* field() const { return &record_; }
  const std::optional<std::string>& key() const { return key_; }
  const std::optional<PloverReport>& value() const { return value_; }
  void setKey(std::optional<std::string> key);
  // A value that cannot be encoded as JSON is logged and the previous value stays.
  void setValue(std::optional<PloverReport> value);

 private:
  std::int32_t index_;
  std::optional<std::string> key_;
  std::optional<PloverReport> value_;
  PloverCrashInstReportFieldRecord record_;
  // Replaced backings are kept, not freed: a crashing thread may be reading them.
  std::vector<std::unique_ptr<PloverCrashCString>> keyBackings_;
  std::vector<std::unique_ptr<PloverCrashCString>> valueBackings_;
};

inline constexpr int kPloverCrashMaxReportFields = 500;

// What the crash callback reads: the user's callback, the field count and the field table.
struct PloverCrashInstHandlerData {
  std::atomic<PloverCrashReportWriteCallback> userCrashCallback{nullptr};
  std::atomic<std::int32_t> reportFieldsCount{0};
  std::atomic<const PloverCrashInstReportFieldRecord*> reportFields[kPloverCrashMaxReportFields] = {};
};

class PloverCrashInstallation : public std::enable_shared_from_this<PloverCrashInstallation> {
 public:
  using Completion = PloverCrashReportFilter::Completion;
  virtual ~PloverCrashInstallation();

  const PloverCrashInstHandlerData* crashHandlerData() const { return data_.get(); }
  // The field of that name, made on first use; nullptr (logged) once the table's 500 slots are
  // taken, so the table is never overrun.
  PloverCrashInstReportField* reportFieldForProperty(const std::string& name);
  void reportFieldForProperty(const std::string& name, std::optional<std::string> key);
  void reportFieldForPropertySetValue(const std::string& name, std::optional<PloverReport> value);
  // nullopt, or the error naming every required property that has no value.
  std::optional<vx::Error> validateProperties() const;
  static std::string makeKeyPath(const std::string& keyPath);
  static std::vector<std::string> makeKeyPaths(const std::vector<std::string>& keyPaths);
  PloverCrashReportWriteCallback onCrash() const;
  void setOnCrash(PloverCrashReportWriteCallback callback);
  // Makes this installation's fields the ones written at a crash and installs the recorder.
  void install();
  virtual void sendAllReportsWithCompletion(Completion completion);
  void addPreFilter(PloverFilterPtr filter);
  virtual PloverFilterPtr sink() { return nullptr; }

  std::int32_t nextFieldIndex() const { return nextFieldIndex_; }
  const std::vector<std::string>& requiredProperties() const { return requiredProperties_; }
  const std::shared_ptr<PloverCrashReportFilterPipeline>& prependedFilters() const { return prependedFilters_; }

 protected:
  explicit PloverCrashInstallation(std::vector<std::string> requiredProperties);
  // A required property's value: nullopt when it has none; "property not found" when it has no
  // such property (the base has none).
  virtual vx::Result<std::optional<PloverReport>> valueForProperty(const std::string& name) const;
  virtual const char* className() const { return "PloverCrashInstallation"; }

 private:
  mutable std::mutex mutex_;
  std::int32_t nextFieldIndex_ = 0;
  std::unique_ptr<PloverCrashInstHandlerData> data_;
  std::map<std::string, std::unique_ptr<PloverCrashInstReportField>> fields_;
  std::vector<std::string> requiredProperties_;
  std::shared_ptr<PloverCrashReportFilterPipeline> prependedFilters_;
};

// The error-reporting client's installation: no required properties, the report sink last.
class PloverInstallation : public PloverCrashInstallation {
 public:
  static std::shared_ptr<PloverInstallation> make();
  PloverFilterPtr sink() override;
  void sendAllReports() { sendAllReportsWithCompletion(nullptr); }
  // Logs the error and the count; passes the values on only when the pipeline completed.
  void sendAllReportsWithCompletion(Completion completion) override;

 protected:
  PloverInstallation() : PloverCrashInstallation({}) {}
  const char* className() const override { return "PloverInstallation"; }
};

// The last stage: converts each report and sends the event with the shared client. It answers
// once every send has finished, listing only the reports whose event the store accepted, and
// completed only when all were accepted, so reports are deleted only after acceptance.
class PloverCrashReportSink : public PloverCrashReportFilter {
 public:
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
};

// The client's crash entry points.
struct PloverClientCrash {
  static bool crashedLastLaunch();
  // The first call makes the process-wide installation, installs it and sends stored reports.
  static bool startCrashHandlerWithError(vx::Error* error = nullptr);
  static std::shared_ptr<PloverInstallation> installation();
  [[noreturn]] static void crash();
  static void reportUserException(const std::string& name, const std::string& reason, const std::string& language,
                                  const std::string& lineOfCode, const nlohmann::ordered_json& stackTrace,
                                  bool logAllThreads, bool terminateProgram);
  // The completion runs once the reports are through, with the error when sending failed.
  static void snapshotStacktrace(std::function<void(std::optional<vx::Error>)> completion);
};
