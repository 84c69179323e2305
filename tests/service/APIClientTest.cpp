#include "app/service/APIClient.h"
#include "app/service/IconsOperations.h"
#include "app/service/Logger.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::DevService;
using vx::devservice::Fault;

struct PageResult {
  std::optional<std::vector<IconPtr>> icons;
  std::int64_t total = -1;
  std::optional<vx::Error> error;
};

class APIClientTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start().ok());
    api_ = makeClient(std::string(vx::devservice::kDemoTokenSecret));
    TDOAuth::setUtcTimeOffset(0);
    previousSink_ = setLogSink([this](std::string_view level, std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(std::string(level) + " " + std::string(line));
    });
  }
  void TearDown() override {
    setLogSink(previousSink_);
    TDOAuth::setUtcTimeOffset(0);
  }

  std::shared_ptr<APIClient> makeClient(std::string secret) {
    return APIClient::make(*vx::URL::parse(service_.baseURL()),
                           AccessToken{std::string(vx::devservice::kDemoTokenKey), std::move(secret)});
  }

  // Runs one page operation on a queue of width 1, as the icon list does.
  PageResult run(const std::shared_ptr<BaseIconsOperation>& operation) {
    std::promise<PageResult> promise;
    auto future = promise.get_future();
    operation->setQueryCompletionBlock(
        [&promise](std::optional<std::vector<IconPtr>> icons, std::int64_t total, std::optional<vx::Error> error) {
          promise.set_value(PageResult{std::move(icons), total, std::move(error)});
        });
    queue_.addOperation(operation);
    EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
    queue_.waitUntilAllOperationsAreFinished();
    return future.get();
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  DevService service_;
  std::shared_ptr<APIClient> api_;
  vx::OperationQueue queue_{"test.icons"};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  LogSink previousSink_;
};

TEST_F(APIClientTest, EveryPageOperationSendsItsRequestAndParsesItsReply) {
  queue_.setMaxConcurrentOperationCount(1);
  struct Case {
    std::shared_ptr<BaseIconsOperation> operation;
    std::string path;
    std::size_t minimumIcons;
    bool hasTotal;
  };
  const Case cases[] = {
      {std::make_shared<FreeIconsOperation>(api_, 1), "/macos/icons", 24, true},
      {std::make_shared<FreeIconsOperation>(api_, 2), "/macos/icons", 24, true},
      {std::make_shared<RecentIconsOperation>(api_, 1), "/icons/recent_uploads", 24, false},
      {std::make_shared<SearchOperation>(api_, 1, "cup"), "/macos/search/icons", 1, true},
      {std::make_shared<CollectionIconsOperation>(api_, 1, "2001"), "/macos/collection/2001/icons", 1, true},
      {std::make_shared<CreatorIconsOperation>(api_, 1, "101"), "/macos/creator/101/icons", 1, true},
  };
  for (const auto& c : cases) {
    service_.clearRequestLog();
    const auto result = run(c.operation);
    ASSERT_TRUE(result.icons.has_value()) << c.path;
    EXPECT_GE(result.icons->size(), c.minimumIcons) << c.path;
    EXPECT_FALSE(result.error.has_value());
    if (c.hasTotal) {
      EXPECT_GE(result.total, static_cast<std::int64_t>(result.icons->size())) << c.path;
    } else {
      EXPECT_EQ(result.total, 0) << "no total in the reply means 0";
    }
    const auto log = service_.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].path, c.path);
    EXPECT_EQ(log[0].queryValue("page"), std::to_string(c.operation->page()));
    EXPECT_EQ(log[0].header("Authorization").value_or("").rfind("OAuth ", 0), 0u);
    for (const auto& icon : *result.icons) EXPECT_NE(icon->creator, nullptr);
  }
}

TEST_F(APIClientTest, SearchesWithSpacesAndReservedCharactersAreSignedCorrectly) {
  for (const std::string query : {"red car", "cup & saucer/?=+", "caf\xC3\xA9 100%", "zzz-no-such-icon"}) {
    service_.clearRequestLog();
    const auto result = run(std::make_shared<SearchOperation>(api_, 3, query));
    ASSERT_TRUE(result.icons.has_value()) << query;  // a 401 would fail the page
    EXPECT_TRUE(result.icons->empty()) << "page 3 of these searches is empty: " << query;
    EXPECT_EQ(service_.requestLog().at(0).queryValue("query"), query);
    EXPECT_EQ(service_.requestLog().at(0).queryValue("page"), "3");
  }
}

