// Turns the script side's JSON (events, breadcrumbs, users, stack traces) into the client's
// records. Input comes from another runtime: missing or mistyped entries are left out.
#pragma once

#include "reporting/error-client/PloverEvent.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

class PloverJavaScriptBridgeHelper {
 public:
  using Json = nlohmann::json;
  static const std::regex& frameRegex();
  static std::vector<Json> parseLarkFrames(const Json& frames);
  static std::vector<Json> parseJavaScriptStacktrace(const std::string& stacktrace);
  static PloverBreadcrumb createPloverBreadcrumbFromJavaScriptBreadcrumb(const Json& breadcrumb);
  static std::shared_ptr<PloverEvent> createPloverEventFromJavaScriptEvent(const Json& event);
  // Frames with a "methodName", in reverse order.
  static std::vector<PloverFrame> convertReactNativeStacktrace(const std::vector<Json>& stacktrace);
  static void addExceptionToEvent(PloverEvent& event, const std::string& type, const std::string& value,
                                  std::vector<PloverFrame> frames);
  static std::shared_ptr<PloverUser> createPloverUserFromJavaScriptUser(const Json& user);
  static PloverSeverity ploverSeverityFromLevel(const Json& level);
  static int ploverLogLevelFromJavaScriptLevel(int level);
  static PloverTags sanitizeDictionary(const Json& dictionary);
};
