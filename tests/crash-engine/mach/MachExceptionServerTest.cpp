// The exception server, registrations, forwarding and the exception-to-signal mapping over the
// in-process port layer, and the reporter's Mach path in a child.
#include "crash-engine/mach/HXCrashMachPorts.h"
#include "crash-engine/mach/MSHXCrashMachExceptionServer.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/support/ReportSupport.h"
#include "crash-engine/thread/MSHXCrashThreadCapture.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace {

struct Received {
  std::atomic<int> calls{0};
  vx::thread_t thread = 0;
  std::int32_t type = 0;
  std::vector<std::int64_t> codes;
  vx::kern_return_t answer = vx::KERN_SUCCESS;
};

vx::kern_return_t recordingCallback(vx::task_t, vx::thread_t thread, std::int32_t type, const std::int64_t* codes,
                                    std::uint32_t count, void* context) {
  auto* received = static_cast<Received*>(context);
  received->thread = thread;
  received->type = type;
  received->codes.assign(codes, codes + count);
  received->calls.fetch_add(1);
  return received->answer;
}

// A thread that sleeps until told to stop; its kernel id is known.
class Sleeper {
 public:
  Sleeper() {
    thread_ = std::thread([this] {
      tid_.store(static_cast<vx::thread_t>(syscall(SYS_gettid)));
      while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (tid_.load() == 0) std::this_thread::yield();
  }
  ~Sleeper() {
    stop_.store(true);
    thread_.join();
  }
  vx::thread_t tid() const { return tid_.load(); }

 private:
  std::thread thread_;
  std::atomic<vx::thread_t> tid_{0};
  std::atomic<bool> stop_{false};
};

class MachExceptionServerTest : public ::testing::Test {
 protected:
  void TearDown() override { MShxcrash_task_reset_exception_ports(); }
};

}  // namespace

TEST(MachExceptionSignalMappingTest, MapsExceptionsToSignals) {
  struct Case {
    std::int32_t type;
    std::int64_t code0;
    int signo;
    int code;
  };
  const Case cases[] = {
      {1, 1, SIGSEGV, SEGV_MAPERR}, {1, 2, SIGBUS, BUS_ADRERR},  {2, 0, SIGILL, 0},        {3, 0, SIGFPE, 0},
      {5, 0x10000, SIGSYS, 0},      {5, 0x10001, SIGPIPE, 0},    {5, 0x10002, SIGABRT, 0}, {5, 0x10003, SIGKILL, 0},
      {5, 7, SIGABRT, 0},           {6, 0, SIGTRAP, TRAP_BRKPT},
  };
  for (const auto& c : cases) {
    const std::int64_t codes[2] = {c.code0, 0x1234};
    siginfo_t info{};
    ASSERT_TRUE(MShxcrash_async_mach_exception_get_siginfo(c.type, codes, 2, -1, &info)) << c.type;
    EXPECT_EQ(info.si_signo, c.signo) << c.type << "/" << c.code0;
    EXPECT_EQ(info.si_code, c.code) << c.type << "/" << c.code0;
    EXPECT_EQ(info.si_addr, reinterpret_cast<void*>(0x1234));
  }
  const std::int64_t codes[2] = {1, 2};
  siginfo_t info{};
  EXPECT_FALSE(MShxcrash_async_mach_exception_get_siginfo(1, codes, 1, -1, &info));   // one code
  EXPECT_FALSE(MShxcrash_async_mach_exception_get_siginfo(12, codes, 2, -1, &info));  // guard
}

TEST_F(MachExceptionServerTest, ServerAnswersWithTheCallbackResult) {
  Received received;
  received.answer = vx::KERN_FAILURE;
  vx::Error error;
  auto server = MSHXCrashMachExceptionServer::make(recordingCallback, &received, &error);
  ASSERT_TRUE(server) << error.description;
  EXPECT_NE(server->serverThread(), 0u);
  auto port = server->exceptionPortWithMask(0x6E, &error);
  ASSERT_TRUE(port);
  EXPECT_EQ(static_cast<std::uint32_t>(port->behavior()), 0x80000001u);
  EXPECT_EQ(port->flavor(), 7);
  EXPECT_EQ(MShxcrash_mach_port_send_refs(port->server_port()), 1);

  const std::int64_t codes[2] = {1, 0xdead};
  EXPECT_EQ(MShxcrash_mach_exception_raise(port->server_port(), 77, vx::mach_task_self(), 1, codes, 2, true),
            vx::KERN_FAILURE);
  EXPECT_EQ(received.calls.load(), 1);
  EXPECT_EQ(received.thread, 77u);
  EXPECT_EQ(received.type, 1);
  EXPECT_EQ(received.codes, (std::vector<std::int64_t>{1, 0xdead}));

  // A message larger than the receive buffer arrives after one regrowth.
  std::vector<std::uint8_t> big(3 * 4096 + 100, 0);
  auto* request = reinterpret_cast<hxcrash_mach_exception_request*>(big.data());
  std::int64_t bigCodes[2] = {2, 3};
  std::memcpy(reinterpret_cast<std::uint8_t*>(request) + MShxcrash_mach_exception_request_size(0), bigCodes,
              sizeof bigCodes);
  hxcrash_mach_port_t reply = 0;
  ASSERT_EQ(MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, &reply), 0);
  hxcrash_mach_msg_header header{};
  header.size = static_cast<std::uint32_t>(big.size());
  header.remote_port = port->server_port();
  header.local_port = reply;
  header.id = 2405;
  std::memcpy(big.data(), &header, sizeof header);
  std::uint32_t fields[] = {2, 5, 0, 0, 6, 0, 0};  // descriptor count, thread, task
  std::memcpy(big.data() + 24, fields, sizeof fields);
  std::int32_t typeAndCount[] = {3, 2};
  std::memcpy(big.data() + 60, typeAndCount, sizeof typeAndCount);
  ASSERT_EQ(MShxcrash_mach_msg_send(reinterpret_cast<hxcrash_mach_msg_header*>(big.data())), 0);
  hxcrash_mach_exception_reply answer{};
  ASSERT_EQ(MShxcrash_mach_msg_receive(reply, reinterpret_cast<hxcrash_mach_msg_header*>(&answer), sizeof answer, 5000,
                                       nullptr),
            0);
  EXPECT_EQ(answer.return_code, vx::KERN_FAILURE);
  EXPECT_EQ(answer.header.id, 2505);
  EXPECT_EQ(received.calls.load(), 2);
  EXPECT_EQ(received.type, 3);
  EXPECT_EQ(received.codes, (std::vector<std::int64_t>{2, 3}));

