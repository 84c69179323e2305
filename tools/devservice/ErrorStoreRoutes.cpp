// The error-reporting store endpoint: "<prefix>/api/<project>/store/" takes one gzipped JSON event
// with an "X-Plover-Auth" header, as the error-reporting client sends it. The event's shape is
// checked the way a real store would: a malformed event is refused with 400 and the first problem
// found, named by the path of the value at fault.
#include "tools/devservice/DevService.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace vx::devservice {
namespace {

// "Plover a=1,b=2" -> {a: 1, b: 2}; empty when the scheme word is missing.
std::map<std::string, std::string> parseAuthHeader(const std::string& header) {
  std::map<std::string, std::string> pairs;
  const std::string scheme = "Plover ";
  if (header.compare(0, scheme.size(), scheme) != 0) return pairs;
  std::istringstream in(header.substr(scheme.size()));
  std::string pair;
  while (std::getline(in, pair, ',')) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    pairs[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  return pairs;
}

using Json = nlohmann::json;

std::string at(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string at(const std::string& path, std::size_t index) { return path + "[" + std::to_string(index) + "]"; }

// Checked by hand rather than by a regular expression, whose matcher recurses per character
// and could exhaust the stack on a huge value.
bool isHexAddress(const Json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() < 3 || text.size() > 18 || text.compare(0, 2, "0x") != 0) return false;
  return std::all_of(text.begin() + 2, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// The client writes whole seconds in UTC: "2024-01-31T12:00:00Z".
bool isTimestamp(const Json& value) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  const std::string layout = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != layout.size()) return false;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (layout[i] == 'd' ? !digit : text[i] != layout[i]) return false;
  }
  return true;
}

bool isLevel(const Json& value) {
  static const std::set<std::string> levels = {"fatal", "error", "warning", "info", "debug"};
  return value.is_string() && levels.count(value.get_ref<const std::string&>()) != 0;
}

// Walks one event and keeps the first problem it finds. Every check answers whether the value
// was sound, so a caller stops at the first fault.
class EventShape {
 public:
  // The problem with the event, or "" when it has the client's shape.
  static std::string check(const Json& event) {
    EventShape shape;
    shape.checkEvent(event);
    return shape.problem_;
  }

 private:
  bool fail(const std::string& path, const std::string& what) {
    problem_ = path + " " + what;
    return false;
  }

