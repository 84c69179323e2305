#include "reporting/crash-recorder/Recording/PloverCrashDoctor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

const PloverCrashReportJSON& nullValue() {
  static const PloverCrashReportJSON value;
  return value;
}

// The member of an object, or null when the value is no object or has no such member.
const PloverCrashReportJSON& member(const PloverCrashReportJSON& object, const char* key) {
  if (!object.is_object()) return nullValue();
  auto found = object.find(key);
  return found == object.end() ? nullValue() : *found;
}

std::optional<std::string> text(const PloverCrashReportJSON& value) {
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

bool textEquals(const PloverCrashReportJSON& value, const char* expected) {
  return value.is_string() && value.get_ref<const std::string&>() == expected;
}

// How the platform's formatting writes a missing object.
std::string orNull(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

std::string hexPointer(std::uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::vector<std::string> split(const std::string& value, char separator) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  for (;;) {
    const auto found = value.find(separator, start);
    pieces.push_back(value.substr(start, found - start));
    if (found == std::string::npos) break;
    start = found + 1;
  }
  return pieces;
}

}  // namespace

std::optional<std::string> PloverCrashDoctorFunctionCall::descriptionForObjCCall() const {
  if (name != "objc_msgSend" || params.size() < 2) return std::nullopt;
  const PloverCrashDoctorParam& receiver = params[0];
  const std::string className =
      receiver.previousClassName ? *receiver.previousClassName : (receiver.className ? *receiver.className : "id");
  const PloverCrashDoctorParam& selector = params[1];
  if (selector.type != "string" || !selector.value) return std::nullopt;
  const std::vector<std::string> pieces = split(*selector.value, ':');
  std::string description = "-[" + className + " " + pieces[0];
  const int count = static_cast<int>(pieces.size());
  for (int i = 0; i < count - 1; ++i) {
    description += ":";
    // Parameters beyond those the call has are unknown.
    // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): 0 <= i < count, so i + 2 cannot overflow
    if (i >= 2 || static_cast<std::size_t>(i + 2) >= params.size()) {
      description += "?";
    } else {
      // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): i < 2 here
      const PloverCrashDoctorParam& param = params[static_cast<std::size_t>(i + 2)];
      if (param.value) {
        description += param.type == "string" ? "\"" + *param.value + "\"" : *param.value;
      } else if (param.previousClassName) {
        description += *param.previousClassName;
      } else if (param.className) {
        description += *param.className + " (" + (param.isInstance ? "instance" : "class") + ")";
      } else {
        description += "?";
      }
    }
    if (i < count - 2) description += " ";
  }
  return description + "]";
}

std::string PloverCrashDoctorFunctionCall::descriptionWithParamCount(int paramCount) const {
  if (auto objc = descriptionForObjCCall()) return *objc;
  std::string description = "Function: " + orNull(name) + "\n";
  const int count = std::min(paramCount, static_cast<int>(params.size()));
  for (int i = 0; i < count; ++i) {
    const PloverCrashDoctorParam& param = params[static_cast<std::size_t>(i)];
    if (i > 0) description += "\n";
    description += "Param " + std::to_string(i + 1) + ":  ";
    if (param.className) {
      description += *param.className + " (" + (param.isInstance ? "instance" : "class") + ") ";
    }
    if (param.value) description += *param.value + " ";
    if (param.previousClassName) description += "(was " + *param.previousClassName + ")";
  }
  return description;
}

const PloverCrashReportJSON& PloverCrashDoctor::recrashReport(const PloverCrashReportJSON& report) const {
  return member(report, "recrash_report");
}

const PloverCrashReportJSON& PloverCrashDoctor::systemReport(const PloverCrashReportJSON& report) const {
  return member(report, "system");
}

const PloverCrashReportJSON& PloverCrashDoctor::crashReport(const PloverCrashReportJSON& report) const {
  return member(report, "crash");
}

const PloverCrashReportJSON& PloverCrashDoctor::infoReport(const PloverCrashReportJSON& report) const {
  return member(report, "report");
}

const PloverCrashReportJSON& PloverCrashDoctor::errorReport(const PloverCrashReportJSON& report) const {
  return member(crashReport(report), "error");
}

PloverCrashDoctorCPUFamily PloverCrashDoctor::cpuFamily(const PloverCrashReportJSON& report) const {
  const std::optional<std::string> arch = text(member(systemReport(report), "cpu_arch"));
  if (!arch) return PloverCrashDoctorCPUFamily::unknown;
  if (arch->rfind("arm", 0) == 0) return PloverCrashDoctorCPUFamily::arm;
  if (arch->size() >= 4 && (*arch)[0] == 'i' && arch->compare(2, 2, "86") == 0) {
    return PloverCrashDoctorCPUFamily::x86;
  }
  std::string lower = *arch;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("x86_64") != std::string::npos) return PloverCrashDoctorCPUFamily::x86_64;
  return PloverCrashDoctorCPUFamily::unknown;
}

