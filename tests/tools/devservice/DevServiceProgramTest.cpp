// The devservice program: starts on an ephemeral port, answers, logs one line per request and
// stops cleanly on SIGTERM.
#include "platform/net/URLSession.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads one line from `fd`, waiting at most `timeoutMs` for each byte.
std::optional<std::string> readLine(int fd, int timeoutMs = 10000) {
  std::string line;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    char c = 0;
    if (read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

TEST(DevServiceProgram, ServesLogsAndStops) {
  const char* program = std::getenv("VX_DEVSERVICE_PROGRAM");
  ASSERT_NE(program, nullptr);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(program, program, "--port", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);

  auto banner = readLine(out[0]);
  ASSERT_TRUE(banner);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(*banner, match, std::regex("http://127\\.0\\.0\\.1:([0-9]+)"))) << *banner;
  const std::string base = match[0];

  auto session = vx::URLSession::make();
  auto result = vx::testing::fetch(*session, vx::URLRequest(base + "/echo?x=1", "POST"));
  EXPECT_EQ(result.status(), 200);
  auto line = readLine(out[0]);
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("POST /echo?x=1 200"), std::string::npos) << *line;

  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(out[0]);
}

TEST(DevServiceProgram, RejectsBadArguments) {
  const char* program = std::getenv("VX_DEVSERVICE_PROGRAM");
  ASSERT_NE(program, nullptr);
  for (const char* arg : {"--port=abc", "--bogus"}) {
    const std::string command = std::string(program) + " " + arg + " 2>/dev/null";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << arg;
  }
  const std::string badPort = std::string(program) + " --port 70000 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(badPort.c_str())), 2);
  const std::string badData = std::string(program) + " --data /nonexistent/vx-data 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(badData.c_str())), 2);
}

}  // namespace
