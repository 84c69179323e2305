#include "crash-engine/MSHXCrashReporter.h"

#include "crash-engine/HXCrashErrors.h"
#include "crash-engine/host/MSHXCrashHostInfo.h"
#include "crash-engine/signals/MSHXCrashSignalHandler.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/StandardPaths.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <typeinfo>

namespace {

// Process-wide crash state: prepared at enable, read by crash-time code only.
hxcrash_report_context g_report_context;
std::atomic<bool> g_enabled{false};
std::mutex g_enable_lock;
std::atomic<std::uint32_t> g_uncaught_exception_flag{0};
void* g_crash_callback_context = nullptr;
HXCrashReporterPostCrashSignalCallback g_crash_callback = nullptr;

// The report data folder under the user's caches folder.
constexpr const char* kReportFolderName = "com.vexelworks.crash-engine";

const int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// One report per crash. The first crashing thread records it; any other thread that crashes
// meanwhile waits (at most kOtherCrashWaitSeconds) until that report is closed, so it neither
// truncates the report file nor ends the process in the middle of the write.
constexpr long kOtherCrashWaitSeconds = 10;
std::atomic<pid_t> g_recording_thread{0};
std::atomic<std::uint32_t> g_report_closed{0};  // a futex word: 1 once the report is closed

enum class CrashRole { record, nested, wait };

// Crash time.
CrashRole hxcrash_claim_report(pid_t self) {
  pid_t expected = 0;
  if (g_recording_thread.compare_exchange_strong(expected, self)) return CrashRole::record;
  return expected == self ? CrashRole::nested : CrashRole::wait;
}

// Crash time.
void hxcrash_report_closed() {
  g_report_closed.store(1);
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&g_report_closed), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX,
          nullptr, nullptr, 0);
}

// Crash time. Waits until the recording thread has closed its report, or the time is up.
void hxcrash_wait_for_report() {
  struct timespec deadline {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += kOtherCrashWaitSeconds;
  while (g_report_closed.load() == 0) {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
      MSHXCF_DEBUG("Another thread's crash report was not closed in time");
      return;
    }
    // Absolute monotonic deadline; interruptions (the writer parks this thread) just loop.
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&g_report_closed), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0,
            &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  }
}

