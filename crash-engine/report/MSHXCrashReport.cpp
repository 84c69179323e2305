#include "crash-engine/report/MSHXCrashReport.h"

#include "crash-engine/HXCrashErrors.h"
#include "crash-engine/report/HXCrashReportSchema.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kInvalidReportCode = 2;

using Report = MShxcrash__CrashReport;

bool fail(vx::Error* error, const char* message) {
  MShxcrash_populate_error(error, kInvalidReportCode, message);
  return false;
}

std::optional<std::string> optionalString(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// Seconds since 1970 as a date, or nothing when the date's clock cannot hold them (a damaged
// report: converting blindly would overflow).
std::optional<MSHXCrashReportDate> dateFromSeconds(std::int64_t seconds) {
  using Duration = MSHXCrashReportDate::duration;
  constexpr std::int64_t kMax = std::chrono::duration_cast<std::chrono::seconds>(Duration::max()).count();
  constexpr std::int64_t kMin = std::chrono::duration_cast<std::chrono::seconds>(Duration::min()).count();
  if (seconds > kMax || seconds < kMin) return std::nullopt;
  return MSHXCrashReportDate(std::chrono::duration_cast<Duration>(std::chrono::seconds(seconds)));
}

std::optional<MSHXCrashReportDate> dateFromUnsignedSeconds(std::uint64_t seconds) {
  if (seconds > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return dateFromSeconds(static_cast<std::int64_t>(seconds));
}

// An enum field of the decoded message as the number on the wire. The decoder stores any 32-bit
// value in the field, also one its enum does not name: it is read as an int, never as the enum.
template <typename Enum>
int rawEnum(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(std::int32_t));
  std::int32_t raw = 0;
  std::memcpy(&raw, &field, sizeof raw);
  return raw;
}

std::shared_ptr<MSHXCrashReportProcessorInfo> extractProcessorInfo(const Hxcrash__CrashReport__Processor* processor) {
  return std::make_shared<MSHXCrashReportProcessorInfo>(
      processor->has_encoding ? rawEnum(processor->encoding) : MSHXCrashReportProcessorTypeEncodingUnknown,
      processor->type, processor->subtype);
}

std::shared_ptr<MSHXCrashReportStackFrameInfo> extractStackFrameInfo(
    const Hxcrash__CrashReport__Thread__StackFrame* frame) {
  std::shared_ptr<MSHXCrashReportSymbolInfo> symbol;
  // A symbol without a name tells nothing: the frame keeps only its address.
  if (frame->symbol != nullptr && frame->symbol->name != nullptr) {
    symbol =
        std::make_shared<MSHXCrashReportSymbolInfo>(frame->symbol->name, frame->symbol->start_address,
                                                    frame->symbol->has_end_address ? frame->symbol->end_address : 0);
  }
  return std::make_shared<MSHXCrashReportStackFrameInfo>(frame->pc, std::move(symbol));
}

std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>> extractFrames(
    Hxcrash__CrashReport__Thread__StackFrame* const* frames, std::size_t count) {
  std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>> result;
  result.reserve(count);
  for (std::size_t i = 0; i < count; ++i) result.push_back(extractStackFrameInfo(frames[i]));
  return result;
}

struct UnpackedReport {
  Report* message = nullptr;
  ~UnpackedReport() {
    if (message != nullptr) MShxcrash__crash_report__free_unpacked(message, nullptr);
  }
};

}  // namespace

MSHXCrashReportSystemInfo::MSHXCrashReportSystemInfo(int operatingSystem, std::string operatingSystemVersion,
                                                     std::optional<std::string> operatingSystemBuild, int architecture,
                                                     std::optional<MSHXCrashReportDate> timestamp)
    : _operatingSystem(operatingSystem),
      _operatingSystemVersion(std::move(operatingSystemVersion)),
      _operatingSystemBuild(std::move(operatingSystemBuild)),
      _architecture(architecture),
      _timestamp(timestamp) {}

