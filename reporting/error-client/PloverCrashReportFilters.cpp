#include "reporting/error-client/PloverCrashReportFilters.h"

#include "platform/foundation/UTF8.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

vx::Error filterError(const char* domain, std::string description) {
  return vx::Error(domain, 0, std::move(description));
}

bool isIntegerLike(const std::string& key) { return key.empty() || (key[0] >= '0' && key[0] <= '9'); }

// The index a key names on an array, or none when the key is not integer-like or out of range.
std::optional<std::size_t> indexFor(const std::string& key, std::size_t size) {
  if (!isIntegerLike(key)) return std::nullopt;
  std::size_t index = 0;
  for (char c : key) {
    if (c < '0' || c > '9') break;
    if (index > (SIZE_MAX - 9) / 10) return std::nullopt;
    index = index * 10 + static_cast<std::size_t>(c - '0');
  }
  if (index >= size) return std::nullopt;
  return index;
}

std::string describeKeys(const std::vector<std::string>& keys) { return PloverReport(keys).dump(); }

// The parent of the last key, or an error naming it.
vx::Result<PloverReport*> parentFor(PloverReport& root, const std::vector<std::string>& deepKey) {
  if (deepKey.size() == 1) return &root;
  std::vector<std::string> parentKeys(deepKey.begin(), deepKey.end() - 1);
  auto* parent = const_cast<PloverReport*>(plover_objectForDeepKey(root, parentKeys));
  if (parent == nullptr) {
    return vx::Error("NSInternalInconsistencyException", 0,
                     "Parent " + describeKeys(parentKeys) + " does not resolve to a valid object");
  }
  return parent;
}

const char* typeName(const PloverReport& value) { return value.type_name(); }

// Runs filters one after another; `each` gets every stage's output, `done` the final values.
// A filter may answer synchronously or later on any thread; the shared state lives until the
// last completion has run.
struct Chain : std::enable_shared_from_this<Chain> {
  std::vector<PloverFilterPtr> filters;
  bool feedOutput = true;  // pipeline: output feeds the next; combine: every filter gets the input
  std::vector<PloverReport> input;
  std::vector<std::vector<PloverReport>> outputs;
  std::function<void(std::vector<PloverReport>, bool, std::optional<vx::Error>)> done;

  void run(std::size_t index, std::vector<PloverReport> reports) {
    auto self = shared_from_this();
    filters[index]->filterReports(std::move(reports), [self, index](std::vector<PloverReport> filtered, bool completed,
                                                                    std::optional<vx::Error> error) {
      if (!completed) {
        self->done(std::move(filtered), false, std::move(error));
        return;
      }
      self->outputs.push_back(filtered);
      if (index + 1 == self->filters.size()) {
        self->done(std::move(filtered), completed, std::move(error));
        return;
      }
      self->run(index + 1, self->feedOutput ? std::move(filtered) : self->input);
    });
  }
};

}  // namespace

std::vector<std::string> plover_keysFromKeyPath(std::string_view keyPath) {
  while (!keyPath.empty() && keyPath.front() == '/') keyPath.remove_prefix(1);
  std::vector<std::string> keys;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = keyPath.find('/', start);
    if (slash == std::string_view::npos) {
      keys.emplace_back(keyPath.substr(start));
      break;
    }
    keys.emplace_back(keyPath.substr(start, slash - start));
    start = slash + 1;
  }
  return keys;
}

const PloverReport* plover_objectForDeepKey(const PloverReport& root, const std::vector<std::string>& deepKey) {
  const PloverReport* current = &root;
  for (const auto& key : deepKey) {
    if (current->is_object()) {
      auto it = current->find(key);
      if (it == current->end()) return nullptr;
      current = &*it;
    } else if (current->is_array()) {
      auto index = indexFor(key, current->size());
      if (!index) return nullptr;
      current = &(*current)[*index];
    } else {
      return nullptr;
    }
    if (current->is_null()) return nullptr;
  }
  return current;
}

