#include "crash-engine/report/MSHXCrashReportTextFormatter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

const std::string kUnknown = "???";

std::string orUnknown(const std::optional<std::string>& text) { return text ? *text : kUnknown; }

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.rfind('/');
  if (slash == std::string::npos || p.size() == 1) return p;
  return p.substr(slash + 1);
}

// Pads to width characters (not bytes), so names in any script line up.
std::string padRight(const std::string& text, std::size_t width) {
  std::size_t chars = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++chars;
  }
  return chars >= width ? text : text + std::string(width - chars, ' ');
}

std::string osName(int os) {
  switch (os) {
    case 0:
    case 2:
      return "Mac OS X";
    case 1:
      return "iPhone OS";
    case 4:
      return "Apple tvOS";
    default:
      return format("Unknown (%d)", os);
  }
}

struct CodeType {
  std::string name;
  bool lp64;
};

CodeType codeTypeOf(const MSHXCrashReport& report) {
  for (const auto& image : report.images()) {
    const auto& ct = image->codeType();
    if (!ct || ct->typeEncoding() != MSHXCrashReportProcessorTypeEncodingMach) continue;
    switch (ct->type()) {
      case 7:
        return {"X86", false};
      case 12:
        return {"ARM", false};
      case 18:
        return {"PPC", false};
      case 0x1000007:
        return {"X86-64", true};
      case 0x100000C:
        return {"ARM-64", true};
      default:
        break;
    }
  }
  const int arch = report.systemInfo()->architecture();
  switch (arch) {
    case 0:
      return {"X86", false};
    case 1:
      return {"X86-64", true};
    case 2:
    case 5:
      return {"ARM", false};
    case 3:
      return {"PPC", false};
    default:
      return {format("Unknown (%d)", arch), true};
  }
}

std::string imageArchitecture(const MSHXCrashReportBinaryImageInfo& image) {
  const auto& ct = image.codeType();
  if (!ct || ct->typeEncoding() != MSHXCrashReportProcessorTypeEncodingMach) return kUnknown;
  switch (ct->type()) {
    case 7:
      return "i386";
    case 12:
      switch (ct->subtype()) {
        case 6:
          return "armv6";
        case 9:
          return "armv7";
        case 11:
          return "armv7s";
        default:
          return "arm-unknown";
      }
    case 18:
      return "powerpc";
    case 0x1000007:
      return "x86_64";
    case 0x100000C:
      switch (ct->subtype()) {
        case 0:
          return "arm64";
        case 13:
          return "armv8";
        default:
          return "arm64-unknown";
      }
    default:
      return kUnknown;
  }
}

std::string dateDescription(const std::optional<MSHXCrashReportDate>& date) {
  if (!date) return kUnknown;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(*date);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return text;
}

}  // namespace

