// Clients that send a request a byte at a time, over real sockets against a real service: they
// never hold the workers other clients need, and each gets a bounded time for its request.
#include "tools/devservice/DevService.h"

#include "platform/net/URLSession.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx::devservice {
namespace {

using namespace std::chrono_literals;

// A connection to the service; every write and read is plain and blocking unless said otherwise.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Reads one whole reply (headers and a body of the announced length).
  std::string readReply() {
    std::string reply;
    char buffer[4096];
    for (;;) {
      const auto headerEnd = reply.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        const auto length = reply.find("Content-Length: ");
        const std::size_t bodySize = length == std::string::npos ? 0 : std::stoul(reply.substr(length + 16));
        if (reply.size() >= headerEnd + 4 + bodySize) return reply;
      }
      if (!waitReadable(60s)) return reply;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return reply;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  // True once the service has closed its side: an end of stream or a reset.
  bool closedByService(std::chrono::milliseconds within) {
    if (!waitReadable(within)) return false;
    char byte;
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  // Open, and nothing for us to read: the service is still waiting for the rest of the request.
  bool stillWaiting() {
    char byte;
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }

 private:
  bool waitReadable(std::chrono::milliseconds within) {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(within.count())) > 0;
  }

  int fd_ = -1;
  bool connected_ = false;
};

// Starts a request on each added connection and then sends one more byte of a header line on
// every one of them every 100 ms: the service's read timeout never runs out, the request never
// ends.
class Trickler {
 public:
  Trickler()
      : thread_([this] {
          while (!stopping_.load()) {
            {
              std::lock_guard lock(mutex_);
              for (auto* connection : connections_) connection->send("a");
            }
            std::this_thread::sleep_for(100ms);  // the pace of the slow client, not a wait
          }
        }) {}
  ~Trickler() {
    stopping_ = true;
    thread_.join();
  }

  void add(RawConnection& connection) {
    std::lock_guard lock(mutex_);
    connection.send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    connections_.push_back(&connection);
  }

 private:
  std::mutex mutex_;
  std::vector<RawConnection*> connections_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Waits until the service counts at least `count` open connections.
bool waitForOpenConnections(const DevService& service, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (service.openConnections() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::vector<std::unique_ptr<RawConnection>> connect(int port, std::size_t count) {
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (std::size_t i = 0; i < count; ++i) {
    connections.push_back(std::make_unique<RawConnection>(port));
    EXPECT_TRUE(connections.back()->connected());
  }
  return connections;
}

TEST(DevServiceSlowClientTest, FortySlowClientsLeaveOthersServed) {
  DevService::Options options;
  options.requestDeadline = std::chrono::hours(1);  // only the workers are under test here
  DevService service(options);
  ASSERT_TRUE(service.start().ok());
  auto slow = connect(service.port(), 40);
  Trickler trickler;
  for (auto& connection : slow) trickler.add(*connection);
  ASSERT_TRUE(waitForOpenConnections(service, 40));

  const auto session = URLSession::make();
  const auto result = vx::testing::fetch(*session, URLRequest(service.url("/health")));
  EXPECT_EQ(result.status(), 200);
  EXPECT_EQ(result.text(), R"({"status":"ok"})");
  // Answered while every slow request was still being waited for.
  for (auto& connection : slow) EXPECT_TRUE(connection->stillWaiting());
}

TEST(DevServiceSlowClientTest, ARequestThatNeverEndsIsCutOffAtTheDeadline) {
  DevService::Options options;
  options.requestDeadline = 300ms;
  DevService service(options);
  ASSERT_TRUE(service.start().ok());
  RawConnection slow(service.port());
  ASSERT_TRUE(slow.connected());
  Trickler trickler;
  trickler.add(slow);
  // Bytes keep coming, so only the deadline can end it.
  EXPECT_TRUE(slow.closedByService(120s));

  // A client that sends its request at once is answered as before, on a connection it keeps.
  RawConnection quick(service.port());
  ASSERT_TRUE(quick.send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_TRUE(quick.readReply().starts_with("HTTP/1.1 200"));
  ASSERT_TRUE(quick.send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_TRUE(quick.readReply().starts_with("HTTP/1.1 200"));
}

TEST(DevServiceSlowClientTest, TheNewestConnectionsOfAnAddressBeyondItsCapAreClosed) {
  DevService::Options options;
  options.maxConnectionsPerAddress = 3;
  options.requestDeadline = std::chrono::hours(1);
  DevService service(options);
  ASSERT_TRUE(service.start().ok());
  // The first three are known to the service (each had a request answered) before the others
  // connect.
  auto older = connect(service.port(), 3);
  for (auto& connection : older) {
    ASSERT_TRUE(connection->send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(connection->readReply().starts_with("HTTP/1.1 200"));
  }
  Trickler trickler;
  for (auto& connection : older) trickler.add(*connection);
  auto newer = connect(service.port(), 2);
  for (auto& connection : newer) trickler.add(*connection);

  for (auto& connection : newer) EXPECT_TRUE(connection->closedByService(120s));
  for (auto& connection : older) EXPECT_TRUE(connection->stillWaiting());
}

}  // namespace
}  // namespace vx::devservice
