#include "crash-engine/report/MSHXCrashLogWriter.h"

#include "crash-engine/signals/HXCrashAsyncSignalInfo.h"
#include "crash-engine/host/HXCrashSysctl.h"
#include "crash-engine/thread/MSHXCrashFrame.h"
#include "crash-engine/host/MSHXCrashHostInfo.h"
#include "crash-engine/host/MSHXCrashProcessInfo.h"
#include "crash-engine/symbols/MSHXCrashSymbolication.h"
#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "platform/darwin/DMI.h"
#include "platform/foundation/Error.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>

// The schema has no value for Linux: the report names the operating system as unknown and the
// architecture as what this build runs on.
const std::int32_t MSHXCrashReportHostOperatingSystem = 3;  // OS_UNKNOWN
#if defined(__x86_64__)
const std::int32_t MSHXCrashReportHostArchitecture = 1;  // X86_64
#elif defined(__i386__)
const std::int32_t MSHXCrashReportHostArchitecture = 0;  // X86_32
#else
const std::int32_t MSHXCrashReportHostArchitecture = 6;  // ARCHITECTURE_UNKNOWN
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// Set-up helpers (allocate).

char* copyString(const char* text) {
  if (text == nullptr) return nullptr;
  return strdup(text);
}

char* copyString(const std::string& text) { return strdup(text.c_str()); }

// A DMI field as a new string, or null when the machine exposes none (or an empty one).
char* readDMIField(const char* field) {
  char text[512];
  if (vx::dmi_read(field, text, sizeof text) <= 0) return nullptr;
  return copyString(text);
}

// ---------------------------------------------------------------------------------------------
// Encoder.

std::size_t varintSize(std::uint64_t value) {
  std::size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

std::size_t encodeVarint(std::uint64_t value, std::uint8_t* out) {
  std::size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<std::uint8_t>(value);
  return n;
}

void put(MShxcrash_async_file* file, const void* data, std::size_t length) {
  if (file != nullptr && length > 0) MShxcrash_async_file_write(file, data, length);
}

// Packs a nested message: a size pass of body (file null), the key with the length, then the
// write pass. Returns the field's whole size.
template <class Body>
std::size_t packMessage(MShxcrash_async_file* file, std::uint32_t field, Body&& body) {
  const std::uint32_t length = static_cast<std::uint32_t>(body(nullptr));
  std::size_t size = MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_MESSAGE, &length);
  if (file != nullptr) body(file);
  return size + length;
}

std::size_t packString(MShxcrash_async_file* file, std::uint32_t field, const char* text) {
  // A required text that is missing is written empty, so the message stays complete.
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_STRING, text != nullptr ? text : "");
}

std::size_t packU64(MShxcrash_async_file* file, std::uint32_t field, std::uint64_t value) {
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_UINT64, &value);
}

std::size_t packU32(MShxcrash_async_file* file, std::uint32_t field, std::uint32_t value) {
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_UINT32, &value);
}

std::size_t packBool(MShxcrash_async_file* file, std::uint32_t field, bool value) {
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_BOOL, &value);
}

std::size_t packEnum(MShxcrash_async_file* file, std::uint32_t field, std::int32_t value) {
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_ENUM, &value);
}

// ---------------------------------------------------------------------------------------------
// Section packers: each returns the body size.

std::size_t hxcrash_pack_processor(MShxcrash_async_file* file, std::uint64_t type, std::uint64_t subtype) {
  std::size_t rv = packEnum(file, 1, 1);  // TYPE_ENCODING_MACH
  rv += packU64(file, 2, type);
  rv += packU64(file, 3, subtype);
  return rv;
}

std::size_t hxcrash_pack_report_info(MShxcrash_async_file* file, MShxcrash_log_writer* writer) {
  std::size_t rv = packBool(file, 1, writer->user_requested);
  MShxcrash_writer_binary_data uuid{16, writer->report_uuid};
  rv += MShxcrash_writer_pack(file, 2, MSHXCRASH_FIELD_BYTES, &uuid);
  return rv;
}

std::size_t hxcrash_pack_system_info(MShxcrash_async_file* file, MShxcrash_log_writer* writer, std::int64_t timestamp) {
  std::size_t rv = packEnum(file, 1, MSHXCrashReportHostOperatingSystem);
  rv += packString(file, 2, writer->os_version);
  if (writer->os_build != nullptr) rv += packString(file, 5, writer->os_build);
  rv += packEnum(file, 3, MSHXCrashReportHostArchitecture);
  rv += MShxcrash_writer_pack(file, 4, MSHXCRASH_FIELD_INT64, &timestamp);
  return rv;
}

std::size_t hxcrash_pack_machine_info(MShxcrash_async_file* file, MShxcrash_log_writer* writer) {
  std::size_t rv = 0;
  if (writer->model != nullptr) rv += packString(file, 1, writer->model);
  rv += packMessage(file, 2, [&](MShxcrash_async_file* f) {
    return hxcrash_pack_processor(f, writer->cpu_type, writer->cpu_subtype);
  });
  rv += packU32(file, 3, writer->processor_count);
  rv += packU32(file, 4, writer->logical_processor_count);
  return rv;
}

std::size_t hxcrash_pack_application_info(MShxcrash_async_file* file, MShxcrash_log_writer* writer) {
  std::size_t rv = packString(file, 1, writer->application_identifier);
  rv += packString(file, 2, writer->application_version);
  if (writer->application_marketing_version != nullptr) {
    rv += packString(file, 3, writer->application_marketing_version);
  }
  return rv;
}

std::size_t hxcrash_pack_process_info(MShxcrash_async_file* file, MShxcrash_log_writer* writer) {
  std::size_t rv = 0;
  if (writer->process_name != nullptr) rv += packString(file, 1, writer->process_name);
  rv += packU32(file, 2, writer->process_id);
  if (writer->process_path != nullptr) rv += packString(file, 3, writer->process_path);
  if (writer->parent_process_name != nullptr) {
    rv += packString(file, 4, writer->parent_process_name);
  }
  rv += packU32(file, 5, writer->parent_process_id);
  rv += packBool(file, 6, writer->native);
  rv += packU64(file, 7, writer->process_start_time);
  return rv;
}

}  // namespace

