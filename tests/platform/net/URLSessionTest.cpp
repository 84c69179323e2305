#include "platform/net/URLSession.h"

#include "platform/foundation/URL.h"

#include "support/URLSessionTesting.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace vx {
namespace {

using devservice::DevService;
using devservice::Fault;
using testing::CompletionRecorder;
using testing::fetch;
using namespace std::chrono_literals;

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service.start().ok()); }

  URLRequest request(std::string_view path, std::string method = "GET") {
    return URLRequest(service.url(path), std::move(method));
  }

  DevService service;
};

TEST_F(URLSessionTest, DeliversStatusHeadersAndBody) {
  auto session = URLSession::make();
  auto result = fetch(*session, request("/response-headers?X-Custom-Thing=abc&Set-Cookie=a%3D1"));
  ASSERT_FALSE(result.error) << *result.error;
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.status(), 200);
  EXPECT_EQ(result.response->headers.value("x-custom-thing"), "abc");
  EXPECT_EQ(result.response->headers.value("X-CUSTOM-THING"), "abc");
  EXPECT_EQ(result.response->headers.value("content-type"), "application/json");
  EXPECT_EQ(result.response->url, service.url("/response-headers?X-Custom-Thing=abc&Set-Cookie=a%3D1"));
  EXPECT_EQ(result.text(), "{}");
}

TEST_F(URLSessionTest, AcceptsParsedURLsAndHead) {
  auto session = URLSession::make();
  auto url = URL::parse(service.url("/echo/a%20b?q=1&r=x%2By"));
  ASSERT_TRUE(url);
  auto result = fetch(*session, URLRequest(*url));
  ASSERT_EQ(result.status(), 200);
  auto log = service.requestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].path, "/echo/a b");
  EXPECT_EQ(log[0].query, "q=1&r=x%2By");
  EXPECT_EQ(log[0].queryValue("r"), "x+y");

  auto head = fetch(*session, URLRequest(service.url("/bytes/100"), "HEAD"));
  EXPECT_EQ(head.status(), 200);
  EXPECT_TRUE(head.data.empty());
  EXPECT_EQ(head.response->headers.value("Content-Length"), "100");
}

TEST_F(URLSessionTest, SessionMayBeReleasedFromItsOwnCompletion) {
  auto session = URLSession::make();
  CompletionRecorder recorder;
  auto record = recorder.completion();
  std::weak_ptr<URLSession> weak = session;
  session
      ->dataTask(request("/health"),
                 [session, record](auto data, auto response, auto error) {
                   record(std::move(data), std::move(response), std::move(error));
                 })
      ->resume();
  session.reset();  // the completion holds the last reference
  auto result = recorder.wait();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status(), 200);
  ASSERT_TRUE(RunLoop::runUntil([&] { return weak.expired(); }, 5s));
}

TEST_F(URLSessionTest, ErrorStatusesAreResponsesNotErrors) {
  auto session = URLSession::make();
  for (int status : {201, 304, 404, 429, 500, 503}) {
    auto result = fetch(*session, request("/status/" + std::to_string(status)));
    EXPECT_FALSE(result.error) << status;
    EXPECT_EQ(result.status(), status);
  }
}

TEST_F(URLSessionTest, SendsMethodBodyAndHeaders) {
  URLSessionConfiguration config;
  config.httpAdditionalHeaders.set("X-Session", "from-session");
  config.httpAdditionalHeaders.set("X-Override", "session");
  auto session = URLSession::make(config);
  struct Case {
    std::string method;
    std::string body;
  };
  const Case cases[] = {{"POST", "{\"a\":1}"}, {"PUT", "put body"}, {"PATCH", "patch"},
                        {"DELETE", ""},        {"POST", ""},        {"GET", ""}};
  for (const auto& c : cases) {
    service.clearRequestLog();
    auto r = request("/echo/x", c.method);
    r.setBody(c.body);
    r.headers.set("X-Override", "request");
    r.headers.set("Content-Type", "application/json");
    auto result = fetch(*session, r);
    ASSERT_FALSE(result.error) << c.method << ": " << *result.error;
    EXPECT_EQ(result.status(), 200) << c.method;
    auto log = service.requestLog();
    ASSERT_EQ(log.size(), 1u) << c.method;
    EXPECT_EQ(log[0].method, c.method);
    EXPECT_EQ(log[0].path, "/echo/x");
    EXPECT_EQ(log[0].body, c.body) << c.method;
    EXPECT_EQ(log[0].header("x-session"), "from-session");
    EXPECT_EQ(log[0].header("x-override"), "request");
    EXPECT_FALSE(log[0].header("Expect")) << "no 100-continue round trip";
  }
}

