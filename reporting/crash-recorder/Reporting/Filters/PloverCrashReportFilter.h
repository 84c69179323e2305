// A report filter: takes decoded reports and answers, possibly later and on another thread,
// through its completion with the filtered reports, a completed flag and an error. Every filter
// calls the completion at most once per call, and only when one was given.
#pragma once

#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <vector>

class PloverCrashReportFilter {
 public:
  using Report = nlohmann::ordered_json;
  using Completion =
      std::function<void(std::vector<Report> filteredReports, bool completed, std::optional<vx::Error> error)>;

  virtual ~PloverCrashReportFilter() = default;
  virtual void filterReports(std::vector<Report> reports, Completion onCompletion) = 0;
};