  // A key that may be left out; when present its value must pass `test`.
  template <class Test>
  bool optional(const Json& object, const std::string& path, const char* key, Test test, const char* what) {
    const auto found = object.find(key);
    if (found == object.end() || test(*found)) return true;
    return fail(at(path, key), what);
  }
  template <class Test>
  bool required(const Json& object, const std::string& path, const char* key, Test test, const char* what) {
    if (!object.contains(key)) return fail(at(path, key), "is missing");
    return optional(object, path, key, test, what);
  }
  bool strings(const Json& object, const std::string& path, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
      if (!optional(object, path, key, isString, "must be a string")) return false;
    }
    return true;
  }
  bool integers(const Json& object, const std::string& path, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
      if (!optional(object, path, key, isInteger, "must be an integer")) return false;
    }
    return true;
  }
  bool addresses(const Json& object, const std::string& path, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
      if (!optional(object, path, key, isHexAddress, "must be a hexadecimal address text")) return false;
    }
    return true;
  }
  // `key`: an array whose elements all pass `element`; an empty one only when `mayBeEmpty`.
  template <class Element>
  bool list(const Json& object, const std::string& path, const char* key, bool mayBeEmpty, Element element) {
    const Json& items = object.at(key);
    if (!items.is_array()) return fail(at(path, key), "must be an array");
    if (items.empty() && !mayBeEmpty) return fail(at(path, key), "must not be empty");
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!items[i].is_object()) return fail(at(at(path, key), i), "must be an object");
      if (!element(items[i], at(at(path, key), i))) return false;
    }
    return true;
  }

  static bool isString(const Json& value) { return value.is_string(); }
  static bool isNonEmptyString(const Json& value) {
    return value.is_string() && !value.get_ref<const std::string&>().empty();
  }
  static bool isInteger(const Json& value) { return value.is_number_integer(); }
  static bool isBoolean(const Json& value) { return value.is_boolean(); }
  static bool isObject(const Json& value) { return value.is_object(); }
  static bool isStringMap(const Json& value) {
    if (!value.is_object()) return false;
    for (const auto& item : value.items()) {
      if (!item.value().is_string()) return false;
    }
    return true;
  }
  static bool isStringList(const Json& value) {
    if (!value.is_array()) return false;
    for (const auto& item : value) {
      if (!item.is_string()) return false;
    }
    return true;
  }

  bool checkEvent(const Json& event) {
    if (!required(event, "", "event_id", isNonEmptyString, "must be a non-empty string") ||
        !required(event, "", "timestamp", isTimestamp, "must be a UTC time text like 2024-01-31T12:00:00Z") ||
        !required(event, "", "level", isLevel, "must be one of fatal, error, warning, info, debug") ||
        !required(event, "", "platform", isString, "must be a string") ||
        !required(event, "", "sdk", isObject, "must be an object") ||
        !strings(event["sdk"], "sdk", {"name", "version"}) ||
        !required(event, "", "contexts", isObject, "must be an object") || !checkContexts(event["contexts"]) ||
        !strings(event, "", {"message", "logger", "server_name", "release", "dist", "environment"}) ||
        !optional(event, "", "tags", isStringMap, "must be an object of strings") ||
        !optional(event, "", "extra", isObject, "must be an object") ||
        !optional(event, "", "modules", isObject, "must be an object") ||
        !optional(event, "", "fingerprint", isStringList, "must be an array of strings") || !checkUser(event) ||
        !checkBreadcrumbs(event)) {
      return false;
    }
    if (event.contains("stacktrace") && !checkStacktrace(event["stacktrace"], "stacktrace")) return false;
    if (event.contains("threads") && !checkThreads(event["threads"])) return false;
    if (event.contains("debug_meta") && !checkDebugMeta(event["debug_meta"])) return false;
    if (event.contains("exception") && !checkExceptions(event)) return false;
    return true;
  }

  // The sections' entries are copied from the machine's facts as they were found (a crash
  // report may hold null for one): only the sections themselves are checked.
  bool checkContexts(const Json& contexts) {
    for (const char* section : {"os", "device", "app"}) {
      if (!required(contexts, "contexts", section, isObject, "must be an object")) return false;
    }
    return true;
  }

  bool checkUser(const Json& event) {
    if (!event.contains("user")) return true;
    if (!event["user"].is_object()) return fail("user", "must be an object");
    return strings(event["user"], "user", {"id", "email", "username"}) &&
           optional(event["user"], "user", "extra", isObject, "must be an object");
  }

  bool checkBreadcrumbs(const Json& event) {
    if (!event.contains("breadcrumbs")) return true;
    return list(event, "", "breadcrumbs", true, [this](const Json& crumb, const std::string& path) {
      return required(crumb, path, "level", isLevel, "must be one of fatal, error, warning, info, debug") &&
             optional(crumb, path, "timestamp", isTimestamp, "must be a UTC time text like 2024-01-31T12:00:00Z") &&
             strings(crumb, path, {"category", "type", "message"}) &&
             optional(crumb, path, "data", isObject, "must be an object");
    });
  }

  bool checkFrame(const Json& frame, const std::string& path) {
    if (frame.empty()) return fail(path, "is empty");
    return addresses(frame, path, {"symbol_addr", "image_addr", "instruction_addr"}) &&
           strings(frame, path, {"filename", "function", "module", "package", "platform"}) &&
           integers(frame, path, {"lineno", "colno"});
  }

  bool checkStacktrace(const Json& stacktrace, const std::string& path) {
    if (!stacktrace.is_object()) return fail(path, "must be an object");
    if (!stacktrace.contains("frames")) return fail(at(path, "frames"), "is missing");
    return list(stacktrace, path, "frames", true,
                [this](const Json& frame, const std::string& framePath) { return checkFrame(frame, framePath); }) &&
           optional(stacktrace, path, "registers", isStringMap, "must be an object of strings");
  }

  bool checkThreads(const Json& threads) {
    if (!threads.is_object()) return fail("threads", "must be an object");
    if (!threads.contains("values")) return fail("threads.values", "is missing");
    return list(threads, "threads", "values", false, [this](const Json& thread, const std::string& path) {
      return required(thread, path, "id", isInteger, "must be an integer") &&
             optional(thread, path, "crashed", isBoolean, "must be true or false") &&
             optional(thread, path, "current", isBoolean, "must be true or false") && strings(thread, path, {"name"}) &&
             (!thread.contains("stacktrace") || checkStacktrace(thread["stacktrace"], at(path, "stacktrace")));
    });
  }

  bool checkDebugMeta(const Json& debugMeta) {
    if (!debugMeta.is_object()) return fail("debug_meta", "must be an object");
    if (!debugMeta.contains("images")) return fail("debug_meta.images", "is missing");
    return list(debugMeta, "debug_meta", "images", false, [this](const Json& image, const std::string& path) {
      return required(image, path, "image_addr", isHexAddress, "must be a hexadecimal address text") &&
             addresses(image, path, {"image_vmaddr"}) && strings(image, path, {"uuid", "type", "name"}) &&
             integers(image, path,
                      {"image_size", "cpu_type", "cpu_subtype", "major_version", "minor_version", "revision_version"});
    });
  }

  bool checkMechanism(const Json& mechanism, const std::string& path) {
    if (!mechanism.is_object()) return fail(path, "must be an object");
    return required(mechanism, path, "type", isString, "must be a string") &&
           optional(mechanism, path, "handled", isBoolean, "must be true or false") &&
           strings(mechanism, path, {"description", "help_link"}) &&
           optional(mechanism, path, "meta", isObject, "must be an object") &&
           optional(mechanism, path, "data", isObject, "must be an object");
  }

  // An exception with a mechanism is a crash the client recorded: a fatal event whose exception
  // carries the crashed thread's frames, each at an address the event's images resolve.
  bool checkCrash(const Json& event, const Json& exception, const std::string& path) {
    if (event["level"] != "fatal") return fail("level", "must be fatal for a crash (an exception with a mechanism)");
    if (!exception.contains("stacktrace")) return fail(at(path, "stacktrace"), "is missing for a crash");
    const Json& frames = exception["stacktrace"]["frames"];
    if (frames.empty()) return fail(at(path, "stacktrace.frames"), "must not be empty for a crash");
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (!frames[i].contains("instruction_addr")) {
        return fail(at(at(at(path, "stacktrace.frames"), i), "instruction_addr"), "is missing for a crash");
      }
    }
    if (!event.contains("debug_meta")) return fail("debug_meta", "is missing for a crash");
    return true;
  }

  bool checkExceptions(const Json& event) {
    const Json& exception = event["exception"];
    if (!exception.is_object()) return fail("exception", "must be an object");
    if (!exception.contains("values")) return fail("exception.values", "is missing");
    return list(exception, "exception", "values", false, [this, &event](const Json& value, const std::string& path) {
      if (!value.contains("type") && !value.contains("value")) return fail(path, "needs a type or a value");
      if (!strings(value, path, {"type", "value", "module"}) ||
          !optional(value, path, "thread_id", isInteger, "must be an integer")) {
        return false;
      }
      if (value.contains("mechanism") && !checkMechanism(value["mechanism"], at(path, "mechanism"))) return false;
      if (value.contains("stacktrace") && !checkStacktrace(value["stacktrace"], at(path, "stacktrace"))) return false;
      return !value.contains("mechanism") || checkCrash(event, value, path);
    });
  }

  std::string problem_;
};

}  // namespace