TEST_F(URLSessionTest, DecodesGzipBodiesWhenAsked) {
  auto session = URLSession::make();
  std::string expected(5000, ' ');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>('a' + i % 26);

  auto gz = request("/bytes/5000");
  gz.acceptGzip = true;
  auto result = fetch(*session, gz);
  ASSERT_FALSE(result.error) << *result.error;
  EXPECT_EQ(result.text(), expected);
  EXPECT_EQ(result.response->headers.value("Content-Encoding"), "gzip");
  ASSERT_EQ(service.requestLog().size(), 1u);
  EXPECT_EQ(service.requestLog()[0].header("Accept-Encoding"), "gzip");

  service.clearRequestLog();
  auto plain = fetch(*session, request("/bytes/5000"));
  ASSERT_FALSE(plain.error);
  EXPECT_EQ(plain.text(), expected);
  EXPECT_FALSE(plain.response->headers.contains("Content-Encoding"));
  EXPECT_FALSE(service.requestLog()[0].header("Accept-Encoding"));
}

// Reply bodies are capped after decoding: a small gzip body that expands past the cap fails with
// a clear error instead of growing in memory; a plain body that announces more is refused early.
TEST_F(URLSessionTest, ReplyBodiesHaveACapCountedAfterDecoding) {
  constexpr std::size_t kMiB = 1u << 20;
  struct Case {
    const char* name;
    std::size_t bytes;  // what /bytes/N sends (decoded)
    bool gzip;
    std::size_t requestCap;  // 0: the session's
    std::size_t sessionCap;  // 0: the default
    bool refused;
  };
  const std::size_t overDefault = URLSessionConfiguration::kDefaultMaximumResponseBodyBytes + 1;
  const Case cases[] = {
      {"gzip bomb against the default cap", overDefault, true, 0, 0, true},
      {"gzip bomb against a request cap", 8 * kMiB, true, kMiB, 0, true},
      {"announced length over the request cap", kMiB + 1, false, kMiB, 0, true},
      {"session cap applies without a request cap", 2 * kMiB, true, 0, kMiB, true},
      {"request cap wins over the session cap", 2 * kMiB, true, 4 * kMiB, kMiB, false},
      {"exactly at the cap, gzip", kMiB, true, kMiB, 0, false},
      {"exactly at the cap, plain", kMiB, false, kMiB, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URLSessionConfiguration configuration;
    if (c.sessionCap > 0) configuration.maximumResponseBodyBytes = c.sessionCap;
    auto session = URLSession::make(configuration);
    auto r = request("/bytes/" + std::to_string(c.bytes));
    r.acceptGzip = c.gzip;
    r.maximumResponseBodyBytes = c.requestCap;
    auto result = fetch(*session, r, 60s);
    EXPECT_EQ(result.calls, 1);
    if (c.refused) {
      ASSERT_TRUE(result.error);
      EXPECT_EQ(result.error->code, kURLErrorDataLengthExceedsMaximum);
      EXPECT_NE(result.error->description.find("larger than"), std::string::npos) << result.error->description;
      EXPECT_TRUE(result.data.empty());
      EXPECT_FALSE(result.response);
    } else {
      ASSERT_FALSE(result.error) << *result.error;
      EXPECT_EQ(result.data.size(), c.bytes);
    }
  }
  // The session still works after refusing.
  auto session = URLSession::make();
  auto small = fetch(*session, request("/bytes/10"));
  ASSERT_FALSE(small.error);
  EXPECT_EQ(small.text(), "abcdefghij");
}

TEST_F(URLSessionTest, RequestTimeoutAndSessionDefault) {
  service.setFault("/health", Fault::withDelay(3s));
  {
    auto session = URLSession::make();
    auto r = request("/health");
    r.timeoutInterval = 200ms;
    auto result = fetch(*session, r);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain, kURLErrorDomain);
    EXPECT_EQ(result.error->code, kURLErrorTimedOut);
    EXPECT_EQ(result.error->userInfo.value("curlCode", 0), 28);
    EXPECT_FALSE(result.response);
  }
  {
    URLSessionConfiguration config;
    config.timeoutIntervalForRequest = 200ms;
    auto session = URLSession::make(config);
    auto result = fetch(*session, request("/health"));  // timeout 0: the session's
    EXPECT_EQ(result.errorCode(), kURLErrorTimedOut);
  }
}