MSHXCrashReportBinaryImageInfo::MSHXCrashReportBinaryImageInfo(std::shared_ptr<MSHXCrashReportProcessorInfo> codeType,
                                                               std::uint64_t baseAddress, std::uint64_t size,
                                                               std::string name,
                                                               const std::optional<std::vector<std::uint8_t>>& uuid)
    : _codeType(std::move(codeType)), _imageBaseAddress(baseAddress), _imageSize(size), _imageName(std::move(name)) {
  if (uuid && !uuid->empty()) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(uuid->size() * 2);
    for (std::uint8_t byte : *uuid) {
      text.push_back(digits[byte >> 4]);
      text.push_back(digits[byte & 0xF]);
    }
    _hasImageUUID = true;
    _imageUUID = std::move(text);
  }
}

std::shared_ptr<MSHXCrashReport> MSHXCrashReport::makeWithData(const std::vector<std::uint8_t>& data,
                                                               vx::Error* error) {
  return makeWithData(data.data(), data.size(), error);
}

std::shared_ptr<MSHXCrashReport> MSHXCrashReport::makeWithData(const std::uint8_t* bytes, std::size_t length,
                                                               vx::Error* error) {
  std::shared_ptr<MSHXCrashReport> report(new MSHXCrashReport());
  if (!report->decode(bytes, length, error)) return nullptr;
  return report;
}