TEST_F(APIClientTest, RelatedIconsCarryALimitAndTheCollection) {
  auto operation = std::make_shared<RelatedIconsOperation>(api_, 30001);
  const auto result = run(operation);
  ASSERT_TRUE(result.icons.has_value());
  EXPECT_LE(result.icons->size(), 7u);
  const auto request = service_.requestLog().at(0);
  EXPECT_EQ(request.path, "/icon/30001/more-like-this");
  EXPECT_EQ(request.queryValue("limit"), "7");
  EXPECT_FALSE(request.queryValue("page").has_value());
  ASSERT_NE(operation->collection(), nullptr);
}

TEST_F(APIClientTest, FailuresGiveNoIconsAndTotalZero) {
  struct Case {
    Fault fault;
    const char* name;
    bool warns;
  } cases[] = {{Fault::withStatus(201), "201", false},
               {Fault::withStatus(500), "500", false},
               {Fault::malformedBody(), "malformed", true}};
  for (const auto& c : cases) {
    service_.clearFaults();
    service_.setFault("/macos/icons", c.fault);
    const auto before = lines().size();
    const auto result = run(std::make_shared<FreeIconsOperation>(api_, 1));
    EXPECT_FALSE(result.icons.has_value()) << c.name;
    EXPECT_EQ(result.total, 0) << c.name;
    const auto after = lines();
    const bool warned =
        std::any_of(after.begin() + static_cast<long>(before), after.end(), [](const std::string& line) {
          return line.find("WARN") == 0 && line.find("Error parsing response") != std::string::npos;
        });
    EXPECT_EQ(warned, c.warns) << c.name;
  }
}

TEST_F(APIClientTest, ARejectedSignatureFailsThePageAndTheUser) {
  auto wrong = makeClient("not-the-secret");
  const auto result = run(std::make_shared<FreeIconsOperation>(wrong, 1));
  EXPECT_FALSE(result.icons.has_value());
  std::promise<std::optional<VexelUser>> user;
  wrong->loadUser([&](std::optional<VexelUser> u, std::optional<vx::Error>) { user.set_value(u); });
  auto future = user.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(future.get().has_value());
  EXPECT_EQ(service_.requestLog().back().path, "/user");
}

TEST_F(APIClientTest, UserRecordIsReadWhateverTheStatus) {
  auto load = [&] {
    std::promise<std::optional<VexelUser>> user;
    auto future = user.get_future();
    api_->loadUser([&](std::optional<VexelUser> u, std::optional<vx::Error>) { user.set_value(u); });
    EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
    return future.get();
  };
  auto user = load();
  ASSERT_TRUE(user.has_value());
  EXPECT_EQ(user->username, "demo");
  EXPECT_EQ(user->id, 4242);

  service_.addRoute("GET", "/user", [](const vx::devservice::Request&, vx::devservice::Response& r) {
    r.setJSON(R"({"user":{"full_name":"Err Or","auth_user":{"id":"7","username":"e","email":"e@x.invalid"}}})", 500);
  });
  user = load();
  ASSERT_TRUE(user.has_value());
  EXPECT_EQ(user->id, 7);
}