TEST_F(URLSessionTest, CancelBeforeResumeSendsNothing) {
  auto session = URLSession::make();
  CompletionRecorder recorder;
  auto task = session->dataTask(request("/health"), recorder.completion());
  task->cancel();
  task->resume();  // after cancel: does nothing
  auto result = recorder.wait();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->errorCode(), kURLErrorCancelled);
  // A later request on the same session is the only one the service sees.
  auto later = fetch(*session, request("/echo"));
  EXPECT_EQ(later.status(), 200);
  EXPECT_EQ(service.requestLog().size(), 1u);
  EXPECT_EQ(recorder.calls(), 1);
}

TEST_F(URLSessionTest, CancelDuringTransfer) {
  service.setFault("/health", Fault::withDelay(10s));
  auto session = URLSession::make();
  CompletionRecorder recorder;
  auto task = session->dataTask(request("/health"), recorder.completion());
  task->resume();
  ASSERT_TRUE(service.waitForRequests(1));
  const auto start = std::chrono::steady_clock::now();
  task->cancel();
  task->cancel();
  auto result = recorder.wait();
  ASSERT_TRUE(result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(result->errorCode(), kURLErrorCancelled);
  EXPECT_EQ(result->error->domain, kURLErrorDomain);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder.calls(), 1);
  EXPECT_EQ(task->state(), URLSessionDataTask::State::completed);
}

TEST_F(URLSessionTest, ConnectionRefused) {
  DevService stopped;
  ASSERT_TRUE(stopped.start().ok());
  const std::string url = stopped.url("/health");
  stopped.stop();
  auto session = URLSession::make();
  auto result = fetch(*session, URLRequest(url));
  EXPECT_EQ(result.errorCode(), kURLErrorCannotConnectToHost);
  EXPECT_EQ(result.error->userInfo.value("curlCode", 0), 7);
  EXPECT_FALSE(result.response);
}

TEST_F(URLSessionTest, DroppedConnectionsAreConnectionLost) {
  auto session = URLSession::make();
  service.setFault("/bytes/.*", Fault::truncatedBody());
  auto midBody = fetch(*session, request("/bytes/4000"));
  EXPECT_EQ(midBody.errorCode(), kURLErrorNetworkConnectionLost) << midBody.error->toString();
  EXPECT_TRUE(midBody.data.empty());

  service.setFault("/health", Fault::dropConnection());
  auto noReply = fetch(*session, request("/health"));
  EXPECT_EQ(noReply.errorCode(), kURLErrorNetworkConnectionLost) << noReply.error->toString();
}

TEST_F(URLSessionTest, BadURLs) {
  auto session = URLSession::make();
  EXPECT_EQ(fetch(*session, URLRequest("ftp://127.0.0.1/x")).errorCode(), kURLErrorUnsupportedURL);
  EXPECT_EQ(fetch(*session, URLRequest("http://")).errorCode(), kURLErrorBadURL);
}

TEST_F(URLSessionTest, ThousandRequestsWithFourConnectionsCompleteOnce) {
  URLSessionConfiguration config;
  config.httpMaximumConnectionsPerHost = 4;
  auto session = URLSession::make(config, DispatchQueue::makeConcurrent("test.completions"));
  constexpr int kCount = 1000;
  std::mutex mutex;
  std::map<int, int> calls;
  std::atomic<int> failures{0};
  DispatchGroup group;
  std::vector<std::shared_ptr<URLSessionDataTask>> tasks;
  for (int i = 0; i < kCount; ++i) {
    group.enter();
    tasks.push_back(session->dataTask(
        request("/echo?i=" + std::to_string(i)),
        [&, i](std::vector<std::uint8_t>, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
          if (error || statusCodeOf(response) != 200) ++failures;
          {
            std::lock_guard lock(mutex);
            ++calls[i];
          }
          group.leave();
        }));
  }
  for (auto& task : tasks) task->resume();
  ASSERT_TRUE(group.wait(std::chrono::seconds(120)));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kCount));
  for (const auto& [i, n] : calls) EXPECT_EQ(n, 1) << i;
  EXPECT_EQ(session->tasksInFlight(), 0u);

  auto log = service.requestLog();
  ASSERT_EQ(log.size(), static_cast<std::size_t>(kCount));
  std::set<int> ports;
  for (const auto& r : log) ports.insert(r.remotePort);
  EXPECT_LE(ports.size(), 4u) << "connections were reused and capped";
}

