// C++ exception capture: the throw entry, the terminate hook and its handler list, the wrapper
// exception. Every uncaught exception ends a forked child; the parent reads what the handler saw.
#include "telemetry/ZerEvuzevCrashes/MSCrashesCXXExceptionHandler.h"
#include "telemetry/crashes/MSCrashesTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

// A thrown type that is no standard exception.
struct IconStoreFault {
  int code;
};

// The functions that throw, exported so the tests can find them by address.
extern "C" __attribute__((noinline)) void crashesTestThrowRuntimeError() {
  throw std::runtime_error("icon cache is gone");
}
extern "C" __attribute__((noinline)) void crashesTestThrowCString() { throw "a plain C string"; }
extern "C" __attribute__((noinline)) void crashesTestThrowInt() { throw 42; }
extern "C" __attribute__((noinline)) void crashesTestThrowFault() { throw IconStoreFault{7}; }
extern "C" __attribute__((noinline)) void crashesTestThrowString() { throw std::string("a standard string"); }
extern "C" __attribute__((noinline)) void crashesTestRethrow(std::exception_ptr pointer) {
  std::rethrow_exception(pointer);
}

namespace {

using crashes_test::runInChild;
using crashes_test::tell;

// Reports what a handler receives: mangled and demangled type, text, and where the first return
// address lies.
void reportingHandler(const MSCrashesCXXExceptionRecord* info) {
  char line[512];
  const MSCrashesCXXExceptionWrapperException wrapper(info);
  std::snprintf(line, sizeof line, "type=%s\nname=%s\ntext=%s\nreason=%s\nframes=%u\n",
                info->typeName != nullptr ? info->typeName : "(null)", wrapper.name().c_str(),
                info->exceptionText != nullptr ? info->exceptionText : "(null)", wrapper.reason().c_str(),
                info->frameCount);
  tell(line);
  const auto addresses = wrapper.callStackReturnAddresses();
  tell(addresses.size() == info->frameCount ? "addresses=match\n" : "addresses=differ\n");
  const std::pair<const char*, const void*> functions[] = {
      {"runtime", reinterpret_cast<const void*>(&crashesTestThrowRuntimeError)},
      {"cstring", reinterpret_cast<const void*>(&crashesTestThrowCString)},
      {"int", reinterpret_cast<const void*>(&crashesTestThrowInt)},
      {"fault", reinterpret_cast<const void*>(&crashesTestThrowFault)},
      {"string", reinterpret_cast<const void*>(&crashesTestThrowString)},
      {"rethrow", reinterpret_cast<const void*>(&crashesTestRethrow)},
  };
  for (const auto& [name, function] : functions) {
    if (info->frameCount > 0 && crashes_test::returnAddressIsIn(info->returnAddresses[0], function)) {
      std::snprintf(line, sizeof line, "first=%s\n", name);
      tell(line);
    }
    for (std::uint32_t i = 0; i < info->frameCount; ++i) {
      if (crashes_test::returnAddressIsIn(info->returnAddresses[i], function)) {
        std::snprintf(line, sizeof line, "somewhere=%s\n", name);
        tell(line);
        break;
      }
    }
  }
}

void secondHandler(const MSCrashesCXXExceptionRecord*) { tell("second handler ran\n"); }

// Nothing catches on a thread of its own, so the exception reaches the terminate hook.
void throwUncaughtOnThread(void (*thrower)()) {
  std::thread([thrower] { thrower(); }).join();
}

struct ThrowCase {
  const char* label;
  void (*thrower)();
  const char* type;
  const char* name;
  const char* text;
  const char* reason;
};

class UncaughtExceptionTest : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(UncaughtExceptionTest, HandlersGetTypeTextAndTheThrowSiteStack) {
  const ThrowCase& c = GetParam();
  const auto child = runInChild([&c] {
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
    throwUncaughtOnThread(c.thrower);
  });
  EXPECT_TRUE(child.killedBy(SIGABRT)) << child.output;
  EXPECT_TRUE(child.has(std::string("type=") + c.type + "\n")) << child.output;
  EXPECT_TRUE(child.has(std::string("name=") + c.name + "\n")) << child.output;
  EXPECT_TRUE(child.has(std::string("text=") + c.text + "\n")) << child.output;
  EXPECT_TRUE(child.has(std::string("reason=") + c.reason + "\n")) << child.output;
  EXPECT_TRUE(child.has("addresses=match")) << child.output;
  // The throw hook's own frame is dropped: the first address is the throwing function's.
  EXPECT_TRUE(child.has(std::string("first=") + c.label + "\n")) << child.output;
  // Every handler runs, in order.
  EXPECT_LT(child.output.find("type="), child.output.find("second handler ran"));
}

INSTANTIATE_TEST_SUITE_P(
    Types, UncaughtExceptionTest,
    ::testing::Values(
        ThrowCase{"runtime", crashesTestThrowRuntimeError, "St13runtime_error", "std::runtime_error",
                  "icon cache is gone", "icon cache is gone"},
        ThrowCase{"cstring", crashesTestThrowCString, "PKc", "char const*", "a plain C string", "a plain C string"},
        ThrowCase{"int", crashesTestThrowInt, "i", "int", "(null)", ""},
        ThrowCase{"fault", crashesTestThrowFault, "14IconStoreFault", "IconStoreFault", "(null)", ""},
        ThrowCase{"string", crashesTestThrowString, "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
                  "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
                  "a standard string", "a standard string"}),
    [](const auto& info) { return std::string(info.param.label); });

// An exception that reaches the hook without having passed the throw entry on this thread must
// not be reported with the stack of whatever this thread threw last: the hook takes its own.
TEST(UncaughtExceptionStackTest, ARethrownForeignExceptionGetsAFreshStack) {
  const auto child = runInChild([] {
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    std::exception_ptr foreign;
    std::thread([&foreign] {
      try {
        crashesTestThrowCString();
      } catch (...) {
        foreign = std::current_exception();
      }
    }).join();
    std::thread([&foreign] {
      // This thread's last captured throw is another, caught exception.
      try {
        crashesTestThrowRuntimeError();
      } catch (const std::exception&) {
      }
      crashesTestRethrow(foreign);
    }).join();
  });
  EXPECT_TRUE(child.killedBy(SIGABRT)) << child.output;
  EXPECT_TRUE(child.has("text=a plain C string\n")) << child.output;
  EXPECT_TRUE(child.has("somewhere=rethrow\n")) << child.output;
  EXPECT_FALSE(child.has("first=runtime\n")) << child.output;
}

TEST(UncaughtExceptionStackTest, AThrowBeforeCaptureBeganGetsAFreshStack) {
  const auto child = runInChild([] {
    std::exception_ptr early;
    std::thread([&early] {
      try {
        crashesTestThrowRuntimeError();
      } catch (...) {
        early = std::current_exception();
      }
    }).join();
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    std::thread([&early] { crashesTestRethrow(early); }).join();
  });
  EXPECT_TRUE(child.killedBy(SIGABRT)) << child.output;
  EXPECT_TRUE(child.has("text=icon cache is gone\n")) << child.output;
  EXPECT_TRUE(child.has("somewhere=rethrow\n")) << child.output;
}

// A caught exception never reaches the handlers, and the process goes on.
TEST(UncaughtExceptionStackTest, CaughtExceptionsCallNoHandler) {
  const auto child = runInChild([] {
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    try {
      crashesTestThrowRuntimeError();
    } catch (const std::runtime_error& e) {
      tell("caught\n");
    }
  });
  EXPECT_TRUE(child.exitedWith(0));
  EXPECT_EQ(child.output, "caught\n");
}

void otherTerminate() { std::abort(); }

TEST(CXXExceptionHandlerManagerTest, AddingAndRemovingKeepsTheHookWhileHandlersRemain) {
  const auto child = runInChild([] {
    using M = MSCrashesUncaughtCXXExceptionHandlerManager;
    const std::terminate_handler original = std::get_terminate();
    M::addCXXExceptionHandler(secondHandler);
    M::addCXXExceptionHandler(secondHandler);
    if (M::countCXXExceptionHandler() != 2 || std::get_terminate() != ms_cxx_terminate_handler) _exit(10);
    M::removeCXXExceptionHandler(reportingHandler);  // not in the list: nothing changes
    M::removeCXXExceptionHandler(secondHandler);
    if (M::countCXXExceptionHandler() != 1 || !M::isCapturing()) _exit(11);
    M::removeCXXExceptionHandler(secondHandler);
    if (M::countCXXExceptionHandler() != 0 || M::isCapturing() || std::get_terminate() != original) _exit(12);

    // Another component installed its own handler on top: it stays after the last removal.
    M::addCXXExceptionHandler(secondHandler);
    std::set_terminate(otherTerminate);
    M::removeCXXExceptionHandler(secondHandler);
    if (std::get_terminate() != otherTerminate || !M::isCapturing()) _exit(13);
  });
  EXPECT_TRUE(child.exitedWith(0)) << child.status;
}

TEST(CXXExceptionHandlerManagerTest, TerminateWithoutAnExceptionGoesToThePreviousHandler) {
  const auto child = runInChild([] {
    std::set_terminate([] {
      tell("previous handler\n");
      std::abort();
    });
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    std::terminate();
  });
  EXPECT_TRUE(child.killedBy(SIGABRT));
  EXPECT_EQ(child.output, "previous handler\n");
}

TEST(CXXExceptionHandlerManagerTest, UncaughtExceptionsGoOnToThePreviousHandler) {
  const auto child = runInChild([] {
    std::set_terminate([] {
      tell("previous handler\n");
      std::abort();
    });
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(secondHandler);
    throwUncaughtOnThread(crashesTestThrowInt);
  });
  EXPECT_TRUE(child.killedBy(SIGABRT));
  EXPECT_EQ(child.output, "second handler ran\nprevious handler\n");
}

TEST(CXXExceptionHandlerManagerTest, TheThrowEntryIsExported) {
  // Linked with -rdynamic as the README asks: the process's global lookup finds this program's
  // throw entry, so throws inside shared libraries pass it too.
  void* global = dlsym(RTLD_DEFAULT, "__cxa_throw");
  Dl_info info{};
  ASSERT_NE(global, nullptr);
  ASSERT_NE(dladdr(global, &info), 0);
  Dl_info self{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&crashesTestThrowInt), &self), 0);
  EXPECT_STREQ(info.dli_fname, self.dli_fname);
}

TEST(CXXExceptionHandlerManagerTest, LibraryThrowsAreCapturedWhenTheEntryIsExported) {
  const auto child = runInChild([] {
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
    // std::string::at throws from inside the C++ library.
    std::thread([] {
      std::string text = "abc";
      (void)text.at(10);
    }).join();
  });
  EXPECT_TRUE(child.killedBy(SIGABRT));
  EXPECT_TRUE(child.has("type=St12out_of_range\n")) << child.output;
}

}  // namespace
