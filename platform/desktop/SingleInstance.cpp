#include "platform/desktop/SingleInstance.h"

#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/DispatchQueue.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vx {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

Error failure(std::int64_t code, std::string description, int errorNumber = 0) {
  nlohmann::json info = nlohmann::json::object();
  if (errorNumber != 0) {
    info["errno"] = errorNumber;
    description += ": ";
    description += std::strerror(errorNumber);
  }
  return Error(kSingleInstanceErrorDomain, code, std::move(description), std::move(info));
}

bool isValidName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return name != "." && name != "..";
}

// Makes `folder` (one level) with mode 0700 when it is missing, then accepts it only when it is
// a real folder (not a link) owned by this user that no one else may open: a socket in a folder
// another user can write to, or own, could be squatted or replaced.
Result<std::filesystem::path> privateFolder(const std::filesystem::path& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return failure(kSingleInstanceUnsafeFolder, "Cannot make " + folder.string(), errno);
  }
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0) {
    return failure(kSingleInstanceUnsafeFolder, "Cannot read " + folder.string(), errno);
  }
  if (!S_ISDIR(info.st_mode)) {
    return failure(kSingleInstanceUnsafeFolder, folder.string() + " is not a folder");
  }
  if (info.st_uid != geteuid()) {
    return failure(kSingleInstanceUnsafeFolder, folder.string() + " belongs to another user");
  }
  if ((info.st_mode & 077) != 0) {
    return failure(kSingleInstanceUnsafeFolder,
                   folder.string() + " may be opened by other users (it must be mode 0700)");
  }
  return folder;
}

// The caller's folder, else $XDG_RUNTIME_DIR, else "<name>-<uid>" in the user's cache folder
// ($XDG_CACHE_HOME, ~/.cache; the temporary folder when there is no home), made if needed.
Result<std::filesystem::path> runtimeFolder(const SingleInstance::Options& options) {
  if (!options.runtimeDirectory.empty()) return privateFolder(options.runtimeDirectory);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return privateFolder(runtime);
  std::filesystem::path parent;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (cache != nullptr && cache[0] == '/') {
    parent = cache;
  } else if (home != nullptr && home[0] == '/') {
    parent = std::filesystem::path(home) / ".cache";
  } else {
    parent = "/tmp";
  }
  std::error_code ignored;
  std::filesystem::create_directories(parent, ignored);
  return privateFolder(parent / (options.name + "-" + std::to_string(geteuid())));
}

// The socket address; false when the path does not fit.
bool makeAddress(const std::filesystem::path& socketPath, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::string text = socketPath.string();
  if (text.empty() || text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.data(), text.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  return true;
}

bool peerIsSameUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  return credentials.uid == getuid();
}

int millisecondsUntil(SteadyTime deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
}

enum class ReadOutcome { complete, endOfStream, failed };

// Reads exactly `size` bytes before the deadline, giving up early when `wakeFd` is signalled.
// endOfStream only when the stream ended before the first byte.
ReadOutcome readExactly(int fd, int wakeFd, void* buffer, std::size_t size, SteadyTime deadline) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int timeout = millisecondsUntil(deadline);
    if (timeout == 0) return ReadOutcome::failed;
    const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ReadOutcome::failed;
    }
    if (ready == 0) return ReadOutcome::failed;
    if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return ReadOutcome::failed;
    const ssize_t n = recv(fd, bytes + done, size - done, 0);
    if (n == 0) return done == 0 ? ReadOutcome::endOfStream : ReadOutcome::failed;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ReadOutcome::failed;
    }
    done += static_cast<std::size_t>(n);
  }
  return ReadOutcome::complete;
}