const PloverReport* plover_objectForKeyPath(const PloverReport& root, std::string_view keyPath) {
  return plover_objectForDeepKey(root, plover_keysFromKeyPath(keyPath));
}

std::optional<vx::Error> plover_setObjectForDeepKey(PloverReport& root, PloverReport value,
                                                    const std::vector<std::string>& deepKey) {
  if (deepKey.empty()) {
    return vx::Error("NSInvalidArgumentException", 0,
                     "deepKey " + describeKeys(deepKey) + " must contain at least one key");
  }
  auto parent = parentFor(root, deepKey);
  if (!parent) return parent.error();
  PloverReport& target = **parent;
  const std::string& last = deepKey.back();
  if (target.is_object()) {
    target[last] = std::move(value);
    return std::nullopt;
  }
  if (target.is_array() && isIntegerLike(last)) {
    if (auto index = indexFor(last, target.size())) {
      target[*index] = std::move(value);
      return std::nullopt;
    }
    return vx::Error("NSRangeException", 0, "Index " + last + " is out of range");
  }
  std::vector<std::string> parentKeys(deepKey.begin(), deepKey.end() - 1);
  return vx::Error(
      "NSInternalInconsistencyException", 0,
      "Parent " + describeKeys(parentKeys) + " of type " + typeName(target) +
          (isIntegerLike(last) ? " does not respond to \"setObject:forKey:\" or \"replaceObjectAtIndex:withObject:\""
                               : " does not respond to \"setObject:forKey:\""));
}

std::optional<vx::Error> plover_setObjectForKeyPath(PloverReport& root, PloverReport value, std::string_view keyPath) {
  return plover_setObjectForDeepKey(root, std::move(value), plover_keysFromKeyPath(keyPath));
}

std::optional<vx::Error> plover_removeObjectForDeepKey(PloverReport& root, const std::vector<std::string>& deepKey) {
  if (deepKey.empty()) {
    return vx::Error("NSInvalidArgumentException", 0,
                     "deepKey " + describeKeys(deepKey) + " must contain at least one key");
  }
  auto parent = parentFor(root, deepKey);
  if (!parent) return parent.error();
  PloverReport& target = **parent;
  const std::string& last = deepKey.back();
  if (target.is_object()) {
    target.erase(last);
    return std::nullopt;
  }
  if (target.is_array() && isIntegerLike(last)) {
    if (auto index = indexFor(last, target.size())) {
      target.erase(*index);
      return std::nullopt;
    }
    return vx::Error("NSRangeException", 0, "Index " + last + " is out of range");
  }
  std::vector<std::string> parentKeys(deepKey.begin(), deepKey.end() - 1);
  return vx::Error("NSInternalInconsistencyException", 0,
                   "Parent " + describeKeys(parentKeys) + " of type " + typeName(target) +
                       (isIntegerLike(last) ? " does not respond to \"removeObjectForKey:\" or \"removeObjectAtIndex:\""
                                            : " does not respond to \"removeObjectForKey:\""));
}

std::optional<vx::Error> plover_removeObjectForKeyPath(PloverReport& root, std::string_view keyPath) {
  return plover_removeObjectForDeepKey(root, plover_keysFromKeyPath(keyPath));
}

std::uint64_t plover_unsignedLongLongValue(std::string_view text) {
  std::string copy(text);  // strtoull needs a terminated string
  errno = 0;
  unsigned long long value = std::strtoull(copy.c_str(), nullptr, 0);
  if (errno == ERANGE) return UINT64_MAX;
  return value;
}

std::uint64_t plover_unsignedValue(const PloverReport& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) return static_cast<std::uint64_t>(value.get<std::int64_t>());
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!(d >= 0)) return 0;
    if (d >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(d);
  }
  if (value.is_string()) return plover_unsignedLongLongValue(std::string_view(value.get_ref<const std::string&>()));
  return 0;
}

