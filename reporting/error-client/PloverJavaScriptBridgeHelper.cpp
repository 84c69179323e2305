#include "reporting/error-client/PloverJavaScriptBridgeHelper.h"

#include "platform/foundation/UTF8.h"

#include <cerrno>
#include <cstdlib>

namespace {

using Json = nlohmann::json;

const Json* member(const Json& holder, const char* key) {
  if (!holder.is_object()) return nullptr;
  auto it = holder.find(key);
  return it == holder.end() ? nullptr : &*it;
}

// "%@" of a value: texts as they are, everything else as JSON.
std::string describe(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<std::string> optionalText(const Json& holder, const char* key) {
  const Json* value = member(holder, key);
  if (value == nullptr || value->is_null()) return std::nullopt;
  return vx::utf8::sanitized(describe(*value));
}

// The number in "%@" of the value, or none when the whole text is not one.
std::optional<std::int64_t> number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace

const std::regex& PloverJavaScriptBridgeHelper::frameRegex() {
  static const std::regex pattern(
      "^\\s*(.*?)(?:\\((.*?)\\))?(?:^|@)((?:app|file|https?|blob|chrome|webpack|resource|\\[native).*?|[^@]*bundle)(?::"
      "(\\d+))?(?::(\\d+))?\\s*$");
  return pattern;
}

std::vector<Json> PloverJavaScriptBridgeHelper::parseLarkFrames(const Json& frames) {
  std::vector<Json> out;
  if (!frames.is_array()) return out;
  for (const auto& frame : frames) {
    Json parsed = Json::object();
    if (auto f = optionalText(frame, "function")) parsed["methodName"] = *f;
    if (auto f = optionalText(frame, "filename")) parsed["file"] = *f;
    const Json* lineno = member(frame, "lineno");
    if (lineno != nullptr && !lineno->is_null()) {
      if (const Json* colno = member(frame, "colno")) {
        if (auto n = number(describe(*colno))) parsed["column"] = *n;
      }
      if (auto n = number(describe(*lineno))) parsed["lineNumber"] = *n;
    }
    out.push_back(std::move(parsed));
  }
  return out;
}

std::vector<Json> PloverJavaScriptBridgeHelper::parseJavaScriptStacktrace(const std::string& stacktrace) {
  std::vector<Json> out;
  std::size_t start = 0;
  while (start <= stacktrace.size()) {
    std::size_t newline = stacktrace.find('\n', start);
    std::string line = stacktrace.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
    std::smatch match;
    if (std::regex_match(line, match, frameRegex())) {
      Json frame = {{"methodName", vx::utf8::sanitized(match[1].str())}, {"file", vx::utf8::sanitized(match[3].str())}};
      if (match[5].matched) {
        if (auto n = number(match[5].str())) frame["column"] = *n;
        if (match[4].matched) {
          if (auto n = number(match[4].str())) frame["lineNumber"] = *n;
        }
      }
      out.push_back(std::move(frame));
    }
    if (newline == std::string::npos) break;
    start = newline + 1;
  }
  return out;
}

std::vector<PloverFrame> PloverJavaScriptBridgeHelper::convertReactNativeStacktrace(
    const std::vector<Json>& stacktrace) {
  std::vector<PloverFrame> frames;
  for (const auto& parsed : stacktrace) {
    auto method = optionalText(parsed, "methodName");
    if (!method) continue;
    PloverFrame frame;
    std::string file = optionalText(parsed, "file").value_or("");
    auto slash = file.find_last_of('/');
    if (slash != std::string::npos) file = file.substr(slash + 1);
    file = file.substr(0, file.find('?'));
    frame.fileName = "app:///" + file;
    frame.function = *method;
    if (const Json* line = member(parsed, "lineNumber"); line && line->is_number_integer())
      frame.lineNumber = line->get<std::int64_t>();
    if (const Json* column = member(parsed, "column"); column && column->is_number_integer())
      frame.columnNumber = column->get<std::int64_t>();
    frame.platform = "javascript";
    frames.push_back(std::move(frame));
  }
  return {frames.rbegin(), frames.rend()};
}

void PloverJavaScriptBridgeHelper::addExceptionToEvent(PloverEvent& event, const std::string& type,
                                                       const std::string& value, std::vector<PloverFrame> frames) {
  auto exception = std::make_shared<PloverException>(value, type);
  auto thread = std::make_shared<PloverThread>(99);
  thread->crashed = true;
  thread->stacktrace = std::make_shared<PloverStacktrace>(std::move(frames), std::map<std::string, std::string>{});
  exception->thread = thread;
  event.exceptions = {exception};
}

std::shared_ptr<PloverEvent> PloverJavaScriptBridgeHelper::createPloverEventFromJavaScriptEvent(const Json& input) {
  const Json* level = member(input, "level");
  auto event = std::make_shared<PloverEvent>(ploverSeverityFromLevel(level ? *level : Json()));
  if (auto id = optionalText(input, "event_id")) event->eventId = *id;
  event->message = optionalText(input, "message");
  event->logger = optionalText(input, "logger");
  if (const Json* fingerprint = member(input, "fingerprint"); fingerprint && fingerprint->is_array()) {
    std::vector<std::string> parts;
    for (const auto& part : *fingerprint) parts.push_back(vx::utf8::sanitized(describe(part)));
    event->fingerprint = parts;
  }
  event->environment = optionalText(input, "environment");
  const Json* tags = member(input, "tags");
  event->tags = sanitizeDictionary(tags ? *tags : Json());
  if (const Json* extra = member(input, "extra"); extra && extra->is_object()) {
    Json repaired = *extra;
    vx::utf8::sanitizeJson(repaired);
    const vx::Value converted = vx::Value::fromJson(repaired);
    if (const auto* map = converted.mapValue()) event->extra = *map;
  }
  const Json* user = member(input, "user");
  event->user = createPloverUserFromJavaScriptUser(user ? *user : Json());

  const Json* exception = member(input, "exception");
  const Json* stackFrames = nullptr;
  if (const Json* st = member(input, "stacktrace")) stackFrames = member(*st, "frames");
  if (exception == nullptr && stackFrames == nullptr) return event;
  Json frames;
  std::string type;
  std::string value;
  if (exception != nullptr) {
    const Json* entry = nullptr;
    const Json* values = member(*exception, "values");
    if (values && values->is_array() && !values->empty() && !(*values)[0].is_null()) {
      entry = &(*values)[0];
    } else if (exception->is_array() && !exception->empty()) {
      entry = &(*exception)[0];
    }
    if (entry != nullptr) {
      if (const Json* st = member(*entry, "stacktrace")) {
        if (const Json* f = member(*st, "frames")) frames = *f;
      }
      type = optionalText(*entry, "type").value_or("");
      value = optionalText(*entry, "value").value_or("");
    }
  } else {
    frames = *stackFrames;
    value = optionalText(input, "message").value_or("");
    type = optionalText(input, "type").value_or("");
  }
  auto converted = convertReactNativeStacktrace(parseLarkFrames(frames));
  addExceptionToEvent(*event, type, value, {converted.rbegin(), converted.rend()});
  return event;
}

PloverBreadcrumb PloverJavaScriptBridgeHelper::createPloverBreadcrumbFromJavaScriptBreadcrumb(const Json& input) {
  const Json* level = member(input, "level");
  PloverBreadcrumb crumb(ploverSeverityFromLevel(level ? *level : Json("info")),
                         optionalText(input, "category").value_or(""));
  crumb.message = optionalText(input, "message");
  std::int64_t seconds = 0;
  if (const Json* ts = member(input, "timestamp"); ts && ts->is_number()) {
    double d = ts->get<double>();
    if (d > 0 && d < 1e12) seconds = static_cast<std::int64_t>(d);
  }
  crumb.timestamp = seconds > 0 ? vx::Date(std::chrono::seconds(seconds)) : std::chrono::system_clock::now();
  crumb.type = optionalText(input, "type");
  if (const Json* data = member(input, "data"); data && data->is_object()) {
    Json repaired = *data;
    vx::utf8::sanitizeJson(repaired);
    const vx::Value converted = vx::Value::fromJson(repaired);
    if (const auto* map = converted.mapValue()) crumb.data = *map;
  }
  return crumb;
}

std::shared_ptr<PloverUser> PloverJavaScriptBridgeHelper::createPloverUserFromJavaScriptUser(const Json& input) {
  std::optional<std::string> userId;
  for (const char* key : {"userID", "userId", "id"}) {
    if ((userId = optionalText(input, key))) break;
  }
  auto email = optionalText(input, "email");
  auto username = optionalText(input, "username");
  if (!userId && !email && !username) return nullptr;
  auto user = std::make_shared<PloverUser>();
  user->userId = userId;
  user->email = email;
  user->username = username;
  if (const Json* extra = member(input, "extra"); extra && extra->is_object()) {
    Json repaired = *extra;
    vx::utf8::sanitizeJson(repaired);
    const vx::Value converted = vx::Value::fromJson(repaired);
    if (const auto* map = converted.mapValue()) user->extra = *map;
  }
  return user;
}

PloverSeverity PloverJavaScriptBridgeHelper::ploverSeverityFromLevel(const Json& level) {
  if (!level.is_string()) return PloverSeverity::error;
  const auto& name = level.get_ref<const std::string&>();
  if (name == "fatal") return PloverSeverity::fatal;
  if (name == "warning") return PloverSeverity::warning;
  if (name == "info" || name == "log") return PloverSeverity::info;
  if (name == "debug") return PloverSeverity::debug;
  return PloverSeverity::error;
}

int PloverJavaScriptBridgeHelper::ploverLogLevelFromJavaScriptLevel(int level) {
  switch (level) {
    case 1:
      return 2;
    case 2:
      return 3;
    case 3:
      return 4;
    default:
      return 1;
  }
}

PloverTags PloverJavaScriptBridgeHelper::sanitizeDictionary(const Json& dictionary) {
  PloverTags out;
  if (!dictionary.is_object()) return out;
  for (auto it = dictionary.begin(); it != dictionary.end(); ++it) {
    out[vx::utf8::sanitized(it.key())] = vx::utf8::sanitized(describe(it.value()));
  }
  return out;
}
