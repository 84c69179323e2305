// The error-log family: JSON keys and their order, validity, equality and archiving, each class
// driven by its field table.
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorReport.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSWrapperException.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<std::string> keysOf(const MSJson& json) {
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  return keys;
}

std::shared_ptr<MSStackFrame> frame(const std::string& address) {
  auto f = std::make_shared<MSStackFrame>();
  f->address = address;
  f->code = address + " + 4";
  return f;
}

std::shared_ptr<MSException> exceptionWithFrame() {
  auto e = std::make_shared<MSException>();
  e->type = "std::runtime_error";
  e->message = "gone";
  e->frames = std::vector<std::shared_ptr<MSStackFrame>>{frame("0x0000000000001000")};
  return e;
}

std::shared_ptr<MSAppleErrorLog> completeAppleLog() {
  auto log = std::make_shared<MSAppleErrorLog>();
  log->timestamp = vx::Date(std::chrono::milliseconds(1600000000999));
  log->device = MSTestDevice();
  log->sid = "session";
  log->errorId = "5B38D6A1-7E23-4C5B-9A1F-2E1B0D2C3A4F";
  log->processId = 4242;
  log->processName = "vexelworks";
  log->parentProcessId = 1;
  log->parentProcessName = "systemd";
  log->errorThreadId = 3;
  log->fatal = true;
  log->appLaunchTimestamp = vx::Date(std::chrono::seconds(1599999000));
  log->primaryArchitectureId = 0x1000007;
  log->architectureVariantId = 3;
  log->applicationPath = "/opt/vexelworks/bin/vexelworks";
  log->osExceptionType = "SIGSEGV";
  log->osExceptionCode = "SEGV_MAPERR";
  log->osExceptionAddress = "0x0";
  log->exceptionType = "std::runtime_error";
  log->exceptionReason = "gone";
  auto thread = std::make_shared<MSThread>();
  thread->threadId = 3;
  thread->frames->push_back(frame("0x0000000000002000"));
  thread->exception = exceptionWithFrame();
  log->threads = std::vector<std::shared_ptr<MSThread>>{thread};
  auto binary = std::make_shared<MSBinary>();
  binary->binaryId = "0123456789abcdef0123456789abcdef";
  binary->startAddress = "0x0000000000001000";
  binary->endAddress = "0x0000000000001fff";
  binary->name = "vexelworks";
  binary->path = "/opt/vexelworks/bin/vexelworks";
  binary->primaryArchitectureId = 0x1000007;
  binary->architectureVariantId = 3;
  log->binaries = std::vector<std::shared_ptr<MSBinary>>{binary};
  log->registers = std::map<std::string, std::string>{{"rip", "0x0000000000002000"}};
  log->exception = exceptionWithFrame();
  return log;
}

TEST(MSErrorLogModelTest, AppleErrorLogWritesItsKeysInOrder) {
  auto log = completeAppleLog();
  log->properties = std::map<std::string, std::string>{{"k", "v"}};
  EXPECT_EQ(keysOf(log->serializeToDictionary()), (std::vector<std::string>{"type",
                                                                            "timestamp",
                                                                            "sid",
                                                                            "device",
                                                                            "properties",
                                                                            "id",
                                                                            "processId",
                                                                            "processName",
                                                                            "parentProcessId",
                                                                            "parentProcessName",
                                                                            "errorThreadId",
                                                                            "fatal",
                                                                            "appLaunchTimestamp",
                                                                            "primaryArchitectureId",
                                                                            "architectureVariantId",
                                                                            "applicationPath",
                                                                            "osExceptionType",
                                                                            "osExceptionCode",
                                                                            "osExceptionAddress",
                                                                            "exceptionType",
                                                                            "exceptionReason",
                                                                            "threads",
                                                                            "binaries",
                                                                            "registers",
                                                                            "exception"}));
  const MSJson json = log->serializeToDictionary();
  EXPECT_EQ(json["type"], "appleError");
  EXPECT_EQ(json["fatal"], true);
  EXPECT_EQ(json["primaryArchitectureId"], 0x1000007u);
  EXPECT_EQ(json["appLaunchTimestamp"], "2020-09-13T12:10:00.000Z");
  EXPECT_EQ(json["registers"]["rip"], "0x0000000000002000");
  EXPECT_EQ(keysOf(json["threads"][0]), (std::vector<std::string>{"id", "frames", "exception"}));
  EXPECT_EQ(keysOf(json["binaries"][0]), (std::vector<std::string>{"id", "startAddress", "endAddress", "name", "path",
                                                                   "primaryArchitectureId", "architectureVariantId"}));
  EXPECT_TRUE(log->isValid());
}