  // A no-senders notification is ignored; a termination message while running is a too-small
  // request, answered with KERN_FAILURE.
  const hxcrash_mach_port_t extra = server->copySendRightForServerAndReturningError(&error);
  MShxcrash_mach_port_deallocate(extra);
  port.reset();  // the last send right goes: no senders
  hxcrash_mach_msg_header stop{};
  stop.size = sizeof stop;
  stop.id = static_cast<std::int32_t>(0xdeadbeef);
  stop.local_port = reply;
  // The notify port is not exposed; a too-small request to the server port takes the same path.
  auto again = server->exceptionPortWithMask(0x6E, &error);
  stop.remote_port = again->server_port();
  ASSERT_EQ(MShxcrash_mach_msg_send(&stop), 0);
  ASSERT_EQ(MShxcrash_mach_msg_receive(reply, reinterpret_cast<hxcrash_mach_msg_header*>(&answer), sizeof answer, 5000,
                                       nullptr),
            0);
  EXPECT_EQ(answer.return_code, vx::KERN_FAILURE);
  EXPECT_EQ(received.calls.load(), 2);
  EXPECT_EQ(MShxcrash_mach_exception_raise(again->server_port(), 1, 1, 6, codes, 2, true), vx::KERN_FAILURE);
  EXPECT_EQ(received.calls.load(), 3);
  MShxcrash_mach_port_mod_refs(reply, MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, -1);
  again.reset();
  server.reset();  // the stop handshake returns
}

