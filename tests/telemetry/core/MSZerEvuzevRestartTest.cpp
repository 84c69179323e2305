// Logs left by a launch that exited normally before sending them go out at the next start: a
// child starts the SDK, enqueues logs and returns from main; the test then starts the SDK over
// the same files, and the local service receives each log once.
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"

#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include "platform/foundation/Clock.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <spawn.h>
#include <sys/wait.h>

#include <map>

extern char** environ;

using namespace std::chrono_literals;

namespace {

constexpr long kLogs = 49;  // fewer than a batch: the child sends nothing before it exits

TEST(MSZerEvuzevRestartTest, ASecondStartSendsWhatTheFirstLeft) {
  MSUtility::deleteItemForPathComponent("Logs.sqlite");
  MSUtility::deleteItemForPathComponent("Logs.sqlite.ZerEvuzev.journal");
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());

  const std::string baseURL = service.baseURL();
  const std::string count = std::to_string(kLogs);
  const char* argv[] = {VX_CORE_START_CHILD, baseURL.c_str(), count.c_str(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, VX_CORE_START_CHILD, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first launch ended with status " << status;
  EXPECT_TRUE(service.requests("/logs").empty()) << "it exited before its flush interval";

  vx::ScopedVirtualTime time;
  MSZerEvuzev::resetSharedInstance();
  MSZerEvuzev::sharedInstance()->setLogUrl(baseURL);
  MSZerEvuzev::start(std::string("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"), {});
  MSZerEvuzev::sharedInstance()->channelGroup()->logsDispatchQueue()->sync([] {});
  time.advance(3s);
  ASSERT_TRUE(service.waitForRequests(1));

  std::map<std::string, int> received;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (received.size() < static_cast<std::size_t>(kLogs) && std::chrono::steady_clock::now() < deadline) {
    received.clear();
    for (const auto& request : service.requests("/logs")) {
      const auto body = nlohmann::json::parse(request.body);
      for (const auto& log : body["logs"]) ++received[log.value("sid", "")];
    }
    if (received.size() < static_cast<std::size_t>(kLogs))
      service.waitForRequests(service.requests("/logs").size() + 1, 100ms);
  }
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kLogs));
  for (long n = 0; n < kLogs; ++n) EXPECT_EQ(received["child-" + std::to_string(n)], 1) << n;
  MSZerEvuzev::sharedInstance()->channelGroup()->logsDispatchQueue()->sync([] {});
  MSZerEvuzev::resetSharedInstance();
}

}  // namespace