// Crash time. The fatal signals' default actions, so that raising the signal again (or any
// later fault) ends the process. Only once the report is closed: until then a second crashing
// thread must come to the reporter's handler and wait, not end the process mid-write.
void hxcrash_restore_fatal_actions() {
  for (int sig : kFatalSignals) {
    struct sigaction action;
    MShxcrash_async_memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

bool hxcrash_signal_report_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                    hxcrash_signal_next_handle*) {
  auto* report_context = static_cast<hxcrash_report_context*>(context);
  const pid_t self = static_cast<pid_t>(MSpl_mach_thread_self());
  switch (hxcrash_claim_report(self)) {
    case CrashRole::record:
      break;
    case CrashRole::nested:
      // A fault while this thread writes the report: end the process.
      hxcrash_restore_fatal_actions();
      return false;
    case CrashRole::wait:
      hxcrash_wait_for_report();
      hxcrash_restore_fatal_actions();
      return false;
  }
  hxcrash_async_thread_state state;
  MShxcrash_async_thread_state_mcontext_init(&state, &uap->uc_mcontext);

  MShxcrash_log_bsd_signal_info bsd{info->si_signo, info->si_code, reinterpret_cast<std::uint64_t>(info->si_addr)};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  (void)signo;
  const hxcrash_error_t err = hxcrash_write_report(report_context, MSpl_mach_thread_self(), &state, &siginfo);
  if (err == hxcrash_error_none && g_crash_callback != nullptr) {
    g_crash_callback(info, uap, g_crash_callback_context);
  }
  // The waiting threads go on (and end the process) only after the client's callback has saved
  // what it keeps for the next launch.
  hxcrash_report_closed();
  // Only now: the signal handler chain raises the signal again under the default action.
  hxcrash_restore_fatal_actions();
  return false;
}

struct MachWriteRequest {
  hxcrash_report_context* context;
  vx::thread_t thread;
  const MShxcrash_log_signal_info* siginfo;
};

hxcrash_error_t hxcrash_write_report_current_thread(hxcrash_async_thread_state* state, void* context) {
  auto* request = static_cast<MachWriteRequest*>(context);
  return hxcrash_write_report(request->context, request->thread, state, request->siginfo);
}

vx::kern_return_t mach_exception_callback(vx::task_t task, vx::thread_t thread, std::int32_t exception_type,
                                          const std::int64_t* codes, std::uint32_t code_count, void* context) {
  auto* report_context = static_cast<hxcrash_report_context*>(context);
  // An earlier handler that deals with the exception wins; nothing is written then.
  if (MSHXCrashMachExceptionForward(task, thread, exception_type, codes, code_count, &report_context->port_set) ==
      vx::KERN_SUCCESS) {
    return vx::KERN_SUCCESS;
  }
  siginfo_t info;
  MShxcrash_async_memset(&info, 0, sizeof info);
  if (!MShxcrash_async_mach_exception_get_siginfo(exception_type, codes, code_count, -1, &info)) {
    MSHXCF_DEBUG("Unexpected error mapping Mach exception to a POSIX signal");
    return vx::KERN_FAILURE;
  }
  MShxcrash_log_bsd_signal_info bsd{info.si_signo, info.si_code, reinterpret_cast<std::uint64_t>(info.si_addr)};
  MShxcrash_log_mach_signal_info mach{exception_type, codes, code_count};
  MShxcrash_log_signal_info siginfo{&bsd, &mach};
  if (hxcrash_claim_report(static_cast<pid_t>(MSpl_mach_thread_self())) != CrashRole::record) {
    // Another crash is being recorded; its report is the one that stays.
    hxcrash_wait_for_report();
    return vx::KERN_FAILURE;
  }
  MachWriteRequest request{report_context, thread, &siginfo};
  const hxcrash_error_t err = MShxcrash_async_thread_state_current(hxcrash_write_report_current_thread, &request);
  if (err != hxcrash_error_none) {
    hxcrash_report_closed();
    MSHXCF_DEBUG("Failed to write live report: %d", err);
    return vx::KERN_FAILURE;
  }
  if (g_crash_callback != nullptr) {
    static ucontext_t uap;
    MShxcrash_async_memset(&uap, 0, sizeof uap);
    g_crash_callback(&info, &uap, g_crash_callback_context);
  }
  hxcrash_report_closed();
  // The default handling goes on and ends the process.
  return vx::KERN_FAILURE;
}

void terminateHook() {
  std::string name = "std::terminate";
  std::string reason = "terminate called without an active exception";
  if (auto current = std::current_exception()) {
    if (const std::type_info* type = abi::__cxa_current_exception_type()) {
      int status = 0;
      char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
      name = status == 0 && demangled != nullptr ? demangled : type->name();
      std::free(demangled);
    }
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      reason = e.what();
    } catch (...) {
      reason = "";
    }
  }
  hxcrash_uncaught_exception_hook(name.c_str(), reason.c_str(), nullptr, 0);
  std::abort();
}

std::string replaceSlashes(std::string text) {
  for (char& c : text) {
    if (c == '/') c = '_';
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path, vx::Error* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) {
      *error = vx::Error(MSHXCrashPOSIXErrorDomain, errno, "The file " + path.string() + " could not be read");
    }
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct LiveReportContext {
  MShxcrash_log_writer* writer;
  MShxcrash_async_file* file;
  const MShxcrash_log_signal_info* siginfo;
};

hxcrash_error_t hxcrash_live_report_callback(hxcrash_async_thread_state* state, void* context) {
  auto* live = static_cast<LiveReportContext*>(context);
  return MShxcrash_log_writer_write(live->writer, MSpl_mach_thread_self(), hxcrash_shared_image_list(), live->file,
                                    live->siginfo, state);
}

}  // namespace

