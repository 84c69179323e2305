// The crash report writer: one crash event record becomes a JSON report file, written while the
// process is crashed. Writing allocates nothing and takes no lock; other threads and raw memory
// are read only through the machine-context, stack-cursor, checked-memory and introspection
// services. Each top-level section is flushed to the file as soon as it is complete, so a crash
// inside the writer loses at most the section under way.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportWriter.h"

// Crash-time safe. Writes the standard report for the event to path (created; an existing file
// or one that cannot be created means nothing is written).
void plovercrashreport_writeStandardReport(const PloverCrash_MonitorContext* monitorContext, const char* path);

// Crash-time safe. For a crash while the report at path (ending in ".json") was being written:
// moves it aside to the same path ending in ".old", writes a minimal report that embeds it
// (closed where it was cut) and removes the old file. A path that does not end in ".json" or is
// longer than 490 characters is left as it is, unrenamed, and no recrash report is written.
void plovercrashreport_writeRecrashReport(const PloverCrash_MonitorContext* monitorContext, const char* path);

// Not for crash time. The user-info JSON text that starts the "user" section (null clears it).
// A replaced copy is freed only once no report writer is reading user info (it is kept until a
// later call finds none), so memory stays bounded however often this is called.
void plovercrashreport_setUserInfoJSON(const char* userInfoJSON);

// Crash-time safe (no lock, no allocation). The current user-info JSON text, or null; it stays
// valid until the matching plovercrashreport_endUserInfoRead(), whatever is set meanwhile. Every
// begin is paired with one end, also when it gave null.
const char* plovercrashreport_beginUserInfoRead();
void plovercrashreport_endUserInfoRead();

// For tests: the user-info copies held, the current one and replaced ones not yet freed.
int plovercrashreport_userInfoCopiesHeld();

// Writes "notable_addresses" into the crashed thread's object when set.
void plovercrashreport_setIntrospectMemory(bool shouldIntrospectMemory);

// Not for crash time. Objects of these classes are never opened up (a deep copy is kept; null or
// a count of 0 or less clears the list).
void plovercrashreport_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length);

// Called with the writer while the "user" section is open (never for a user-reported snapshot).
void plovercrashreport_setUserSectionWriteCallback(PloverCrashReportWriteCallback userSectionWriteCallback);
