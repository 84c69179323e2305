// SingleInstance: one running copy of the application per user. The first instance listens on a
// UNIX domain socket; a later launch finds it there, hands over what it was started with (the
// URLs on its command line) and exits, so a sign-in link opened in the browser reaches the window
// the user already has.
//
// Where the socket lives: "<runtime folder>/<name>.socket", with "<name>.lock" beside it, in the
// folder the caller names, else $XDG_RUNTIME_DIR, else "<name>-<uid>" in the user's cache folder
// (made when missing). The folder must be the user's own with mode 0700 and is refused
// otherwise: a name other users can reach first (the abstract socket namespace, a shared folder)
// would let them squat it, so that the application could neither listen nor hand off. The first
// instance holds an flock on the lock file for its whole life, so exactly one instance becomes
// the first even when two start at once, and a socket left behind by one that crashed is
// replaced, never mistaken for a live one. Each side also checks the other's user id
// (SO_PEERCRED): other users' processes can neither hand URLs in nor receive them.
//
// Wire format, per connection: each message as a 4-byte big-endian length and that many bytes;
// then the sender shuts down its writing side, and the first instance answers one byte 'A' once
// it has taken every message. A connection that breaks the format (a length beyond
// kMaxMessageBytes, too many messages, a stall beyond the read time-out) is closed unanswered
// and nothing of it is delivered.
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Error.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vx {

inline constexpr const char* kSingleInstanceErrorDomain = "vx.SingleInstance";
enum SingleInstanceErrorCode : std::int64_t {
  kSingleInstanceInvalidName = 1,      // empty, too long, or not [A-Za-z0-9._-]
  kSingleInstanceSocketFailed = 2,     // socket, bind or listen failed (errno in the user info)
  kSingleInstanceNoListener = 3,       // the first instance holds the lock but never answered
  kSingleInstanceTransferFailed = 4,   // the connection broke or was not acknowledged
  kSingleInstanceMessageTooLarge = 5,  // a message beyond kMaxMessageBytes
  kSingleInstanceWrongUser = 6,        // the peer runs as another user
  kSingleInstanceNotSecondary = 7,     // send() on the first instance
  kSingleInstanceUnsafeFolder = 8,     // the runtime folder is not the user's own with mode 0700
};

class SingleInstance {
 public:
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024;
  static constexpr std::size_t kMaxMessagesPerConnection = 64;

  enum class Role { primary, secondary };
  // Runs on the main queue (vx::DispatchQueue::main()), one message per call, in arrival order.
  using MessageHandler = std::function<void(std::string message)>;

  struct Options {
    // Names the application (the bundle identifier): 1 to 64 of A-Z a-z 0-9 . _ -
    std::string name;
    // Empty: $XDG_RUNTIME_DIR when set to an absolute path, else "<name>-<uid>" in the user's
    // cache folder. Made (mode 0700) when missing; refused unless owned by the user, mode 0700.
    std::filesystem::path runtimeDirectory;
    // How long send() waits for the first instance to listen and answer, and how long the first
    // instance waits for a sender's next bytes.
    Duration timeout = std::chrono::seconds(5);
  };

  // Becomes the first instance (listening; messages go to `handler`) or, when another instance
  // of the same name and user already is, a secondary one that may send() to it. Errors:
  // kSingleInstanceInvalidName, kSingleInstanceUnsafeFolder, kSingleInstanceSocketFailed (also
  // for a socket path too long for an address).
  static Result<std::unique_ptr<SingleInstance>> acquire(Options options, MessageHandler handler);

  // The first instance stops listening (its socket file removed, its lock released); messages
  // already taken still reach the handler.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Role role() const { return role_; }
  bool isPrimary() const { return role_ == Role::primary; }
  // "<folder>/<name>.socket".
  std::string address() const;

  // Secondary only: connects (retrying until the time-out while the first instance is still
  // starting), sends the messages (possibly none) and waits for the acknowledgement. Errors:
  // kSingleInstanceNotSecondary, kSingleInstanceMessageTooLarge (nothing sent),
  // kSingleInstanceNoListener, kSingleInstanceWrongUser, kSingleInstanceTransferFailed.
  Result<void> send(const std::vector<std::string>& messages) const;

 private:
  struct Listener;
  SingleInstance() = default;

  Role role_ = Role::secondary;
  Options options_;
  std::filesystem::path socketPath_;
  std::filesystem::path lockPath_;
  int lockFd_ = -1;
  std::shared_ptr<Listener> listener_;
};

// What main() does with the URLs it was started with.
struct URLHandOff {
  // primary: this process runs the application; its own URLs have been posted to
  // GetURLEventManager and later launches' URLs will be. handedOff: another instance took the
  // URLs; this process should exit.
  enum class Outcome { primary, handedOff };
  Outcome outcome = Outcome::primary;
  // Held by the first instance for its life (it listens while this exists).
  std::unique_ptr<SingleInstance> instance;
};

// Becomes the first instance (posting `urls` and every later launch's URLs as get-URL events,
// GetURLEventManager) or hands `urls` over to the first instance. When the hand-over fails the
// error is returned and the caller decides (the application then runs on its own, with its URLs
// posted locally).
Result<URLHandOff> handOffURLsOrListen(SingleInstance::Options options, const std::vector<std::string>& urls);

// The command-line arguments (argv[1] on) that are URLs of one of the schemes ("scheme:..." with
// the scheme compared without regard to case), in order.
std::vector<std::string> urlArguments(int argc, const char* const* argv, const std::vector<std::string>& schemes);

}  // namespace vx