TEST(MSErrorLogModelTest, FatalIsAlwaysWrittenAndUnsetFieldsNever) {
  MSAppleErrorLog log;
  const MSJson json = log.serializeToDictionary();
  EXPECT_EQ(json["fatal"], false);
  EXPECT_FALSE(json.contains("errorThreadName"));
  EXPECT_FALSE(json.contains("architecture"));
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "fatal"}));
}

TEST(MSErrorLogModelTest, ExceptionAndFrameKeyOrder) {
  auto e = exceptionWithFrame();
  e->stackTrace = "at Main";
  e->wrapperSdkName = "wrapper";
  e->innerExceptions = std::vector<std::shared_ptr<MSException>>{exceptionWithFrame()};
  EXPECT_EQ(keysOf(e->serializeToDictionary()),
            (std::vector<std::string>{"type", "message", "stackTrace", "wrapperSdkName", "frames", "innerExceptions"}));
  MSStackFrame f;
  f.address = "a";
  f.code = "c";
  f.frameClassName = "Cls";
  f.methodName = "m";
  f.lineNumber = 12;
  f.fileName = "f.cpp";
  EXPECT_EQ(keysOf(f.serializeToDictionary()),
            (std::vector<std::string>{"address", "code", "className", "methodName", "lineNumber", "fileName"}));
  EXPECT_EQ(f.serializeToDictionary()["lineNumber"], 12);
}

struct ValidityCase {
  const char* label;
  std::function<void(MSAppleErrorLog&)> change;
  bool valid;
};

