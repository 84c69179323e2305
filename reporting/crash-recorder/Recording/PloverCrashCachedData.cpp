#include "reporting/crash-recorder/Recording/PloverCrashCachedData.h"

#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kThreadListCapacity = 1024;

std::atomic<PloverCrashThread*> g_allThreads{nullptr};
std::atomic<char**> g_allThreadNames{nullptr};
std::atomic<char**> g_allQueueNames{nullptr};
std::atomic<int> g_allThreadsCount{0};
std::atomic<int> g_frozenCount{0};
// Set while the cache thread works on its lists: a freezer waits until it clears, and the cache
// thread does not start while a freeze holds.
std::atomic<bool> g_busy{false};
std::atomic<bool> g_started{false};
int g_pollingIntervalInSeconds = 60;

void freeNames(char** names, int count) {
  if (names == nullptr) return;
  for (int i = 0; i < count; ++i) std::free(names[i]);
  std::free(names);
}

void updateThreadList() {
  g_busy.store(true);
  if (g_frozenCount.load() > 0) {
    g_busy.store(false);
    return;
  }
  vx::thread_t threads[kThreadListCapacity];
  std::size_t count = 0;
  if (!MShxcrash_async_task_threads(threads, kThreadListCapacity, &count)) {
    PLOVERCRASHLOG_ERROR("task_threads: %s", plovercrashformat_errorText(errno));
    g_busy.store(false);
    return;
  }
  auto* allThreads = static_cast<PloverCrashThread*>(std::calloc(count + 1, sizeof(PloverCrashThread)));
  auto** threadNames = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
  auto** queueNames = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
  if (allThreads == nullptr || threadNames == nullptr || queueNames == nullptr) {
    std::free(allThreads);
    std::free(threadNames);
    std::free(queueNames);
    g_busy.store(false);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    allThreads[i] = threads[i];
    char name[1000];
    if (plovercrashthread_getThreadName(threads[i], name, sizeof name) && name[0] != '\0') {
      threadNames[i] = strdup(name);
    }
  }
  const int oldCount = g_allThreadsCount.load();
  PloverCrashThread* oldThreads = g_allThreads.exchange(allThreads);
  char** oldThreadNames = g_allThreadNames.exchange(threadNames);
  char** oldQueueNames = g_allQueueNames.exchange(queueNames);
  g_allThreadsCount.store(static_cast<int>(count));
  std::free(oldThreads);
  freeNames(oldThreadNames, oldCount);
  freeNames(oldQueueNames, oldCount);
  g_busy.store(false);
}

void* monitorCachedData(void*) {
  static int quickPollCount = 4;
  for (;;) {
    updateThreadList();
    unsigned seconds = 1;
    if (quickPollCount > 0) {
      --quickPollCount;
    } else {
      seconds = static_cast<unsigned>(g_pollingIntervalInSeconds);
    }
    sleep(seconds);
  }
  return nullptr;
}

}  // namespace

void plovercrashccd_init(int pollingIntervalInSeconds) {
  if (g_started.exchange(true)) return;
  g_pollingIntervalInSeconds = pollingIntervalInSeconds > 0 ? pollingIntervalInSeconds : 1;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int error = pthread_create(&thread, &attr, monitorCachedData, nullptr);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    PLOVERCRASHLOG_ERROR("pthread_create_suspended_np: %s", plovercrashformat_errorText(error));
    g_started.store(false);
    return;
  }
  // Linux keeps 15 characters of a thread's name.
  char name[16];
  plovercrashformat_format(name, sizeof name, "%s", "PloverCrash Cached Data Monitor");
  pthread_setname_np(thread, name);
}

void plovercrashccd_freeze() {
  if (g_frozenCount.fetch_add(1) == 0) {
    while (g_busy.load()) {
      __builtin_ia32_pause();
    }
  }
}

void plovercrashccd_unfreeze() {
  if (g_frozenCount.fetch_sub(1) - 1 < 0) g_frozenCount.store(0);
}

PloverCrashThread* plovercrashccd_getAllThreads(int* threadCount) {
  if (threadCount != nullptr) *threadCount = g_allThreadsCount.load();
  return g_allThreads.load();
}

const char* plovercrashccd_getThreadName(PloverCrashThread thread) {
  PloverCrashThread* threads = g_allThreads.load();
  char** names = g_allThreadNames.load();
  const int count = g_allThreadsCount.load();
  if (threads == nullptr || names == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) {
    if (threads[i] == thread) return names[i];
  }
  return nullptr;
}

const char* plovercrashccd_getQueueName(PloverCrashThread) { return nullptr; }