TEST_F(MachExceptionServerTest, RegistrationKeepsThePreviousPorts) {
  Received first, second;
  vx::Error error;
  auto serverA = MSHXCrashMachExceptionServer::make(recordingCallback, &first, &error);
  auto serverB = MSHXCrashMachExceptionServer::make(recordingCallback, &second, &error);
  ASSERT_TRUE(serverA && serverB);
  auto portA = serverA->exceptionPortWithMask(0x6E, &error);
  std::shared_ptr<MSHXCrashMachExceptionPortSet> previous;
  ASSERT_TRUE(portA->registerForTask(vx::mach_task_self(), &previous, &error));
  ASSERT_TRUE(previous);
  EXPECT_EQ(previous->asyncSafeRepresentation().count, 0u);

  auto portB = serverB->exceptionPortWithMask(0x2, &error);  // bad access only
  ASSERT_TRUE(portB->registerForTask(vx::mach_task_self(), &previous, &error));
  const auto saved = previous->asyncSafeRepresentation();
  ASSERT_EQ(saved.count, 1u);
  EXPECT_EQ(saved.masks[0], 0x2u);
  EXPECT_EQ(saved.ports[0], portA->server_port());

  // The kernel stand-in delivers to B; B's handler forwards to the saved registration (A).
  const std::int64_t codes[2] = {1, 8};
  EXPECT_EQ(MShxcrash_mach_deliver_exception(5, 1, codes, 2), vx::KERN_SUCCESS);
  EXPECT_EQ(second.calls.load(), 1);
  EXPECT_EQ(MSHXCrashMachExceptionForward(vx::mach_task_self(), 5, 1, codes, 2, &saved), vx::KERN_SUCCESS);
  EXPECT_EQ(first.calls.load(), 1);
  // No saved registration covers breakpoints: nothing is sent.
  EXPECT_EQ(MSHXCrashMachExceptionForward(vx::mach_task_self(), 5, 6, codes, 2, &saved), vx::KERN_FAILURE);
  EXPECT_EQ(first.calls.load(), 1);

  hxcrash_mach_exception_port_set dead = saved;
  dead.ports[0] = MSHXCRASH_MACH_PORT_DEAD;
  EXPECT_EQ(MSHXCrashMachExceptionForward(vx::mach_task_self(), 5, 1, codes, 2, &dead), vx::KERN_FAILURE);

  hxcrash_mach_exception_port_set tooMany{};
  tooMany.count = 15;
  EXPECT_FALSE(MSHXCrashMachExceptionPortSet::makeWithAsyncSafeRepresentation(tooMany, &error));
  EXPECT_EQ(error.description, "Count of 15 exceeds EXC_TYPES_COUNT (14)");
}