bool MSHXCrashReport::decode(const std::uint8_t* bytes, std::size_t length, vx::Error* error) {
  // Header: "hxcrash" and the format version.
  if (length <= 8) return fail(error, "Could not decode truncated crash log");
  if (std::memcmp(bytes, "hxcrash", 7) != 0) {
    return fail(error, "Could not decode invalid crash log header");
  }
  if (bytes[7] != 1) {
    char message[96];
    std::snprintf(message, sizeof message, "Could not decode unsupported crash report version: %d", bytes[7]);
    return fail(error, message);
  }
  UnpackedReport unpacked;
  unpacked.message = MShxcrash__crash_report__unpack(nullptr, length - 8, bytes + 8);
  if (unpacked.message == nullptr) {
    return fail(error, "An unknown error occured decoding the crash report");
  }
  const Report* r = unpacked.message;

  if (r->report_info != nullptr && r->report_info->has_uuid) {
    if (r->report_info->uuid.len != 16) {
      return fail(error, "Report UUID value is not a standard 16 bytes");
    }
    std::array<std::uint8_t, 16> uuid{};
    std::memcpy(uuid.data(), r->report_info->uuid.data, 16);
    _uuid = uuid;
  }

  // System information.
  if (r->system_info == nullptr) {
    return fail(error, "Crash report is missing System Information section");
  }
  if (r->system_info->os_version == nullptr) {
    return fail(error, "Crash report is missing System Information OS version field");
  }
  {
    const auto* s = r->system_info;
    _systemInfo = std::make_shared<MSHXCrashReportSystemInfo>(
        s->has_operating_system ? rawEnum(s->operating_system) : MSHXCrashReportOperatingSystemUnknown, s->os_version,
        optionalString(s->os_build), rawEnum(s->architecture),
        s->timestamp != 0 ? dateFromSeconds(s->timestamp) : std::nullopt);
  }

  // Machine information (optional section).
  if (r->machine_info != nullptr) {
    const auto* m = r->machine_info;
    _machineInfo = std::make_shared<MSHXCrashReportMachineInfo>(
        optionalString(m->model), m->processor != nullptr ? extractProcessorInfo(m->processor) : nullptr,
        m->processor_count, m->logical_processor_count);
  }

  // Application information.
  if (r->application_info == nullptr) {
    return fail(error, "Crash report is missing Application Information section");
  }
  if (r->application_info->identifier == nullptr) {
    return fail(error, "Crash report is missing Application Information app identifier field");
  }
  if (r->application_info->version == nullptr) {
    return fail(error, "Crash report is missing Application Information app version field");
  }
  _applicationInfo =
      std::make_shared<MSHXCrashReportApplicationInfo>(r->application_info->identifier, r->application_info->version,
                                                       optionalString(r->application_info->marketing_version));

  // Process information (optional section).
  if (r->process_info != nullptr) {
    const auto* p = r->process_info;
    _processInfo = std::make_shared<MSHXCrashReportProcessInfo>(
        optionalString(p->process_name), p->process_id, optionalString(p->process_path),
        p->has_start_time ? dateFromUnsignedSeconds(p->start_time) : std::nullopt,
        optionalString(p->parent_process_name), p->parent_process_id, p->native);
  }

  // Signal.
  if (r->signal == nullptr) return fail(error, "Crash report is missing Signal Information section");
  if (r->signal->name == nullptr) return fail(error, "Crash report is missing signal name field");
  if (r->signal->code == nullptr) return fail(error, "Crash report is missing signal code field");
  _signalInfo = std::make_shared<MSHXCrashReportSignalInfo>(r->signal->name, r->signal->code, r->signal->address);
  if (r->signal->mach_exception != nullptr) {
    const auto* mach = r->signal->mach_exception;
    if (mach->n_codes >= 256) {
      return fail(error, "Crash report includes too many Mach Exception codes");
    }
    _machExceptionInfo = std::make_shared<MSHXCrashReportMachExceptionInfo>(
        mach->type, std::vector<std::uint64_t>(mach->codes, mach->codes + mach->n_codes));
  }

  // Threads.
  if (r->n_threads == 0) return fail(error, "Crash report is missing thread state information");
  for (std::size_t i = 0; i < r->n_threads; ++i) {
    const auto* t = r->threads[i];
    auto frames = extractFrames(t->frames, t->n_frames);
    std::vector<std::shared_ptr<MSHXCrashReportRegisterInfo>> registers;
    for (std::size_t j = 0; j < t->n_registers; ++j) {
      if (t->registers[j]->name == nullptr) {
        MShxcrash_populate_error(error, kInvalidReportCode, "Missing register name in register value");
        return false;
      }
      registers.push_back(std::make_shared<MSHXCrashReportRegisterInfo>(t->registers[j]->name, t->registers[j]->value));
    }
    _threads.push_back(std::make_shared<MSHXCrashReportThreadInfo>(t->thread_number, std::move(frames), t->crashed,
                                                                   std::move(registers)));
  }

  // Images.
  if (r->n_binary_images == 0) {
    return fail(error, "Crash report is missing binary image information");
  }
  for (std::size_t i = 0; i < r->n_binary_images; ++i) {
    const auto* image = r->binary_images[i];
    if (image->name == nullptr) return fail(error, "Missing image name in image record");
    std::optional<std::vector<std::uint8_t>> uuid;
    if (image->has_uuid && image->uuid.len > 0) {
      uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
    }
    _images.push_back(std::make_shared<MSHXCrashReportBinaryImageInfo>(
        image->code_type != nullptr ? extractProcessorInfo(image->code_type) : nullptr, image->base_address,
        image->size, image->name, uuid));
  }

  // Exception (optional section).
  if (r->exception != nullptr) {
    if (r->exception->name == nullptr) {
      return fail(error, "Crash report is missing exception name field");
    }
    if (r->exception->reason == nullptr) {
      return fail(error, "Crash report is missing exception reason field");
    }
    std::optional<std::vector<std::shared_ptr<MSHXCrashReportStackFrameInfo>>> frames;
    if (r->exception->n_frames > 0) {
      frames = extractFrames(r->exception->frames, r->exception->n_frames);
    }
    _exceptionInfo =
        std::make_shared<MSHXCrashReportExceptionInfo>(r->exception->name, r->exception->reason, std::move(frames));
  }
  return true;
}

std::optional<std::string> MSHXCrashReport::uuidString() const {
  if (!_uuid) return std::nullopt;
  char text[37];
  const auto& u = *_uuid;
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return std::string(text);
}

std::shared_ptr<MSHXCrashReportBinaryImageInfo> MSHXCrashReport::imageForAddress(std::uint64_t address) const {
  for (const auto& image : _images) {
    if (image->imageBaseAddress() <= address && address - image->imageBaseAddress() < image->imageSize()) {
      return image;
    }
  }
  return nullptr;
}
