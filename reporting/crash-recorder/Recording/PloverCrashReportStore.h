// The report store: names, counts, lists, reads, adds, prunes and deletes the report files in
// the reports folder ("<application>-report-<id as 16 hex digits>.json"). Every operation but
// taking the next report path runs under one process-wide mutex.
#pragma once

#include <cstdint>

// Not for crash time. Copies both texts, creates the folder with its parents, deletes the
// oldest reports beyond the maximum count and seeds the next id from the current time.
void plovercrashcrs_initialize(const char* appName, const char* reportsPath);

// Crash-time safe (an atomic add, no lock): the path of a new report, in a 500-byte buffer.
void plovercrashcrs_getNextCrashReportPath(char* crashReportPathBuffer);

// The number of report files of this application (0 when the folder cannot be read, logged).
int plovercrashcrs_getReportCount();

// Up to count ids of the stored reports, ascending; returns how many.
int plovercrashcrs_getReportIDs(std::int64_t* reportIDs, int count);

// The report's text (caller frees with free()), or null: no such report, unreadable, or larger
// than 2,000,000 bytes (logged; a report is never read in part).
char* plovercrashcrs_readReport(std::int64_t reportID);

// Stores a report made by the host. The new id, or 0 when the file could not be written whole
// (logged; what was written is removed).
std::int64_t plovercrashcrs_addUserReport(const char* report, int reportLength);

// Deletes every file in the reports folder, keeping the folder.
void plovercrashcrs_deleteAllReports();

// Removes the report's file ("Could not delete ..." logged when it is missing).
void plovercrashcrs_deleteReportWithID(std::int64_t reportID);

// The most reports kept; acts at the next initialisation.
void plovercrashcrs_setMaxReportCount(int maxReportCount);