MShxcrash_async_image_list* hxcrash_shared_image_list() {
  static MShxcrash_async_image_list* list = [] {
    auto* l = new MShxcrash_async_image_list();
    MShxcrash_nasync_image_list_init(l, vx::mach_task_self());
    MShxcrash_nasync_image_list_track(l);
    return l;
  }();
  return list;
}

hxcrash_error_t hxcrash_write_report(hxcrash_report_context* context, vx::thread_t crashed_thread,
                                     const hxcrash_async_thread_state* thread_state,
                                     const MShxcrash_log_signal_info* siginfo) {
  const int fd = open(context->path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    MSHXCF_DEBUG("Could not open the crashlog output file: %s", MShxcrash_async_errno_text(errno));
    return hxcrash_error_internal;
  }
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd, MSHXCRASH_REPORT_MAX_SIZE);
  const hxcrash_error_t result = MShxcrash_log_writer_write(&context->writer, crashed_thread,
                                                            hxcrash_shared_image_list(), &file, siginfo, thread_state);
  if (MShxcrash_log_writer_close(&context->writer) != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to close the log writer");
    MShxcrash_async_file_close(&file);
    return hxcrash_error_internal;
  }
  if (!MShxcrash_async_file_flush(&file)) {
    MSHXCF_DEBUG("Failed to flush output file");
    MShxcrash_async_file_close(&file);
    return hxcrash_error_internal;
  }
  if (!MShxcrash_async_file_close(&file)) {
    MSHXCF_DEBUG("Failed to close output file");
    return hxcrash_error_internal;
  }
  return result;
}

void hxcrash_uncaught_exception_hook(const char* name, const char* reason, const std::uint64_t* return_addresses,
                                     std::size_t count) {
  std::uint32_t expected = 0;
  if (!g_uncaught_exception_flag.compare_exchange_strong(expected, 1)) return;
  MShxcrash_log_writer_set_exception(&g_report_context.writer, name, reason, return_addresses, count);
  abort();
}

MSHXCrashReporter* MSHXCrashReporter::sharedReporter() {
  static MSHXCrashReporter* shared = new MSHXCrashReporter();
  return shared;
}

MSHXCrashReporter::MSHXCrashReporter(std::shared_ptr<MSHXCrashReporterConfig> configuration) {
  auto& bundle = vx::Bundle::main();
  std::string identifier = bundle.bundleIdentifier();
  std::string version = bundle.buildNumber();
  const std::string marketing = bundle.shortVersion();
  if (identifier.empty()) {
    const char* name = program_invocation_short_name;
    if (name == nullptr || *name == '\0') {
      vx::fatalError("Can not determine process identifier or process name");
    }
    std::cerr << "[HXCrashReporter] Warning -- bundle identifier, using process name " << name << "\n";
    identifier = name;
  }
  if (version.empty()) std::cerr << "[HXCrashReporter] Warning -- bundle version unavailable\n";
  *this =
      MSHXCrashReporter(identifier, version, marketing.empty() ? std::nullopt : std::optional<std::string>(marketing),
                        std::move(configuration));
}

MSHXCrashReporter::MSHXCrashReporter(std::string applicationIdentifier, std::string appVersion,
                                     std::optional<std::string> appMarketingVersion,
                                     std::shared_ptr<MSHXCrashReporterConfig> configuration)
    : _config(configuration ? std::move(configuration) : MSHXCrashReporterConfig::defaultConfiguration()),
      _applicationIdentifier(std::move(applicationIdentifier)),
      _applicationVersion(std::move(appVersion)),
      _applicationMarketingVersion(std::move(appMarketingVersion)) {
  _crashReportDirectory =
      vx::StandardPaths::cachesPath().parent_path() / kReportFolderName / replaceSlashes(_applicationIdentifier);
  // The image list is complete before any reporter is enabled.
  hxcrash_shared_image_list();
}

