// The report fixer: turns a report as written at crash time into the JSON readers get, with the
// report's timestamps ("report"."timestamp", and the same inside "recrash_report") as UTC text.
// Not for crash time.
#pragma once

// The fixed, pretty-printed report (caller frees with free()), or null with "Could not decode
// report: %s" logged when the text is no whole report.
char* plovercrashcrf_fixupCrashReport(const char* crashReport);