std::string MSHXCrashReportTextFormatter::formatStackFrame(const MSHXCrashReportStackFrameInfo& frame,
                                                           std::int64_t frameIndex, const MSHXCrashReport& report,
                                                           bool lp64) {
  const std::uint64_t pc = frame.instructionPointer();
  const auto image = report.imageForAddress(pc);
  std::string symbolPart;
  if (const auto& symbol = frame.symbolInfo()) {
    std::string name = symbol->symbolName();
    if (name.size() > 1 && name[0] == '_') {
      const int os = report.systemInfo()->operatingSystem();
      if (os == 0 || os == 1 || os == 2 || os == 4) {
        name.erase(0, 1);
      } else {
        std::fprintf(stderr, "Symbol prefix rules are unknown for this OS!\n");
      }
    }
    symbolPart = format("%s + %lld", name.c_str(), static_cast<long long>(pc - symbol->startAddress()));
  } else {
    const std::uint64_t base = image ? image->imageBaseAddress() : 0;
    symbolPart =
        format("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(image ? pc - base : 0));
  }
  const std::string imageName = image ? lastPathComponent(image->imageName()) : kUnknown;
  return format("%-4lld%s 0x%0*llx %s\n", static_cast<long long>(frameIndex), padRight(imageName, 35).c_str(),
                lp64 ? 16 : 8, static_cast<unsigned long long>(pc), symbolPart.c_str());
}

std::string MSHXCrashReportTextFormatter::stringValueForCrashReport(const MSHXCrashReport& report, int) {
  std::string text;
  const CodeType codeType = codeTypeOf(report);
  const bool lp64 = codeType.lp64;

  text += format("Incident Identifier: %s\n", orUnknown(report.uuidString()).c_str());
  text += "CrashReporter Key:   TODO\n";
  text += format("Hardware Model:      %s\n",
                 report.hasMachineInfo() ? orUnknown(report.machineInfo()->modelName()).c_str() : kUnknown.c_str());

  std::string processName = kUnknown, processId = kUnknown, processPath = kUnknown, parentName = kUnknown,
              parentId = kUnknown;
  if (report.hasProcessInfo()) {
    const auto& p = *report.processInfo();
    processName = orUnknown(p.processName());
    processId = std::to_string(p.processID());
    processPath = orUnknown(p.processPath());
    parentName = orUnknown(p.parentProcessName());
    parentId = std::to_string(p.parentProcessID());
  }
  const auto& app = *report.applicationInfo();
  const std::string version = app.applicationMarketingVersion()
                                  ? *app.applicationMarketingVersion() + " (" + app.applicationVersion() + ")"
                                  : app.applicationVersion();
  text += format("Process:         %s [%s]\n", processName.c_str(), processId.c_str());
  text += format("Path:            %s\n", processPath.c_str());
  text += format("Identifier:      %s\n", app.applicationIdentifier().c_str());
  text += format("Version:         %s\n", version.c_str());
  text += format("Code Type:       %s\n", codeType.name.c_str());
  text += format("Parent Process:  %s [%s]\n", parentName.c_str(), parentId.c_str());

  const auto& sys = *report.systemInfo();
  text += "\n";
  text += format("Date/Time:       %s\n", dateDescription(sys.timestamp()).c_str());
  text += format("OS Version:      %s %s (%s)\n", osName(sys.operatingSystem()).c_str(),
                 sys.operatingSystemVersion().c_str(), orUnknown(sys.operatingSystemBuild()).c_str());
  text += "Report Version:  104\n";
  text += "\n";

  const auto& signal = *report.signalInfo();
  text += format("Exception Type:  %s\n", signal.name().c_str());
  text += format("Exception Codes: %s at 0x%llx\n", signal.code().c_str(),
                 static_cast<unsigned long long>(signal.address()));
  std::shared_ptr<MSHXCrashReportThreadInfo> lastCrashed;
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) {
      text += format("Crashed Thread:  %lld\n", static_cast<long long>(thread->threadNumber()));
      break;
    }
  }
  text += "\n";

  if (report.hasExceptionInfo()) {
    const auto& exception = *report.exceptionInfo();
    text += "Application Specific Information:\n";
    text += format("*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                   exception.exceptionName().c_str(), exception.exceptionReason().c_str());
    text += "\n";
    if (exception.stackFrames() && !exception.stackFrames()->empty()) {
      text += "Last Exception Backtrace:\n";
      std::int64_t index = 0;
      for (const auto& frame : *exception.stackFrames()) {
        text += formatStackFrame(*frame, index++, report, lp64);
      }
      text += "\n";
    }
  }

  for (const auto& thread : report.threads()) {
    if (thread->crashed()) {
      text += format("Thread %lld Crashed:\n", static_cast<long long>(thread->threadNumber()));
      lastCrashed = thread;
    } else {
      text += format("Thread %lld:\n", static_cast<long long>(thread->threadNumber()));
    }
    std::int64_t index = 0;
    for (const auto& frame : thread->stackFrames()) {
      text += formatStackFrame(*frame, index++, report, lp64);
    }
    text += "\n";
  }

  if (lastCrashed) {
    text += format("Thread %lld crashed with %s Thread State:\n", static_cast<long long>(lastCrashed->threadNumber()),
                   codeType.name.c_str());
    const bool arm =
        report.hasMachineInfo() && report.machineInfo()->processorInfo() &&
        report.machineInfo()->processorInfo()->typeEncoding() == MSHXCrashReportProcessorTypeEncodingMach &&
        (report.machineInfo()->processorInfo()->type() & 0xFFFFFF) == 12;
    std::size_t count = 0;
    for (const auto& reg : lastCrashed->registers()) {
      std::string name = reg->registerName();
      if (arm && name == "r12") name = "ip";
      text += lp64 ? format("%6s: 0x%016llx ", name.c_str(), static_cast<unsigned long long>(reg->registerValue()))
                   : format("%6s: 0x%08llx ", name.c_str(), static_cast<unsigned long long>(reg->registerValue()));
      if (++count % 4 == 0) text += "\n";
    }
    if (count % 4 != 0) text += "\n";
    text += "\n";
  }

  text += "Binary Images:\n";
  auto images = report.images();
  std::stable_sort(images.begin(), images.end(),
                   [](const auto& a, const auto& b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
  const std::string processPathForImages = report.hasProcessInfo() && report.processInfo()->processPath()
                                               ? *report.processInfo()->processPath()
                                               : std::string();
  for (const auto& image : images) {
    const std::uint64_t base = image->imageBaseAddress();
    const std::uint64_t size = image->imageSize() == 0 ? 1 : image->imageSize();
    const std::uint64_t end = base + size - 1;
    const char* marker =
        report.hasProcessInfo() && report.processInfo()->processPath() && image->imageName() == processPathForImages
            ? "+"
            : " ";
    const std::string line =
        lp64 ? format("%#18llx - %#18llx %s%s %s  <%s> %s\n", static_cast<unsigned long long>(base),
                      static_cast<unsigned long long>(end), marker, lastPathComponent(image->imageName()).c_str(),
                      imageArchitecture(*image).c_str(), orUnknown(image->imageUUID()).c_str(),
                      image->imageName().c_str())
             : format("%#10llx - %#10llx %s%s %s  <%s> %s\n", static_cast<unsigned long long>(base),
                      static_cast<unsigned long long>(end), marker, lastPathComponent(image->imageName()).c_str(),
                      imageArchitecture(*image).c_str(), orUnknown(image->imageUUID()).c_str(),
                      image->imageName().c_str());
    text += line;
  }
  return text;
}

std::vector<std::uint8_t> MSHXCrashReportTextFormatter::formatReport(const MSHXCrashReport& report, vx::Error*) {
  const std::string text = stringValueForCrashReport(report, _textFormat);
  std::vector<std::uint8_t> out;
  out.reserve(text.size());
  if (_stringEncoding == MSHXCrashStringEncodingASCII) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        out.push_back(c);
      } else if ((c & 0xC0) != 0x80) {
        out.push_back('?');  // one mark per character, not per byte
      }
    }
  } else {
    out.assign(text.begin(), text.end());
  }
  return out;
}