bool writeAll(int fd, const void* buffer, std::size_t size, SteadyTime deadline) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    pollfd pfd{fd, POLLOUT, 0};
    const int timeout = millisecondsUntil(deadline);
    if (timeout == 0) return false;
    const int ready = poll(&pfd, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = send(fd, bytes + done, size - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct SingleInstance::Listener {
  int listenFd = -1;
  int wakeFd = -1;
  Duration timeout{};
  std::shared_ptr<MessageHandler> handler;
  std::thread thread;

  ~Listener() {
    if (wakeFd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = write(wakeFd, &one, sizeof one);
    }
    if (thread.joinable()) thread.join();
    if (listenFd >= 0) close(listenFd);
    if (wakeFd >= 0) close(wakeFd);
  }

  void run() {
    for (;;) {
      pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents & POLLIN) return;
      if (!(fds[0].revents & POLLIN)) continue;
      const int connection = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      serve(connection);
      close(connection);
    }
  }

  // One sender: every message or none reaches the handler.
  void serve(int connection) {
    if (!peerIsSameUser(connection)) return;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
    std::vector<std::string> messages;
    for (;;) {
      unsigned char header[4];
      const auto outcome = readExactly(connection, wakeFd, header, sizeof header, deadline);
      if (outcome == ReadOutcome::endOfStream) break;
      if (outcome == ReadOutcome::failed) return;
      const std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                                 (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
      if (size > kMaxMessageBytes || messages.size() >= kMaxMessagesPerConnection) return;
      std::string message(size, '\0');
      if (size > 0 && readExactly(connection, wakeFd, message.data(), size, deadline) != ReadOutcome::complete) {
        return;
      }
      messages.push_back(std::move(message));
    }
    for (auto& message : messages) {
      DispatchQueue::main()->async(
          [handler = handler, message = std::move(message)]() mutable { (*handler)(std::move(message)); });
    }
    const char ack = 'A';
    writeAll(connection, &ack, 1, deadline);
  }
};

Result<std::unique_ptr<SingleInstance>> SingleInstance::acquire(Options options, MessageHandler handler) {
  if (!isValidName(options.name)) {
    return failure(kSingleInstanceInvalidName, "\"" + options.name + "\" cannot name a single-instance socket");
  }
  if (options.timeout <= Duration::zero()) options.timeout = std::chrono::seconds(5);
  std::unique_ptr<SingleInstance> instance(new SingleInstance());
  instance->options_ = options;

  auto folder = runtimeFolder(options);
  if (!folder.ok()) return folder.error();
  instance->socketPath_ = *folder / (options.name + ".socket");
  instance->lockPath_ = *folder / (options.name + ".lock");
  sockaddr_un address{};
  socklen_t length = 0;
  if (!makeAddress(instance->socketPath_, address, length)) {
    return failure(kSingleInstanceSocketFailed, instance->socketPath_.string() + " is too long for a socket address");
  }

  {
    instance->lockFd_ = open(instance->lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (instance->lockFd_ < 0) {
      return failure(kSingleInstanceSocketFailed, "Cannot open " + instance->lockPath_.string(), errno);
    }
    if (flock(instance->lockFd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(instance->lockFd_);
      instance->lockFd_ = -1;
      if (error == EWOULDBLOCK) {
        instance->role_ = Role::secondary;
        return instance;
      }
      return failure(kSingleInstanceSocketFailed, "Cannot lock " + instance->lockPath_.string(), error);
    }
    // The lock is ours: any socket file left is from an instance that is gone.
    unlink(instance->socketPath_.c_str());
  }

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure(kSingleInstanceSocketFailed, "Cannot make a socket", errno);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    close(fd);
    return failure(kSingleInstanceSocketFailed, "Cannot bind " + instance->address(), error);
  }
  chmod(instance->socketPath_.c_str(), 0600);
  if (listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    unlink(instance->socketPath_.c_str());
    return failure(kSingleInstanceSocketFailed, "Cannot listen on " + instance->address(), error);
  }

  auto listener = std::make_shared<Listener>();
  listener->listenFd = fd;
  listener->wakeFd = eventfd(0, EFD_CLOEXEC);
  listener->timeout = options.timeout;
  listener->handler =
      std::make_shared<MessageHandler>(handler ? std::move(handler) : MessageHandler([](std::string) {}));
  if (listener->wakeFd < 0) {
    const int error = errno;
    unlink(instance->socketPath_.c_str());
    return failure(kSingleInstanceSocketFailed, "Cannot make an event descriptor", error);
  }
  Listener* raw = listener.get();
  listener->thread = std::thread([raw] { raw->run(); });
  instance->listener_ = std::move(listener);
  instance->role_ = Role::primary;
  return instance;
}

SingleInstance::~SingleInstance() {
  listener_.reset();  // stops and joins the listening thread
  if (role_ == Role::primary) unlink(socketPath_.c_str());
  if (lockFd_ >= 0) close(lockFd_);
}

std::string SingleInstance::address() const { return socketPath_.string(); }

Result<void> SingleInstance::send(const std::vector<std::string>& messages) const {
  if (role_ != Role::secondary) {
    return failure(kSingleInstanceNotSecondary, "The first instance does not send to itself");
  }
  if (messages.size() > kMaxMessagesPerConnection) {
    return failure(kSingleInstanceMessageTooLarge, "Too many messages for one hand-off");
  }
  for (const auto& message : messages) {
    if (message.size() > kMaxMessageBytes) {
      return failure(kSingleInstanceMessageTooLarge,
                     "A message is larger than " + std::to_string(kMaxMessageBytes) + " bytes");
    }
  }
  sockaddr_un socketAddress{};
  socklen_t length = 0;
  makeAddress(socketPath_, socketAddress, length);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(options_.timeout);

  int fd = -1;
  for (;;) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return failure(kSingleInstanceSocketFailed, "Cannot make a socket", errno);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) break;
    const int error = errno;
    close(fd);
    fd = -1;
    const bool starting = error == ECONNREFUSED || error == ENOENT || error == EAGAIN;
    if (!starting || std::chrono::steady_clock::now() >= deadline) {
      return failure(kSingleInstanceNoListener, "No instance answers at " + address(), error);
    }
    // The first instance holds the lock but may not listen yet.
    usleep(20'000);
  }
  if (!peerIsSameUser(fd)) {
    close(fd);
    return failure(kSingleInstanceWrongUser, "The instance at " + address() + " runs as another user");
  }
  for (const auto& message : messages) {
    const auto size = static_cast<std::uint32_t>(message.size());
    const unsigned char header[4] = {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                                     static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    if (!writeAll(fd, header, sizeof header, deadline) || !writeAll(fd, message.data(), message.size(), deadline)) {
      close(fd);
      return failure(kSingleInstanceTransferFailed, "The hand-off to " + address() + " broke off");
    }
  }
  shutdown(fd, SHUT_WR);
  char ack = 0;
  const auto outcome = readExactly(fd, -1, &ack, 1, deadline);
  close(fd);
  if (outcome != ReadOutcome::complete || ack != 'A') {
    return failure(kSingleInstanceTransferFailed, "The instance at " + address() + " did not acknowledge");
  }
  return Result<void>::success();
}

Result<URLHandOff> handOffURLsOrListen(SingleInstance::Options options, const std::vector<std::string>& urls) {
  auto post = [](std::string message) { GetURLEventManager::shared().postGetURLEvent(std::move(message)); };
  // Two rounds: a first instance that dies between our lock probe and our connect leaves the
  // lock free for the second round.
  std::optional<Error> lastError;
  for (int round = 0; round < 2; ++round) {
    auto instance = SingleInstance::acquire(options, post);
    if (!instance.ok()) return instance.error();
    if ((*instance)->isPrimary()) {
      for (const auto& url : urls) post(url);
      URLHandOff result;
      result.outcome = URLHandOff::Outcome::primary;
      result.instance = std::move(*instance);
      return result;
    }
    auto sent = (*instance)->send(urls);
    if (sent.ok()) {
      URLHandOff result;
      result.outcome = URLHandOff::Outcome::handedOff;
      return result;
    }
    lastError = sent.error();
    if (sent.error().code != kSingleInstanceNoListener) break;
  }
  return *lastError;
}

std::vector<std::string> urlArguments(int argc, const char* const* argv, const std::vector<std::string>& schemes) {
  std::vector<std::string> urls;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) continue;
    const std::string_view argument(argv[i]);
    const auto colon = argument.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    const auto scheme = argument.substr(0, colon);
    for (const auto& wanted : schemes) {
      if (wanted.size() != scheme.size()) continue;
      bool same = true;
      for (std::size_t k = 0; k < scheme.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(scheme[k])) !=
            std::tolower(static_cast<unsigned char>(wanted[k]))) {
          same = false;
          break;
        }
      }
      if (same) {
        urls.emplace_back(argument);
        break;
      }
    }
  }
  return urls;
}

}  // namespace vx