TEST_F(APIClientTest, TheServersDateMovesTheSigningClock) {
  // A call through the client's data task corrects the clock from any reply; it waits here for
  // the reply's completion.
  const auto call = [this] {
    std::promise<int> status;
    auto task =
        api_->dataTask(api_->signedRequest("POST", "/icon/30001/download/mac", TDOAuthParameters{{"type", "svg"}}),
                       [&status](std::vector<std::uint8_t>, vx::HTTPURLResponse response, std::optional<vx::Error>) {
                         status.set_value(response.statusCode);
                       });
    task->resume();
    auto future = status.get_future();
    EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
    return future.get();
  };

  // The service's clock is two hours ahead: it refuses requests signed by the local clock as
  // stale, and the "Date" header of its refusal corrects the signing clock, after which it
  // accepts them. (Icon pages correct the clock from accepted replies only.)
  service_.setFault(".*", Fault::skewedDate(std::chrono::hours(2)));
  auto result = run(std::make_shared<FreeIconsOperation>(api_, 1));
  EXPECT_FALSE(result.icons.has_value());
  EXPECT_EQ(call(), 401);
  EXPECT_NEAR(TDOAuth::utcTimeOffset(), 7200, 5);
  result = run(std::make_shared<FreeIconsOperation>(api_, 1));
  ASSERT_TRUE(result.icons.has_value());
  EXPECT_FALSE(result.icons->empty());
  EXPECT_EQ(call(), 200);

  // Back on time, the service refuses the corrected clock once and its reply sets it back.
  service_.clearFaults();
  EXPECT_EQ(call(), 401);
  EXPECT_NEAR(TDOAuth::utcTimeOffset(), 0, 5);
  result = run(std::make_shared<FreeIconsOperation>(api_, 1));
  ASSERT_TRUE(result.icons.has_value());

  // An offset beyond 32 bits of seconds is ignored, not wrapped.
  TDOAuth::setUtcTimeOffset(11);
  service_.setFault(".*", Fault::skewedDate(std::chrono::hours(24 * 365 * 100)));
  EXPECT_EQ(call(), 401);
  EXPECT_EQ(TDOAuth::utcTimeOffset(), 11);
}

TEST(APIClientClockTest, ParsesSingleDigitTimesAndIgnoresJunk) {
  vx::ScopedVirtualTime time(std::chrono::system_clock::time_point(std::chrono::seconds(1796695500)));
  TDOAuth::setUtcTimeOffset(0);
  vx::HTTPURLResponse response;
  response.headers.set("date", "Tue, 8 Dec 2026 2:5:9 GMT");  // any case of the name
  APIClient::syncClock(response);
  // 2026-12-08T02:05:09Z is 1796695509.
  EXPECT_EQ(TDOAuth::utcTimeOffset(), 9);
  response.headers.set("Date", "yesterday");
  APIClient::syncClock(response);
  EXPECT_EQ(TDOAuth::utcTimeOffset(), 9);
  TDOAuth::setUtcTimeOffset(0);
}

TEST_F(APIClientTest, AutocompleteSuggestsAndCancelsCleanly) {
  vx::OperationQueue queue("test.autocomplete");
  queue.setMaxConcurrentOperationCount(1);
  auto operation = std::make_shared<AutocompleteOperation>(api_, "co");
  queue.addOperation(operation);
  queue.waitUntilAllOperationsAreFinished();
  const auto completions = operation->completions();
  ASSERT_FALSE(completions.empty());
  for (const auto& text : completions) EXPECT_EQ(text.rfind("co", 0), 0u) << text;

  // Cancelled before it starts: no request, finished at once.
  service_.clearRequestLog();
  auto cancelled = std::make_shared<AutocompleteOperation>(api_, "ca");
  cancelled->cancel();
  queue.addOperation(cancelled);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_TRUE(service_.requestLog().empty());

  // Cancelled while its request hangs: the queue moves on to the next one straight away.
  service_.setFault("/search/autocomplete", Fault::withDelay(5s), "GET");
  auto slow = std::make_shared<AutocompleteOperation>(api_, "s");
  queue.addOperation(slow);
  ASSERT_TRUE(service_.waitForRequests(1, 5s));
  const auto started = std::chrono::steady_clock::now();
  slow->cancel();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_TRUE(slow->completions().empty());
}

TEST_F(APIClientTest, UsageRecordPostsColourAndType) {
  auto icon = run(std::make_shared<FreeIconsOperation>(api_, 1)).icons.value().at(0);
  struct Case {
    Color color;
    PasteboardType type;
    const char* colorText;
    const char* typeText;
  } cases[] = {{Color::rgb(1, 0, 0), PasteboardType::png, "FF0000", "png"},
               {Color::rgb(0, 0, 1, 0.5), PasteboardType::auto_, "800000FF", "auto"}};
  for (const auto& c : cases) {
    service_.clearRequestLog();
    api_->recordIconUsage(*icon, c.type, c.color);
    ASSERT_TRUE(service_.waitForRequests(1, 5s));
    const auto request = service_.requestLog().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/icon/" + icon->id + "/download/mac");
    EXPECT_NE(request.body.find(std::string("color=") + c.colorText), std::string::npos) << request.body;
    EXPECT_NE(request.body.find(std::string("type=") + c.typeText), std::string::npos) << request.body;
  }
}

}  // namespace
}  // namespace Vexelworks