std::optional<std::string> PloverCrashDoctor::registerNameForFamily(PloverCrashDoctorCPUFamily family,
                                                                    int paramIndex) const {
  static const char* const kArm[] = {"r0", "r1", "r2", "r3"};
  static const char* const kX86[] = {"edi", "esi", "edx", "ecx"};
  static const char* const kX86_64[] = {"rdi", "rsi", "rdx", "rcx"};
  if (paramIndex < 0 || paramIndex > 3) return std::nullopt;
  switch (family) {
    case PloverCrashDoctorCPUFamily::arm:
      return kArm[paramIndex];
    case PloverCrashDoctorCPUFamily::x86:
      return kX86[paramIndex];
    case PloverCrashDoctorCPUFamily::x86_64:
      return kX86_64[paramIndex];
    case PloverCrashDoctorCPUFamily::unknown:
      break;
  }
  return std::nullopt;
}

std::optional<std::string> PloverCrashDoctor::mainExecutableNameForReport(const PloverCrashReportJSON& report) const {
  return text(member(infoReport(report), "process_name"));
}

const PloverCrashReportJSON& PloverCrashDoctor::crashedThreadReport(const PloverCrashReportJSON& report) const {
  const PloverCrashReportJSON& crash = crashReport(report);
  const PloverCrashReportJSON& crashedThread = member(crash, "crashed_thread");
  if (crashedThread.is_object()) return crashedThread;
  const PloverCrashReportJSON& threads = member(crash, "threads");
  if (threads.is_array()) {
    for (const PloverCrashReportJSON& thread : threads) {
      const PloverCrashReportJSON& crashed = member(thread, "crashed");
      if (crashed.is_boolean() && crashed.get<bool>()) return thread;
    }
  }
  return nullValue();
}

const PloverCrashReportJSON& PloverCrashDoctor::backtraceFromThreadReport(const PloverCrashReportJSON& thread) const {
  return member(member(thread, "backtrace"), "contents");
}

const PloverCrashReportJSON& PloverCrashDoctor::basicRegistersFromThreadReport(
    const PloverCrashReportJSON& thread) const {
  return member(member(thread, "registers"), "basic");
}

const PloverCrashReportJSON& PloverCrashDoctor::appBacktraceEntry(const PloverCrashReportJSON& report) const {
  const std::optional<std::string> executable = mainExecutableNameForReport(report);
  const PloverCrashReportJSON& backtrace = backtraceFromThreadReport(crashedThreadReport(report));
  if (!executable || !backtrace.is_array()) return nullValue();
  for (const PloverCrashReportJSON& entry : backtrace) {
    if (textEquals(member(entry, "object_name"), executable->c_str())) return entry;
  }
  return nullValue();
}

const PloverCrashReportJSON& PloverCrashDoctor::lastStackEntry(const PloverCrashReportJSON& report) const {
  const PloverCrashReportJSON& backtrace = backtraceFromThreadReport(crashedThreadReport(report));
  if (!backtrace.is_array() || backtrace.empty()) return nullValue();
  return backtrace.front();
}

bool PloverCrashDoctor::isInvalidAddress(const PloverCrashReportJSON& errorReport) const {
  // Here faults arrive as signals: a "mach" block without an exception name stands for no
  // Mach exception, and the signal tells.
  const PloverCrashReportJSON& machName = member(member(errorReport, "mach"), "exception_name");
  if (machName.is_string()) return textEquals(machName, "EXC_BAD_ACCESS");
  return textEquals(member(member(errorReport, "signal"), "name"), "SIGSEGV");
}

bool PloverCrashDoctor::isMathError(const PloverCrashReportJSON& errorReport) const {
  // Here faults arrive as signals: a "mach" block without an exception name stands for no
  // Mach exception, and the signal tells.
  const PloverCrashReportJSON& machName = member(member(errorReport, "mach"), "exception_name");
  if (machName.is_string()) return textEquals(machName, "EXC_ARITHMETIC");
  return textEquals(member(member(errorReport, "signal"), "name"), "SIGFPE");
}

bool PloverCrashDoctor::isMemoryCorruption(const PloverCrashReportJSON& report) const {
  const PloverCrashReportJSON& thread = crashedThreadReport(report);
  const PloverCrashReportJSON& notable = member(thread, "notable_addresses");
  if (notable.is_object()) {
    for (const auto& item : notable.items()) {
      const PloverCrashReportJSON& object = item.value();
      if (!textEquals(member(object, "type"), "string")) continue;
      const std::optional<std::string> value = text(member(object, "value"));
      if (!value) continue;
      if (value->find("autorelease pool page") != std::string::npos && value->find("corrupted") != std::string::npos) {
        return true;
      }
      if (value->find("incorrect checksum for freed object") != std::string::npos) return true;
    }
  }
  const PloverCrashReportJSON& backtrace = backtraceFromThreadReport(thread);
  if (backtrace.is_array()) {
    for (const PloverCrashReportJSON& entry : backtrace) {
      const PloverCrashReportJSON& symbol = member(entry, "symbol_name");
      if (textEquals(symbol, "objc_autoreleasePoolPush") || textEquals(symbol, "free_list_checksum_botch") ||
          textEquals(symbol, "szone_malloc_should_clear")) {
        return true;
      }
      if (textEquals(symbol, "lookUpMethod") && textEquals(member(entry, "object_name"), "libobjc.A.dylib")) {
        return true;
      }
    }
  }
  return false;
}