std::string plover_describe(const PloverReport& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void PloverCrashReportFilterPassthrough::filterReports(std::vector<Report> reports, Completion onCompletion) {
  if (onCompletion) onCompletion(std::move(reports), true, std::nullopt);
}

PloverCrashReportFilterPipeline::PloverCrashReportFilterPipeline(std::vector<PloverFilterArg> filters) {
  for (auto& arg : filters) {
    if (arg.filter) filters_.push_back(std::move(arg.filter));
    for (auto& inner : arg.list) {
      if (inner) filters_.push_back(std::move(inner));
    }
  }
}

void PloverCrashReportFilterPipeline::addFilter(PloverFilterPtr filter) {
  if (filter) filters_.insert(filters_.begin(), std::move(filter));
}

void PloverCrashReportFilterPipeline::filterReports(std::vector<Report> reports, Completion onCompletion) {
  if (filters_.empty()) {
    if (onCompletion) onCompletion(std::move(reports), true, std::nullopt);
    return;
  }
  auto chain = std::make_shared<Chain>();
  chain->filters = filters_;
  chain->done = [onCompletion](std::vector<PloverReport> filtered, bool completed, std::optional<vx::Error> error) {
    if (onCompletion) onCompletion(std::move(filtered), completed, std::move(error));
  };
  chain->run(0, std::move(reports));
}

std::shared_ptr<PloverCrashReportFilterCombine> PloverCrashReportFilterCombine::filterWithFiltersAndKeys(
    std::vector<Arg> args) {
  std::vector<PloverFilterPtr> filters;
  std::vector<std::string> keys;
  bool expectFilter = true;
  for (auto& arg : args) {
    if (expectFilter) {
      PloverFilterPtr filter = arg.isList ? PloverCrashReportFilterPipeline::filterWithFilters({arg.list}) : arg.filter;
      if (!filter) {
        PLOVERCRASHLOG_ERROR("Not a filter: %s", arg.key ? arg.key->c_str() : "(null)");
        continue;
      }
      filters.push_back(std::move(filter));
    } else {
      if (!arg.key) {
        PLOVERCRASHLOG_ERROR("key entry was nil");
      } else {
        keys.push_back(*arg.key);
      }
    }
    expectFilter = !expectFilter;
  }
  return std::make_shared<PloverCrashReportFilterCombine>(std::move(filters), std::move(keys));
}

void PloverCrashReportFilterCombine::filterReports(std::vector<Report> reports, Completion onCompletion) {
  if (filters_.empty()) {
    if (onCompletion) onCompletion(std::move(reports), true, std::nullopt);
    return;
  }
  if (keys_.size() != filters_.size()) {
    if (onCompletion) {
      onCompletion(
          std::move(reports), false,
          filterError("PloverCrashReportFilterCombine", "Key/filter mismatch (" + std::to_string(keys_.size()) +
                                                            " keys, " + std::to_string(filters_.size()) + " filters"));
    }
    return;
  }
  auto chain = std::make_shared<Chain>();
  chain->filters = filters_;
  chain->feedOutput = false;
  chain->input = reports;
  std::weak_ptr<Chain> weak = chain;
  auto keys = keys_;
  chain->done = [weak, keys, onCompletion](std::vector<PloverReport> filtered, bool completed,
                                           std::optional<vx::Error> error) {
    auto self = weak.lock();
    if (!completed || !self) {
      if (onCompletion) onCompletion(std::move(filtered), false, std::move(error));
      return;
    }
    std::vector<PloverReport> combined;
    std::size_t count = self->outputs.empty() ? 0 : self->outputs[0].size();
    for (std::size_t i = 0; i < count; ++i) {
      PloverReport dict = PloverReport::object();
      for (std::size_t f = 0; f < self->outputs.size(); ++f) {
        if (i < self->outputs[f].size()) dict[keys[f]] = self->outputs[f][i];
      }
      combined.push_back(std::move(dict));
    }
    if (onCompletion) onCompletion(std::move(combined), completed, std::move(error));
  };
  chain->run(0, std::move(reports));
}

void PloverCrashReportFilterObjectForKey::filterReports(std::vector<Report> reports, Completion onCompletion) {
  std::vector<Report> values;
  for (const auto& report : reports) {
    if (const Report* value = plover_objectForKeyPath(report, key_)) {
      values.push_back(*value);
    } else if (allowNotFound_) {
      values.push_back(Report::object());
    } else {
      if (onCompletion) {
        onCompletion(std::move(values), false,
                     filterError("PloverCrashReportFilterObjectForKey", "Key not found: " + key_));
      }
      return;
    }
  }
  if (onCompletion) onCompletion(std::move(values), true, std::nullopt);
}

void PloverCrashReportFilterConcatenate::filterReports(std::vector<Report> reports, Completion onCompletion) {
  std::vector<Report> texts;
  for (const auto& report : reports) {
    std::string text;
    bool first = true;
    for (const auto& key : keys_) {
      if (!first) {
        std::string separator = separatorFmt_;
        auto at = separator.find("%@");
        if (at != std::string::npos) separator.replace(at, 2, key);
        text += separator;
      }
      first = false;
      const Report* value = plover_objectForKeyPath(report, key);
      text += value ? plover_describe(*value) : "(null)";
    }
    texts.emplace_back(std::move(text));
  }
  if (onCompletion) onCompletion(std::move(texts), true, std::nullopt);
}

void PloverCrashReportFilterSubset::filterReports(std::vector<Report> reports, Completion onCompletion) {
  std::vector<Report> subsets;
  for (const auto& report : reports) {
    Report subset = Report::object();
    for (const auto& path : keyPaths_) {
      const Report* value = plover_objectForKeyPath(report, path);
      if (value == nullptr) {
        if (onCompletion) {
          onCompletion(std::move(subsets), false,
                       filterError("PloverCrashReportFilterSubset", "Report did not have key path " + path));
        }
        return;
      }
      subset[plover_keysFromKeyPath(path).back()] = *value;
    }
    subsets.push_back(std::move(subset));
  }
  if (onCompletion) onCompletion(std::move(subsets), true, std::nullopt);
}

void PloverCrashReportFilterDataToString::filterReports(std::vector<Report> reports, Completion onCompletion) {
  std::vector<Report> texts;
  for (const auto& report : reports) {
    std::string text;
    if (report.is_binary()) {
      const auto& bytes = report.get_binary();
      text.assign(bytes.begin(), bytes.end());
    } else if (report.is_string()) {
      text = report.get<std::string>();
    }
    if ((!report.is_binary() && !report.is_string()) || !vx::utf8::isValid(text)) {
      if (onCompletion) {
        onCompletion(std::move(texts), false,
                     filterError("PloverCrashReportFilterDataToString", "Could not convert report to UTF-8"));
      }
      return;
    }
    texts.emplace_back(std::move(text));
  }
  if (onCompletion) onCompletion(std::move(texts), true, std::nullopt);
}

void PloverCrashReportFilterStringToData::filterReports(std::vector<Report> reports, Completion onCompletion) {
  std::vector<Report> data;
  for (const auto& report : reports) {
    if (!report.is_string() || !vx::utf8::isValid(report.get_ref<const std::string&>())) {
      if (onCompletion) {
        onCompletion(std::move(data), false,
                     filterError("PloverCrashReportFilterStringToData", "Could not convert report to UTF-8"));
      }
      return;
    }
    const auto& text = report.get_ref<const std::string&>();
    data.push_back(Report::binary(std::vector<std::uint8_t>(text.begin(), text.end())));
  }
  if (onCompletion) onCompletion(std::move(data), true, std::nullopt);
}