TEST_F(MachExceptionServerTest, StateRegistrationReceivesTheThreadState) {
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  Sleeper sleeper;
  hxcrash_mach_port_t port = 0;
  ASSERT_EQ(MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, &port), 0);
  hxcrash_mach_exception_port_set saved{};
  saved.count = 1;
  saved.masks[0] = 0x2;
  saved.ports[0] = port;
  saved.behaviors[0] = static_cast<std::int32_t>(0x80000002u);  // EXCEPTION_STATE, 64-bit codes
  saved.flavors[0] = 7;

  const std::int64_t codes[2] = {1, 16};
  auto forwarded = std::async(std::launch::async, [&] {
    return MSHXCrashMachExceptionForward(vx::mach_task_self(), sleeper.tid(), 1, codes, 2, &saved);
  });
  auto request = std::make_unique<hxcrash_mach_exception_request>();
  ASSERT_EQ(MShxcrash_mach_msg_receive(port, reinterpret_cast<hxcrash_mach_msg_header*>(request.get()), sizeof *request,
                                       10000, nullptr),
            0);
  MShxcrash_async_thread_capture_resume(sleeper.tid());
  EXPECT_EQ(request->header.id, 2406);
  EXPECT_EQ(request->flavor, 7);
  EXPECT_EQ(request->state_count, 44u);
  std::uint64_t rip = 0;
  std::memcpy(&rip, reinterpret_cast<const std::uint8_t*>(request->state) + 8 + 16 * 8, 8);
  EXPECT_NE(rip, 0u);
  hxcrash_mach_exception_reply reply{};
  reply.header.size = sizeof reply;
  reply.header.remote_port = request->header.local_port;
  reply.header.id = request->header.id + 100;
  reply.return_code = vx::KERN_SUCCESS;
  ASSERT_EQ(MShxcrash_mach_msg_send(reinterpret_cast<hxcrash_mach_msg_header*>(&reply)), 0);
  EXPECT_EQ(forwarded.get(), vx::KERN_SUCCESS);
  MShxcrash_mach_port_mod_refs(port, MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, -1);
}

namespace {

[[noreturn]] void machReportInChild(bool previousHandles) {
  Received previous;
  previous.answer = vx::KERN_SUCCESS;
  std::unique_ptr<MSHXCrashMachExceptionServer> earlier;
  std::shared_ptr<MSHXCrashMachExceptionPort> earlierPort;
  if (previousHandles) {
    earlier = MSHXCrashMachExceptionServer::make(recordingCallback, &previous, nullptr);
    earlierPort = earlier->exceptionPortWithMask(0x6E, nullptr);
    earlierPort->registerForTask(vx::mach_task_self(), nullptr, nullptr);
  }
  MSHXCrashReporter reporter("com.vexelworks.machtest", "1", std::nullopt,
                             std::make_shared<MSHXCrashReporterConfig>(1, 0));
  if (!reporter.enableCrashReporter()) _exit(20);
  Sleeper faulting;
  const std::int64_t codes[2] = {1, 0x42};
  const vx::kern_return_t kr = MShxcrash_mach_deliver_exception(faulting.tid(), 1, codes, 2);
  MShxcrash_async_thread_capture_resume_all();
  if (previousHandles) _exit(kr == vx::KERN_SUCCESS && previous.calls.load() == 1 ? 0 : 21);
  _exit(kr == vx::KERN_FAILURE ? 0 : 22);
}

}  // namespace

TEST(MachReporterTest, MachPathWritesAReportWithTheException) {
  MSHXCrashReporter reporter("com.vexelworks.machtest", "1", std::nullopt, nullptr);
  std::filesystem::remove(reporter.crashReportPath());
  EXPECT_EXIT(machReportInChild(false), ::testing::ExitedWithCode(0), "");
  const auto data = reporter.loadPendingCrashReportData();
  ASSERT_TRUE(data);
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(*data, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
  EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
  EXPECT_EQ(report->signalInfo()->address(), 0x42u);
  ASSERT_TRUE(report->machExceptionInfo());
  EXPECT_EQ(report->machExceptionInfo()->type(), 1u);
  EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<std::uint64_t>{1, 0x42}));
  const auto crashed = cetest::crashedThreads(*report);
  ASSERT_EQ(crashed.size(), 1u);
  EXPECT_FALSE(crashed[0]->registers().empty());
  EXPECT_FALSE(crashed[0]->stackFrames().empty());
}

TEST(MachReporterTest, NoReportWhenThePreviousPortHandlesIt) {
  MSHXCrashReporter reporter("com.vexelworks.machtest", "1", std::nullopt, nullptr);
  std::filesystem::remove(reporter.crashReportPath());
  EXPECT_EXIT(machReportInChild(true), ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(reporter.hasPendingCrashReport());
}