class AppleErrorLogValidityTest : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(AppleErrorLogValidityTest, RequiredFields) {
  auto log = completeAppleLog();
  GetParam().change(*log);
  EXPECT_EQ(log->isValid(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AppleErrorLogValidityTest,
    ::testing::Values(ValidityCase{"complete", [](MSAppleErrorLog&) {}, true},
                      ValidityCase{"noFatalStillValid", [](MSAppleErrorLog& l) { l.fatal = false; }, true},
                      ValidityCase{"noErrorId", [](MSAppleErrorLog& l) { l.errorId.reset(); }, false},
                      ValidityCase{"noProcessId", [](MSAppleErrorLog& l) { l.processId.reset(); }, false},
                      ValidityCase{"noProcessName", [](MSAppleErrorLog& l) { l.processName.reset(); }, false},
                      ValidityCase{"noArchitectureId", [](MSAppleErrorLog& l) { l.primaryArchitectureId.reset(); },
                                   false},
                      ValidityCase{"noApplicationPath", [](MSAppleErrorLog& l) { l.applicationPath.reset(); }, false},
                      ValidityCase{"noSignal", [](MSAppleErrorLog& l) { l.osExceptionType.reset(); }, false},
                      ValidityCase{"noSignalCode", [](MSAppleErrorLog& l) { l.osExceptionCode.reset(); }, false},
                      ValidityCase{"noAddress", [](MSAppleErrorLog& l) { l.osExceptionAddress.reset(); }, false},
                      ValidityCase{"noDevice", [](MSAppleErrorLog& l) { l.device.reset(); }, false},
                      ValidityCase{"noTimestamp", [](MSAppleErrorLog& l) { l.timestamp.reset(); }, false},
                      ValidityCase{"noThreadsStillValid", [](MSAppleErrorLog& l) { l.threads.reset(); }, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(MSErrorLogModelTest, ValueClassValidity) {
  MSThread thread;
  thread.threadId = 1;
  EXPECT_FALSE(thread.isValid());  // empty frames
  EXPECT_EQ(thread.serializeToDictionary()["frames"], MSJson::array());
  thread.frames->push_back(frame("0x1"));
  EXPECT_TRUE(thread.isValid());

  MSException exception;
  exception.type = "t";
  exception.frames = std::vector<std::shared_ptr<MSStackFrame>>{};
  EXPECT_FALSE(exception.isValid());
  EXPECT_EQ(exception.serializeToDictionary()["frames"], MSJson::array());
  exception.frames->push_back(frame("0x1"));
  EXPECT_TRUE(exception.isValid());
  exception.type.reset();
  EXPECT_FALSE(exception.isValid());

  MSBinary binary;
  binary.binaryId = "id";
  binary.startAddress = "0x1";
  binary.endAddress = "0x2";
  binary.name = "n";
  EXPECT_FALSE(binary.isValid());
  binary.path = "";
  EXPECT_TRUE(binary.isValid());

  MSHandledErrorLog handled;
  handled.timestamp = vx::Date(std::chrono::seconds(1));
  handled.device = MSTestDevice();
  handled.errorId = "e";
  EXPECT_FALSE(handled.isValid());
  handled.exception = exceptionWithFrame();
  EXPECT_TRUE(handled.isValid());
  EXPECT_EQ(keysOf(handled.serializeToDictionary()),
            (std::vector<std::string>{"type", "timestamp", "device", "id", "exception"}));
}

TEST(MSErrorLogModelTest, TextAttachment) {
  auto attachment = MSErrorAttachmentLog::attachmentWithText("abc", "a.txt");
  attachment->timestamp = vx::Date(std::chrono::seconds(1));
  attachment->device = MSTestDevice();
  const MSJson json = attachment->serializeToDictionary();
  EXPECT_EQ(json["type"], "errorAttachment");
  EXPECT_EQ(json["contentType"], "text/plain");
  EXPECT_EQ(json["fileName"], "a.txt");
  EXPECT_EQ(json["data"], "YWJj");
  EXPECT_EQ(json["id"].get<std::string>().size(), 36u);
  EXPECT_FALSE(attachment->isValid());  // no error id yet
  attachment->errorId = "incident";
  EXPECT_TRUE(attachment->isValid());
  EXPECT_EQ(
      keysOf(attachment->serializeToDictionary()),
      (std::vector<std::string>{"type", "timestamp", "device", "id", "errorId", "contentType", "fileName", "data"}));

  auto same = MSErrorAttachmentLog::attachmentWithText("abc", "a.txt");
  EXPECT_NE(same->attachmentId, attachment->attachmentId);
  EXPECT_FALSE(same->isEqual(*attachment));

  auto empty = MSErrorAttachmentLog::attachmentWithText(std::nullopt, "a.txt");
  empty->timestamp = attachment->timestamp;
  empty->device = attachment->device;
  empty->errorId = "incident";
  EXPECT_FALSE(empty->isValid());

  auto binary =
      MSErrorAttachmentLog::attachmentWithBinary(vx::Bytes{0, 1, 0xff}, std::nullopt, "application/octet-stream");
  EXPECT_EQ(binary->serializeToDictionary()["data"], "AAH/");
  EXPECT_FALSE(binary->serializeToDictionary().contains("fileName"));
}

TEST(MSErrorLogModelTest, ArchivedLogsComeBackEqual) {
  MSRegisterCrashesArchivableClasses();
  auto log = completeAppleLog();
  log->errorThreadName = "main";
  log->architecture = "x86_64";
  auto data = MSArchivedData(*log);
  ASSERT_TRUE(data);
  auto back = MSUnarchiveObject<MSAppleErrorLog>(data.value());
  ASSERT_TRUE(back) << back.error().description;
  EXPECT_TRUE(back.value()->isEqual(*log));
  EXPECT_EQ(back.value()->hash(), log->hash());
  EXPECT_EQ(back.value()->serializeToDictionary(), log->serializeToDictionary());
  EXPECT_EQ(*back.value()->primaryArchitectureId, 0x1000007u);

  // A change anywhere, nested ones included, makes them differ.
  back.value()->threads->front()->frames->front()->code = "other";
  EXPECT_FALSE(back.value()->isEqual(*log));

  auto attachment = MSErrorAttachmentLog::attachmentWithBinary(vx::Bytes{1, 2, 3}, "f.bin", "application/x");
  attachment->errorId = "incident";
  auto attachmentBack = MSUnarchiveObject<MSErrorAttachmentLog>(MSArchivedData(*attachment).value());
  ASSERT_TRUE(attachmentBack);
  EXPECT_TRUE(attachmentBack.value()->isEqual(*attachment));

  MSHandledErrorLog handled;
  handled.errorId = "e";
  handled.exception = exceptionWithFrame();
  handled.exception->innerExceptions = std::vector<std::shared_ptr<MSException>>{exceptionWithFrame()};
  auto handledBack = MSUnarchiveObject<MSHandledErrorLog>(MSArchivedData(handled).value());
  ASSERT_TRUE(handledBack);
  EXPECT_TRUE(handledBack.value()->isEqual(handled));
}

TEST(MSErrorLogModelTest, AnArchiveWithAWrongElementClassDoesNotDecode) {
  MSRegisterCrashesArchivableClasses();
  // A thread whose frames list holds a binary.
  class WrongThread : public MSThread {
   public:
    void encodeWithCoder(vx::KeyedArchiver& coder) const override {
      coder.encodeInt64(1, "id");
      coder.encodeObjects({std::make_shared<MSBinary>()}, "frames");
    }
  };
  auto wrong = MSArchivedData(WrongThread());
  ASSERT_TRUE(wrong);
  EXPECT_FALSE(MSUnarchiveObject<MSThread>(wrong.value()));
}

TEST(MSErrorLogModelTest, WrapperExceptionDictionaryAndArchive) {
  MSRegisterCrashesArchivableClasses();
  MSWrapperException wrapper;
  wrapper.modelException = exceptionWithFrame();
  wrapper.exceptionData = vx::Bytes{'d', 'a', 't', 'a'};
  wrapper.processId = 77;
  EXPECT_EQ(keysOf(wrapper.serializeToDictionary()),
            (std::vector<std::string>{"modelException", "processId", "exceptionData"}));
  auto back = MSUnarchiveObject<MSWrapperException>(MSArchivedData(wrapper).value());
  ASSERT_TRUE(back);
  EXPECT_TRUE(back.value()->modelException->isEqual(*wrapper.modelException));
  EXPECT_EQ(back.value()->exceptionData, wrapper.exceptionData);
  EXPECT_EQ(back.value()->processId, 77);
}

TEST(MSErrorLogModelTest, ErrorReportAppKill) {
  const auto report = [](std::optional<std::string> signal) {
    return MSErrorReport("id", "key", std::move(signal), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                         nullptr, 1);
  };
  EXPECT_TRUE(report("sigkill").isAppKill());
  EXPECT_TRUE(report("SIGKILL").isAppKill());
  EXPECT_FALSE(report("SIGTERM").isAppKill());
  EXPECT_FALSE(report(std::nullopt).isAppKill());
  auto changed = report("SIGTERM");
  changed.setSignal("SIGKILL");
  EXPECT_TRUE(changed.isAppKill());
}

}  // namespace