PloverCrashDoctorFunctionCall PloverCrashDoctor::lastFunctionCall(const PloverCrashReportJSON& report) const {
  PloverCrashDoctorFunctionCall call;
  call.name = text(member(lastStackEntry(report), "symbol_name"));
  const PloverCrashReportJSON& thread = crashedThreadReport(report);
  const PloverCrashReportJSON& registers = basicRegistersFromThreadReport(thread);
  const PloverCrashReportJSON& notable = member(thread, "notable_addresses");
  const PloverCrashDoctorCPUFamily family = cpuFamily(report);
  for (int index = 0; index < 4; ++index) {
    const std::optional<std::string> registerName = registerNameForFamily(family, index);
    if (!registerName) break;
    PloverCrashDoctorParam param;
    const PloverCrashReportJSON& value = member(registers, registerName->c_str());
    if (value.is_number_unsigned()) {
      param.address = value.get<std::uint64_t>();
    } else if (value.is_number_integer()) {
      param.address = static_cast<std::uint64_t>(value.get<std::int64_t>());
    }
    const PloverCrashReportJSON& object = member(notable, registerName->c_str());
    if (object.is_object()) {
      param.type = text(member(object, "type"));
      if (param.type == "string") {
        param.value = text(member(object, "value"));
      } else if (param.type == "objc_object") {
        param.className = text(member(object, "class"));
        param.isInstance = true;
      } else if (param.type == "objc_class") {
        param.className = text(member(object, "class"));
        param.isInstance = false;
      }
      param.previousClassName = text(member(object, "last_deallocated_obj"));
    } else {
      param.value = hexPointer(param.address);
    }
    call.params.push_back(std::move(param));
  }
  return call;
}

std::optional<std::string> PloverCrashDoctor::zombieCall(const PloverCrashDoctorFunctionCall& functionCall) const {
  if (functionCall.params.empty() || !functionCall.params[0].previousClassName) {
    return std::nullopt;
  }
  if (functionCall.name == "objc_msgSend") return functionCall.descriptionWithParamCount(4);
  if (functionCall.name == "objc_retain") return functionCall.descriptionWithParamCount(1);
  return std::nullopt;
}

bool PloverCrashDoctor::isStackOverflow(const PloverCrashReportJSON& crashedThread) const {
  const PloverCrashReportJSON& overflow = member(member(crashedThread, "stack"), "overflow");
  return overflow.is_boolean() && overflow.get<bool>();
}

bool PloverCrashDoctor::isDeadlock(const PloverCrashReportJSON& report) const {
  return textEquals(member(errorReport(report), "type"), "deadlock");
}

std::optional<std::string> PloverCrashDoctor::diagnoseCrash(const PloverCrashReportJSON& report) const {
  const PloverCrashReportJSON& crashedThread = crashedThreadReport(report);
  const std::optional<std::string> symbol = text(member(appBacktraceEntry(report), "symbol_name"));
  const PloverCrashReportJSON& error = errorReport(report);
  if (isDeadlock(report)) return "Main thread deadlocked in " + orNull(symbol);
  if (isStackOverflow(crashedThread)) return "Stack overflow in " + orNull(symbol);
  if (textEquals(member(error, "type"), "nsexception")) {
    const PloverCrashReportJSON& exception = member(error, "nsexception");
    std::optional<std::string> reason = text(member(exception, "reason"));
    if (!reason) reason = text(member(error, "reason"));
    return "Application threw exception " + orNull(text(member(exception, "name"))) + ": " + orNull(reason);
  }
  if (isMemoryCorruption(report)) return "Rogue memory write has corrupted memory.";
  if (isMathError(error)) return "Math error (usually caused from division by 0).";
  if (auto zombie = zombieCall(lastFunctionCall(report))) {
    return "Possible zombie in call: " + *zombie;
  }
  if (isInvalidAddress(error)) {
    const PloverCrashReportJSON& address = member(error, "address");
    std::uint64_t value = 0;
    if (address.is_number_unsigned()) {
      value = address.get<std::uint64_t>();
    } else if (address.is_number_integer()) {
      value = static_cast<std::uint64_t>(address.get<std::int64_t>());
    }
    if (value != 0) return "Attempted to dereference garbage pointer " + hexPointer(value) + ".";
    return std::string("Attempted to dereference null pointer.");
  }
  return std::nullopt;
}
