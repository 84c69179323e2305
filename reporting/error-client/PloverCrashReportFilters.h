// The report filters offered to crash installations, and the deep key-path lookups they use to
// address values inside a decoded report by slash-separated paths. The client itself uses only
// the pipeline (pre-filters followed by the sink).
#pragma once

#include "platform/foundation/Error.h"
#include "reporting/crash-recorder/Reporting/Filters/PloverCrashReportFilter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using PloverReport = PloverCrashReportFilter::Report;
using PloverFilterPtr = std::shared_ptr<PloverCrashReportFilter>;

// Key path to keys: leading "/" dropped, the rest split at every "/" (empty segments kept).
std::vector<std::string> plover_keysFromKeyPath(std::string_view keyPath);

// Deep lookup: nullptr when any step does not resolve. On an array a key must be empty or
// begin with a decimal digit, and must be in range.
const PloverReport* plover_objectForDeepKey(const PloverReport& root, const std::vector<std::string>& deepKey);
const PloverReport* plover_objectForKeyPath(const PloverReport& root, std::string_view keyPath);

// Deep store and removal; an error (never an exception or a fault) when the key list is empty,
// the parent does not resolve or cannot take the key, or an index is out of range.
std::optional<vx::Error> plover_setObjectForDeepKey(PloverReport& root, PloverReport value,
                                                    const std::vector<std::string>& deepKey);
std::optional<vx::Error> plover_setObjectForKeyPath(PloverReport& root, PloverReport value, std::string_view keyPath);
std::optional<vx::Error> plover_removeObjectForDeepKey(PloverReport& root, const std::vector<std::string>& deepKey);
std::optional<vx::Error> plover_removeObjectForKeyPath(PloverReport& root, std::string_view keyPath);

// The text's number with base detection (0x hexadecimal, leading 0 octal, else decimal),
// stopping at the first character that does not fit; 0 for none.
std::uint64_t plover_unsignedLongLongValue(std::string_view text);
// A number, or a text read as above; 0 for anything else.
std::uint64_t plover_unsignedValue(const PloverReport& value);

class PloverCrashReportFilterPassthrough : public PloverCrashReportFilter {
 public:
  static PloverFilterPtr filter() { return std::make_shared<PloverCrashReportFilterPassthrough>(); }
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
};

// One stage of a filter list: a filter, or a list of filters that becomes a pipeline.
struct PloverFilterArg {
  PloverFilterArg(PloverFilterPtr filter) : filter(std::move(filter)) {}               // NOLINT
  PloverFilterArg(std::vector<PloverFilterPtr> filters) : list(std::move(filters)) {}  // NOLINT
  PloverFilterPtr filter;
  std::vector<PloverFilterPtr> list;
};

class PloverCrashReportFilterPipeline : public PloverCrashReportFilter {
 public:
  // Lists inside the arguments are flattened one level; null filters are left out.
  explicit PloverCrashReportFilterPipeline(std::vector<PloverFilterArg> filters = {});
  static std::shared_ptr<PloverCrashReportFilterPipeline> filterWithFilters(std::vector<PloverFilterArg> filters = {}) {
    return std::make_shared<PloverCrashReportFilterPipeline>(std::move(filters));
  }
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
  // Puts the filter first, so the filter added last runs first.
  void addFilter(PloverFilterPtr filter);
  std::vector<PloverFilterPtr> filters() const { return filters_; }
  void setFilters(std::vector<PloverFilterPtr> filters) { filters_ = std::move(filters); }

 private:
  std::vector<PloverFilterPtr> filters_;
};

class PloverCrashReportFilterCombine : public PloverCrashReportFilter {
 public:
  PloverCrashReportFilterCombine(std::vector<PloverFilterPtr> filters, std::vector<std::string> keys)
      : filters_(std::move(filters)), keys_(std::move(keys)) {}
  // Filter, key, filter, key, ...: a list argument becomes a pipeline; a null filter is logged
  // ("Not a filter") and skipped, so the next argument is again a filter.
  struct Arg {
    Arg(PloverFilterPtr filter) : filter(std::move(filter)), isFilter(true) {}                       // NOLINT
    Arg(std::vector<PloverFilterPtr> list) : list(std::move(list)), isFilter(true), isList(true) {}  // NOLINT
    Arg(const char* key) : key(key ? std::optional<std::string>(key) : std::nullopt) {}              // NOLINT
    Arg(std::string key) : key(std::move(key)) {}                                                    // NOLINT
    PloverFilterPtr filter;
    std::vector<PloverFilterPtr> list;
    std::optional<std::string> key;
    bool isFilter = false;
    bool isList = false;
  };
  static std::shared_ptr<PloverCrashReportFilterCombine> filterWithFiltersAndKeys(std::vector<Arg> args);
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
  const std::vector<PloverFilterPtr>& filters() const { return filters_; }
  const std::vector<std::string>& keys() const { return keys_; }

 private:
  std::vector<PloverFilterPtr> filters_;
  std::vector<std::string> keys_;
};

class PloverCrashReportFilterObjectForKey : public PloverCrashReportFilter {
 public:
  PloverCrashReportFilterObjectForKey(std::string key, bool allowNotFound)
      : key_(std::move(key)), allowNotFound_(allowNotFound) {}
  static PloverFilterPtr filterWithKey(std::string key, bool allowNotFound) {
    return std::make_shared<PloverCrashReportFilterObjectForKey>(std::move(key), allowNotFound);
  }
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;

 private:
  std::string key_;
  bool allowNotFound_;
};

class PloverCrashReportFilterConcatenate : public PloverCrashReportFilter {
 public:
  // The separator holds one "%@", replaced by the key that follows it.
  PloverCrashReportFilterConcatenate(std::string separatorFmt, std::vector<std::string> keys)
      : separatorFmt_(std::move(separatorFmt)), keys_(std::move(keys)) {}
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;

 private:
  std::string separatorFmt_;
  std::vector<std::string> keys_;
};

class PloverCrashReportFilterSubset : public PloverCrashReportFilter {
 public:
  explicit PloverCrashReportFilterSubset(std::vector<std::string> keyPaths) : keyPaths_(std::move(keyPaths)) {}
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;

 private:
  std::vector<std::string> keyPaths_;
};

// Data (JSON binary values) to text; data that is not UTF-8 stops the filter with an error.
class PloverCrashReportFilterDataToString : public PloverCrashReportFilter {
 public:
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
};

class PloverCrashReportFilterStringToData : public PloverCrashReportFilter {
 public:
  void filterReports(std::vector<Report> reports, Completion onCompletion) override;
};

// "%@" of a report value: texts as they are, everything else as compact JSON.
std::string plover_describe(const PloverReport& value);
