// The crash report writer. Init gathers, in normal context, what does not change while the
// process lives; write runs inside the crash handler and streams one report ("hxcrash", version
// byte 1, one CrashReport message of crash_report.proto) through the async output file, encoding
// every field by hand: nested messages are sized by a first, file-less run of their packer.
//
// MShxcrash_log_writer_init, _set_exception and _free allocate and run outside crash time;
// MShxcrash_log_writer_write, _close and MShxcrash_writer_pack are safe at crash time.
#pragma once

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/async/HXCrashAsyncFile.h"
#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <cstddef>
#include <cstdint>

// The report file: magic and format version.
inline constexpr char MSHXCRASH_REPORT_FILE_MAGIC[] = "hxcrash";  // 7 bytes, no terminator
inline constexpr std::uint8_t MSHXCRASH_REPORT_FILE_VERSION = 1;
// The byte limit the reporter opens the report file with.
inline constexpr std::int64_t MSHXCRASH_REPORT_MAX_SIZE = 262144;
// Frames written per thread (and return addresses per exception) at most.
inline constexpr std::uint32_t MSHXCRASH_WRITER_MAX_FRAMES = 512;

// The operating system and architecture the report names for this host (schema enum values).
extern const std::int32_t MSHXCrashReportHostOperatingSystem;
extern const std::int32_t MSHXCrashReportHostArchitecture;

// Field types, numbered as protobuf-c numbers them.
enum MShxcrash_writer_field_type : std::int32_t {
  MSHXCRASH_FIELD_INT32 = 0,
  MSHXCRASH_FIELD_SINT32 = 1,
  MSHXCRASH_FIELD_SFIXED32 = 2,
  MSHXCRASH_FIELD_INT64 = 3,
  MSHXCRASH_FIELD_SINT64 = 4,
  MSHXCRASH_FIELD_SFIXED64 = 5,
  MSHXCRASH_FIELD_UINT32 = 6,
  MSHXCRASH_FIELD_FIXED32 = 7,
  MSHXCRASH_FIELD_UINT64 = 8,
  MSHXCRASH_FIELD_FIXED64 = 9,
  MSHXCRASH_FIELD_FLOAT = 10,
  MSHXCRASH_FIELD_DOUBLE = 11,
  MSHXCRASH_FIELD_BOOL = 12,
  MSHXCRASH_FIELD_ENUM = 13,
  MSHXCRASH_FIELD_STRING = 14,
  MSHXCRASH_FIELD_BYTES = 15,
  MSHXCRASH_FIELD_MESSAGE = 16,
};

// The value of a bytes field.
struct MShxcrash_writer_binary_data {
  std::size_t len;
  const std::uint8_t* data;
};

struct MShxcrash_log_writer {
  std::int32_t symbol_strategy;  // 0 none, bit 0 symbol table, bit 1 class metadata
  // Where frames' symbols are kept between the walk and the packing passes: reserved by init
  // when symbol_strategy is not 0, so the crash path allocates nothing.
  struct MShxcrash_writer_symbol_arena* symbol_arena;
  bool user_requested;
  std::uint8_t report_uuid[16];
  char* os_version;
  char* os_build;
  char* model;
  std::uint64_t cpu_type;
  std::uint64_t cpu_subtype;
  std::uint32_t processor_count;
  std::uint32_t logical_processor_count;
  char* application_identifier;
  char* application_version;
  char* application_marketing_version;
  char* process_name;
  std::uint32_t process_id;
  char* process_path;
  std::uint64_t process_start_time;
  char* parent_process_name;
  std::uint32_t parent_process_id;
  bool native;
  struct {
    bool has_exception;
    char* name;
    char* reason;
    std::uint64_t* callstack;
    std::size_t callstack_count;
  } uncaught_exception;
};

struct MShxcrash_log_bsd_signal_info {
  std::int32_t signo;
  std::int32_t code;
  std::uint64_t address;
};

struct MShxcrash_log_mach_signal_info {
  std::int32_t type;
  const std::int64_t* code;
  std::uint32_t code_count;
};

struct MShxcrash_log_signal_info {
  const MShxcrash_log_bsd_signal_info* bsd_info;    // required
  const MShxcrash_log_mach_signal_info* mach_info;  // null for a POSIX signal
};

// Fills the record (see the file comment). hxcrash_error_invalid_argument when this process's
// facts cannot be read, hxcrash_error_internal when the system version cannot; the record stays
// usable with what was gathered. Also makes sure the layer that reads other threads' registers
// is installed.
hxcrash_error_t MShxcrash_log_writer_init(MShxcrash_log_writer* writer, const char* application_identifier,
                                          const char* application_version, const char* application_marketing_version,
                                          std::int32_t symbol_strategy, bool user_requested);

// Records an uncaught exception (once per record). A null name or reason is recorded as "".
void MShxcrash_log_writer_set_exception(MShxcrash_log_writer* writer, const char* name, const char* reason,
                                        const std::uint64_t* return_addresses, std::size_t return_address_count);

// Crash time. Writes one complete report to file. crashed_thread is a thread of our process
// (kernel thread id); current_state, when given, holds the calling thread's registers and is
// required when the calling thread crashed. The report never passes the file's byte limit:
// threads and frames that would not fit are left out, the crashed thread always stays.
hxcrash_error_t MShxcrash_log_writer_write(MShxcrash_log_writer* writer, vx::thread_t crashed_thread,
                                           MShxcrash_async_image_list* image_list, MShxcrash_async_file* file,
                                           const MShxcrash_log_signal_info* siginfo,
                                           const hxcrash_async_thread_state* current_state);

// Crash time. Always hxcrash_error_none.
hxcrash_error_t MShxcrash_log_writer_close(MShxcrash_log_writer* writer);

void MShxcrash_log_writer_free(MShxcrash_log_writer* writer);

// Crash time. Encodes one field (key and value; for a message only the key and the body's
// length, which value points to as a uint32) to file, or to nothing when file is null, and
// returns its size in bytes. value points to a value of the field's type: a C string for
// strings, a MShxcrash_writer_binary_data for bytes.
std::size_t MShxcrash_writer_pack(MShxcrash_async_file* file, std::uint32_t field_id, MShxcrash_writer_field_type type,
                                  const void* value);

// Crash time. The 16 bytes the report names an image by: a Mach-O image's LC_UUID (found with
// MShxcrash_async_macho_find_command; an LC_UUID shorter than 24 bytes counts as none), an ELF
// image's build id. False when the image has none.
bool MShxcrash_async_image_uuid(MShxcrash_async_macho* image, std::uint8_t uuid[16]);

// Where the writer gets the thread list; tests replace it to see a failing list.
typedef bool (*MShxcrash_log_writer_thread_lister)(vx::thread_t* threads, std::size_t capacity, std::size_t* count);
extern MShxcrash_log_writer_thread_lister MShxcrash_log_writer_list_threads;

// Crash time. The kernel thread ids of our process, read from /proc/self/task with raw system
// calls. At most capacity ids; false when the folder cannot be read.
bool MShxcrash_async_task_threads(vx::thread_t* threads, std::size_t capacity, std::size_t* count);