DEVSERVICE_ROUTE_SET(errorStore) {
  service.addRoute("POST", "(/.*)?/api/([^/]+)/store/", [](const Request& request, Response& response) {
    const auto auth = parseAuthHeader(request.header("X-Plover-Auth").value_or(""));
    if (auth.count("plover_version") == 0 || auth.at("plover_version") != "7" || auth.count("plover_key") == 0 ||
        auth.at("plover_key").empty() || auth.count("plover_timestamp") == 0 || auth.count("plover_client") == 0) {
      response.setJSON(R"({"error":"missing or invalid X-Plover-Auth header"})", 401);
      return;
    }
    if (request.bodyError || !request.bodyWasGzip) {
      response.setJSON(R"({"error":"body must be gzip-encoded JSON"})", 400);
      return;
    }
    const auto event = parseBoundedJSON(request.body);
    if (event.is_discarded() || !event.is_object()) {
      response.setJSON(R"({"error":"body is not an event"})", 400);
      return;
    }
    if (const std::string problem = EventShape::check(event); !problem.empty()) {
      response.setJSON(dumpForReading(Json{{"error", "malformed event: " + problem}}), 400);
      return;
    }
    response.setJSON(nlohmann::json{{"id", event["event_id"]}}.dump());
  });
}

}  // namespace vx::devservice