void MSHXCrashReporter::setCrashCallbacks(const HXCrashReporterCallbacks* callbacks) {
  if (_enabled) vx::fatalError("The crash reporter has alread been enabled");
  if (callbacks == nullptr || callbacks->version != 0) return;
  g_crash_callback_context = callbacks->context;
  g_crash_callback = callbacks->handleSignal;
}

bool MSHXCrashReporter::populateCrashReportDirectoryAndReturnError(vx::Error* error) const {
  for (const auto& folder : {crashReportDirectory(), queuedCrashReportDirectory()}) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      if (error != nullptr) {
        *error = vx::Error(MSHXCrashPOSIXErrorDomain, ec.value(),
                           "Could not create " + folder.string() + ": " + ec.message());
      }
      return false;
    }
    std::filesystem::permissions(folder, std::filesystem::perms(0755), ec);
  }
  return true;
}

bool MSHXCrashReporter::enableCrashReporterAndReturnError(vx::Error* error) {
  {
    std::lock_guard<std::mutex> lock(g_enable_lock);
    if (g_enabled.load()) {
      MShxcrash_populate_error(error, 3, "A HXCrashReporter instance has already been enabled");
      return false;
    }
    g_enabled.store(true);
  }
  if (!populateCrashReportDirectoryAndReturnError(error)) return false;

  const std::string path = crashReportPath().string();
  if (path.size() >= sizeof g_report_context.path) {
    MShxcrash_populate_error(error, 1, "The crash report path is too long");
    return false;
  }
  std::memcpy(g_report_context.path, path.c_str(), path.size() + 1);
  // What the crash path uses and only set-up code may make: the image list (its first call
  // allocates) and, through the writer's init, the layer that reads other threads' registers.
  hxcrash_shared_image_list();
  MShxcrash_log_writer_init(&g_report_context.writer, _applicationIdentifier.c_str(), _applicationVersion.c_str(),
                            _applicationMarketingVersion ? _applicationMarketingVersion->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(_config->symbolicationStrategy()), false);
  std::memset(&g_report_context.port_set, 0, sizeof g_report_context.port_set);

  const std::uint64_t type = _config->signalHandlerType();
  // Linux delivers hardware faults only as signals: the Mach mode catches the same fatal
  // signals as the BSD mode.
  if (type == MSHXCrashReporterSignalHandlerTypeBSD || type == MSHXCrashReporterSignalHandlerTypeMach) {
    MSHXCrashSignalHandler* handler = MSHXCrashSignalHandler::sharedHandler();
    if (handler == nullptr) {
      MShxcrash_populate_error(error, 1, "The signal handler could not be made");
      return false;
    }
    for (int sig : kFatalSignals) {
      if (!handler->registerHandlerForSignal(sig, hxcrash_signal_report_callback, &g_report_context, error)) {
        return false;
      }
    }
  }
  if (type == MSHXCrashReporterSignalHandlerTypeMach) {
    std::shared_ptr<MSHXCrashMachExceptionPortSet> previous;
    auto server = enableMachExceptionServerWithPreviousPortSet(&previous, &g_report_context, error);
    if (!server) return false;
    // The server and the previous registrations live for the rest of the process.
    server.release();  // NOLINT(bugprone-unused-return-value): kept for good on purpose
    // NOLINTNEXTLINE(bugprone-throw-keyword-missing): a deliberate leak, not an exception object
    new std::shared_ptr<MSHXCrashMachExceptionPortSet>(previous);
    if (previous) g_report_context.port_set = previous->asyncSafeRepresentation();
  }
  if (_config->shouldRegisterUncaughtExceptionHandler()) std::set_terminate(terminateHook);
  _enabled = true;
  return true;
}

bool MSHXCrashReporter::hasPendingCrashReport() const {
  std::error_code ec;
  return std::filesystem::exists(crashReportPath(), ec);
}

std::optional<std::vector<std::uint8_t>> MSHXCrashReporter::loadPendingCrashReportDataAndReturnError(
    vx::Error* error) const {
  return readFile(crashReportPath(), error);
}

