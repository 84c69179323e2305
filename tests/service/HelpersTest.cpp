#include "app/service/Helpers.h"

#include "app/service/ServiceConfig.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace Vexelworks {
namespace {

TEST(DecodeJSONTest, Table) {
  struct Case {
    std::string bytes;
    bool object;
    bool prints;
  };
  const std::vector<Case> cases = {
      {"{}", true, false},
      {R"({"a":1,"b":[true,null]})", true, false},
      {"[1,2]", false, false},  // an array: none, silently
      {"{", false, true},       // broken text: the parse error is printed
      {"42", false, true},      // a bare scalar counts as malformed
      {"\"text\"", false, true},
      {"null", false, true},
      {"", false, true},
      {"{\"a\":1} trailing", false, true},
      {"{\"a\":\"\xff\"}", false, true},  // invalid UTF-8
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    auto result = decodeJSON(std::string_view(c.bytes));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.has_value(), c.object) << c.bytes;
    if (result) {
      EXPECT_TRUE(result->is_object());
    }
    EXPECT_EQ(!printed.empty(), c.prints) << c.bytes << " printed: " << printed;
  }
  // An icon-page reply nested 50,000 levels deep is refused before anything recurses over it;
  // one of 500 levels still reads.
  const std::string deep = "{\"icons\":" + std::string(50000, '[') + std::string(50000, ']') + "}";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(decodeJSON(std::string_view(deep)).has_value());
  EXPECT_NE(testing::internal::GetCapturedStdout().find("nests deeper"), std::string::npos);
  const std::string fine = "{\"icons\":" + std::string(500, '[') + std::string(500, ']') + "}";
  EXPECT_TRUE(decodeJSON(std::string_view(fine)).has_value());

  const vx::Bytes bytes{'{', '"', 'k', '"', ':', '2', '}'};
  auto fromBytes = decodeJSON(bytes);
  ASSERT_TRUE(fromBytes);
  EXPECT_EQ((*fromBytes)["k"], 2);
}

TEST(ClientIdTest, MadeOnceStoredAndKept) {
  vx::UserDefaults::standard().removeObject(kClientIdKey);
  const std::string first = clientId();
  EXPECT_EQ(first.size(), 36u);
  EXPECT_TRUE(vx::UUID::parse(first).has_value());
  EXPECT_EQ(first, vx::UUID::parse(first)->uuidString()) << "upper-case hyphenated form";
  EXPECT_EQ(clientId(), first);
  EXPECT_EQ(vx::UserDefaults::standard().stringForKey(kClientIdKey), first);
  // On disk already: the suite's file holds it.
  std::ifstream file(vx::UserDefaults::standard().filePath());
  std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(contents.find(first), std::string::npos);
}

TEST(ClientIdTest, ExistingTextIsReturnedAsIs) {
  vx::UserDefaults::standard().setString("my-id", kClientIdKey);
  EXPECT_EQ(clientId(), "my-id");
  // A value of another type is replaced by a fresh identifier.
  vx::UserDefaults::standard().setInteger(5, kClientIdKey);
  EXPECT_EQ(clientId().size(), 36u);
  vx::UserDefaults::standard().removeObject(kClientIdKey);
}

// A new process (this binary, re-run on one test) sees the identifier the parent stored.
TEST(ClientIdTest, SurvivesARestart) {
  if (const char* role = std::getenv("VX_CLIENT_ID_CHILD")) {
    std::ofstream(role) << clientId();
    return;
  }
  vx::UserDefaults::standard().removeObject(kClientIdKey);
  const std::string first = clientId();
  const std::string out = std::string(std::getenv("VX_TEST_HOME")) + "/client-id-child.txt";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("VX_CLIENT_ID_CHILD", out.c_str(), 1);
    execl("/proc/self/exe", "child", "--gtest_filter=ClientIdTest.SurvivesARestart", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  std::ifstream file(out);
  std::string fromChild;
  std::getline(file, fromChild);
  EXPECT_EQ(fromChild, first);
}

TEST(OpenWebPageTest, ResolvesAgainstTheWebSiteAndHandsToTheOpener) {
  setWebBaseURL(vx::URL::parse("https://www.example.test"));
  std::vector<std::string> opened;
  setURLOpener([&](const vx::URL& url) { opened.push_back(url.string()); });
  openWebPage("/for-mac/download/");
  openWebPage("/account?tab=settings");
  setURLOpener(nullptr);
  setWebBaseURL(std::nullopt);
  EXPECT_EQ(opened, (std::vector<std::string>{"https://www.example.test/for-mac/download/",
                                              "https://www.example.test/account?tab=settings"}));
}

TEST(RunOnMainTest, RunsOnTheMainQueueLater) {
  bool ran = false;
  bool onMain = false;
  std::thread([&] {
    runOnMain([&] {
      ran = true;
      onMain = vx::DispatchQueue::isMainThread();
    });
  }).join();
  EXPECT_FALSE(ran);  // scheduled, not run in place
  EXPECT_TRUE(vx::RunLoop::runUntil([&] { return ran; }, std::chrono::seconds(5)));
  EXPECT_TRUE(onMain);
}

TEST(HelpersTest, TextMemberIsTheStringOrNothing) {
  const auto object = nlohmann::json::parse(
      R"({"name": "Ann", "empty": "", "number": 7, "null": null, "list": ["x"], "inner": {"name": "x"}})");
  EXPECT_EQ(textMember(object, "name"), "Ann");
  EXPECT_EQ(textMember(object, "empty"), "");
  for (const char* key : {"number", "null", "list", "inner", "missing"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(textMember(object, key), std::nullopt);
  }
  for (const auto& notAnObject :
       {nlohmann::json::parse(R"(["name"])"), nlohmann::json("name"), nlohmann::json(nullptr)}) {
    EXPECT_EQ(textMember(notAnObject, "name"), std::nullopt);
  }
}

}  // namespace
}  // namespace Vexelworks