// A frame's symbol, found once during the walk and packed from here by every pass, so the size
// and write passes cannot disagree. Names live in the arena beside it (256 bytes per frame).
struct MShxcrash_writer_frame_symbol {
  bool present;
  std::uint64_t start;
};

struct MShxcrash_writer_symbol_arena {
  MShxcrash_writer_frame_symbol thread_frames[MSHXCRASH_WRITER_MAX_FRAMES];
  char thread_names[MSHXCRASH_WRITER_MAX_FRAMES][256];
  MShxcrash_writer_frame_symbol exception_frames[MSHXCRASH_WRITER_MAX_FRAMES];
  char exception_names[MSHXCRASH_WRITER_MAX_FRAMES][256];
};

namespace {

using FrameSymbol = MShxcrash_writer_frame_symbol;

std::size_t hxcrash_pack_symbol(MShxcrash_async_file* file, const FrameSymbol* symbol, const char* name) {
  std::size_t rv = packString(file, 1, name);
  rv += packU64(file, 2, symbol->start);
  return rv;
}

// One StackFrame body: the pc and, when the frame was named, its symbol.
std::size_t hxcrash_writer_write_thread_frame(MShxcrash_async_file* file, std::uint64_t pc,
                                              const FrameSymbol* symbol = nullptr, const char* name = nullptr) {
  std::size_t rv = packU64(file, 3, pc);
  if (symbol != nullptr && symbol->present) {
    rv += packMessage(file, 6, [&](MShxcrash_async_file* f) { return hxcrash_pack_symbol(f, symbol, name); });
  }
  return rv;
}

std::size_t frameFieldSize(std::uint64_t pc, const FrameSymbol* symbol, const char* name) {
  const std::size_t body = hxcrash_writer_write_thread_frame(nullptr, pc, symbol, name);
  return 1 + varintSize(body) + body;
}

struct SymbolTarget {
  FrameSymbol* symbol;
  char* name;
};

void recordSymbol(hxcrash_vm_address_t address, const char* name, void* context) {
  auto* target = static_cast<SymbolTarget*>(context);
  std::size_t length = 0;
  while (length < 255 && name[length] != '\0') {
    target->name[length] = name[length];
    ++length;
  }
  target->name[length] = '\0';
  target->symbol->start = address;
  target->symbol->present = true;
}

// Crash time. Names the frame at pc (a return address unless first: then looked up one byte back,
// inside the call, as the unwinders do) into symbol and name; absent when no image or symbol
// holds it.
void lookupFrameSymbol(MShxcrash_async_image_list* image_list, std::int32_t strategy,
                       MShxcrash_async_symbol_cache* cache, std::uint64_t pc, bool first, FrameSymbol* symbol,
                       char* name) {
  symbol->present = false;
  symbol->start = 0;
  name[0] = '\0';
  if (strategy == 0) return;
  const std::uint64_t lookupPc = (!first && pc > 0) ? pc - 1 : pc;
  MShxcrash_async_image_list_set_reading(image_list, true);
  MShxcrash_async_macho* image = MShxcrash_async_image_containing_address(image_list, lookupPc);
  if (image != nullptr) {
    SymbolTarget target{symbol, name};
    MShxcrash_async_find_symbol(image, strategy, cache, lookupPc, recordSymbol, &target);
  }
  MShxcrash_async_image_list_set_reading(image_list, false);
}

// One thread's walk, taken once and packed by both passes, so the size pass and the write pass
// cannot disagree (and the stack is walked once, not twice). Lives on the crash handler's stack.
struct ThreadCapture {
  bool has_state;
  std::uint32_t reg_count;
  const char* reg_names[MSHXCRASH_X86_64_REG_COUNT];
  std::uint64_t reg_values[MSHXCRASH_X86_64_REG_COUNT];
  std::uint32_t frame_count;
  std::uint64_t pcs[MSHXCRASH_WRITER_MAX_FRAMES];
  // The frames' symbols, in the writer's arena (null without symbolication).
  FrameSymbol* symbols;
  char (*names)[256];
};

std::size_t registerFieldSize(const char* name, std::uint64_t value) {
  std::size_t body = packString(nullptr, 1, name);
  body += packU64(nullptr, 2, value);
  return 1 + varintSize(body) + body;
}

// Walks the thread from state (null: no registers, no frames): for the crashed thread the
// registers of the first frame, then the frames while the body stays within max_body bytes
// (and at most 512 of them). Diagnostics are written here, once per thread.
void hxcrash_writer_walk_thread(const MShxcrash_log_writer* writer, MShxcrash_async_image_list* image_list,
                                std::uint32_t thread_number, bool crashed, const hxcrash_async_thread_state* state,
                                std::size_t max_body, ThreadCapture* capture) {
  capture->has_state = state != nullptr;
  capture->reg_count = 0;
  capture->frame_count = 0;
  MShxcrash_writer_symbol_arena* arena = writer->symbol_strategy != 0 ? writer->symbol_arena : nullptr;
  capture->symbols = arena != nullptr ? arena->thread_frames : nullptr;
  capture->names = arena != nullptr ? arena->thread_names : nullptr;
  if (state == nullptr) return;
  MShxcrash_async_symbol_cache cache;
  MShxcrash_async_symbol_cache_init(&cache);
  std::size_t body = packU32(nullptr, 1, thread_number) + packBool(nullptr, 3, crashed);

  MSplframe_cursor cursor;
  MSplframe_error_t ferr = MSplframe_cursor_init(&cursor, vx::mach_task_self(), state, image_list);
  if (ferr != MSPLFRAME_OK) {
    MSHXCF_DEBUG("An error occured initializing the frame cursor: %s", MSplframe_strerror(ferr));
    MShxcrash_async_symbol_cache_free(&cache);
    return;
  }
  bool cut = false;
  while ((ferr = MSplframe_cursor_next(&cursor)) == MSPLFRAME_OK) {
    if (crashed && capture->frame_count == 0 && capture->reg_count == 0) {
      std::size_t regcount = MSplframe_cursor_get_regcount(&cursor);
      if (regcount > MSHXCRASH_X86_64_REG_COUNT) regcount = MSHXCRASH_X86_64_REG_COUNT;
      for (std::size_t i = 0; i < regcount; ++i) {
        const auto regnum = static_cast<hxcrash_regnum_t>(i);
        std::uint64_t value = 0;
        const MSplframe_error_t rerr = MSplframe_cursor_get_reg(&cursor, regnum, &value);
        if (rerr != MSPLFRAME_OK) {
          MSHXCF_DEBUG("Could not fetch register %i value: %s", static_cast<int>(i), MSplframe_strerror(rerr));
          value = 0;
        }
        capture->reg_names[i] = MSplframe_cursor_get_regname(&cursor, regnum);
        capture->reg_values[i] = value;
        body += registerFieldSize(capture->reg_names[i], value);
      }
      capture->reg_count = static_cast<std::uint32_t>(regcount);
    }
    std::uint64_t pc = 0;
    const MSplframe_error_t perr = MSplframe_cursor_get_reg(&cursor, MSHXCRASH_REG_IP, &pc);
    if (perr != MSPLFRAME_OK) {
      MSHXCF_DEBUG("Could not retrieve frame PC register: %s", MSplframe_strerror(perr));
      break;
    }
    FrameSymbol* symbol = nullptr;
    const char* name = nullptr;
    if (arena != nullptr) {
      symbol = &capture->symbols[capture->frame_count];
      name = capture->names[capture->frame_count];
      lookupFrameSymbol(image_list, writer->symbol_strategy, &cache, pc, capture->frame_count == 0, symbol,
                        capture->names[capture->frame_count]);
    }
    // Stop adding frames before the report would pass its size limit.
    const std::size_t frameSize = frameFieldSize(pc, symbol, name);
    if (body + frameSize > max_body) {
      cut = true;
      break;
    }
    body += frameSize;
    capture->pcs[capture->frame_count++] = pc;
    if (capture->frame_count >= MSHXCRASH_WRITER_MAX_FRAMES) break;
  }
  if (cut) {
    MSHXCF_DEBUG("Report size limit reached: thread %u written with %u frames", thread_number, capture->frame_count);
  } else if (ferr != MSPLFRAME_NO_FRAME) {
    MSHXCF_DEBUG("Terminated stack walking early: %s", MSplframe_strerror(ferr));
  }
  MSplframe_cursor_free(&cursor);
  MShxcrash_async_symbol_cache_free(&cache);
}

// One Thread body from a capture: number, crashed flag, registers (all before the first
// frame), frames.
std::size_t hxcrash_writer_write_thread(MShxcrash_async_file* file, std::uint32_t thread_number, bool crashed,
                                        const ThreadCapture* capture) {
  std::size_t rv = packU32(file, 1, thread_number);
  rv += packBool(file, 3, crashed);
  for (std::uint32_t i = 0; i < capture->reg_count; ++i) {
    rv += packMessage(file, 4, [&](MShxcrash_async_file* f) {
      std::size_t body = packString(f, 1, capture->reg_names[i]);
      body += packU64(f, 2, capture->reg_values[i]);
      return body;
    });
  }
  for (std::uint32_t i = 0; i < capture->frame_count; ++i) {
    const std::uint64_t pc = capture->pcs[i];
    const FrameSymbol* symbol = capture->symbols != nullptr ? &capture->symbols[i] : nullptr;
    const char* name = capture->names != nullptr ? capture->names[i] : nullptr;
    rv += packMessage(file, 2,
                      [&](MShxcrash_async_file* f) { return hxcrash_writer_write_thread_frame(f, pc, symbol, name); });
  }
  return rv;
}

std::size_t hxcrash_pack_binary_image(MShxcrash_async_file* file, MShxcrash_async_macho* image) {
  std::size_t rv = packU64(file, 2, image->text_size);
  rv += packU64(file, 1, image->header_addr);
  rv += packString(file, 3, image->name);
  std::uint8_t uuidBytes[16];
  if (MShxcrash_async_image_uuid(image, uuidBytes)) {
    MShxcrash_writer_binary_data uuid{16, uuidBytes};
    rv += MShxcrash_writer_pack(file, 4, MSHXCRASH_FIELD_BYTES, &uuid);
  }
  const auto type = static_cast<std::uint32_t>(MShxcrash_async_macho_cpu_type(image));
  const auto subtype = static_cast<std::uint32_t>(MShxcrash_async_macho_cpu_subtype(image));
  rv += packMessage(file, 5, [&](MShxcrash_async_file* f) { return hxcrash_pack_processor(f, type, subtype); });
  return rv;
}

// How much of the exception goes into the report: the leading bytes of its name and reason
// and the leading return addresses. Cut only when the whole exception does not fit.
struct ExceptionCut {
  std::size_t name_length;
  std::size_t reason_length;
  std::size_t frame_count;
};

std::size_t textLength(const char* text) {
  std::size_t length = 0;
  if (text != nullptr) {
    while (text[length] != '\0') ++length;
  }
  return length;
}

// Text packed with an explicit length (same encoding as a string field).
std::size_t packText(MShxcrash_async_file* file, std::uint32_t field, const char* text, std::size_t length) {
  MShxcrash_writer_binary_data data{length, reinterpret_cast<const std::uint8_t*>(text)};
  return MShxcrash_writer_pack(file, field, MSHXCRASH_FIELD_BYTES, &data);
}

// The longest prefix of text, at most length bytes, that does not split a UTF-8 sequence.
std::size_t utf8Prefix(const char* text, std::size_t length) {
  while (length > 0 && (static_cast<std::uint8_t>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

ExceptionCut wholeException(const MShxcrash_log_writer* writer) {
  std::size_t count = writer->uncaught_exception.callstack_count;
  if (count > MSHXCRASH_WRITER_MAX_FRAMES) count = MSHXCRASH_WRITER_MAX_FRAMES;
  return {textLength(writer->uncaught_exception.name), textLength(writer->uncaught_exception.reason), count};
}

std::size_t hxcrash_writer_write_exception(MShxcrash_async_file* file, MShxcrash_log_writer* writer,
                                           const ExceptionCut& cut) {
  const char* name = writer->uncaught_exception.name != nullptr ? writer->uncaught_exception.name : "";
  const char* reason = writer->uncaught_exception.reason != nullptr ? writer->uncaught_exception.reason : "";
  std::size_t rv = packText(file, 1, name, cut.name_length);
  rv += packText(file, 2, reason, cut.reason_length);
  const std::size_t count = cut.frame_count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t pc = writer->uncaught_exception.callstack[i];
    MShxcrash_writer_symbol_arena* arena = writer->symbol_strategy != 0 ? writer->symbol_arena : nullptr;
    const FrameSymbol* symbol = arena != nullptr ? &arena->exception_frames[i] : nullptr;
    const char* symbolName = arena != nullptr ? arena->exception_names[i] : nullptr;
    rv += packMessage(
        file, 3, [&](MShxcrash_async_file* f) { return hxcrash_writer_write_thread_frame(f, pc, symbol, symbolName); });
  }
  return rv;
}

std::size_t hxcrash_pack_mach_exception(MShxcrash_async_file* file, const MShxcrash_log_mach_signal_info* mach) {
  std::size_t rv = packU64(file, 1, static_cast<std::uint64_t>(static_cast<std::int64_t>(mach->type)));
  for (std::uint32_t i = 0; i < mach->code_count; ++i) {
    rv += packU64(file, 2, static_cast<std::uint64_t>(mach->code[i]));
  }
  return rv;
}

std::size_t hxcrash_writer_write_signal(MShxcrash_async_file* file, const MShxcrash_log_signal_info* siginfo) {
  const bool log = file != nullptr;
  const MShxcrash_log_bsd_signal_info* bsd = siginfo->bsd_info;
  char signame_buf[10];
  char sigcode_buf[10];
  const char* signame = MShxcrash_async_signal_signame(bsd->signo);
  const char* sigcode = MShxcrash_async_signal_sigcode(bsd->signo, bsd->code);
  if (signame == nullptr) {
    if (log) MSHXCF_DEBUG("Warning -- unhandled signal number (signo=%d). This is a bug.", bsd->signo);
    MShxcrash_async_snprintf(signame_buf, sizeof signame_buf, "#%d", bsd->signo);
    signame = signame_buf;
  }
  if (sigcode == nullptr) {
    if (log) {
      MSHXCF_DEBUG("Warning -- unhandled signal sicode (signo=%d, code=%d). This is a bug.", bsd->signo, bsd->code);
    }
    MShxcrash_async_snprintf(sigcode_buf, sizeof sigcode_buf, "#%d", bsd->code);
    sigcode = sigcode_buf;
  }
  std::size_t rv = packString(file, 1, signame);
  rv += packString(file, 2, sigcode);
  rv += packU64(file, 3, bsd->address);
  if (siginfo->mach_info != nullptr) {
    rv += packMessage(file, 4,
                      [&](MShxcrash_async_file* f) { return hxcrash_pack_mach_exception(f, siginfo->mach_info); });
  }
  return rv;
}

// Size of a message field whose body has the given size.
std::size_t messageFieldSize(std::size_t body) { return 1 + varintSize(body) + body; }

// The exception cut to fit into room bytes (as one message field): return addresses first,
// then the name, then the reason keep what they can. Texts are cut between UTF-8 sequences.
ExceptionCut fitException(MShxcrash_log_writer* writer, std::size_t room) {
  const ExceptionCut whole = wholeException(writer);
  auto size = [&](const ExceptionCut& cut) {
    return messageFieldSize(hxcrash_writer_write_exception(nullptr, writer, cut));
  };
  if (size(whole) <= room) return whole;
  ExceptionCut cut{0, 0, whole.frame_count};
  while (cut.frame_count > 0 && size(cut) > room) --cut.frame_count;
  // Each text takes what is left, at most its own length; a longer length-varint may take a
  // few bytes back.
  auto grow = [&](std::size_t ExceptionCut::*field, std::size_t length, const char* text) {
    const std::size_t base = size(cut);
    if (base >= room) return;
    std::size_t take = room - base;
    if (take > length) take = length;
    for (;;) {
      cut.*field = utf8Prefix(text, take);
      if (cut.*field == 0 || size(cut) <= room) break;
      const std::size_t over = size(cut) - room;
      take = cut.*field > over ? cut.*field - over : 0;
    }
    if (size(cut) > room) cut.*field = 0;
  };
  grow(&ExceptionCut::name_length, whole.name_length, writer->uncaught_exception.name);
  grow(&ExceptionCut::reason_length, whole.reason_length, writer->uncaught_exception.reason);
  return cut;
}

}  // namespace

// -------------------------------------------------------------------------------------------------

std::size_t MShxcrash_writer_pack(MShxcrash_async_file* file, std::uint32_t field_id, MShxcrash_writer_field_type type,
                                  const void* value) {
  std::uint8_t scratch[24];
  std::size_t keylen;
  std::uint32_t wire = 0;
  switch (type) {
    case MSHXCRASH_FIELD_SFIXED32:
    case MSHXCRASH_FIELD_FIXED32:
    case MSHXCRASH_FIELD_FLOAT:
      wire = 5;
      break;
    case MSHXCRASH_FIELD_SFIXED64:
    case MSHXCRASH_FIELD_FIXED64:
    case MSHXCRASH_FIELD_DOUBLE:
      wire = 1;
      break;
    case MSHXCRASH_FIELD_STRING:
    case MSHXCRASH_FIELD_BYTES:
    case MSHXCRASH_FIELD_MESSAGE:
      wire = 2;
      break;
    case MSHXCRASH_FIELD_INT32:
    case MSHXCRASH_FIELD_SINT32:
    case MSHXCRASH_FIELD_INT64:
    case MSHXCRASH_FIELD_SINT64:
    case MSHXCRASH_FIELD_UINT32:
    case MSHXCRASH_FIELD_UINT64:
    case MSHXCRASH_FIELD_BOOL:
    case MSHXCRASH_FIELD_ENUM:
      wire = 0;
      break;
    default:
      MSHXCF_DEBUG("Unhandled field type %d", static_cast<int>(type));
      abort();
  }
  if (field_id < (1u << 29)) {
    keylen = encodeVarint(static_cast<std::uint32_t>(field_id << 3), scratch);
  } else {
    keylen = encodeVarint(static_cast<std::uint64_t>(field_id) << 3, scratch);
  }
  scratch[0] |= static_cast<std::uint8_t>(wire);
  std::size_t n = keylen;
  const std::uint8_t* payload = nullptr;
  std::size_t payload_len = 0;

  switch (type) {
    case MSHXCRASH_FIELD_INT32: {
      const std::int32_t v = *static_cast<const std::int32_t*>(value);
      n += encodeVarint(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)), scratch + n);
      break;
    }
    case MSHXCRASH_FIELD_SINT32: {
      const std::int32_t v = *static_cast<const std::int32_t*>(value);
      const std::uint32_t zz = (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
      n += encodeVarint(zz, scratch + n);
      break;
    }
    case MSHXCRASH_FIELD_UINT32:
    case MSHXCRASH_FIELD_ENUM:
      n += encodeVarint(*static_cast<const std::uint32_t*>(value), scratch + n);
      break;
    case MSHXCRASH_FIELD_INT64:
    case MSHXCRASH_FIELD_UINT64:
      n += encodeVarint(*static_cast<const std::uint64_t*>(value), scratch + n);
      break;
    case MSHXCRASH_FIELD_SINT64: {
      const std::int64_t v = *static_cast<const std::int64_t*>(value);
      const std::uint64_t zz = (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
      n += encodeVarint(zz, scratch + n);
      break;
    }
    case MSHXCRASH_FIELD_BOOL:
      scratch[n++] = *static_cast<const std::uint8_t*>(value);
      break;
    case MSHXCRASH_FIELD_SFIXED32:
    case MSHXCRASH_FIELD_FIXED32:
    case MSHXCRASH_FIELD_FLOAT: {
      std::uint32_t v;
      MShxcrash_async_memcpy(&v, value, 4);
      for (int i = 0; i < 4; ++i) scratch[n++] = static_cast<std::uint8_t>(v >> (8 * i));
      break;
    }
    case MSHXCRASH_FIELD_SFIXED64:
    case MSHXCRASH_FIELD_FIXED64:
    case MSHXCRASH_FIELD_DOUBLE: {
      std::uint64_t v;
      MShxcrash_async_memcpy(&v, value, 8);
      for (int i = 0; i < 8; ++i) scratch[n++] = static_cast<std::uint8_t>(v >> (8 * i));
      break;
    }
    case MSHXCRASH_FIELD_STRING: {
      const char* text = static_cast<const char*>(value);
      std::size_t len = 0;
      while (text[len] != '\0') ++len;
      n += encodeVarint(len, scratch + n);
      payload = reinterpret_cast<const std::uint8_t*>(text);
      payload_len = len;
      break;
    }
    case MSHXCRASH_FIELD_BYTES: {
      const auto* data = static_cast<const MShxcrash_writer_binary_data*>(value);
      n += encodeVarint(data->len, scratch + n);
      payload = data->data;
      payload_len = data->len;
      break;
    }
    case MSHXCRASH_FIELD_MESSAGE:
      n += encodeVarint(*static_cast<const std::uint32_t*>(value), scratch + n);
      break;
  }
  put(file, scratch, n);
  put(file, payload, payload_len);
  return n + payload_len;
}

bool MShxcrash_async_image_uuid(MShxcrash_async_macho* image, std::uint8_t uuid[16]) {
  if (image->format != MShxcrash_async_image_format_macho) {
    if (!image->has_uuid) return false;
    MShxcrash_async_memcpy(uuid, image->uuid, 16);
    return true;
  }
  constexpr std::uint32_t kLcUuid = 0x1b;
  const auto* command = static_cast<const std::uint8_t*>(MShxcrash_async_macho_find_command(image, kLcUuid));
  if (command == nullptr) return false;
  // find_command hands out only commands mapped whole: cmd, cmdsize, then the 16 bytes.
  std::uint32_t cmdsize = 0;
  MShxcrash_async_memcpy(&cmdsize, command + 4, 4);
  if (image->byteorder->swap32(cmdsize) < 24) return false;
  MShxcrash_async_memcpy(uuid, command + 8, 16);
  return true;
}

MShxcrash_log_writer_thread_lister MShxcrash_log_writer_list_threads = MShxcrash_async_task_threads;

bool MShxcrash_async_task_threads(vx::thread_t* threads, std::size_t capacity, std::size_t* count) {
  *count = 0;
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0) return false;
  alignas(8) char buffer[2048];
  for (;;) {
    const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) {
      syscall(SYS_close, fd);
      return false;
    }
    if (n == 0) break;
    for (long offset = 0; offset < n;) {
      struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
      };
      const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
      offset += entry->reclen;
      std::uint64_t tid = 0;
      bool digits = entry->name[0] != '\0';
      for (const char* c = entry->name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
          digits = false;
          break;
        }
        tid = tid * 10 + static_cast<std::uint64_t>(*c - '0');
      }
      if (digits && *count < capacity) threads[(*count)++] = static_cast<vx::thread_t>(tid);
    }
  }
  syscall(SYS_close, fd);
  return true;
}

