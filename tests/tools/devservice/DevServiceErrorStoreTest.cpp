// The error store endpoint checks an event's shape as the error-reporting client sends it: a
// message event, a script error with its frames and a recorded crash are accepted; each fault
// made in one of them is refused with 400 and the path of the value at fault.
#include "tools/devservice/DevService.h"

#include "platform/net/URLSession.h"
#include "platform/security/Gzip.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace vx::devservice {
namespace {

using Json = nlohmann::json;
using vx::testing::fetch;

const char* kAuth =
    "Plover plover_version=7,plover_client=plover-cocoa/4.3.4,plover_timestamp=1765368000,plover_key=pub,"
    "plover_secret=sec";

Json messageEvent() {
  return Json::parse(R"({
    "event_id": "0f3c9a8e2b7d4c61a5e8f90b1c2d3e4f",
    "timestamp": "2026-12-10T12:00:00Z",
    "level": "error",
    "platform": "cocoa",
    "sdk": {"name": "plover-cocoa", "version": "4.3.4"},
    "release": "com.vexelworks.app-1.2",
    "dist": "12",
    "user": {"id": "u-1", "email": "u1@example.org"},
    "breadcrumbs": [{"level": "info", "timestamp": "2026-12-10T11:59:59Z", "category": "started",
                     "type": "debug", "message": "Breadcrumb Tracking"},
                    {"level": "info", "category": "ui.lifecycle", "data": {"controller": "SearchViewController"}}],
    "contexts": {"os": {"name": "Linux", "version": "6.1.0", "rooted": false},
                 "device": {"arch": "x86_64", "memory_size": 16000000000, "model": null},
                 "app": {"app_identifier": "com.vexelworks.app"}},
    "message": "failed to load icons",
    "extra": {"attempt": 2},
    "tags": {"tier": "gold"}
  })");
}

// A script error as the script bridge turns it into an event: frames without addresses.
Json scriptErrorEvent() {
  Json event = messageEvent();
  event["exception"] = Json::parse(R"({"values": [{
    "value": "x is undefined", "type": "TypeError", "thread_id": 99,
    "stacktrace": {"frames": [{"filename": "app:///main.js", "function": "load", "lineno": 3, "colno": 7,
                               "platform": "javascript"}]}}]})");
  return event;
}

// A crash as the crash report converter turns it into an event.
Json crashEvent() {
  Json event = messageEvent();
  event.erase("message");
  event["level"] = "fatal";
  event["exception"] = Json::parse(R"({"values": [{
    "value": "Signal 11, Code 2", "type": "SIGSEGV",
    "mechanism": {"type": "signal", "handled": false,
                  "meta": {"signal": {"number": 11, "code": 2, "name": "SIGSEGV", "code_name": "SEGV_ACCERR"}},
                  "data": {"relevant_address": "0x00007f0000001010"}},
    "thread_id": 0,
    "stacktrace": {
      "frames": [{"symbol_addr": "0x0000000000401000", "package": "/opt/vexelworks/bin/app",
                  "image_addr": "0x0000000000400000", "instruction_addr": "0x0000000000401020"},
                 {"function": "crash", "symbol_addr": "0x0000000000401100", "package": "/opt/vexelworks/bin/app",
                  "image_addr": "0x0000000000400000", "instruction_addr": "0x0000000000401108"}],
      "registers": {"rip": "0x0000000000401108", "rsp": "0x00007ffd00000000"}}}]})");
  event["threads"] = Json::parse(R"({"values": [
    {"id": 0, "crashed": true, "current": true, "name": "main"},
    {"id": 1, "crashed": false, "current": false, "name": "worker",
     "stacktrace": {"frames": [{"instruction_addr": "0x0000000000401200", "image_addr": "0x0000000000400000"}]}}]})");
  event["debug_meta"] = Json::parse(R"({"images": [
    {"uuid": "3A1B0C2D-4E5F-6071-8293-A4B5C6D7E8F9", "type": "apple", "cpu_type": 16777223, "cpu_subtype": 3,
     "image_vmaddr": "0x0000000000000000", "image_addr": "0x0000000000400000", "image_size": 65536,
     "name": "/opt/vexelworks/bin/app", "major_version": 0, "minor_version": 0, "revision_version": 0}]})");
  return event;
}

class DevServiceErrorStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  vx::testing::FetchResult post(const std::string& body) {
    URLRequest request(service.url("/api/42/store/"), "POST");
    auto gz = gzipCompress(ByteView(body));
    EXPECT_TRUE(gz.ok());
    if (gz.ok()) request.body = *gz;
    request.headers.set("Content-Encoding", "gzip");
    request.headers.set("Content-Type", "application/json");
    request.headers.set("X-Plover-Auth", kAuth);
    return fetch(*session, request);
  }

  DevService service;
  std::shared_ptr<URLSession> session = URLSession::make();
};

