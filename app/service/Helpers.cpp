#include "app/service/Helpers.h"

#include "app/service/ServiceConfig.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <utility>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace Vexelworks {

namespace {

struct OpenerHolder {
  std::mutex mutex;
  std::shared_ptr<const URLOpener> opener;
};

OpenerHolder& openerHolder() {
  static OpenerHolder instance;
  return instance;
}

void openWithXdgOpen(const vx::URL& url) {
  const std::string text = url.string();
  char program[] = "xdg-open";
  char* argv[] = {program, const_cast<char*>(text.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) {
    std::cout << "Could not start xdg-open for " << text << std::endl;
    return;
  }
  // Reap the child so it does not linger as a zombie; the result is not looked at.
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
}

}  // namespace

std::optional<nlohmann::json> decodeJSON(std::string_view bytes) {
  // A reply nested deeper than any real one is refused before anything recurses over it (the
  // icon parser logs rejected elements whole).
  if (!vx::jsonNestingWithin(bytes)) {
    std::cout << "JSON text nests deeper than " << vx::kMaxJSONNesting << " levels" << std::endl;
    return std::nullopt;
  }
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(bytes.begin(), bytes.end());
  } catch (const nlohmann::json::exception& error) {
    std::cout << error.what() << std::endl;
    return std::nullopt;
  }
  if (value.is_object()) return value;
  if (value.is_array()) return std::nullopt;
  // A reply is an object or an array; a bare scalar is as malformed as broken text.
  std::cout << "JSON text did not start with array or object" << std::endl;
  return std::nullopt;
}

std::optional<nlohmann::json> decodeJSON(const vx::Bytes& bytes) {
  return decodeJSON(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::string> textMember(const nlohmann::json& json, const char* key) {
  if (!json.is_object()) return std::nullopt;
  auto it = json.find(key);
  if (it == json.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string clientId() {
  // Two first calls at once must not make two identifiers.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto& defaults = vx::UserDefaults::standard();
  if (auto existing = defaults.stringForKey(kClientIdKey)) return *existing;
  std::string text = vx::UUID::make().uuidString();
  // Setters persist before they return; synchronize retries a write that failed.
  defaults.setString(text, kClientIdKey);
  (void)defaults.synchronize();
  return text;
}

void runOnMain(std::function<void()> closure) { vx::DispatchQueue::main()->async(std::move(closure)); }

std::optional<vx::URL> webPageURL(std::string_view path) { return vx::URL::parse(path, webBaseURL()); }

void openWebPage(std::string_view path) {
  auto url = webPageURL(path);
  if (!url) {
    std::cout << "Not a web page path: " << path << std::endl;
    return;
  }
  std::shared_ptr<const URLOpener> opener;
  {
    std::lock_guard lock(openerHolder().mutex);
    opener = openerHolder().opener;
  }
  if (opener) {
    (*opener)(*url);
  } else {
    openWithXdgOpen(*url);
  }
}

URLOpener setURLOpener(URLOpener opener) {
  auto next = opener ? std::make_shared<const URLOpener>(std::move(opener)) : nullptr;
  std::shared_ptr<const URLOpener> previous;
  {
    std::lock_guard lock(openerHolder().mutex);
    previous = std::exchange(openerHolder().opener, std::move(next));
  }
  return previous ? *previous : URLOpener();
}

}  // namespace Vexelworks
