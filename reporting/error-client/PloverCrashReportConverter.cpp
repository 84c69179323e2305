#include "reporting/error-client/PloverCrashReportConverter.h"

#include "platform/foundation/UTF8.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"
#include "reporting/error-client/PloverError.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <set>

namespace {

using J = PloverReport;

// The member of an object, or nullptr when the holder is no object or the member is absent/null.
const J* member(const J* holder, const char* key) {
  if (holder == nullptr || !holder->is_object()) return nullptr;
  auto it = holder->find(key);
  if (it == holder->end() || it->is_null()) return nullptr;
  return &*it;
}
const J* member(const J& holder, const char* key) { return member(&holder, key); }

// "%@" of a value: a text as it is, a number or flag as JSON; none for containers and absence.
std::optional<std::string> text(const J* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_string()) return value->get<std::string>();
  if (value->is_number() || value->is_boolean()) return value->dump();
  return std::nullopt;
}
std::string describe(const J* value) {
  if (value == nullptr) return "(null)";
  return plover_describe(*value);
}

std::optional<std::int64_t> integer(const J* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) {
    auto v = value->get<std::uint64_t>();
    return v > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(v);
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  if (value->is_number_float()) {
    double d = value->get<double>();
    if (!(d == d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

bool flag(const J* value) {
  if (value == nullptr) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (auto i = integer(value)) return *i != 0;
  return false;
}
std::optional<bool> optionalFlag(const J* value) {
  if (value == nullptr) return std::nullopt;
  return flag(value);
}

const J& arrayOrEmpty(const J* value) {
  static const J empty = J::array();
  return value != nullptr && value->is_array() ? *value : empty;
}

void copyIf(vx::ValueMap& out, const char* key, const J* value) {
  if (value != nullptr) out.set(key, vx::Value::fromJson(*value));
}

std::optional<std::string> contextText(const std::optional<vx::ValueMap>& context, const char* key) {
  if (!context) return std::nullopt;
  const vx::Value* value = context->find(key);
  if (value == nullptr || !value->isString()) return std::nullopt;
  return *value->stringValue();
}

std::string trimmed(const std::string& s) {
  const char* ws = " \t\n\r\f\v";
  auto start = s.find_first_not_of(ws);
  if (start == std::string::npos) return {};
  return s.substr(start, s.find_last_not_of(ws) - start + 1);
}

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

std::string PloverCrashReportConverter::hexAddress(const J* value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%016" PRIx64,
                value == nullptr ? std::uint64_t{0} : plover_unsignedValue(*value));
  return buffer;
}

PloverCrashReportConverter::PloverCrashReportConverter(J report) : report_(std::move(report)) {
  if (vx::utf8::sanitizeJson(report_)) {
    PloverLog::logWithMessage("Crash report held text that is not UTF-8; it was repaired", kPloverLogLevelDebug);
  }
  binaryImages_ = arrayOrEmpty(member(report_, "binary_images"));
  const J* system = member(report_, "system");
  systemContext_ = system != nullptr && system->is_object() ? *system : J::object();
  const J* crash = member(member(report_, "recrash_report"), "crash");
  if (crash == nullptr) crash = member(report_, "crash");
  if (auto d = member(crash, "diagnosis"); d != nullptr && d->is_string()) diagnosis_ = d->get<std::string>();
  const J* error = member(crash, "error");
  exceptionContext_ = error != nullptr && error->is_object() ? *error : J();
  threads_ = arrayOrEmpty(member(crash, "threads"));
  for (std::size_t i = 0; i < threads_.size(); ++i) {
    if (flag(member(threads_[i], "crashed"))) {
      crashedThreadIndex_ = static_cast<std::int64_t>(i);
      break;
    }
  }
}

std::optional<PloverCrashReportConverter> PloverCrashReportConverter::fromJSONText(std::string_view json) {
  vx::Error error;
  std::optional<J> report = PloverCrashJSONCodec::decode(json,
                                                         PloverCrashJSONDecodeOptionIgnoreNullInArray |
                                                             PloverCrashJSONDecodeOptionIgnoreNullInObject |
                                                             PloverCrashJSONDecodeOptionKeepPartialObject,
                                                         &error);
  if (!report || !report->is_object()) {
    PloverLog::logWithMessage(
        "Crash report refused: " + (error.domain.empty() ? std::string("not a JSON object") : error.description),
        kPloverLogLevelError);
    return std::nullopt;
  }
  if (!error.domain.empty()) {
    PloverLog::logWithMessage("Crash report was cut short, converting what was read: " + error.description,
                              kPloverLogLevelError);
  }
  return PloverCrashReportConverter(std::move(*report));
}

std::shared_ptr<PloverEvent> PloverCrashReportConverter::convertReportToEvent() {
  auto event = std::make_shared<PloverEvent>(PloverSeverity::fatal);
  const J* timestamp = member(member(report_, "report"), "timestamp");
  if (auto seconds = integer(timestamp)) {
    event->timestamp = vx::Date(std::chrono::seconds(*seconds));
  } else if (timestamp != nullptr && timestamp->is_string()) {
    event->timestamp = plover_fromIso8601String(timestamp->get<std::string>());
  }
  event->debugMeta = convertDebugMeta();
  event->threads = convertThreads();
  event->exceptions = convertExceptions();
  event->context = convertContext();
  event->releaseName = contextText(userContext_, "releaseName");
  event->dist = contextText(userContext_, "dist");
  event->environment = contextText(userContext_, "environment");
  const auto& app = *event->context->appContext;
  const vx::Value* identifier = app.find("app_identifier");
  const vx::Value* version = app.find("app_version");
  if (!event->releaseName && identifier && version && identifier->isString() && version->isString()) {
    event->releaseName = *identifier->stringValue() + "-" + *version->stringValue();
  }
  if (const vx::Value* build = app.find("app_build"); !event->dist && build && build->isString()) {
    event->dist = *build->stringValue();
  }
  event->extra = convertExtra();
  event->tags = convertTags();
  event->user = convertUser();
  return event;
}

std::optional<vx::ValueMap> PloverCrashReportConverter::convertExtra() const {
  if (!userContext_) return std::nullopt;
  const vx::Value* extra = userContext_->find("extra");
  if (extra == nullptr || !extra->isMap()) return std::nullopt;
  return *extra->mapValue();
}

std::optional<PloverTags> PloverCrashReportConverter::convertTags() const {
  if (!userContext_) return std::nullopt;
  const vx::Value* tags = userContext_->find("tags");
  if (tags == nullptr || !tags->isMap()) return std::nullopt;
  PloverTags out;
  for (const auto& [key, value] : *tags->mapValue()) {
    out[key] = value.isString() ? *value.stringValue() : value.toJson().dump();
  }
  return out;
}

std::shared_ptr<PloverUser> PloverCrashReportConverter::convertUser() const {
  if (!userContext_) return nullptr;
  const vx::Value* user = userContext_->find("user");
  if (user == nullptr || !user->isMap()) return nullptr;
  auto parsed = PloverUser::fromSerialized(*user);
  return parsed ? std::make_shared<PloverUser>(*parsed) : nullptr;
}

std::optional<std::string> PloverCrashReportConverter::family() const {
  auto name = text(member(systemContext_, "system_name"));
  if (!name) return std::nullopt;
  auto start = name->find_first_not_of(" \t\n");
  if (start == std::string::npos) return std::string();
  auto end = name->find_first_of(" \t\n", start);
  return name->substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::shared_ptr<PloverContext> PloverCrashReportConverter::convertContext() const {
  auto context = std::make_shared<PloverContext>();
  const J& s = systemContext_;
  vx::ValueMap os;
  copyIf(os, "name", member(s, "system_name"));
  copyIf(os, "version", member(s, "system_version"));
  copyIf(os, "build", member(s, "os_version"));
  copyIf(os, "kernel_version", member(s, "kernel_version"));
  copyIf(os, "rooted", member(s, "jailbroken"));
  context->osContext = std::move(os);

  vx::ValueMap device;
  if (auto f = family()) device.set("family", *f);
  copyIf(device, "arch", member(s, "cpu_arch"));
  copyIf(device, "boot_time", member(s, "boot_time"));
  copyIf(device, "timezone", member(s, "time_zone"));
  const J* memory = member(s, "memory");
  copyIf(device, "memory_size", member(memory, "size"));
  copyIf(device, "usable_memory", member(memory, "usable"));
  copyIf(device, "free_memory", member(memory, "free"));
  copyIf(device, "storage_size", member(s, "storage"));
  copyIf(device, "model", member(s, "machine"));
  copyIf(device, "model_id", member(s, "model"));
  context->deviceContext = std::move(device);

  vx::ValueMap app;
  copyIf(app, "app_start_time", member(s, "app_start_time"));
  copyIf(app, "device_app_hash", member(s, "device_app_hash"));
  copyIf(app, "app_identifier", member(s, "CFBundleIdentifier"));
  copyIf(app, "app_name", member(s, "CFBundleName"));
  copyIf(app, "app_build", member(s, "CFBundleVersion"));
  copyIf(app, "app_version", member(s, "CFBundleShortVersionString"));
  copyIf(app, "executable_path", member(s, "CFBundleExecutablePath"));
  copyIf(app, "build_type", member(s, "build_type"));
  context->appContext = std::move(app);
  return context;
}

const J* PloverCrashReportConverter::rawStackTraceForThreadIndex(std::size_t index) const {
  if (index >= threads_.size()) return nullptr;
  const J* contents = member(member(threads_[index], "backtrace"), "contents");
  return contents != nullptr && contents->is_array() ? contents : nullptr;
}

std::map<std::string, std::string> PloverCrashReportConverter::registersForThreadIndex(std::size_t index) const {
  std::map<std::string, std::string> registers;
  if (index >= threads_.size()) return registers;
  const J* basic = member(member(threads_[index], "registers"), "basic");
  if (basic == nullptr || !basic->is_object()) return registers;
  for (auto it = basic->begin(); it != basic->end(); ++it) registers[it.key()] = hexAddress(&it.value());
  return registers;
}

const J* PloverCrashReportConverter::binaryImageForAddress(std::uint64_t address) const {
  for (const auto& image : binaryImages_) {
    const J* addr = member(image, "image_addr");
    const J* size = member(image, "image_size");
    if (addr == nullptr) continue;
    std::uint64_t start = plover_unsignedValue(*addr);
    std::uint64_t length = size ? plover_unsignedValue(*size) : 0;
    if (start <= address && address - start < length) return &image;
  }
  return nullptr;
}

PloverFrame PloverCrashReportConverter::stackFrameAtIndex(std::size_t frameIndex, std::size_t threadIndex) const {
  PloverFrame frame;
  const J* contents = rawStackTraceForThreadIndex(threadIndex);
  if (contents == nullptr || frameIndex >= contents->size()) return frame;
  const J& entry = (*contents)[frameIndex];
  const J* instruction = member(entry, "instruction_addr");
  const J* image = instruction ? binaryImageForAddress(plover_unsignedValue(*instruction)) : nullptr;
  frame.symbolAddress = hexAddress(member(entry, "symbol_addr"));
  frame.instructionAddress = hexAddress(instruction);
  frame.imageAddress = hexAddress(member(image, "image_addr"));
  frame.package = text(member(image, "name"));
  if (auto name = text(member(entry, "symbol_name"))) frame.function = *name;
  return frame;
}

std::vector<PloverFrame> PloverCrashReportConverter::stackFramesForThreadIndex(std::size_t index) const {
  std::vector<PloverFrame> frames;
  const J* contents = rawStackTraceForThreadIndex(index);
  if (contents == nullptr) return frames;
  for (std::size_t i = contents->size(); i-- > 0;) frames.push_back(stackFrameAtIndex(i, index));
  return frames;
}

std::shared_ptr<PloverStacktrace> PloverCrashReportConverter::stackTraceForThreadIndex(std::size_t index) const {
  auto trace = std::make_shared<PloverStacktrace>(stackFramesForThreadIndex(index), registersForThreadIndex(index));
  trace->fixDuplicateFrames();
  return trace;
}

std::shared_ptr<PloverThread> PloverCrashReportConverter::threadAtIndex(std::size_t index,
                                                                        bool stripCrashedStacktrace) const {
  if (index >= threads_.size()) return nullptr;
  const J& raw = threads_[index];
  auto thread = std::make_shared<PloverThread>(integer(member(raw, "index")));
  thread->stacktrace = stackTraceForThreadIndex(index);
  bool crashed = flag(member(raw, "crashed"));
  if (stripCrashedStacktrace && crashed) thread->stacktrace = nullptr;
  thread->crashed = optionalFlag(member(raw, "crashed"));
  thread->current = optionalFlag(member(raw, "current_thread"));
  thread->name = text(member(raw, "name"));
  if (!thread->name) thread->name = text(member(raw, "dispatch_queue"));
  return thread;
}

std::shared_ptr<PloverThread> PloverCrashReportConverter::crashedThread() const {
  return threadAtIndex(static_cast<std::size_t>(crashedThreadIndex_), false);
}

std::vector<std::shared_ptr<PloverThread>> PloverCrashReportConverter::convertThreads() const {
  std::vector<std::shared_ptr<PloverThread>> threads;
  for (std::size_t i = 0; i < threads_.size(); ++i) {
    if (auto thread = threadAtIndex(i, true)) threads.push_back(std::move(thread));
  }
  return threads;
}

std::vector<std::shared_ptr<PloverDebugMeta>> PloverCrashReportConverter::convertDebugMeta() const {
  std::vector<std::shared_ptr<PloverDebugMeta>> images;
  for (const auto& image : binaryImages_) {
    if (!image.is_object()) continue;
    auto meta = std::make_shared<PloverDebugMeta>();
    meta->uuid = text(member(image, "uuid"));
    meta->type = "apple";
    meta->cpuType = integer(member(image, "cpu_type"));
    meta->cpuSubType = integer(member(image, "cpu_subtype"));
    meta->imageAddress = hexAddress(member(image, "image_addr"));
    meta->imageSize = integer(member(image, "image_size"));
    meta->imageVmAddress = hexAddress(member(image, "image_vmaddr"));
    meta->name = text(member(image, "name"));
    meta->majorVersion = integer(member(image, "major_version"));
    meta->minorVersion = integer(member(image, "minor_version"));
    meta->revisionVersion = integer(member(image, "revision_version"));
    images.push_back(std::move(meta));
  }
  return images;
}

std::shared_ptr<PloverException> PloverCrashReportConverter::parseNSException() const {
  const J* ns = member(exceptionContext_, "nsexception");
  const J* reason = member(ns, "reason");
  if (reason == nullptr) reason = member(exceptionContext_, "reason");
  std::string value = reason ? describe(reason) : std::string();
  return std::make_shared<PloverException>(value, describe(member(ns, "name")));
}

std::vector<std::shared_ptr<PloverException>> PloverCrashReportConverter::convertExceptions() const {
  if (exceptionContext_.is_null()) return {};
  auto exception = std::make_shared<PloverException>("Unknown Exception", "Unknown Exception");
  const std::string type = text(member(exceptionContext_, "type")).value_or("");
  if (type == "nsexception") {
    exception = parseNSException();
  } else if (type == "cpp_exception") {
    exception = std::make_shared<PloverException>(describe(member(member(exceptionContext_, "cpp_exception"), "name")),
                                                  "C++ Exception");
  } else if (type == "mach") {
    const J* mach = member(exceptionContext_, "mach");
    exception = std::make_shared<PloverException>("Exception " + describe(member(mach, "exception")) + ", Code " +
                                                      describe(member(mach, "code")) + ", Subcode " +
                                                      describe(member(mach, "subcode")),
                                                  describe(member(mach, "exception_name")));
  } else if (type == "signal") {
    const J* signal = member(exceptionContext_, "signal");
    exception = std::make_shared<PloverException>(
        "Signal " + describe(member(signal, "signal")) + ", Code " + describe(member(signal, "code")),
        describe(member(signal, "name")));
  } else if (type == "user") {
    std::string reason = describe(member(exceptionContext_, "reason"));
    auto colon = reason.find(':');
    if (colon != std::string::npos) {
      exception = std::make_shared<PloverException>(trimmed(reason.substr(colon + 1)), reason.substr(0, colon));
    } else {
      exception = std::make_shared<PloverException>(
          reason, describe(member(member(exceptionContext_, "user_reported"), "name")));
    }
  }
  enhanceValueFromNotableAddresses(*exception);
  exception->mechanism = extractMechanism();
  exception->thread = crashedThread();
  if (diagnosis_ && !diagnosis_->empty() && diagnosis_->find(exception->value.value_or("")) == std::string::npos) {
    exception->value = exception->value.value_or("") + " >\n" + *diagnosis_;
  }
  return {exception};
}

void PloverCrashReportConverter::enhanceValueFromNotableAddresses(PloverException& exception) const {
  if (crashedThreadIndex_ < 0 || static_cast<std::size_t>(crashedThreadIndex_) >= threads_.size()) return;
  const J* notable = member(threads_[static_cast<std::size_t>(crashedThreadIndex_)], "notable_addresses");
  if (notable == nullptr || !notable->is_object()) return;
  std::vector<std::string> collected;
  std::set<std::string> seen;
  for (const auto& entry : *notable) {
    if (text(member(entry, "type")) != "string") continue;
    auto value = text(member(entry, "value"));
    if (!value) continue;
    if (std::count(value->begin(), value->end(), '/') > 1) continue;
    if (seen.insert(*value).second) collected.push_back(*value);
  }
  if (collected.empty()) return;
  std::stable_sort(collected.begin(), collected.end(),
                   [](const std::string& a, const std::string& b) { return lowered(a) < lowered(b); });
  std::string joined;
  for (const auto& item : collected) joined += (joined.empty() ? "" : " > ") + item;
  exception.value = joined;
}

std::shared_ptr<PloverMechanism> PloverCrashReportConverter::extractMechanism() const {
  auto mechanism = std::make_shared<PloverMechanism>(text(member(exceptionContext_, "type")).value_or(""));
  const J* mach = member(exceptionContext_, "mach");
  if (mach == nullptr) return mechanism;
  mechanism->handled = false;
  vx::ValueMap meta;
  vx::ValueMap machMeta;
  copyIf(machMeta, "name", member(mach, "exception_name"));
  copyIf(machMeta, "exception", member(mach, "exception"));
  copyIf(machMeta, "subcode", member(mach, "subcode"));
  copyIf(machMeta, "code", member(mach, "code"));
  meta.set("mach_exception", std::move(machMeta));
  if (const J* signal = member(exceptionContext_, "signal")) {
    vx::ValueMap signalMeta;
    copyIf(signalMeta, "number", member(signal, "signal"));
    copyIf(signalMeta, "code", member(signal, "code"));
    copyIf(signalMeta, "code_name", member(signal, "code_name"));
    copyIf(signalMeta, "name", member(signal, "name"));
    meta.set("signal", std::move(signalMeta));
  }
  mechanism->meta = std::move(meta);
  const J* address = member(exceptionContext_, "address");
  if (address != nullptr && plover_unsignedValue(*address) > 0) {
    mechanism->data = vx::ValueMap{{"relevant_address", hexAddress(address)}};
  }
  return mechanism;
}