hxcrash_error_t MShxcrash_log_writer_init(MShxcrash_log_writer* writer, const char* application_identifier,
                                          const char* application_version, const char* application_marketing_version,
                                          std::int32_t symbol_strategy, bool user_requested) {
  std::memset(writer, 0, sizeof *writer);
  writer->symbol_strategy = symbol_strategy;
  writer->user_requested = user_requested;
  if (symbol_strategy != 0) {
    // Pages straight from the kernel: only those a report touches ever get memory.
    void* arena = mmap(nullptr, sizeof(MShxcrash_writer_symbol_arena), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (arena == MAP_FAILED) {
      MSHXCF_DEBUG("Could not reserve room for frame symbols; frames are written without them");
    } else {
      writer->symbol_arena = static_cast<MShxcrash_writer_symbol_arena*>(arena);
    }
  }

  // A random (version 4) UUID for the report.
  std::random_device random;
  for (std::size_t i = 0; i < 16; i += 4) {
    const std::uint32_t word = random();
    std::memcpy(writer->report_uuid + i, &word, 4);
  }
  writer->report_uuid[6] = static_cast<std::uint8_t>((writer->report_uuid[6] & 0x0F) | 0x40);
  writer->report_uuid[8] = static_cast<std::uint8_t>((writer->report_uuid[8] & 0x3F) | 0x80);

  writer->application_identifier = copyString(application_identifier);
  writer->application_version = copyString(application_version);
  writer->application_marketing_version = copyString(application_marketing_version);

  // Other threads' registers come from the signal-based capture layer.
  MShxcrash_nasync_thread_capture_install();

  const auto process = MSHXCrashProcessInfo::currentProcessInfo();
  if (process == nullptr) {
    MSHXCF_DEBUG("Could not retreive process info for target");
    return hxcrash_error_invalid_argument;
  }
  writer->process_id = static_cast<std::uint32_t>(process->processID());
  if (process->processName()) writer->process_name = copyString(*process->processName());
  writer->process_start_time = static_cast<std::uint64_t>(process->startTime().tv_sec);

  char path[PATH_MAX + 1];
  const ssize_t pathlen = readlink("/proc/self/exe", path, PATH_MAX);
  if (pathlen > 0) {
    path[pathlen] = '\0';
    writer->process_path = copyString(path);
  }

  writer->parent_process_id = static_cast<std::uint32_t>(process->parentProcessID());
  const auto parent = MSHXCrashProcessInfo::makeWithProcessID(process->parentProcessID());
  if (parent == nullptr) {
    MSHXCF_DEBUG("Could not retreive parent process name: %s", strerror(errno));
  } else if (parent->processName()) {
    writer->parent_process_name = copyString(*parent->processName());
  }

  // Machine facts from the running Linux system. The model is the board's product name where
  // the firmware tables give one; the processor is described with the Mach CPU numbers of the
  // architecture this build runs on.
  writer->model = readDMIField("product_name");
#if defined(__x86_64__)
  writer->cpu_type = static_cast<std::uint64_t>(static_cast<std::int64_t>(0x1000007));
  writer->cpu_subtype = 3;
#elif defined(__i386__)
  writer->cpu_type = 7;
  writer->cpu_subtype = 3;
#endif
  // Processors are the cores (the kernel's CPU topology), logical processors the hardware
  // threads.
  std::int32_t value = 0;
  if (MShxcrash_sysctl_int("hw.physicalcpu_max", &value)) {
    writer->processor_count = static_cast<std::uint32_t>(value);
  } else {
    MSHXCF_DEBUG("Could not retrive hw.physicalcpu_max: %s", strerror(errno));
  }
  if (MShxcrash_sysctl_int("hw.logicalcpu_max", &value)) {
    writer->logical_processor_count = static_cast<std::uint32_t>(value);
  } else {
    MSHXCF_DEBUG("Could not retrive hw.logicalcpu_max: %s", strerror(errno));
  }
  writer->native = true;

  if (char* build = MShxcrash_sysctl_string("kern.version")) {
    writer->os_build = build;
  } else {
    MSHXCF_DEBUG("Could not retrive kern.version: %s", strerror(errno));
  }

  const auto host = MSHXCrashHostInfo::currentHostInfo();
  if (host == nullptr) {
    MSHXCF_DEBUG("Could not retreive system version");
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return hxcrash_error_internal;
  }
  const auto v = host->darwinVersion();
  const std::string version =
      std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.revision);
  writer->os_version = copyString(version);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return hxcrash_error_none;
}

