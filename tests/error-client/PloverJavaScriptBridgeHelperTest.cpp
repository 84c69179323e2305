// The script bridge: events with exceptions or bare stack traces, frames from the script
// reporter's JSON and from stack-trace text, users, breadcrumbs and the level tables.
#include "reporting/error-client/PloverJavaScriptBridgeHelper.h"

#include <gtest/gtest.h>

namespace {

using B = PloverJavaScriptBridgeHelper;
using Json = nlohmann::json;

TEST(PloverJavaScriptBridgeHelperTest, EventWithExceptionKeepsTheInputFrameOrder) {
  Json input = Json::parse(R"({
    "level": "warning", "event_id": "abc", "message": "boom", "tags": {"n": 5, "s": "x"},
    "user": {"email": "e@x"},
    "exception": {"values": [{"type": "TypeError", "value": "undefined is not a function",
      "stacktrace": {"frames": [
        {"function": "outer", "filename": "/a/b/main.js?v=3", "lineno": 10, "colno": 2},
        {"filename": "/no/method.js", "lineno": null},
        {"function": "inner", "filename": "inner.js", "lineno": 20, "colno": 4}]}}]}
  })");
  auto event = B::createPloverEventFromJavaScriptEvent(input);
  EXPECT_EQ(event->level, PloverSeverity::warning);
  EXPECT_EQ(event->eventId, "abc");
  EXPECT_EQ(event->tags->at("n"), "5");
  ASSERT_TRUE(event->user);
  EXPECT_FALSE(event->user->userId);
  ASSERT_EQ(event->exceptions.size(), 1u);
  EXPECT_EQ(event->exceptions[0]->type, "TypeError");
  const auto& thread = event->exceptions[0]->thread;
  EXPECT_EQ(thread->threadId, 99);
  const auto& frames = thread->stacktrace->frames;
  ASSERT_EQ(frames.size(), 2u);  // the frame without a function is dropped
  EXPECT_EQ(frames[0].function, "outer");
  EXPECT_EQ(frames[0].fileName, "app:///main.js");
  EXPECT_EQ(frames[0].lineNumber, 10);
  EXPECT_EQ(frames[0].columnNumber, 2);
  EXPECT_EQ(frames[1].function, "inner");
  EXPECT_EQ(frames[1].platform, "javascript");
}

TEST(PloverJavaScriptBridgeHelperTest, StackTraceTextAndBareStackTraces) {
  auto parsed = B::parseJavaScriptStacktrace(
      "render@app:///index.bundle:12:34\nnot a frame line\n[native code]\nmain@file:///x/app.js:7");
  ASSERT_GE(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["methodName"], "render");
  EXPECT_EQ(parsed[0]["file"], "app:///index.bundle");
  EXPECT_EQ(parsed[0]["lineNumber"], 12);
  EXPECT_EQ(parsed[0]["column"], 34);

  Json input = {{"message", "bare"},
                {"stacktrace", {{"frames", Json::array({Json{{"function", "f"}, {"filename", "f.js"}}})}}}};
  auto event = B::createPloverEventFromJavaScriptEvent(input);
  EXPECT_EQ(event->level, PloverSeverity::error);
  ASSERT_EQ(event->exceptions.size(), 1u);
  EXPECT_EQ(event->exceptions[0]->value, "bare");
  EXPECT_EQ(event->exceptions[0]->type, "");
  EXPECT_TRUE(B::createPloverEventFromJavaScriptEvent(Json{{"message", "m"}})->exceptions.empty());
  EXPECT_TRUE(B::createPloverEventFromJavaScriptEvent(Json("not an object"))->tags->empty());
}

TEST(PloverJavaScriptBridgeHelperTest, UsersBreadcrumbsAndLevels) {
  EXPECT_EQ(B::createPloverUserFromJavaScriptUser(Json{{"extra", {{"a", 1}}}}), nullptr);
  EXPECT_EQ(B::createPloverUserFromJavaScriptUser(Json{{"userId", 7}})->userId, "7");

  auto old = B::createPloverBreadcrumbFromJavaScriptBreadcrumb(Json{{"timestamp", 0}, {"category", "c"}});
  EXPECT_EQ(old.level, PloverSeverity::info);
  EXPECT_GT(*old.timestamp, vx::Date(std::chrono::seconds(1000000000)));
  auto dated = B::createPloverBreadcrumbFromJavaScriptBreadcrumb(Json{{"timestamp", 100}, {"level", "debug"}});
  EXPECT_EQ(*dated.timestamp, vx::Date(std::chrono::seconds(100)));
  EXPECT_EQ(dated.level, PloverSeverity::debug);

  struct Case {
    Json in;
    PloverSeverity out;
  } cases[] = {{"fatal", PloverSeverity::fatal}, {"warning", PloverSeverity::warning}, {"log", PloverSeverity::info},
               {"debug", PloverSeverity::debug}, {"other", PloverSeverity::error},     {Json(), PloverSeverity::error}};
  for (const auto& c : cases) EXPECT_EQ(B::ploverSeverityFromLevel(c.in), c.out) << c.in.dump();
  EXPECT_EQ(B::ploverLogLevelFromJavaScriptLevel(1), 2);
  EXPECT_EQ(B::ploverLogLevelFromJavaScriptLevel(3), 4);
  EXPECT_EQ(B::ploverLogLevelFromJavaScriptLevel(9), 1);
}

}  // namespace