bool MSHXCrashReporter::purgePendingCrashReportAndReturnError(vx::Error* error) const {
  std::error_code ec;
  if (!std::filesystem::remove(crashReportPath(), ec)) {
    if (error != nullptr) {
      *error = vx::Error(MSHXCrashPOSIXErrorDomain, ec ? ec.value() : ENOENT,
                         "Could not remove " + crashReportPath().string());
    }
    return false;
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> MSHXCrashReporter::generateLiveReportAndReturnError(vx::Error* error) const {
  return generateLiveReportWithThread(MSpl_mach_thread_self(), error);
}

std::optional<std::vector<std::uint8_t>> MSHXCrashReporter::generateLiveReportWithThread(vx::thread_t thread,
                                                                                         vx::Error* error) const {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/live_crash_report.XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) {
    MShxcrash_populate_posix_error(error, errno, "Failed to create temporary path");
    return std::nullopt;
  }
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, _applicationIdentifier.c_str(), _applicationVersion.c_str(),
                            _applicationMarketingVersion ? _applicationMarketingVersion->c_str() : nullptr,
                            mapToAsyncSymbolicationStrategy(_config->symbolicationStrategy()), true);
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd, MSHXCRASH_REPORT_MAX_SIZE);
  MShxcrash_log_bsd_signal_info bsd{SIGTRAP, 2 /* TRAP_TRACE */,
                                    reinterpret_cast<std::uint64_t>(__builtin_return_address(0))};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  hxcrash_error_t err;
  if (thread == MSpl_mach_thread_self()) {
    LiveReportContext live{&writer, &file, &siginfo};
    err = MShxcrash_async_thread_state_current(hxcrash_live_report_callback, &live);
  } else {
    err = MShxcrash_log_writer_write(&writer, thread, hxcrash_shared_image_list(), &file, &siginfo, nullptr);
  }
  MShxcrash_log_writer_close(&writer);
  MShxcrash_async_file_close(&file);
  std::optional<std::vector<std::uint8_t>> data;
  if (err != hxcrash_error_none) {
    std::cerr << "Write failed with error " << MShxcrash_async_strerror(err) << "\n";
    MShxcrash_populate_error(error, 0, "Failed to write the crash report to disk");
  } else {
    data = readFile(pattern, nullptr);
    if (!data) MShxcrash_populate_error(error, 0, "Unable to open live crash report for reading");
  }
  MShxcrash_log_writer_free(&writer);
  if (unlink(pattern.c_str()) != 0) {
    std::cerr << "Failure occured deleting live crash report: " << std::strerror(errno) << "\n";
  }
  return data;
}

std::unique_ptr<MSHXCrashMachExceptionServer> MSHXCrashReporter::enableMachExceptionServerWithPreviousPortSet(
    std::shared_ptr<MSHXCrashMachExceptionPortSet>* previous, void* context, vx::Error* error) {
  std::uint32_t mask = 0x6E;  // bad access, bad instruction, arithmetic, software, breakpoint
  if (const auto host = MSHXCrashHostInfo::currentHostInfo()) {
    if (host->darwinVersion().major > 12) mask = 0x106E;  // and guard exceptions
  }
  vx::Error underlying;
  auto server = MSHXCrashMachExceptionServer::make(mach_exception_callback, context, &underlying);
  if (!server) {
    MShxcrash_populate_error(error, 1, "Failed to instantiate the Mach exception server.", underlying);
    return nullptr;
  }
  auto port = server->exceptionPortWithMask(mask, &underlying);
  if (!port) {
    MShxcrash_populate_error(error, 1, "Failed to instantiate the Mach exception port.", underlying);
    return nullptr;
  }
  if (!port->registerForTask(vx::mach_task_self(), previous, &underlying)) {
    MShxcrash_populate_error(error, 1, "Failed to set the target task's mach exception ports.", underlying);
    return nullptr;
  }
  return server;
}
