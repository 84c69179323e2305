#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Zombie.h"

#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashObjC.h"

#include <atomic>
#include <cstdlib>

namespace {

constexpr unsigned kCacheSize = 0x8000;
constexpr unsigned kCacheMask = kCacheSize - 1;

struct Zombie {
  std::atomic<const void*> object;
  std::atomic<const char*> className;
};

struct LastException {
  const void* address;
  char name[100];
  char reason[900];
};

std::atomic<Zombie*> g_zombieCache{nullptr};
std::atomic<bool> g_isEnabled{false};
LastException g_lastDeallocedException;

unsigned hashIndex(const void* object) {
  return static_cast<unsigned>((reinterpret_cast<std::uintptr_t>(object) >> 7) & kCacheMask);
}

// Copies the string held by the exception's instance variable into buffer. The variable is
// declared by the class or one of its superclasses.
void copyIvarString(const void* object, const void* classPtr, const char* name, char* buffer, int length) {
  buffer[0] = '\0';
  PloverCrashObjCIvar ivar;
  const void* declaring = classPtr;
  for (int i = 0; declaring != nullptr && i < 20; ++i) {
    if (plovercrashobjc_ivarNamed(declaring, name, &ivar)) break;
    declaring = plovercrashobjc_superClass(declaring);
  }
  if (declaring == nullptr || !plovercrashobjc_ivarNamed(declaring, name, &ivar)) return;
  const void* value = nullptr;
  if (!plovercrashobjc_ivarValueInClass(object, declaring, ivar.index, &value)) return;
  if (plovercrashobjc_isValidObject(value)) {
    plovercrashobjc_copyStringContents(value, buffer, length);
  }
}

void setEnabled(bool isEnabled) {
  // Once the hooks are in they stay: disabling has no effect.
  if (!isEnabled || g_isEnabled.load()) return;
  void* cache = std::calloc(kCacheSize, sizeof(Zombie));
  if (cache == nullptr) {
    PLOVERCRASHLOG_ERROR(
        "Error: Could not allocate %u bytes of memory. PloverCrashZombie NOT "
        "installed!",
        static_cast<unsigned>(kCacheSize * sizeof(Zombie)));
    // A monitor that could not install reports itself off.
    return;
  }
  g_lastDeallocedException.address = nullptr;
  g_lastDeallocedException.name[0] = '\0';
  g_lastDeallocedException.reason[0] = '\0';
  g_zombieCache.store(static_cast<Zombie*>(cache));
  g_isEnabled.store(true);
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextualInfo(PloverCrash_MonitorContext* eventContext) {
  if (!g_isEnabled.load()) return;
  eventContext->ZombieException.address = reinterpret_cast<std::uintptr_t>(g_lastDeallocedException.address);
  eventContext->ZombieException.name = g_lastDeallocedException.name;
  eventContext->ZombieException.reason = g_lastDeallocedException.reason;
}

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

PloverCrashMonitorOps* plovercrashcm_zombie_getAPI() { return &g_api; }

const char* plovercrashzombie_className(const void* object) {
  Zombie* cache = g_zombieCache.load();
  if (cache == nullptr || object == nullptr) return nullptr;
  Zombie& zombie = cache[hashIndex(object)];
  if (zombie.object.load(std::memory_order_relaxed) == object) {
    return zombie.className.load(std::memory_order_relaxed);
  }
  return nullptr;
}

void plovercrashzombie_handleDealloc(const void* object) {
  Zombie* cache = g_zombieCache.load();
  if (cache == nullptr || object == nullptr) return;
  const void* classPtr = plovercrashobjc_isaPointer(object);
  Zombie& zombie = cache[hashIndex(object)];
  zombie.object.store(object, std::memory_order_relaxed);
  zombie.className.store(plovercrashobjc_className(classPtr), std::memory_order_relaxed);
  if (plovercrashobjc_isKindOfClass(classPtr, "NSException")) {
    g_lastDeallocedException.address = object;
    copyIvarString(object, classPtr, "name", g_lastDeallocedException.name, sizeof g_lastDeallocedException.name);
    copyIvarString(object, classPtr, "reason", g_lastDeallocedException.reason, sizeof g_lastDeallocedException.reason);
  }
}
