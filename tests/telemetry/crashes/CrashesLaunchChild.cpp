// One launch of the application for the crash service's end-to-end tests: starts the telemetry
// client with the crash service against the local service, then does what the mode says.
//
//   telemetry_crashes_launch_child <service base URL> <mode>
//
// Modes: crash-segv, crash-abort, crash-cxx (set the session and user, enqueue logs, crash);
// crash-buffered (logs prepared but held up before the store, then a crash);
// send (take in and send what earlier launches left, until killed); ask-send, ask-dontsend,
// ask-always (a confirmation handler that asks, answered 1, 0 or 2); ask-never (a handler that
// asks and is never answered); crash-in-processing (a delegate that crashes while the reports
// are processed); disabled (the service starts switched off; unprocessedCrashReports returns);
// reset (forgets the settings and the pending report earlier launches stored);
// test-crash (the service's own test crash); has-pending (prints whether the engine holds a
// report); track (a wrapper's handled exceptions, with and without properties); track-unstarted,
// track-disabled (the same before start, or with the service switched off, then a marker);
// wrapper-send, wrapper-drop (automatic processing off: the wrapper keeps every waiting report
// and sends it with an attachment, or keeps none).
#include "crash-engine/MSHXCrashReporter.h"
#include "platform/foundation/DispatchQueue.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperCrashesHelper.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

constexpr const char* kAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

volatile std::uintptr_t g_nowhere = 0x10;

__attribute__((noinline)) void throwUncaught() { throw std::runtime_error("the icon cache is gone"); }

void start(const std::string& baseURL) {
  MSZerEvuzev::sharedInstance()->setLogUrl(baseURL);
  MSZerEvuzev::start(std::string(kAppSecret), {MSCrashes::sharedInstance()});
}

[[noreturn]] void serveForever() {
  for (;;) vx::RunLoop::runUntil([] { return false; }, std::chrono::hours(1));
}

// The crash-time session and user, stamped strictly before the crash's whole second, since a
// report keeps whole seconds only.
void setCrashTimeIdentity(const std::string& kind) {
  MSSessionContext::sharedInstance()->setSessionId("session-" + kind);
  MSUserIdContext::sharedInstance()->setUserId("user-" + kind);
  const auto second = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  };
  const auto stamped = second();
  while (second() == stamped) std::this_thread::yield();
}

class CrashingDelegate : public MSCrashesDelegate {
 public:
  bool crashesShouldProcessErrorReport(MSCrashes&, const std::shared_ptr<MSErrorReport>&) override {
    *reinterpret_cast<volatile int*>(g_nowhere) = 1;
    return true;
  }
};

// Counts the handled-error logs any unit of the group prepares: an enqueue, whatever the unit
// then does with the log.
class HandledErrorCounter : public MSChannelDelegate {
 public:
  void channelDidPrepareLog(MSChannelProtocol*, const MSLogPtr& log, const std::string&, std::uint64_t) override {
    if (log && log->type == std::optional<std::string>(MSHandledErrorLog::kType)) ++count;
  }
  std::atomic<int> count{0};
};

std::shared_ptr<MSException> iconException() {
  auto frame = std::make_shared<MSStackFrame>();
  frame->address = "0x00000000004011a0";
  frame->methodName = "IconRenderer.draw";
  frame->fileName = "IconRenderer.vx";
  frame->lineNumber = 42;
  auto exception = std::make_shared<MSException>();
  exception->type = "IconRenderError";
  exception->message = "the icon could not be drawn";
  exception->wrapperSdkName = "vexel.wrapper";
  exception->frames = std::vector<std::shared_ptr<MSStackFrame>>{frame};
  return exception;
}