TEST_F(DevServiceErrorStoreTest, EventsOfEachKindTheClientSendsAreAccepted) {
  const std::pair<const char*, Json> events[] = {
      {"message", messageEvent()},
      {"script error", scriptErrorEvent()},
      {"crash", crashEvent()},
  };
  for (const auto& [kind, event] : events) {
    SCOPED_TRACE(kind);
    const auto result = post(event.dump());
    ASSERT_EQ(result.status(), 200) << result.text();
    EXPECT_EQ(Json::parse(result.text()), (Json{{"id", event["event_id"]}}));
  }
  // The least a message event holds: no message, breadcrumbs, user or tags at all.
  Json bare = messageEvent();
  for (const char* key : {"release", "dist", "user", "breadcrumbs", "message", "extra", "tags"}) bare.erase(key);
  EXPECT_EQ(post(bare.dump()).status(), 200);
}

TEST_F(DevServiceErrorStoreTest, MalformedEventsAreRefusedWithTheirFault) {
  using Change = std::function<void(Json&)>;
  struct Case {
    const char* name;
    Json (*base)();
    Change change;
    const char* reason;
  };
  const Case cases[] = {
      {"no id", messageEvent, [](Json& e) { e.erase("event_id"); }, "event_id is missing"},
      {"empty id", messageEvent, [](Json& e) { e["event_id"] = ""; }, "event_id must be a non-empty string"},
      {"numeric id", messageEvent, [](Json& e) { e["event_id"] = 7; }, "event_id must be a non-empty string"},
      {"no level", messageEvent, [](Json& e) { e.erase("level"); }, "level is missing"},
      {"unknown level", messageEvent, [](Json& e) { e["level"] = "critical"; },
       "level must be one of fatal, error, warning, info, debug"},
      {"numeric level", messageEvent, [](Json& e) { e["level"] = 1; },
       "level must be one of fatal, error, warning, info, debug"},
      {"no timestamp", messageEvent, [](Json& e) { e.erase("timestamp"); }, "timestamp is missing"},
      {"timestamp in seconds", messageEvent, [](Json& e) { e["timestamp"] = 1765368000; },
       "timestamp must be a UTC time text like 2024-01-31T12:00:00Z"},
      {"timestamp with zone", messageEvent, [](Json& e) { e["timestamp"] = "2026-12-10T12:00:00+01:00"; },
       "timestamp must be a UTC time text like 2024-01-31T12:00:00Z"},
      {"no platform", messageEvent, [](Json& e) { e.erase("platform"); }, "platform is missing"},
      {"sdk text", messageEvent, [](Json& e) { e["sdk"] = "plover-cocoa"; }, "sdk must be an object"},
      {"no contexts", messageEvent, [](Json& e) { e.erase("contexts"); }, "contexts is missing"},
      {"os context text", messageEvent, [](Json& e) { e["contexts"]["os"] = "Linux"; },
       "contexts.os must be an object"},
      {"no app context", messageEvent, [](Json& e) { e["contexts"].erase("app"); }, "contexts.app is missing"},
      {"numeric message", messageEvent, [](Json& e) { e["message"] = 404; }, "message must be a string"},
      {"numeric tag", messageEvent, [](Json& e) { e["tags"]["tier"] = 3; }, "tags must be an object of strings"},
      {"user text", messageEvent, [](Json& e) { e["user"] = "u-1"; }, "user must be an object"},
      {"numeric user id", messageEvent, [](Json& e) { e["user"]["id"] = 1; }, "user.id must be a string"},
      {"mixed fingerprint", messageEvent,
       [](Json& e) {
         e["fingerprint"] = Json::array({"a", 1});
       },
       "fingerprint must be an array of strings"},
      {"breadcrumbs object", messageEvent, [](Json& e) { e["breadcrumbs"] = Json::object(); },
       "breadcrumbs must be an array"},
      {"breadcrumb text", messageEvent, [](Json& e) { e["breadcrumbs"][1] = "started"; },
       "breadcrumbs[1] must be an object"},
      {"breadcrumb without level", messageEvent, [](Json& e) { e["breadcrumbs"][1].erase("level"); },
       "breadcrumbs[1].level is missing"},
      {"breadcrumb data list", messageEvent, [](Json& e) { e["breadcrumbs"][1]["data"] = Json::array(); },
       "breadcrumbs[1].data must be an object"},
      {"exception list", scriptErrorEvent, [](Json& e) { e["exception"] = e["exception"]["values"]; },
       "exception must be an object"},
      {"no exception values", scriptErrorEvent, [](Json& e) { e["exception"].erase("values"); },
       "exception.values is missing"},
      {"empty exception values", messageEvent,
       [](Json& e) {
         e["exception"] = {{"values", Json::array()}};
       },
       "exception.values must not be empty"},
      {"exception without type or value", scriptErrorEvent,
       [](Json& e) {
         e["exception"]["values"][0].erase("type");
         e["exception"]["values"][0].erase("value");
       },
       "exception.values[0] needs a type or a value"},
      {"stack trace without frames", scriptErrorEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"].erase("frames"); },
       "exception.values[0].stacktrace.frames is missing"},
      {"line number text", scriptErrorEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"][0]["lineno"] = "3"; },
       "exception.values[0].stacktrace.frames[0].lineno must be an integer"},
      {"empty frame", scriptErrorEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"][0] = Json::object(); },
       "exception.values[0].stacktrace.frames[0] is empty"},
      {"decimal address", crashEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"][1]["instruction_addr"] = "4198664"; },
       "exception.values[0].stacktrace.frames[1].instruction_addr must be a hexadecimal address text"},
      {"huge address", crashEvent,
       [](Json& e) {
         e["exception"]["values"][0]["stacktrace"]["frames"][1]["instruction_addr"] = "0x" + std::string(1 << 20, 'f');
       },
       "exception.values[0].stacktrace.frames[1].instruction_addr must be a hexadecimal address text"},
      {"numeric address", crashEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"][0]["symbol_addr"] = 4198400; },
       "exception.values[0].stacktrace.frames[0].symbol_addr must be a hexadecimal address text"},
      {"numeric register", crashEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["registers"]["rip"] = 4198664; },
       "exception.values[0].stacktrace.registers must be an object of strings"},
      {"mechanism without type", crashEvent, [](Json& e) { e["exception"]["values"][0]["mechanism"].erase("type"); },
       "exception.values[0].mechanism.type is missing"},
      {"handled as text", crashEvent, [](Json& e) { e["exception"]["values"][0]["mechanism"]["handled"] = "no"; },
       "exception.values[0].mechanism.handled must be true or false"},
      {"crash not fatal", crashEvent, [](Json& e) { e["level"] = "error"; },
       "level must be fatal for a crash (an exception with a mechanism)"},
      {"crash without stack", crashEvent, [](Json& e) { e["exception"]["values"][0].erase("stacktrace"); },
       "exception.values[0].stacktrace is missing for a crash"},
      {"crash with no frames", crashEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"] = Json::array(); },
       "exception.values[0].stacktrace.frames must not be empty for a crash"},
      {"crash frame without address", crashEvent,
       [](Json& e) { e["exception"]["values"][0]["stacktrace"]["frames"][1].erase("instruction_addr"); },
       "exception.values[0].stacktrace.frames[1].instruction_addr is missing for a crash"},
      {"crash without images", crashEvent, [](Json& e) { e.erase("debug_meta"); }, "debug_meta is missing for a crash"},
      {"no images", crashEvent, [](Json& e) { e["debug_meta"]["images"] = Json::array(); },
       "debug_meta.images must not be empty"},
      {"image without address", crashEvent, [](Json& e) { e["debug_meta"]["images"][0].erase("image_addr"); },
       "debug_meta.images[0].image_addr is missing"},
      {"image size text", crashEvent, [](Json& e) { e["debug_meta"]["images"][0]["image_size"] = "65536"; },
       "debug_meta.images[0].image_size must be an integer"},
      {"threads list", crashEvent, [](Json& e) { e["threads"] = e["threads"]["values"]; }, "threads must be an object"},
      {"thread id text", crashEvent, [](Json& e) { e["threads"]["values"][1]["id"] = "1"; },
       "threads.values[1].id must be an integer"},
      {"crashed as text", crashEvent, [](Json& e) { e["threads"]["values"][0]["crashed"] = "yes"; },
       "threads.values[0].crashed must be true or false"},
      {"thread frame text", crashEvent,
       [](Json& e) { e["threads"]["values"][1]["stacktrace"]["frames"][0] = "0x401200"; },
       "threads.values[1].stacktrace.frames[0] must be an object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Json event = c.base();
    c.change(event);
    const auto result = post(event.dump());
    ASSERT_EQ(result.status(), 400) << result.text();
    const Json body = Json::parse(result.text(), nullptr, false);
    ASSERT_TRUE(body.is_object()) << result.text();
    EXPECT_EQ(body.value("error", ""), std::string("malformed event: ") + c.reason);
  }
}

TEST_F(DevServiceErrorStoreTest, BodiesThatAreNoEventAreRefused) {
  const std::string bodies[] = {
      "",
      "not json",
      R"([{"event_id": "0f3c9a8e2b7d4c61a5e8f90b1c2d3e4f"}])",
      "{\"event_id\": \"bad \xff byte\"}",
      R"({"event_id": "0f3c9a8e2b7d4c61a5e8f90b1c2d3e4f", "message": )",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    const auto result = post(body);
    ASSERT_EQ(result.status(), 400) << result.text();
    EXPECT_EQ(Json::parse(result.text()), (Json{{"error", "body is not an event"}}));
  }
}

}  // namespace
}  // namespace vx::devservice
