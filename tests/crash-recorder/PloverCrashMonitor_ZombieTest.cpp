// The zombie monitor's cache and last freed exception, with objects laid out in memory as the
// runtime lays them out (this system has no runtime to free real ones).
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Zombie.h"

#include "crash-recorder/FakeObjCRuntime.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PloverCrashZombieMonitorTest, FreedObjectsAreNamedUntilAnotherTakesTheirEntry) {
  FakeObjCRuntime runtime;
  void* widget = runtime.makeClass("Widget", nullptr);
  void* gadget = runtime.makeClass("Gadget", nullptr);
  void* first = runtime.makeObject(widget);

  // Before the monitor is enabled there is no cache.
  plovercrashzombie_handleDealloc(first);
  EXPECT_EQ(plovercrashzombie_className(first), nullptr);
  PloverCrashMonitorOps* api = plovercrashcm_zombie_getAPI();
  EXPECT_FALSE(api->isEnabled());

  api->setEnabled(true);
  ASSERT_TRUE(api->isEnabled());
  EXPECT_EQ(plovercrashzombie_className(nullptr), nullptr);
  plovercrashzombie_handleDealloc(first);
  EXPECT_STREQ(plovercrashzombie_className(first), "Widget");
  EXPECT_EQ(plovercrashzombie_className(static_cast<char*>(first) + 16), nullptr);

  // Two addresses that share bits 7 to 21 share one entry: the later free wins.
  // Beyond the runtime's arena: a block of its own, 4 MiB and a little.
  auto* block =
      static_cast<char*>(mmap(nullptr, 0x400000 + 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(block, MAP_FAILED);
  void* a = block;
  void* b = block + 0x400000;
  *static_cast<void**>(a) = widget;
  *static_cast<void**>(b) = gadget;
  plovercrashzombie_handleDealloc(a);
  plovercrashzombie_handleDealloc(b);
  EXPECT_STREQ(plovercrashzombie_className(b), "Gadget");
  EXPECT_EQ(plovercrashzombie_className(a), nullptr);
  munmap(block, 0x400000 + 4096);

  // Disabling has no effect: the hooks stay.
  api->setEnabled(false);
  EXPECT_TRUE(api->isEnabled());
}

TEST(PloverCrashZombieMonitorTest, TheLastFreedExceptionKeepsItsNameAndReason) {
  FakeObjCRuntime runtime;
  void* stringClass = runtime.makeClass("__NSCFString", nullptr);
  void* exceptionClass = runtime.makeClass(
      "NSException", nullptr,
      {{"name", "@\"NSString\"", 8, 8}, {"reason", "@\"NSString\"", 16, 8}, {"userInfo", "@\"NSDictionary\"", 24, 8}});
  void* subclass = runtime.makeClass("MyException", exceptionClass);
  auto makeString = [&](const std::string& text) {
    void* object = runtime.makeObject(stringClass, 24 + text.size() + 1);
    FakeObjCRuntime::put(object, 16, static_cast<std::uint32_t>(text.size()));
    std::memcpy(static_cast<char*>(object) + 24, text.data(), text.size());
    return object;
  };
  void* exception = runtime.makeObject(subclass);
  FakeObjCRuntime::put(exception, 8, makeString("NSInvalidArgumentException"));
  FakeObjCRuntime::put(exception, 16, makeString("unrecognized selector"));

  plovercrashcm_zombie_getAPI()->setEnabled(true);
  plovercrashzombie_handleDealloc(exception);
  EXPECT_STREQ(plovercrashzombie_className(exception), "MyException");
  PloverCrash_MonitorContext context{};
  plovercrashcm_zombie_getAPI()->addContextualInfoToEvent(&context);
  EXPECT_EQ(context.ZombieException.address, reinterpret_cast<std::uintptr_t>(exception));
  EXPECT_STREQ(context.ZombieException.name, "NSInvalidArgumentException");
  EXPECT_STREQ(context.ZombieException.reason, "unrecognized selector");

  // An exception whose name is no valid object keeps an empty name.
  void* broken = runtime.makeObject(exceptionClass);
  FakeObjCRuntime::put(broken, 8, runtime.guardPage());
  FakeObjCRuntime::put(broken, 16, makeString("still here"));
  plovercrashzombie_handleDealloc(broken);
  plovercrashcm_zombie_getAPI()->addContextualInfoToEvent(&context);
  EXPECT_STREQ(context.ZombieException.name, "");
  EXPECT_STREQ(context.ZombieException.reason, "still here");
}

}  // namespace