void enqueueMarker(const std::shared_ptr<MSChannelUnitProtocol>& unit, const std::string& type) {
  auto marker = std::make_shared<MSLogWithProperties>();
  marker->type = type;
  unit->enqueueItem(marker, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " <service base URL> <mode>\n";
    return 2;
  }
  vx::DispatchQueue::adoptMainThread();
  const std::string baseURL = argv[1];
  const std::string mode = argv[2];

  if (mode == "crash-segv" || mode == "crash-abort" || mode == "crash-cxx") {
    start(baseURL);
    const std::string kind = mode.substr(6);
    setCrashTimeIdentity(kind);
    auto unit = MSCrashes::sharedInstance()->channelUnit();
    for (int n = 0; n < 3; ++n) {
      auto log = std::make_shared<MSLogWithProperties>();
      log->type = "beforeCrash";
      unit->enqueueItem(log, 1);
    }
    if (kind == "segv") *reinterpret_cast<volatile int*>(g_nowhere) = 1;
    if (kind == "abort") std::abort();
    if (kind == "cxx") std::thread([] { throwUncaught(); }).join();
    return 5;
  }
  if (mode == "test-crash") {
    start(baseURL);
    MSCrashes::generateTestCrash();
    return 5;
  }
  if (mode == "has-pending") {
    const MSHXCrashReporter reporter(std::make_shared<MSHXCrashReporterConfig>(
        MSHXCrashReporterSignalHandlerTypeBSD, MSHXCrashReporterSymbolicationStrategyNone, true));
    std::cout << "pending " << (reporter.hasPendingCrashReport() ? "yes" : "no") << std::endl;
    return 0;
  }
  if (mode == "track") {
    MSUserIdContext::sharedInstance()->setUserId("user-track");
    start(baseURL);
    MSCrashes::trackModelException(
        iconException(), MSStringDictionary{{"size", "large"}, {"", "no key"}, {"name", std::string(200, 'v')}});
    MSCrashes::trackModelException(iconException());
    serveForever();
  }
  if (mode == "track-unstarted") {
    MSCrashes::trackModelException(iconException(), MSStringDictionary{{"size", "large"}});
    start(baseURL);
    enqueueMarker(MSCrashes::sharedInstance()->channelUnit(), "afterTrack");
    serveForever();
  }
  if (mode == "track-disabled") {
    MSUserDefaults::shared()->setObject(vx::Value(false), MSCrashes::sharedInstance()->isEnabledKey());
    start(baseURL);
    static auto counter = std::make_shared<HandledErrorCounter>();
    MSZerEvuzev::sharedInstance()->channelGroup()->addDelegate(counter);
    MSCrashes::trackModelException(iconException(), MSStringDictionary{{"size", "large"}});
    std::cout << "prepared " << counter->count.load() << std::endl;
    // The crash service's unit is off with the service: the marker takes the core's own.
    enqueueMarker(MSZerEvuzev::sharedInstance()->channelUnit(), "afterTrack");
    serveForever();
  }
  if (mode == "wrapper-send" || mode == "wrapper-drop") {
    MSWrapperCrashesHelper::setAutomaticProcessing(false);
    start(baseURL);
    const auto reports = MSWrapperCrashesHelper::unprocessedCrashReports();
    std::cout << "waiting " << reports.size() << std::endl;
    std::vector<std::string> kept;
    if (mode == "wrapper-send") {
      for (const auto& report : reports) kept.push_back(report->incidentIdentifier().value_or(""));
    }
    const bool alwaysSend = MSWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(kept);
    std::cout << "always " << alwaysSend << std::endl;
    // Without "always send" the wrapper asks its user; this one answers "send".
    MSCrashes::notifyWithUserConfirmation(MSUserConfirmationSend);
    for (const auto& id : kept) {
      MSWrapperCrashesHelper::sendErrorAttachments(
          {MSErrorAttachmentLog::attachmentWithText("cache was full", "cache.txt")}, id);
    }
    enqueueMarker(MSCrashes::sharedInstance()->channelUnit(), "afterFilter");
    serveForever();
  }
  if (mode == "crash-buffered") {
    start(baseURL);
    setCrashTimeIdentity("buffered");
    // The channel's store is held up: these logs are prepared (and buffered) but never stored.
    MSZerEvuzev::sharedInstance()->channelGroup()->logsDispatchQueue()->async([] {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    });
    auto unit = MSCrashes::sharedInstance()->channelUnit();
    for (int n = 0; n < 3; ++n) {
      auto log = std::make_shared<MSLogWithProperties>();
      log->type = "inFlight";
      log->properties = std::map<std::string, std::string>{{"n", std::to_string(n)}};
      unit->enqueueItem(log, 1);
    }
    *reinterpret_cast<volatile int*>(g_nowhere) = 1;
    return 5;
  }
  if (mode == "crash-in-processing") {
    static auto keep = std::make_shared<CrashingDelegate>();
    MSCrashes::setDelegate(keep);
    start(baseURL);
    serveForever();
  }
  if (mode == "send") {
    start(baseURL);
    serveForever();
  }
  if (mode.rfind("ask-", 0) == 0) {
    const std::string answer = mode.substr(4);
    MSCrashes::setUserConfirmationHandler([answer](const std::vector<std::shared_ptr<MSErrorReport>>& reports) {
      std::cout << "asked about " << reports.size() << std::endl;
      std::uint64_t confirmation = MSUserConfirmationSend;
      if (answer == "never") return true;
      if (answer == "dontsend") confirmation = MSUserConfirmationDontSend;
      if (answer == "always") confirmation = MSUserConfirmationAlways;
      // The user answers after the prompt has returned.
      vx::DispatchQueue::main()->async([confirmation] {
        MSCrashes::notifyWithUserConfirmation(confirmation);
        if (confirmation == MSUserConfirmationDontSend) {
          // Goes out after anything the answer would have sent.
          auto marker = std::make_shared<MSLogWithProperties>();
          marker->type = "afterAnswer";
          MSCrashes::sharedInstance()->channelUnit()->enqueueItem(marker, 1);
        }
      });
      return true;
    });
    start(baseURL);
    serveForever();
  }
  if (mode == "reset") {
    // Settings earlier launches stored: the service switched on, no "always send".
    MSUserDefaults::shared()->removeObjectForKey(MSCrashes::sharedInstance()->isEnabledKey());
    MSUserDefaults::shared()->removeObjectForKey(MSCrashes::kMSUserConfirmationKey);
    // A report an earlier test's crash left with the engine: a launch that starts switched off
    // keeps it there, and the next enabled launch would send it alongside this test's own.
    MSHXCrashReporter(std::make_shared<MSHXCrashReporterConfig>(MSHXCrashReporterSignalHandlerTypeBSD,
                                                                MSHXCrashReporterSymbolicationStrategyNone, true))
        .purgePendingCrashReport();
    return 0;
  }
  if (mode == "disabled") {
    MSUserDefaults::shared()->setObject(vx::Value(false), MSCrashes::sharedInstance()->isEnabledKey());
    start(baseURL);
    const auto reports = MSCrashes::sharedInstance()->unprocessedCrashReports();
    std::cout << "returned " << reports.size() << std::endl;
    return 0;
  }
  return 2;
}
