#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"

#include "platform/foundation/Bundle.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <algorithm>
#include <optional>

namespace {

struct TraceBuffer {
  std::mutex mutex;
  // Present from start until the first flush.
  std::optional<std::vector<MSDelegateForwarder::MSTraceBlock>> blocks{std::in_place};
};

TraceBuffer& traceBuffer() {
  static TraceBuffer* buffer = new TraceBuffer();  // lives for the process: blocks may come late
  return *buffer;
}

std::mutex& forwardingMutex() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSAppDelegateForwarder>& sharedSlot() {
  static std::shared_ptr<MSAppDelegateForwarder> instance;
  return instance;
}

}  // namespace

MSDelegateForwarder::MSDelegateForwarder() = default;

void MSDelegateForwarder::addDelegate(const std::shared_ptr<MSAppDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(mutex_);
  if (!enabled_) return;
  std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : delegates_) {
    if (weak.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void MSDelegateForwarder::removeDelegate(const std::shared_ptr<MSAppDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  if (!enabled_) return;
  std::erase_if(delegates_, [&](const auto& weak) {
    const auto strong = weak.lock();
    return !strong || strong == delegate;
  });
}

void MSDelegateForwarder::setEnabledFromPlistForKey(const std::string& key) {
  const bool enabled = vx::Bundle::main().boolForInfoDictionaryKey(key, true);
  setEnabled(enabled);
  addTraceBlock([key, enabled] {
    if (enabled) {
      MSLogDebug(kMSLogTag, "Delegate forwarder for info.plist key '%s' enabled. It may use swizzling.", key.c_str());
    } else {
      MSLogDebug(kMSLogTag, "Delegate forwarder for info.plist key '%s' disabled. It won't use swizzling.",
                 key.c_str());
    }
  });
}

bool MSDelegateForwarder::isEnabled() {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void MSDelegateForwarder::setEnabled(bool isEnabled) {
  std::lock_guard lock(mutex_);
  enabled_ = isEnabled;
  if (!isEnabled) delegates_.clear();
}

std::vector<std::shared_ptr<MSAppDelegate>> MSDelegateForwarder::delegates() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<MSAppDelegate>> live;
  for (const auto& weak : delegates_) {
    if (auto strong = weak.lock()) live.push_back(std::move(strong));
  }
  return live;
}

void MSDelegateForwarder::forward(const std::function<void(MSAppDelegate&)>& call) {
  if (!isEnabled()) return;
  // The snapshot is taken outside the registry's lock, so a delegate may register others.
  const auto targets = delegates();
  std::lock_guard lock(forwardingMutex());
  for (const auto& delegate : targets) call(*delegate);
}

void MSDelegateForwarder::addTraceBlock(MSTraceBlock block) {
  if (!block) return;
  auto& buffer = traceBuffer();
  {
    std::lock_guard lock(buffer.mutex);
    if (buffer.blocks) {
      if (buffer.blocks->empty()) buffer.blocks->push_back([] { MSLogVerbose(kMSLogTag, "Start buffering traces."); });
      buffer.blocks->push_back(std::move(block));
      return;
    }
  }
  block();
}

void MSDelegateForwarder::flushTraceBuffer() {
  auto& buffer = traceBuffer();
  std::lock_guard lock(buffer.mutex);
  if (!buffer.blocks) return;
  for (const auto& block : *buffer.blocks) block();
  buffer.blocks.reset();
  MSLogVerbose(kMSLogTag, "Stop buffering traces, flushed.");
}

void MSDelegateForwarder::resetTraceBufferForTesting() {
  auto& buffer = traceBuffer();
  std::lock_guard lock(buffer.mutex);
  buffer.blocks.emplace();
}

// ---- MSAppDelegateForwarder ----

std::shared_ptr<MSAppDelegateForwarder> MSAppDelegateForwarder::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) {
    auto instance = std::make_shared<MSAppDelegateForwarder>();
    // Read before anyone else sees the instance.
    instance->setEnabledFromPlistForKey(enabledKey());
    sharedSlot() = std::move(instance);
  }
  return sharedSlot();
}

void MSAppDelegateForwarder::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

void MSAppDelegateForwarder::applicationDidBecomeActive() {
  forward([](MSAppDelegate& delegate) { delegate.applicationDidBecomeActive(); });
}

void MSAppDelegateForwarder::applicationWillResignActive() {
  forward([](MSAppDelegate& delegate) { delegate.applicationWillResignActive(); });
}

void MSAppDelegateForwarder::applicationOpenURLs(const std::vector<std::string>& urls) {
  forward([&](MSAppDelegate& delegate) { delegate.applicationOpenURLs(urls); });
}