void MShxcrash_log_writer_set_exception(MShxcrash_log_writer* writer, const char* name, const char* reason,
                                        const std::uint64_t* return_addresses, std::size_t return_address_count) {
  if (writer->uncaught_exception.has_exception) {
    vx::fatalError("An uncaught exception was already recorded");
  }
  writer->uncaught_exception.has_exception = true;
  writer->uncaught_exception.name = copyString(name != nullptr ? name : "");
  writer->uncaught_exception.reason = copyString(reason != nullptr ? reason : "");
  if (return_addresses != nullptr && return_address_count > 0) {
    auto* stack = static_cast<std::uint64_t*>(std::malloc(sizeof(std::uint64_t) * return_address_count));
    std::memcpy(stack, return_addresses, sizeof(std::uint64_t) * return_address_count);
    writer->uncaught_exception.callstack = stack;
    writer->uncaught_exception.callstack_count = return_address_count;
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

hxcrash_error_t MShxcrash_log_writer_close(MShxcrash_log_writer*) { return hxcrash_error_none; }

void MShxcrash_log_writer_free(MShxcrash_log_writer* writer) {
  free(writer->os_version);
  free(writer->os_build);
  free(writer->model);
  free(writer->application_identifier);
  free(writer->application_version);
  free(writer->application_marketing_version);
  free(writer->process_name);
  free(writer->process_path);
  free(writer->parent_process_name);
  if (writer->uncaught_exception.has_exception) {
    free(writer->uncaught_exception.name);
    free(writer->uncaught_exception.reason);
    free(writer->uncaught_exception.callstack);
  }
  if (writer->symbol_arena != nullptr) {
    munmap(writer->symbol_arena, sizeof(MShxcrash_writer_symbol_arena));
  }
  std::memset(writer, 0, sizeof *writer);
}

namespace {

constexpr std::size_t kMaxThreads = 512;
// How long the writer waits for another thread to park itself.
constexpr std::uint32_t kSuspendTimeoutMs = 250;
// The crashed thread keeps at least this many bytes even when the rest of the report is large.
constexpr std::size_t kCrashedThreadFloor = 8192;

std::size_t remainingBytes(const MShxcrash_async_file* file, std::size_t reserve) {
  if (file->limit == 0) return SIZE_MAX;
  const std::int64_t left = file->limit - file->total_bytes - static_cast<std::int64_t>(reserve);
  return left > 0 ? static_cast<std::size_t>(left) : 0;
}

// The largest body that fits into room bytes as one message field.
std::size_t bodyRoom(std::size_t room) {
  if (room == SIZE_MAX) return SIZE_MAX;
  return room > 6 ? room - 6 : 0;
}

// Writes one Thread field whose body fits into max_body bytes; returns false when not even the
// thread's number and flag fit (the crashed thread is written anyway).
bool writeThreadField(const MShxcrash_log_writer* writer, MShxcrash_async_file* file,
                      MShxcrash_async_image_list* image_list, std::uint32_t number, bool crashed,
                      const hxcrash_async_thread_state* state, std::size_t max_body) {
  ThreadCapture capture;
  hxcrash_writer_walk_thread(writer, image_list, number, crashed, state, max_body, &capture);
  const std::size_t body = hxcrash_writer_write_thread(nullptr, number, crashed, &capture);
  if (body > max_body && !crashed) return false;
  const auto length = static_cast<std::uint32_t>(body);
  MShxcrash_writer_pack(file, 3, MSHXCRASH_FIELD_MESSAGE, &length);
  hxcrash_writer_write_thread(file, number, crashed, &capture);
  return true;
}

}  // namespace

hxcrash_error_t MShxcrash_log_writer_write(MShxcrash_log_writer* writer, vx::thread_t crashed_thread,
                                           MShxcrash_async_image_list* image_list, MShxcrash_async_file* file,
                                           const MShxcrash_log_signal_info* siginfo,
                                           const hxcrash_async_thread_state* current_state) {
  MSHXCF_ASSERT(siginfo != nullptr && siginfo->bsd_info != nullptr, "Missing signal information");
  const vx::thread_t self = MSpl_mach_thread_self();

  // 1. The thread list; every other thread is parked while the report is written.
  vx::thread_t threads[kMaxThreads];
  std::size_t thread_count = 0;
  if (!MShxcrash_log_writer_list_threads(threads, kMaxThreads, &thread_count)) {
    MSHXCF_DEBUG("Fetching thread list failed");
    thread_count = 0;
  }
  for (std::size_t i = 0; i < thread_count; ++i) {
    if (threads[i] != self) MShxcrash_async_thread_capture_suspend(threads[i], kSuspendTimeoutMs);
  }

  // Libraries loaded behind the image list's back (a plain dlopen) join it now, so their frames
  // unwind and the report lists them.
  MShxcrash_async_image_list_add_linker_images(image_list);

  // 2. Header.
  put(file, MSHXCRASH_REPORT_FILE_MAGIC, 7);
  put(file, &MSHXCRASH_REPORT_FILE_VERSION, 1);

  // 3. The fixed sections.
  std::int64_t timestamp = static_cast<std::int64_t>(time(nullptr));
  if (timestamp == -1) {
    MSHXCF_DEBUG("Failed to fetch timestamp: %s", MShxcrash_async_errno_text(errno));
    timestamp = 0;
  }
  packMessage(file, 9, [&](MShxcrash_async_file* f) { return hxcrash_pack_report_info(f, writer); });
  packMessage(file, 1, [&](MShxcrash_async_file* f) { return hxcrash_pack_system_info(f, writer, timestamp); });
  packMessage(file, 8, [&](MShxcrash_async_file* f) { return hxcrash_pack_machine_info(f, writer); });
  packMessage(file, 2, [&](MShxcrash_async_file* f) { return hxcrash_pack_application_info(f, writer); });
  packMessage(file, 7, [&](MShxcrash_async_file* f) { return hxcrash_pack_process_info(f, writer); });

  // 4. What must follow the threads: the images, the exception and the signal. The decoder
  // needs the signal and at least one image, so their room is kept first; the exception is
  // sized (and cut, see below) once the crashed thread's room is known.
  const std::size_t signal_size = messageFieldSize(hxcrash_writer_write_signal(nullptr, siginfo));
  std::size_t images_size = 0;
  MShxcrash_async_image_list_set_reading(image_list, true);
  for (MShxcrash_async_macho* image = MShxcrash_async_image_list_next(image_list, nullptr); image != nullptr;
       image = MShxcrash_async_image_list_next(image_list, image)) {
    images_size += messageFieldSize(hxcrash_pack_binary_image(nullptr, image));
  }
  MShxcrash_async_image_list_set_reading(image_list, false);

  // The crashed thread's registers, and the room it needs, are known before any thread is
  // written so that the threads before it cannot take its place.
  hxcrash_async_thread_state crashed_state;
  bool crashed_has_state = false;
  if (crashed_thread == self) {
    if (current_state != nullptr) {
      MShxcrash_async_thread_state_copy(&crashed_state, current_state);
      crashed_has_state = true;
    }
  } else if (MShxcrash_async_thread_state_mach_thread_init(&crashed_state, crashed_thread) == hxcrash_error_none) {
    crashed_has_state = true;
  }
  // Its size is only needed when another thread comes first in the list (a walk saved in the
  // common case of a crash on the first thread).
  std::size_t crashed_size = 0;
  auto crashedReserve = [&]() -> std::size_t {
    if (crashed_size == 0) {
      ThreadCapture capture;
      hxcrash_writer_walk_thread(writer, image_list, 0, true, crashed_has_state ? &crashed_state : nullptr, SIZE_MAX,
                                 &capture);
      crashed_size = messageFieldSize(hxcrash_writer_write_thread(nullptr, 0, true, &capture));
      if (crashed_size < kCrashedThreadFloor) crashed_size = kCrashedThreadFloor;
    }
    return crashed_size;
  };

  // The exception takes what is left after the signal, the images and the crashed thread's
  // room; a name, reason or call stack too large for that is cut to fit.
  std::size_t exception_size = 0;
  ExceptionCut exception_cut{0, 0, 0};
  if (writer->uncaught_exception.has_exception) {
    const ExceptionCut whole = wholeException(writer);
    // The return addresses are named once, before any sizing.
    if (writer->symbol_strategy != 0 && writer->symbol_arena != nullptr) {
      MShxcrash_async_symbol_cache cache;
      MShxcrash_async_symbol_cache_init(&cache);
      for (std::size_t i = 0; i < whole.frame_count; ++i) {
        lookupFrameSymbol(image_list, writer->symbol_strategy, &cache, writer->uncaught_exception.callstack[i], false,
                          &writer->symbol_arena->exception_frames[i], writer->symbol_arena->exception_names[i]);
      }
      MShxcrash_async_symbol_cache_free(&cache);
    }
    std::size_t room = remainingBytes(file, signal_size + images_size);
    if (room != SIZE_MAX) {
      const std::size_t crashed = crashedReserve();
      room = room > crashed ? room - crashed : 0;
    }
    exception_cut = fitException(writer, room);
    exception_size = messageFieldSize(hxcrash_writer_write_exception(nullptr, writer, exception_cut));
    if (exception_cut.name_length != whole.name_length || exception_cut.reason_length != whole.reason_length ||
        exception_cut.frame_count != whole.frame_count) {
      MSHXCF_DEBUG(
          "Report size limit reached: the exception is cut to a name of %zu bytes, a "
          "reason of %zu of %zu bytes and %zu return addresses",
          exception_cut.name_length, exception_cut.reason_length, whole.reason_length, exception_cut.frame_count);
    }
  }
  const std::size_t tail_size = signal_size + exception_size + images_size;

  // 5. Threads, in list order; the calling thread only when its state was given.
  std::uint32_t number = 0;
  bool crashed_written = false;
  bool others_stopped = false;
  for (std::size_t i = 0; i < thread_count; ++i) {
    const vx::thread_t thread = threads[i];
    if (thread == self && current_state == nullptr) continue;
    const bool crashed = thread == crashed_thread;
    if (crashed) {
      const std::size_t room = bodyRoom(remainingBytes(file, tail_size));
      writeThreadField(writer, file, image_list, number++, true, crashed_has_state ? &crashed_state : nullptr, room);
      crashed_written = true;
      continue;
    }
    if (others_stopped) continue;
    hxcrash_async_thread_state state;
    const hxcrash_async_thread_state* statep = nullptr;
    if (thread == self) {
      MShxcrash_async_thread_state_copy(&state, current_state);
      statep = &state;
    } else if (MShxcrash_async_thread_state_mach_thread_init(&state, thread) == hxcrash_error_none) {
      statep = &state;
    }
    const std::size_t room = bodyRoom(remainingBytes(file, tail_size + (crashed_written ? 0 : crashedReserve())));
    if (!writeThreadField(writer, file, image_list, number, false, statep, room)) {
      MSHXCF_DEBUG("Report size limit reached: no further threads are written");
      others_stopped = true;
      continue;
    }
    ++number;
  }
  // The crashed thread is always in the report, also when the thread list could not be read.
  if (!crashed_written) {
    const std::size_t room = bodyRoom(remainingBytes(file, tail_size));
    writeThreadField(writer, file, image_list, number++, true, crashed_has_state ? &crashed_state : nullptr, room);
  }

  // 6. Images, while they fit.
  MShxcrash_async_image_list_set_reading(image_list, true);
  for (MShxcrash_async_macho* image = MShxcrash_async_image_list_next(image_list, nullptr); image != nullptr;
       image = MShxcrash_async_image_list_next(image_list, image)) {
    const std::size_t body = hxcrash_pack_binary_image(nullptr, image);
    if (messageFieldSize(body) > remainingBytes(file, signal_size + exception_size)) {
      MSHXCF_DEBUG("Report size limit reached: no further images are written");
      break;
    }
    packMessage(file, 4, [&](MShxcrash_async_file* f) { return hxcrash_pack_binary_image(f, image); });
  }
  MShxcrash_async_image_list_set_reading(image_list, false);

  // 7. Exception and signal.
  if (writer->uncaught_exception.has_exception) {
    if (exception_size <= remainingBytes(file, signal_size)) {
      packMessage(file, 5,
                  [&](MShxcrash_async_file* f) { return hxcrash_writer_write_exception(f, writer, exception_cut); });
    } else {
      MSHXCF_DEBUG("Report size limit reached: the exception is left out");
    }
  }
  packMessage(file, 6, [&](MShxcrash_async_file* f) { return hxcrash_writer_write_signal(f, siginfo); });

  // 8. Let the other threads go on.
  for (std::size_t i = 0; i < thread_count; ++i) {
    if (threads[i] != self) MShxcrash_async_thread_capture_resume(threads[i]);
  }
  // Also when it was missing from the list (resuming a thread that is not parked does nothing).
  if (crashed_thread != self) MShxcrash_async_thread_capture_resume(crashed_thread);
  return hxcrash_error_none;
}