TEST_F(URLSessionTest, DestroyingSessionCancelsTasksInFlightOnce) {
  service.setFault("/health", Fault::withDelay(10s));
  constexpr int kCount = 12;
  std::vector<std::unique_ptr<CompletionRecorder>> recorders;
  {
    auto session = URLSession::make();
    for (int i = 0; i < kCount; ++i) {
      recorders.push_back(std::make_unique<CompletionRecorder>());
      session->dataTask(request("/health"), recorders.back()->completion())->resume();
    }
    // A task never resumed is dropped silently with the session.
    session->dataTask(request("/health"), nullptr);
    ASSERT_TRUE(service.waitForRequests(6));
  }
  for (auto& recorder : recorders) {
    auto result = recorder->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->errorCode(), kURLErrorCancelled);
  }
  std::this_thread::sleep_for(50ms);
  for (auto& recorder : recorders) EXPECT_EQ(recorder->calls(), 1);
}

TEST_F(URLSessionTest, InvalidateAndCancel) {
  service.setFault("/health", Fault::withDelay(10s));
  auto session = URLSession::make();
  CompletionRecorder slow;
  session->dataTask(request("/health"), slow.completion())->resume();
  ASSERT_TRUE(service.waitForRequests(1));
  session->invalidateAndCancel();
  auto result = slow.wait();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->errorCode(), kURLErrorCancelled);
  EXPECT_TRUE(session->isInvalidated());

  auto after = fetch(*session, request("/echo"));
  EXPECT_EQ(after.errorCode(), kURLErrorCancelled);
  EXPECT_EQ(service.requestLog().size(), 1u);
}

TEST_F(URLSessionTest, FinishTasksAndInvalidateLetsRunningTasksEnd) {
  service.setFault("/health", Fault::withDelay(300ms));
  auto session = URLSession::make();
  CompletionRecorder running;
  session->dataTask(request("/health"), running.completion())->resume();
  session->finishTasksAndInvalidate();
  auto result = running.wait();
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->error);
  EXPECT_EQ(result->status(), 200);
  EXPECT_EQ(fetch(*session, request("/echo")).errorCode(), kURLErrorCancelled);
}

TEST_F(URLSessionTest, CompletionsRunOnTheDelegateQueue) {
  auto queue = DispatchQueue::makeSerial("test.delegate");
  auto session = URLSession::make({}, queue);
  std::atomic<bool> onQueue{false};
  CompletionRecorder recorder;
  auto record = recorder.completion();
  session
      ->dataTask(request("/health"),
                 [&](auto data, auto response, auto error) {
                   onQueue = queue->isCurrent();
                   record(std::move(data), std::move(response), std::move(error));
                 })
      ->resume();
  ASSERT_TRUE(recorder.wait());
  EXPECT_TRUE(onQueue.load());
}

TEST_F(URLSessionTest, PersistentSessionsKeepCookiesEphemeralOnesDoNot) {
  auto persistent = URLSession::make();
  auto ephemeral = URLSession::make(URLSessionConfiguration::ephemeralConfiguration());
  for (auto* session : {persistent.get(), ephemeral.get()}) {
    ASSERT_EQ(fetch(*session, request("/response-headers?Set-Cookie=token%3Dxyz")).status(), 200);
  }
  service.clearRequestLog();
  fetch(*persistent, request("/echo"));
  fetch(*ephemeral, request("/echo"));
  auto log = service.requestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].header("Cookie"), "token=xyz");
  EXPECT_FALSE(log[1].header("Cookie"));
}

std::size_t countEntries(const char* dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

TEST_F(URLSessionTest, NoThreadOrDescriptorLeak) {
  // Warm up the shared pieces (dispatch workers, curl's global state) first.
  {
    auto session = URLSession::make();
    fetch(*session, request("/echo"));
  }
  service.stop();
  ASSERT_TRUE(service.start().ok());
  auto settle = [&] {
    auto session = URLSession::make();
    fetch(*session, request("/echo"));  // the restarted service's workers exist from here on
  };
  settle();
  const std::size_t threadsBefore = countEntries("/proc/self/task");
  const std::size_t fdsBefore = countEntries("/proc/self/fd");
  for (int round = 0; round < 10; ++round) {
    auto session = URLSession::make();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(fetch(*session, request("/echo")).status(), 200);
    CompletionRecorder abandoned;
    service.setFault("/health", Fault::withDelay(5s));
    session->dataTask(request("/health"), abandoned.completion())->resume();
    ASSERT_TRUE(service.waitForRequests(static_cast<std::size_t>(round + 1) * 6 + 2));
    session.reset();
    ASSERT_TRUE(abandoned.wait());
  }
  service.stop();  // closes the service's side of every connection
  ASSERT_TRUE(service.start().ok());
  settle();
  EXPECT_LE(countEntries("/proc/self/task"), threadsBefore + 2);
  EXPECT_LE(countEntries("/proc/self/fd"), fdsBefore + 2);
}

}  // namespace
}  // namespace vx
