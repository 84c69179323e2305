// The exact JSON text, archive bytes and validity of every error-log model class - with every
// field set, with none, and with a set nested object that is itself not valid - pinned against
// MSErrorLogGolden.txt. Crash reports stored on disk and the ingestion service depend on these
// bytes; the record format and file layout are those of the log model's golden test.
//
// To record the file again after an intended format change: VX_WRITE_MODEL_GOLDEN=1 <this test>.
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSErrorLogs.h"
#include "telemetry/ZerEvuzevCrashes/Model/MSWrapperException.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace {

using namespace std::chrono_literals;

const vx::Date kTime = vx::Date(std::chrono::seconds(1'700'000'000)) + 123456789ns;
const vx::Date kLaunchTime = vx::Date(std::chrono::seconds(1'699'999'000)) + 5ms;

using Frames = std::vector<std::shared_ptr<MSStackFrame>>;

std::shared_ptr<MSStackFrame> fullFrame() {
  auto frame = std::make_shared<MSStackFrame>();
  frame->address = "0x0000000000001000";
  frame->code = "main + 4";
  frame->frameClassName = "Widget";
  frame->methodName = "draw";
  frame->lineNumber = 42;
  frame->fileName = "widget.cpp";
  return frame;
}

std::shared_ptr<MSException> fullException() {
  auto inner = std::make_shared<MSException>();
  inner->type = "std::bad_alloc";
  inner->frames = Frames{fullFrame()};
  auto exception = std::make_shared<MSException>();
  exception->type = "std::runtime_error";
  exception->message = "gone \"away\"/\xc3\xa9";
  exception->stackTrace = "trace";
  exception->wrapperSdkName = "wrapper.sdk";
  exception->frames = Frames{fullFrame(), fullFrame()};
  exception->innerExceptions = std::vector<std::shared_ptr<MSException>>{inner};
  return exception;
}

// Set, but without the frames its validity asks for.
std::shared_ptr<MSException> invalidException() {
  auto exception = std::make_shared<MSException>();
  exception->type = "std::logic_error";
  return exception;
}

std::shared_ptr<MSThread> fullThread() {
  auto thread = std::make_shared<MSThread>();
  thread->threadId = 7;
  thread->name = "main";
  thread->frames = Frames{fullFrame()};
  thread->exception = fullException();
  return thread;
}

std::shared_ptr<MSBinary> fullBinary() {
  auto binary = std::make_shared<MSBinary>();
  binary->binaryId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  binary->startAddress = "0x1000";
  binary->endAddress = "0x2000";
  binary->name = "app";
  binary->path = "/usr/bin/app";
  binary->architecture = "x86_64";
  // Above the signed range: archived by its bit pattern.
  binary->primaryArchitectureId = 0x8000000000000007ULL;
  binary->architectureVariantId = 3;
  return binary;
}

template <class T>
std::shared_ptr<T> withBase(std::shared_ptr<T> log) {
  log->type = log->type.value_or("someType");
  log->timestamp = kTime;
  log->sid = "sid-1";
  log->distributionGroupId = "dg";
  log->userId = "c:user";
  log->device = MSTestDevice();
  return log;
}

template <class T>
std::shared_ptr<T> withErrorBase(std::shared_ptr<T> log) {
  withBase(log);
  log->properties = std::map<std::string, std::string>{{"b", "2"}, {"a", "1"}};
  log->errorId = "error-1";
  log->processId = 123;
  log->processName = "app";
  log->parentProcessId = 1;
  log->parentProcessName = "launchd";
  log->errorThreadId = 7;
  log->errorThreadName = "main";
  log->fatal = true;
  log->appLaunchTimestamp = kLaunchTime;
  log->architecture = "x86_64";
  return log;
}

std::shared_ptr<MSAppleErrorLog> fullAppleLog() {
  auto log = withErrorBase(std::make_shared<MSAppleErrorLog>());
  log->primaryArchitectureId = 0xFFFFFFFFFFFFFFFFULL;
  log->architectureVariantId = 0;
  log->applicationPath = "/usr/bin/app";
  log->osExceptionType = "SIGSEGV";
  log->osExceptionCode = "SEGV_MAPERR";
  log->osExceptionAddress = "0x0";
  log->exceptionType = "std::runtime_error";
  log->exceptionReason = "gone";
  log->selectorRegisterValue = "sel";
  log->threads = std::vector<std::shared_ptr<MSThread>>{fullThread()};
  log->binaries = std::vector<std::shared_ptr<MSBinary>>{fullBinary()};
  log->registers = std::map<std::string, std::string>{{"rip", "0x1000"}, {"rax", "0x0"}};
  log->exception = fullException();
  return log;
}

std::shared_ptr<MSErrorAttachmentLog> fullAttachment() {
  auto log = withBase(std::make_shared<MSErrorAttachmentLog>());
  log->attachmentId = "attachment-1";
  log->errorId = "error-1";
  log->contentType = "application/octet-stream";
  log->filename = "dump.bin";
  log->data = vx::Bytes{0x00, 0xFF, 0xC3, 0x28, 'a'};
  return log;
}

using Make = std::function<std::shared_ptr<MSSerializableObject>()>;

struct GoldenCase {
  std::string name;     // the class
  std::string variant;  // "full", "empty" or what else the object shows
  Make make;
  bool equalByIdentity = false;
  // A list holding a null element archives it as null, which does not read back as a model.
  bool readsBack = true;
};

template <class T>
Make none() {
  return [] { return std::make_shared<T>(); };
}

std::vector<GoldenCase> goldenCases() {
  return {
      {"MSStackFrame", "full", [] { return fullFrame(); }},
      {"MSStackFrame", "empty", none<MSStackFrame>()},
      {"MSException", "full", [] { return fullException(); }},
      {"MSException", "empty", none<MSException>()},
      {"MSException", "invalid-inner",
       [] {
         auto exception = fullException();
         exception->innerExceptions = std::vector<std::shared_ptr<MSException>>{invalidException()};
         return exception;
       }},
      {"MSException", "null-element",
       [] {
         auto exception = fullException();
         exception->frames = Frames{fullFrame(), nullptr};
         exception->innerExceptions = std::vector<std::shared_ptr<MSException>>{nullptr};
         return exception;
       },
       false, false},
      {"MSException", "no-frames",
       [] {
         auto exception = fullException();
         exception->frames = Frames{};
         return exception;
       }},
      {"MSThread", "full", [] { return fullThread(); }},
      {"MSThread", "empty", none<MSThread>()},
      {"MSThread", "invalid-exception",
       [] {
         auto thread = fullThread();
         thread->exception = invalidException();
         return thread;
       }},
      {"MSThread", "no-frames",
       [] {
         auto thread = fullThread();
         thread->frames.reset();
         return thread;
       }},
      {"MSBinary", "full", [] { return fullBinary(); }},
      {"MSBinary", "empty", none<MSBinary>()},
      {"MSAbstractErrorLog", "full", [] { return withErrorBase(std::make_shared<MSAbstractErrorLog>()); }},
      {"MSAbstractErrorLog", "empty", none<MSAbstractErrorLog>()},
      {"MSAppleErrorLog", "full", [] { return fullAppleLog(); }},
      {"MSAppleErrorLog", "empty", none<MSAppleErrorLog>()},
      {"MSAppleErrorLog", "invalid-nested",
       [] {
         auto log = fullAppleLog();
         auto thread = fullThread();
         thread->frames = Frames{};
         auto binary = fullBinary();
         binary->path.reset();
         log->threads = std::vector<std::shared_ptr<MSThread>>{thread};
         log->binaries = std::vector<std::shared_ptr<MSBinary>>{binary};
         log->exception = invalidException();
         return log;
       }},
      {"MSHandledErrorLog", "full",
       [] {
         auto log = withBase(std::make_shared<MSHandledErrorLog>());
         log->errorId = "error-2";
         log->exception = fullException();
         return log;
       }},
      {"MSHandledErrorLog", "empty", none<MSHandledErrorLog>()},
      {"MSHandledErrorLog", "invalid-exception",
       [] {
         auto log = withBase(std::make_shared<MSHandledErrorLog>());
         log->errorId = "error-2";
         log->exception = invalidException();
         return log;
       }},
      {"MSErrorAttachmentLog", "full", [] { return fullAttachment(); }},
      {"MSErrorAttachmentLog", "empty",
       [] {
         // Every field unset, the random attachment id included.
         auto log = std::make_shared<MSErrorAttachmentLog>();
         log->attachmentId.reset();
         log->type.reset();
         return log;
       }},
      {"MSErrorAttachmentLog", "empty-data",
       [] {
         auto log = fullAttachment();
         log->data = vx::Bytes{};
         log->filename.reset();
         return log;
       }},
      {"MSWrapperException", "full",
       [] {
         auto wrapper = std::make_shared<MSWrapperException>();
         wrapper->modelException = fullException();
         wrapper->processId = 4321;
         wrapper->exceptionData = vx::Bytes{'{', '}', 0x00, 0x80};
         return wrapper;
       },
       true},
      {"MSWrapperException", "empty", none<MSWrapperException>(), true},
  };
}

std::filesystem::path goldenPath() { return VX_ERROR_LOG_GOLDEN_FILE; }

std::string hex(const vx::Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

// "<valid>\t<json>\t<archive hex>" for one object; validity only for classes that have a rule.
std::string record(const MSSerializableObject& object) {
  std::string valid = "-";
  if (const auto* model = dynamic_cast<const MSModel*>(&object)) valid = model->isValid() ? "valid" : "invalid";
  auto json = MSJsonWriter::write(object.serializeToDictionary(), false);
  auto archive = MSArchivedData(object);
  return valid + "\t" + (json ? *json : "<json error>") + "\t" + (archive ? hex(*archive) : "<archive error>");
}

std::map<std::string, std::string> storedRecords() {
  std::map<std::string, std::string> records;
  std::ifstream in(goldenPath());
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    records[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return records;
}

class MSErrorLogGoldenTest : public ::testing::Test {
 protected:
  void SetUp() override { MSRegisterCrashesArchivableClasses(); }
};

TEST_F(MSErrorLogGoldenTest, JsonArchiveAndValidityMatchTheRecordedBytes) {
  std::map<std::string, std::string> current;
  for (const auto& c : goldenCases()) current[c.name + " " + c.variant] = record(*c.make());
  if (const char* write = std::getenv("VX_WRITE_MODEL_GOLDEN"); write != nullptr && *write == '1') {
    std::ofstream out(goldenPath(), std::ios::trunc);
    out << "# <class> <variant>\t<validity>\t<JSON text>\t<archive bytes in hex>\n";
    for (const auto& [key, value] : current) out << key << '\t' << value << '\n';
    ASSERT_TRUE(out.good());
    GTEST_SKIP() << "recorded " << current.size() << " entries in " << goldenPath();
  }
  const auto stored = storedRecords();
  ASSERT_EQ(stored.size(), current.size()) << "missing or extra entries in " << goldenPath();
  for (const auto& [key, value] : current) {
    const auto it = stored.find(key);
    ASSERT_NE(it, stored.end()) << key;
    EXPECT_EQ(value, it->second) << key;
  }
}

TEST_F(MSErrorLogGoldenTest, RecordedArchivesReadBackEqualAndArchiveToTheSameBytes) {
  for (const auto& c : goldenCases()) {
    const std::string label = c.name + " " + c.variant;
    const auto original = c.make();
    auto data = MSArchivedData(*original);
    ASSERT_TRUE(data) << label;
    auto decoded = MSUnarchiveObject<MSSerializableObject>(*data);
    if (!c.readsBack) {
      EXPECT_FALSE(decoded) << label;
      continue;
    }
    ASSERT_TRUE(decoded) << label << ": " << decoded.error();
    EXPECT_EQ(decoded.value()->className(), c.name);
    EXPECT_EQ(record(*decoded.value()), record(*original)) << label;
    if (c.equalByIdentity) {
      EXPECT_FALSE(decoded.value()->isEqual(*original)) << label;
      EXPECT_TRUE(original->isEqual(*original)) << label;
      continue;
    }
    EXPECT_TRUE(decoded.value()->isEqual(*original)) << label;
    EXPECT_TRUE(original->isEqual(*decoded.value())) << label;
    EXPECT_EQ(decoded.value()->hash(), original->hash()) << label;
  }
}

// A full object never equals an empty one; empty objects equal each other and hash alike.
TEST_F(MSErrorLogGoldenTest, EmptyAndFullObjectsDiffer) {
  std::map<std::string, Make> empties;
  for (const auto& c : goldenCases()) {
    if (c.variant == "empty" && !c.equalByIdentity) empties[c.name] = c.make;
  }
  for (const auto& c : goldenCases()) {
    if (c.variant != "full" || c.equalByIdentity) continue;
    const auto& empty = empties.at(c.name);
    EXPECT_FALSE(c.make()->isEqual(*empty())) << c.name;
    EXPECT_FALSE(empty()->isEqual(*c.make())) << c.name;
    EXPECT_TRUE(c.make()->isEqual(*c.make())) << c.name;
    EXPECT_TRUE(empty()->isEqual(*empty())) << c.name;
    EXPECT_EQ(empty()->hash(), empty()->hash()) << c.name;
    EXPECT_EQ(c.make()->hash(), c.make()->hash()) << c.name;
  }
}

}  // namespace
