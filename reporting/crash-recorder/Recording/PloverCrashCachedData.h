// A background cache of the process's threads and their names, refreshed by its own thread, so
// the report writer can name threads at crash time without reading /proc for each one. Readers
// freeze the cache first; while it is frozen the cache thread leaves its lists alone.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashThread.h"

// Not for crash time. Starts the cache thread ("PloverCrash Cached Data Monitor", cut to the
// 15 characters Linux keeps), refreshing every second for four turns, then every
// pollingIntervalInSeconds. Only the first call starts a thread.
void plovercrashccd_init(int pollingIntervalInSeconds);

// Crash-time safe. freeze waits until a refresh under way has published its lists, and no new
// refresh starts until the matching unfreeze.
void plovercrashccd_freeze();
void plovercrashccd_unfreeze();

// Crash-time safe, between freeze and unfreeze. The cached threads (null before the first
// refresh) and their count.
PloverCrashThread* plovercrashccd_getAllThreads(int* threadCount);

// Crash-time safe, between freeze and unfreeze. The cached name of thread, or null. Queue names
// do not exist here: always null.
const char* plovercrashccd_getThreadName(PloverCrashThread thread);
const char* plovercrashccd_getQueueName(PloverCrashThread thread);
